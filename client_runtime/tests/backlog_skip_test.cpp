// Telemetry queued before a session: dropped while it drains, however fast.

#include <gtest/gtest.h>

#include "reader/backlog_skip.hpp"

namespace vyre {
namespace {

struct Drain {
    const char* name;
    double device_per_host;  // device seconds the reads bring per host second while draining
    double drain_seconds;    // host time the queue takes to drain
};

class BacklogDrains : public ::testing::TestWithParam<Drain> {};

// Reads every 5 ms: while draining, device time runs ahead; then live, the
// device's clock 3 s ahead of the host's and the reads' lag wandering by 4 ms.
TEST_P(BacklogDrains, DropsTheDrainThenDeliversFromWhenTheLagSettles) {
    const Drain drain = GetParam();
    BacklogSkip skip;
    skip.begin(100.0);
    double host = 100.0;
    double device = 50.0;
    for (; host < 100.0 + drain.drain_seconds; host += 0.005, device += 0.005 * drain.device_per_host)
        ASSERT_TRUE(skip.backlog(host, device)) << host;
    const double live_from = host;
    int read = 0;
    for (; skip.backlog(host, device + (read % 2) * 0.004); host += 0.005, device += 0.005, ++read)
        ASSERT_LT(host - live_from, 0.2);
    EXPECT_GE(host - live_from, 0.1);
    EXPECT_FALSE(skip.active());
}

INSTANTIATE_TEST_SUITE_P(Rates, BacklogDrains,
                         ::testing::Values(Drain{"Burst", 20.0, 0.2}, Drain{"NearTheLineRate", 1.16, 1.0}),
                         [](const auto& test_case) { return test_case.param.name; });

TEST(BacklogSkip, GivesUpAfterItsLimitAndDoesNothingUnlessBegun) {
    BacklogSkip skip;
    EXPECT_FALSE(skip.backlog(1.0, 1000.0));
    skip.begin(0.0);
    double host = 0.0;
    for (; host < BACKLOG_SKIP_LIMIT_SECONDS; host += 0.01) ASSERT_TRUE(skip.backlog(host, host * 3.0));
    EXPECT_FALSE(skip.backlog(host, host * 3.0));
}

}  // namespace
}  // namespace vyre
