#pragma once
// Unbounded multi-producer FIFO. Sending never blocks and fails only when the
// receiver is gone; receiving can be tried, bounded by a time-out, or wait until
// every sender is gone. Items can be taken in bursts. A sender can also mark the
// channel failed (its producer died of a link failure): waits then end at once.
// Trivially copyable items queue in one block (ContiguousQueue), which can be
// taken whole without a copy.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "sync/contiguous_queue.hpp"

namespace vyre {

enum class RecvStatus : unsigned char { Ok, Timeout, Disconnected, Failed };

template <class T>
inline constexpr bool BLOCK_ITEMS = std::is_trivially_copyable_v<T>;

template <class T>
using ChannelItems = std::conditional_t<BLOCK_ITEMS<T>, ContiguousQueue<T>, std::deque<T>>;

// An emptied block is kept for reuse up to this size; a larger one (a backlog
// that built up while nobody took it) goes back to the allocator.
inline constexpr std::size_t MAX_SPARE_BLOCK_BYTES = std::size_t{4} << 20;

namespace detail {

struct NoSpare {};

template <class T>
struct ChannelState {
    std::mutex mutex;
    std::condition_variable ready;
    ChannelItems<T> items;
    // Block storage only: an emptied block that takes the place of the one a
    // drain takes, so that a steady stream fills two warm blocks in turn
    // instead of growing a new one each time.
    [[no_unique_address]] std::conditional_t<BLOCK_ITEMS<T>, ContiguousQueue<T>, NoSpare> spare;
    std::size_t senders = 0;
    bool receiver_alive = true;
    bool failed = false;
    std::uint64_t sent = 0;      // items ever accepted
    std::uint64_t received = 0;  // items ever taken by the receiver
    // Run after every successful send, outside the lock: wakes a receiver that
    // sleeps on something other than this queue (a port's poll). Set once at creation.
    std::function<void()> on_send;
};

}  // namespace detail

template <class T>
class Sender {
public:
    Sender() = default;
    explicit Sender(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {
        std::lock_guard lock(state_->mutex);
        ++state_->senders;
    }
    Sender(const Sender& other) : state_(other.state_) {
        if (state_) {
            std::lock_guard lock(state_->mutex);
            ++state_->senders;
        }
    }
    Sender(Sender&& other) noexcept : state_(std::move(other.state_)) {}
    Sender& operator=(Sender other) noexcept {
        std::swap(state_, other.state_);
        return *this;
    }
    ~Sender() { release(); }

    // False (and the item dropped) when the receiver is gone.
    bool send(T item) {
        if (!state_) return false;
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->receiver_alive) return false;
            state_->items.push_back(std::move(item));
            ++state_->sent;
        }
        state_->ready.notify_one();
        if (state_->on_send) state_->on_send();
        return true;
    }

    // Sends a whole burst under one lock; false when the receiver is gone.
    template <class Container>
    bool send_all(Container&& items) {
        if (!state_) return false;
        {
            std::lock_guard lock(state_->mutex);
            if (!state_->receiver_alive) return false;
            for (auto& item : items) state_->items.push_back(std::move(item));
            state_->sent += std::size(items);
        }
        state_->ready.notify_one();
        if (state_->on_send) state_->on_send();
        return true;
    }

    // Items this channel ever accepted, from any sender.
    std::uint64_t sent_count() const {
        if (!state_) return 0;
        std::lock_guard lock(state_->mutex);
        return state_->sent;
    }

    // Ends every wait, now and later, with Failed once nothing is queued, until
    // the receiver clears it.
    void signal_failure() {
        if (!state_) return;
        {
            std::lock_guard lock(state_->mutex);
            state_->failed = true;
        }
        state_->ready.notify_all();
    }

