#include "sync/durations.hpp"

#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

namespace vyre {

namespace {

__extension__ typedef unsigned __int128 u128;

constexpr std::uint64_t NANOS_PER_SEC = 1'000'000'000;

}  // namespace

std::chrono::nanoseconds Duration::capped(std::chrono::nanoseconds cap) const {
    const auto cap_count = static_cast<std::uint64_t>(cap.count());
    if (secs >= cap_count / NANOS_PER_SEC + 1) return cap;
    const std::uint64_t total = secs * NANOS_PER_SEC + nanos;
    return total >= cap_count ? cap : std::chrono::nanoseconds(static_cast<std::int64_t>(total));
}

Result<Duration> duration_from_secs_f64(double seconds) {
    if (seconds < 0.0) return Error::internal(NEGATIVE_DURATION_TEXT);
    if (!std::isfinite(seconds)) return Error::internal(INVALID_DURATION_TEXT);

    // Work on the exact binary value: seconds = mantissa * 2^exponent.
    std::uint64_t bits;
    std::memcpy(&bits, &seconds, sizeof bits);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
    int exponent;
    if (biased == 0) {
        exponent = -1074;  // subnormal (or zero)
    } else {
        mantissa |= std::uint64_t{1} << 52;
        exponent = biased - 1075;
    }
    if (mantissa == 0) return Duration{};

    if (exponent >= 0) {
        // Whole seconds only; 2^64 s and beyond do not fit.
        if (exponent >= 64 || (mantissa >> (64 - exponent)) != 0)
            return Error::internal(INVALID_DURATION_TEXT);
        return Duration{mantissa << exponent, 0};
    }
    const int shift = -exponent;
    // Below 2^-31 s (about 0.47 ns) everything rounds to zero.
    if (shift > 52 + 31) return Duration{};

    const std::uint64_t secs = shift >= 64 ? 0 : mantissa >> shift;
    const std::uint64_t fraction = shift >= 64 ? mantissa : mantissa & ((std::uint64_t{1} << shift) - 1);
    const u128 scaled = static_cast<u128>(fraction) * NANOS_PER_SEC;  // < 2^(83+30)
    std::uint64_t nanos = static_cast<std::uint64_t>(scaled >> shift);
    const u128 remainder = scaled & ((static_cast<u128>(1) << shift) - 1);
    const u128 half = static_cast<u128>(1) << (shift - 1);
    if (remainder > half || (remainder == half && (nanos & 1) != 0)) ++nanos;
    if (nanos == NANOS_PER_SEC) return Duration{secs + 1, 0};
    return Duration{secs, static_cast<std::uint32_t>(nanos)};
}

Instant Instant::now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return {static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
}

Result<Instant> Instant::checked_add(Duration d) const {
    constexpr auto max_secs = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (secs < 0 || d.secs > max_secs - static_cast<std::uint64_t>(secs))
        return Error::internal(DEADLINE_OVERFLOW_TEXT);
    std::uint64_t total_secs = static_cast<std::uint64_t>(secs) + d.secs;
    std::uint32_t total_nanos = nanos + d.nanos;
    if (total_nanos >= NANOS_PER_SEC) {
        total_nanos -= static_cast<std::uint32_t>(NANOS_PER_SEC);
        if (total_secs == max_secs) return Error::internal(DEADLINE_OVERFLOW_TEXT);
        ++total_secs;
    }
    return Instant{static_cast<std::int64_t>(total_secs), total_nanos};
}

Duration Instant::until(Instant later) const {
    if (later <= *this) return {};
    std::uint64_t d_secs = static_cast<std::uint64_t>(later.secs - secs);
    std::int64_t d_nanos = static_cast<std::int64_t>(later.nanos) - nanos;
    if (d_nanos < 0) {
        d_nanos += static_cast<std::int64_t>(NANOS_PER_SEC);
        --d_secs;
    }
    return {d_secs, static_cast<std::uint32_t>(d_nanos)};
}

}  // namespace vyre
