#include "reader/clock_model.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "case_names.hpp"
#include "clock_feed.hpp"

namespace vyre {
namespace {

using testing::ClockFeed;
using testing::FeedSample;
using testing::FeedSettings;

// |synced - true - min_delay| of the stamped samples, sorted.
std::vector<double> errors(const std::vector<FeedSample>& samples, double min_delay) {
    std::vector<double> out;
    for (const FeedSample& s : samples)
        if (!std::isnan(s.synced_time)) out.push_back(std::abs(s.synced_time - s.true_time - min_delay));
    std::sort(out.begin(), out.end());
    return out;
}

double p99(const std::vector<double>& sorted) { return sorted[sorted.size() * 99 / 100]; }

struct Case {
    double frames_per_second;
    double drift_ppm;
};

class ClockModelFeed : public ::testing::TestWithParam<Case> {};

// Bursts, late frames and drift: the stamps sit on the true times plus the
// link's fixed delay, far closer than the receive times.
TEST_P(ClockModelFeed, StampsFollowTheLowerEnvelope) {
    FeedSettings settings;
    settings.frames_per_second = GetParam().frames_per_second;
    settings.drift_ppm = GetParam().drift_ppm;
    ClockFeed feed(settings);
    ClockModel model;
    std::vector<FeedSample> warm_up, samples;
    feed.run(model, 2.0, warm_up);
    feed.run(model, 20.0, samples);
    const std::vector<double> err = errors(samples, settings.min_delay);
    ASSERT_EQ(err.size(), samples.size());  // every sample stamped once the model holds
    EXPECT_LT(p99(err), 50e-6);
    std::vector<double> raw;
    for (const FeedSample& s : samples) raw.push_back(s.receive_time - s.true_time);
    std::sort(raw.begin(), raw.end());
    EXPECT_GT(p99(raw), 1e-3);  // what the stamps improve on

    const ClockSync sync = model.snapshot();
    EXPECT_EQ(sync.synced, 1u);
    EXPECT_EQ(sync.resets, 0u);
    EXPECT_NEAR(sync.drift_ppm, settings.drift_ppm, 5.0);
    EXPECT_GT(sync.pairs, 0u);
    EXPECT_LT(sync.jitter_seconds, 1e-3);
    // host time at device time 0, the link's delay included
    const double rate = 1.0 / (1.0 + settings.drift_ppm * 1e-6);
    EXPECT_NEAR(sync.offset_seconds, settings.host_start - settings.device_offset * rate + settings.min_delay, 2e-3);
}

INSTANTIATE_TEST_SUITE_P(RatesAndDrifts, ClockModelFeed,
                         ::testing::Values(Case{100.0, 200.0}, Case{100.0, -200.0}, Case{2300.0, 200.0},
                                           Case{2300.0, -200.0}),
                         [](const auto& p) {
                             return test::number_name(p.param.frames_per_second) + "_per_s_" +
                                    test::number_name(p.param.drift_ppm) + "_ppm";
                         });

TEST(ClockModel, NothingIsStampedUntilTheModelHolds) {
    ClockModel model;
    EXPECT_TRUE(std::isnan(model.snapshot().offset_seconds));
    EXPECT_TRUE(std::isnan(model.snapshot().drift_uncertainty_ppm));
    EXPECT_EQ(model.snapshot().synced, 0u);
    ClockFeed feed(FeedSettings{});
    std::vector<FeedSample> samples;
    feed.run(model, 1.0, samples);
    const auto first = std::find_if(samples.begin(), samples.end(),
                                    [](const FeedSample& s) { return !std::isnan(s.synced_time); });
    ASSERT_NE(first, samples.end());
    EXPECT_LT(first->true_time - samples.front().true_time, 0.5);
    EXPECT_GT(first->true_time - samples.front().true_time, CLOCK_MIN_SPAN_SECONDS);
    EXPECT_TRUE(std::all_of(first, samples.end(), [](const FeedSample& s) { return !std::isnan(s.synced_time); }));
}

// A young model's drift is far off; its uncertainty says by how much, and
// shrinks as the windows span more device time.
TEST(ClockModel, DriftUncertaintyCoversTheDriftsError) {
    FeedSettings settings;
    settings.drift_ppm = 80.0;
    ClockFeed feed(settings);
    ClockModel model;
    std::vector<FeedSample> samples;
    std::vector<double> uncertainty;
    double ran = 0.0;
    for (const double until : {0.4, 0.5, 0.7, 1.0, 2.0, 5.0, 10.0}) {
        feed.run(model, until - ran, samples);
        ran = until;
        const ClockSync sync = model.snapshot();
        ASSERT_EQ(sync.synced, 1u) << until;
        EXPECT_LE(std::abs(sync.drift_ppm - settings.drift_ppm), 3 * sync.drift_uncertainty_ppm) << until;
        uncertainty.push_back(sync.drift_uncertainty_ppm);
    }
    EXPECT_GT(uncertainty.front(), 30.0);  // the first figures are worth little, and say so
    EXPECT_LT(uncertainty.back(), 3.0);
}

// A reboot (backwards) or a jump ahead: the frame that shows it and those
// after it wait for a new model, whose stamps are right again.
TEST(ClockModel, DiscontinuityStartsANewModel) {
    for (const double restart_at : {0.0, 5000.0}) {
        ClockFeed feed(FeedSettings{});
        ClockModel model;
        std::vector<FeedSample> before, after;
        feed.run(model, 3.0, before);
        feed.reset_device_clock(restart_at);
        feed.run(model, 1.0, after);
        EXPECT_TRUE(std::isnan(after.front().synced_time)) << restart_at;
        const ClockSync sync = model.snapshot();
        EXPECT_EQ(sync.resets, 1u);
        EXPECT_EQ(sync.synced, 1u);
        const auto first = std::find_if(after.begin(), after.end(),
                                        [](const FeedSample& s) { return !std::isnan(s.synced_time); });
        ASSERT_NE(first, after.end());
        EXPECT_LT(first->true_time - after.front().true_time, 0.5);
        for (auto s = first; s != after.end(); ++s) EXPECT_NEAR(s->synced_time - s->true_time, 100e-6, 1e-3);
    }
}

TEST(ClockModel, FarLateFramesStayUnstamped) {
    ClockFeed feed(FeedSettings{});
    ClockModel model;
    std::vector<FeedSample> samples;
    feed.run(model, 2.0, samples);
    const double d = samples.back().device_time + 0.01;
    const double t = samples.back().true_time + 0.01;
    // one late read: unstamped, the model stays
    EXPECT_TRUE(std::isnan(model.stamp(d, t + 1.0)));
    model.add_pair(d, t + 1.0);
    EXPECT_NEAR(model.stamp(d + 0.01, t + 0.0101) - t, 0.01, 1e-3);
    model.add_pair(d + 0.01, t + 0.0101);
    EXPECT_EQ(model.snapshot().resets, 0u);
    // a whole window that late: the clock moved
    for (int i = 2; i < 40; ++i) {
        (void)model.stamp(d + 0.01 * i, t + 0.01 * i + 1.0);
        model.add_pair(d + 0.01 * i, t + 0.01 * i + 1.0);
    }
    EXPECT_EQ(model.snapshot().resets, 1u);
}

// A client started late reads what waited in the port within a few ms: the
// delays fall from 0.5 s to none. Those windows must not tilt the fit.
TEST(ClockModel, ABacklogReadAtStartIsLeftOut) {
    ClockModel model;
    const double host0 = 1.8e9;
    const auto device_time = [](int k) { return 7.0 + k * 0.005 * (1.0 + 200e-6); };
    int k = 0;
    for (; k < 100; k += 12) {
        const double received = host0 + 0.5 + k * 50e-6;
        const int end = std::min(k + 12, 100);
        for (int i = k; i < end; ++i) EXPECT_TRUE(std::isnan(model.stamp(device_time(i), received)));
        model.add_pair(device_time(end - 1), received);
    }
    for (; k < 400; ++k) {
        const double t = host0 + k * 0.005;
        const double synced = model.stamp(device_time(k), t + 100e-6);
        model.add_pair(device_time(k), t + 100e-6);
        if (k >= 200) {
            EXPECT_NEAR(synced - t, 100e-6, 20e-6) << k;
        }
    }
    EXPECT_NEAR(model.snapshot().drift_ppm, 200.0, 5.0);
    EXPECT_EQ(model.snapshot().resets, 0u);
}

TEST(ClockModel, NonFiniteTimestampsAreIgnored) {
    ClockModel model;
    EXPECT_TRUE(std::isnan(model.stamp(NAN, 1.0)));
    model.add_pair(INFINITY, 1.0);
    EXPECT_EQ(model.snapshot().pairs, 0u);
}

}  // namespace
}  // namespace vyre
