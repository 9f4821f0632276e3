#pragma once
// How eagerly the reader reads. Waking for every frame costs a system call or
// two per frame; when nobody waits for what arrives, the reader instead lets
// the line fill for a moment and takes several frames in one read. Anyone who
// needs data now says so: a caller blocked on a packet or an answer (for the
// length of its wait), a queued command (its wake-up), and a script polling the
// packet queue (it catches the reader up before it takes the packets). Only a
// quiet line is held back: one whose last read had to wait for its bytes.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "port/port.hpp"

namespace vyre {

// Long enough to gather a handful of frames at the link's rate, short against
// any script's polling period.
inline constexpr std::chrono::microseconds READER_LINGER{2000};
// A poll waits at most this long for the reader to catch up.
inline constexpr std::chrono::microseconds CATCH_UP_LIMIT{2000};

class ReaderPace {
public:
    // Reader side: marks the reader as letting the line fill, unless a caller
    // waits for data. Both sides store their own flag before they look at the
    // other's (sequentially consistent), so a caller that starts waiting now is
    // either seen here or sees the reader lingering and wakes it.
    bool begin_linger() {
        lingering_.store(true);
        if (callers_waiting_.load() == 0) return true;
        lingering_.store(false);
        return false;
    }
    void end_linger() { lingering_.store(false, std::memory_order_release); }
    // Reader side, after every pass that delivered what it read.
    void pass_done() {
        const std::uint64_t passes = passes_.load(std::memory_order_relaxed) + 1;
        if (catching_up_.load(std::memory_order_acquire) == 0) {
            passes_.store(passes, std::memory_order_release);
            return;
        }
        {
            std::lock_guard lock(mutex_);
            passes_.store(passes, std::memory_order_release);
        }
        caught_up_.notify_all();
    }

    // Caller side: a wait for data starts (the reader stops lingering at once)
    // and ends.
    void caller_waits(const WakeFn& wake) {
        callers_waiting_.fetch_add(1);
        if (lingering_.load()) wake();
    }
    void caller_done() { callers_waiting_.fetch_sub(1, std::memory_order_relaxed); }

    // Caller side, before taking packets: a reader letting the line fill reads
    // now, and the caller waits (briefly) until what it read is delivered.
    void catch_up(const WakeFn& wake) {
        if (!lingering_.load(std::memory_order_acquire)) return;
        std::unique_lock lock(mutex_);
        catching_up_.fetch_add(1, std::memory_order_acq_rel);
        const std::uint64_t target = passes_.load(std::memory_order_acquire) + 1;
        wake();
        caught_up_.wait_for(lock, CATCH_UP_LIMIT,
                            [&] { return passes_.load(std::memory_order_acquire) >= target; });
        catching_up_.fetch_sub(1, std::memory_order_acq_rel);
    }

private:
    std::atomic<int> callers_waiting_{0};
    std::atomic<int> catching_up_{0};
    std::atomic<bool> lingering_{false};
    std::atomic<std::uint64_t> passes_{0};
    std::mutex mutex_;
    std::condition_variable caught_up_;
};

// For the length of a caller's wait for data.
class CallerWaiting {
public:
    CallerWaiting(ReaderPace& pace, const WakeFn& wake) : pace_(pace) { pace_.caller_waits(wake); }
    ~CallerWaiting() { pace_.caller_done(); }
    CallerWaiting(const CallerWaiting&) = delete;
    CallerWaiting& operator=(const CallerWaiting&) = delete;

private:
    ReaderPace& pace_;
};

}  // namespace vyre
