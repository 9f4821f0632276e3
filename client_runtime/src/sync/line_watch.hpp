#pragma once
// A caller blocked on packets watches the port's descriptor beside the reader.
// Bytes on the line then wake both threads at once, and the caller only has to
// see the reader's delivery, instead of sleeping until the reader, once woken
// itself and done parsing, wakes it: on a virtual machine each wake-up of a
// sleeping thread costs tens of microseconds, so this takes one off every
// blocked delivery. The caller never reads the port; it polls it.
//
// While the caller sleeps watching, every delivery and failure of the reader
// also signals an eventfd, so a packet that arrives without new bytes (one
// whose last bytes the reader read before the caller began to watch) still
// ends the wait. The reader pays one atomic load per delivery while nobody
// watches.

#include <atomic>
#include <chrono>
#include <functional>

namespace vyre {

// After the line woke the caller, it waits this long for the delivery (the
// reader's own wake-up, read and parse) before it sleeps until the delivery's
// signal instead.
inline constexpr std::chrono::microseconds DELIVERY_SPIN{300};

class LineWatch {
public:
    enum class Woken : unsigned char {
        Signalled,  // the reader delivered or failed (or a stale signal)
        Line,       // the line has bytes (or hung up)
        Deadline,
        Unusable,   // no descriptor, or the poll failed: wait as before
    };

    LineWatch();  // without an eventfd (none could be made), every wait is Unusable
    ~LineWatch();
    LineWatch(const LineWatch&) = delete;
    LineWatch& operator=(const LineWatch&) = delete;

    // The port's descriptor for the reader that starts now (-1: none to watch).
    void attach(int line_fd) noexcept { line_fd_.store(line_fd, std::memory_order_release); }
    bool usable() const noexcept { return signal_fd_ >= 0 && line_fd_.load(std::memory_order_acquire) >= 0; }

    // Reader side, after a delivery or a failure is visible to the caller.
    void delivered() noexcept {
        if (watchers_.load() > 0) signal();
    }

    // Caller side: sleeps until `ready()` holds, a signal, bytes on the line
    // (when `with_line`) or `deadline`. `ready()` is looked at after the caller
    // counts itself as watching, so a delivery just before the sleep is never missed.
    Woken wait(bool with_line, std::chrono::steady_clock::time_point deadline, const std::function<bool()>& ready);

    // Caller side, after the line woke it: true once `ready()` holds, false when
    // DELIVERY_SPIN passed first. Yields meanwhile, so a reader waiting for
    // this processor runs.
    static bool await_delivery(const std::function<bool()>& ready);

private:
    void signal() noexcept;

    int signal_fd_ = -1;
    std::atomic<int> line_fd_{-1};
    std::atomic<int> watchers_{0};
};

}  // namespace vyre
