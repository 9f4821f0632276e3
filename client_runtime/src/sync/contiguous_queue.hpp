#pragma once
// A FIFO of trivially copyable items kept in one malloc'd block: the front is an
// index that taking advances, the back grows the block with realloc (which moves
// a large block by remapping its pages, not by copying them). Everything queued
// can leave as the bare block, so a burst of telemetry becomes a caller's array
// without a copy.

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace vyre {

// A block of items handed over whole: `data` points at the first of `count`
// items inside `block`, which the new owner releases with std::free.
template <class T>
struct ItemBlock {
    void* block = nullptr;
    T* data = nullptr;
    std::size_t count = 0;
};

template <class T>
class ContiguousQueue {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    ContiguousQueue() = default;
    ContiguousQueue(ContiguousQueue&& other) noexcept { swap(other); }
    ContiguousQueue& operator=(ContiguousQueue&& other) noexcept {
        ContiguousQueue(std::move(other)).swap(*this);
        return *this;
    }
    ~ContiguousQueue() { std::free(items_); }

    bool empty() const noexcept { return head_ == tail_; }
    std::size_t size() const noexcept { return tail_ - head_; }
    std::size_t capacity() const noexcept { return capacity_; }
    T& front() noexcept { return items_[head_]; }
    T* begin() noexcept { return items_ + head_; }
    T* end() noexcept { return items_ + tail_; }

    void push_back(const T& item) {
        if (tail_ == capacity_) make_room();
        std::memcpy(static_cast<void*>(items_ + tail_), &item, sizeof(T));
        ++tail_;
    }

    // An emptied queue starts again at the front of its block.
    void pop_front() noexcept {
        if (++head_ == tail_) head_ = tail_ = 0;
    }

    // Forgets every item and keeps the block.
    void clear() noexcept { head_ = tail_ = 0; }

    void swap(ContiguousQueue& other) noexcept {
        std::swap(items_, other.items_);
        std::swap(head_, other.head_);
        std::swap(tail_, other.tail_);
        std::swap(capacity_, other.capacity_);
    }

    // Hands over the block with every queued item and leaves the queue empty,
    // without a block. The block is first cut to the items' end, so the new
    // owner keeps no unused room.
    ItemBlock<T> release() noexcept {
        if (tail_ < capacity_ && tail_ > 0) {
            // Shrinking in place never fails in practice; if it does, the room stays.
            if (void* cut = std::realloc(items_, tail_ * sizeof(T))) items_ = static_cast<T*>(cut);
        }
        ItemBlock<T> out{items_, items_ + head_, size()};
        items_ = nullptr;
        head_ = tail_ = capacity_ = 0;
        return out;
    }

private:
    static constexpr std::size_t kFirstCapacity = 64;

    // Reuses the room before the front when it is at least half the block,
    // otherwise doubles the block.
    void make_room() {
        if (head_ > 0 && head_ >= capacity_ / 2) {
            std::memmove(static_cast<void*>(items_), items_ + head_, size() * sizeof(T));
            tail_ -= head_;
            head_ = 0;
            return;
        }
        const std::size_t capacity = capacity_ ? capacity_ * 2 : kFirstCapacity;
        void* grown = std::realloc(items_, capacity * sizeof(T));
        if (!grown) throw std::bad_alloc();
        items_ = static_cast<T*>(grown);
        capacity_ = capacity;
    }

    T* items_ = nullptr;
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace vyre
