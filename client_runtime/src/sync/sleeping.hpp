#pragma once
// Sleeping on the monotonic clock in short slices, so that a sleeping thread
// notices a stop request (or the caller's pending signal) within one slice.

#include <chrono>
#include <functional>

#include "result.hpp"
#include "sync/durations.hpp"

namespace vyre {

enum class SleepEnd : unsigned char { Elapsed, Stopped };

// Sleeps until `end` in slices of at most `slice`, asking `stop_requested` (when
// given) before each slice. A slice cut short by a signal is resumed; any other
// failure of the clock sleep is an internal fault "sleep failed: ...".
Result<SleepEnd> sleep_until(Instant end, std::chrono::nanoseconds slice,
                             const std::function<bool()>& stop_requested);

// The latest representable instant: the end of a wait whose deadline overflows.
inline constexpr Instant FAR_FUTURE{INT64_MAX, 999'999'999};

}  // namespace vyre
