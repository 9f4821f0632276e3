#pragma once
// How the reader wakes a caller blocked on packets: one byte through a pipe.
// A pipe's writer wakes its reader as a hand-over (the kernel's synchronous
// wake-up): the woken caller is placed on the reader's processor, which the
// reader is about to leave for its next poll, instead of on an idle one. On a
// virtual machine, whose idle processors halt, that saves a wake-up through
// the hypervisor on every blocked delivery (a condition variable's futex wake
// has no such hint).
//
// The reader writes only while a caller sleeps here: it pays one atomic load
// per delivery otherwise.

#include <atomic>
#include <chrono>
#include <functional>

namespace vyre {

class DeliverySignal {
public:
    DeliverySignal();  // without a pipe (none could be made), waits are Unusable
    ~DeliverySignal();
    DeliverySignal(const DeliverySignal&) = delete;
    DeliverySignal& operator=(const DeliverySignal&) = delete;

    enum class Woken : unsigned char { Signalled, Deadline, Unusable };

    bool usable() const noexcept { return read_fd_ >= 0; }

    // Reader side, after a delivery or a failure is visible to the caller.
    void delivered() noexcept {
        if (sleepers_.load() > 0) signal();
    }

    // Caller side: sleeps until a signal (Signalled, also for a stale one),
    // `deadline`, or at once when `ready()` holds. `ready()` is looked at after
    // the caller counts itself as sleeping, so a delivery just before the
    // sleep is never missed. Unusable when the poll itself failed.
    Woken wait(std::chrono::steady_clock::time_point deadline, const std::function<bool()>& ready);

private:
    void signal() noexcept;

    int read_fd_ = -1;
    int write_fd_ = -1;
    std::atomic<int> sleepers_{0};
};

}  // namespace vyre
