#pragma once
// Times given in float seconds become a Duration with nanosecond resolution and
// 64-bit whole seconds, so every value below 2^64 s is representable. Deadlines
// are monotonic Instants with 64-bit seconds; only absurd durations overflow them.

#include <chrono>
#include <compare>
#include <cstdint>

#include "result.hpp"

namespace vyre {

inline constexpr const char* NEGATIVE_DURATION_TEXT =
    "cannot convert float seconds to Duration: value is negative";
inline constexpr const char* INVALID_DURATION_TEXT =
    "cannot convert float seconds to Duration: value is either too big or NaN";
inline constexpr const char* DEADLINE_OVERFLOW_TEXT = "overflow when adding duration to instant";

struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;  // below 1e9

    static constexpr Duration from_millis(std::uint64_t ms) {
        return {ms / 1000, static_cast<std::uint32_t>(ms % 1000 * 1'000'000)};
    }
    bool is_zero() const { return secs == 0 && nanos == 0; }
    // For waiting: at most `cap`, since std::chrono counts nanoseconds in 64 bits.
    std::chrono::nanoseconds capped(std::chrono::nanoseconds cap) const;

    auto operator<=>(const Duration&) const = default;
};

// Rounds to the nearest nanosecond (ties to even). Negative values, NaN, infinities
// and values of 2^64 s or more are internal faults; -0.0 is zero.
Result<Duration> duration_from_secs_f64(double seconds);

struct Instant {
    std::int64_t secs = 0;
    std::uint32_t nanos = 0;

    static Instant now();
    // Internal fault DEADLINE_OVERFLOW_TEXT when the sum leaves the clock's range.
    Result<Instant> checked_add(Duration d) const;
    // Time from this instant to `later`, zero when `later` is not after it.
    Duration until(Instant later) const;

    auto operator<=>(const Instant&) const = default;
};

}  // namespace vyre