    bool valid() const { return state_ != nullptr; }

private:
    void release() {
        if (!state_) return;
        bool last;
        {
            std::lock_guard lock(state_->mutex);
            last = --state_->senders == 0;
        }
        if (last) state_->ready.notify_all();
        state_.reset();
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
class Receiver {
public:
    Receiver() = default;
    explicit Receiver(std::shared_ptr<detail::ChannelState<T>> state) : state_(std::move(state)) {}
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    Receiver(Receiver&& other) noexcept : state_(std::move(other.state_)) {}
    Receiver& operator=(Receiver&& other) noexcept {
        if (this != &other) {
            release();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    ~Receiver() { release(); }

    std::optional<T> try_recv() {
        std::lock_guard lock(state_->mutex);
        return pop_locked();
    }

    // Waits at most `timeout`; Timeout if nothing came, Disconnected if empty with
    // no sender left, Failed if empty after a sender signalled a failure.
    template <class Rep, class Period>
    RecvStatus recv_timeout(T& out, std::chrono::duration<Rep, Period> timeout) {
        // Time-outs beyond the clock's range wait without end instead of
        // overflowing into a deadline in the past.
        using Clock = std::chrono::steady_clock;
        const Clock::time_point now = Clock::now();
        const std::chrono::duration<double> wanted(timeout);
        const std::chrono::duration<double> room(Clock::time_point::max() - now);
        if (!(wanted > std::chrono::duration<double>::zero())) return recv_until(out, now);
        if (!(wanted < room - std::chrono::seconds(1))) return recv_until(out, Clock::time_point::max());
        return recv_until(out, now + std::chrono::duration_cast<Clock::duration>(wanted));
    }

    RecvStatus recv_until(T& out, std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(state_->mutex);
        const RecvStatus status = wait_locked(lock, deadline);
        if (status == RecvStatus::Ok) {
            out = std::move(state_->items.front());
            state_->items.pop_front();
            ++state_->received;
        }
        return status;
    }

    // As recv_until, but Ok leaves the items queued: for a caller that then
    // takes everything at once.
    RecvStatus wait_until(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(state_->mutex);
        return wait_locked(lock, deadline);
    }

    // Blocks until an item arrives; nothing once the queue is empty and every sender is gone.
    std::optional<T> recv() {
        std::unique_lock lock(state_->mutex);
        state_->ready.wait(lock, [&] { return !state_->items.empty() || state_->senders == 0; });
        return pop_locked();
    }

    // Moves everything queued to the back of `out` in one step; returns the count.
    template <class Container>
    std::size_t drain_into(Container& out) {
        std::unique_lock lock(state_->mutex);
        // Most calls find nothing: don't build and free an empty queue for them.
        if (state_->items.empty()) return 0;
        ChannelItems<T> taken;
        taken.swap(state_->items);
        state_->received += taken.size();
        if constexpr (BLOCK_ITEMS<T>) state_->items.swap(state_->spare);
        lock.unlock();
        const std::size_t count = taken.size();
        for (auto& item : taken) out.push_back(std::move(item));
        if constexpr (BLOCK_ITEMS<T>) keep_as_spare(taken);
        return count;
    }

    // Everything queued, as the block that held it (which the caller now owns).
    ItemBlock<T> take_all()
        requires BLOCK_ITEMS<T>
    {
        ChannelItems<T> taken;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->items.empty()) return {};  // the block stays for what comes
            taken.swap(state_->items);
            state_->items.swap(state_->spare);
            state_->received += taken.size();
        }
        return taken.release();  // cut to size outside the lock
    }

    void clear_failure() {
        std::lock_guard lock(state_->mutex);
        state_->failed = false;
    }

    // Items this receiver has taken, by any of its calls.
    std::uint64_t received_count() const {
        std::lock_guard lock(state_->mutex);
        return state_->received;
    }

    // Items queued and not taken yet.
    std::size_t queued() const {
        std::lock_guard lock(state_->mutex);
        return state_->items.size();
    }

    bool valid() const { return state_ != nullptr; }

private:
    // Keeps a drained block as the spare, unless the spare is as large already
    // or the block too large to keep; what is not kept is freed by the caller.
    void keep_as_spare(ChannelItems<T>& block) {
        if (block.capacity() * sizeof(T) > MAX_SPARE_BLOCK_BYTES) return;
        block.clear();
        std::lock_guard lock(state_->mutex);
        if (state_->spare.capacity() < block.capacity()) state_->spare.swap(block);
    }

    RecvStatus wait_locked(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point deadline) {
        for (;;) {
            if (!state_->items.empty()) return RecvStatus::Ok;
            if (state_->failed) return RecvStatus::Failed;
            if (state_->senders == 0) return RecvStatus::Disconnected;
            if (state_->ready.wait_until(lock, deadline) == std::cv_status::timeout &&
                state_->items.empty()) {
                if (state_->failed) return RecvStatus::Failed;
                return state_->senders == 0 ? RecvStatus::Disconnected : RecvStatus::Timeout;
            }
        }
    }

    std::optional<T> pop_locked() {
        if (state_->items.empty()) return std::nullopt;
        std::optional<T> item(std::move(state_->items.front()));
        state_->items.pop_front();
        ++state_->received;
        return item;
    }

    void release() {
        if (!state_) return;
        ChannelItems<T> dropped;  // destroyed outside the lock
        {
            std::lock_guard lock(state_->mutex);
            state_->receiver_alive = false;
            dropped.swap(state_->items);
        }
        state_.reset();
    }

    std::shared_ptr<detail::ChannelState<T>> state_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel() {
    auto state = std::make_shared<detail::ChannelState<T>>();
    return {Sender<T>(state), Receiver<T>(state)};
}

// A channel whose every successful send also runs `on_send` (which must be thread-safe).
template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(std::function<void()> on_send) {
    auto state = std::make_shared<detail::ChannelState<T>>();
    state->on_send = std::move(on_send);
    return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace vyre
