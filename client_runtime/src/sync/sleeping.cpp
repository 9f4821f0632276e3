#include "sync/sleeping.hpp"

#include <cerrno>
#include <ctime>

#include "sync/errno_text.hpp"

namespace vyre {

Result<SleepEnd> sleep_until(Instant end, std::chrono::nanoseconds slice,
                             const std::function<bool()>& stop_requested) {
    for (;;) {
        if (stop_requested && stop_requested()) return SleepEnd::Stopped;
        const Instant now = Instant::now();
        const Duration left = now.until(end);
        if (left.is_zero()) return SleepEnd::Elapsed;
        const auto step = static_cast<std::uint64_t>(left.capped(slice).count());
        // Absolute wake-up times: a signal that cuts the sleep short does not stretch it.
        auto wake = now.checked_add(Duration{step / 1'000'000'000, static_cast<std::uint32_t>(step % 1'000'000'000)});
        const Instant at = wake ? wake.value() : end;
        const timespec ts{static_cast<time_t>(at.secs), static_cast<long>(at.nanos)};
        int err;
        while ((err = ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr)) == EINTR) {
        }
        if (err != 0) return Error::internal("sleep failed: " + errno_text(err));
    }
}

}  // namespace vyre
