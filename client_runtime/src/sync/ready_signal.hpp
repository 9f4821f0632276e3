#pragma once
// A descriptor for event loops: it polls readable while something waits for
// the caller to take it, so a selector, an asyncio reader or a GUI's socket
// notifier can wake the caller instead of a timer. The producers (the reader,
// the streaming thread) raise it after they queue something; it is written
// only on the change from nothing waiting, so a steady stream costs one atomic
// exchange per delivery and no system call. The caller settles it after each
// call: once nothing waits any more it is drained. Until somebody asks for the
// descriptor there is none, and raising it does nothing.

#include <atomic>
#include <functional>

#include "result.hpp"

namespace vyre {

class ReadySignal {
public:
    ReadySignal() = default;
    ReadySignal(const ReadySignal&) = delete;
    ReadySignal& operator=(const ReadySignal&) = delete;
    ~ReadySignal();  // closes the descriptor

    // Producer side, after the item is visible to the caller. Never blocks.
    void raise() noexcept;

    // Caller side. The descriptor (an eventfd, close-on-exec and non-blocking),
    // made on the first call and readable at once if `waiting()` says so; the
    // system's text when it cannot be made.
    Result<int> descriptor(const std::function<bool()>& waiting);
    // Caller side, after it took things: drains the descriptor when nothing is
    // `waiting()` any more. An item queued meanwhile raises it again.
    void settle(const std::function<bool()>& waiting);
    // Whether the descriptor was made.
    bool in_use() const noexcept { return fd_.load(std::memory_order_acquire) >= 0; }

private:
    std::atomic<int> fd_{-1};
    std::atomic<bool> raised_{false};
};

}  // namespace vyre
