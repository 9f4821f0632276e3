#include "reader/host_clock.hpp"

#include <cstdint>
#include <ctime>

namespace vyre {

double host_time_seconds() {
    timespec now{};
    (void)clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t ns = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    // Whole seconds convert exactly; the rest goes through one division, as in
    // CPython's PyTime_AsSecondsDouble.
    if (ns % 1'000'000'000 == 0) return static_cast<double>(ns / 1'000'000'000);
    return static_cast<double>(ns) / 1e9;
}

}  // namespace vyre
