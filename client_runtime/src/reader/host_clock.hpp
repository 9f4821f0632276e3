#pragma once
// The host's wall-clock time as Python's time.time() gives it, so receive times
// compare directly with times a script takes.

namespace vyre {

// Seconds since the epoch on CLOCK_REALTIME, converted from whole nanoseconds the
// way time.time() converts them.
double host_time_seconds();

}  // namespace vyre
