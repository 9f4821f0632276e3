#include "sync/durations.hpp"

#include "case_names.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "port/serial_port.hpp"

namespace vyre {
namespace {

struct Conversion {
    double seconds;
    std::uint64_t secs;
    std::uint32_t nanos;
};

class DurationConversion : public ::testing::TestWithParam<Conversion> {};

TEST_P(DurationConversion, RoundsToTheNearestNanosecond) {
    auto d = duration_from_secs_f64(GetParam().seconds);
    ASSERT_TRUE(d.ok()) << d.error().text;
    EXPECT_EQ(d.value().secs, GetParam().secs);
    EXPECT_EQ(d.value().nanos, GetParam().nanos);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DurationConversion,
    ::testing::Values(Conversion{0.0, 0, 0}, Conversion{-0.0, 0, 0}, Conversion{0.1, 0, 100'000'000},
                      Conversion{1.5, 1, 500'000'000}, Conversion{0.25, 0, 250'000'000},
                      Conversion{1e-9, 0, 1}, Conversion{4e-10, 0, 0}, Conversion{6e-10, 0, 1},
                      Conversion{5e-324, 0, 0},
                      // exactly 976562.5 ns and 2929687.5 ns: ties go to the even count
                      Conversion{1.0 / 1024, 0, 976'562}, Conversion{3.0 / 1024, 0, 2'929'688},
                      Conversion{0.9999999994, 0, 999'999'999}, Conversion{0.9999999996, 1, 0},
                      Conversion{std::ldexp(1.0, 63), std::uint64_t{1} << 63, 0},
                      Conversion{std::nextafter(std::ldexp(1.0, 64), 0.0), 18446744073709549568ull, 0}),
    [](const auto& p) { return test::number_name(p.param.seconds) + "_s"; });

struct Fault {
    double seconds;
    const char* text;
};

class DurationFault : public ::testing::TestWithParam<Fault> {};

TEST_P(DurationFault, IsAnInternalFault) {
    auto d = duration_from_secs_f64(GetParam().seconds);
    ASSERT_FALSE(d.ok());
    EXPECT_TRUE(d.error().is_internal());
    EXPECT_EQ(d.error().text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, DurationFault,
    ::testing::Values(Fault{-1.0, NEGATIVE_DURATION_TEXT}, Fault{-5e-324, NEGATIVE_DURATION_TEXT},
                      Fault{-std::numeric_limits<double>::infinity(), NEGATIVE_DURATION_TEXT},
                      Fault{std::numeric_limits<double>::quiet_NaN(), INVALID_DURATION_TEXT},
                      Fault{std::numeric_limits<double>::infinity(), INVALID_DURATION_TEXT},
                      Fault{std::ldexp(1.0, 64), INVALID_DURATION_TEXT}, Fault{1e300, INVALID_DURATION_TEXT}),
    [](const auto& p) { return test::number_name(p.param.seconds) + "_s"; });

TEST(Instant, DeadlinesOverflowOnlyPastTheClockRange) {
    const Instant now = Instant::now();
    auto year = now.checked_add(Duration{365 * 86'400, 5});
    ASSERT_TRUE(year.ok());
    EXPECT_EQ(now.until(year.value()), (Duration{365 * 86'400, 5}));
    EXPECT_EQ(year.value().until(now), Duration{});

    auto far = now.checked_add(Duration{std::uint64_t{1} << 62, 999'999'999});
    EXPECT_TRUE(far.ok());
    for (Duration huge : {Duration{std::uint64_t{1} << 63, 0}, Duration{UINT64_MAX, 999'999'999}}) {
        auto overflow = now.checked_add(huge);
        ASSERT_FALSE(overflow.ok());
        EXPECT_TRUE(overflow.error().is_internal());
        EXPECT_EQ(overflow.error().text, DEADLINE_OVERFLOW_TEXT);
    }
}

TEST(ReadTimeout, WholeMillisecondsRoundedDown) {
    EXPECT_EQ(read_timeout_millis(0.25), 250u);
    EXPECT_EQ(read_timeout_millis(0.1), 100u);
    EXPECT_EQ(read_timeout_millis(0.0005), 0u);
    EXPECT_EQ(read_timeout_millis(2.9999), 2999u);
    EXPECT_EQ(read_timeout_millis(-1.0), 0u);
    EXPECT_EQ(read_timeout_millis(std::numeric_limits<double>::quiet_NaN()), 0u);
    EXPECT_EQ(read_timeout_millis(1e300), UINT64_MAX);
}

}  // namespace
}  // namespace vyre
