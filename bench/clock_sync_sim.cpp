// The clock model on a simulated link, minutes of it at once: the stamps
// against the true sample times, minute by minute, and the model's own cost.
//
//   clock_sync_sim FPS DRIFT_PPM MINUTES SEED [DRIFT_CHANGE_PPM_PER_S [RESET_AT_S]]
//
// Prints one JSON object (times in microseconds): the worst minute's jitter
// (p99 of |error - median error|) and bias (median error), the whole run's,
// the same for the raw receive times, the link's minimum delay, ns per frame
// of stamping, and with RESET_AT_S the device clock reset: seconds from the
// reset to the first stamp, and stamps after it more than 1 ms off.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "clock_feed.hpp"

namespace {

using vyre::ClockModel;
using vyre::testing::ClockFeed;
using vyre::testing::FeedSample;
using vyre::testing::FeedSettings;

struct Spread {
    double jitter = 0.0;  // p99 of |e - median|
    double bias = 0.0;    // median
};

Spread spread(std::vector<double> e) {
    if (e.empty()) return {NAN, NAN};
    std::sort(e.begin(), e.end());
    const double median = e[e.size() / 2];
    for (double& v : e) v = std::abs(v - median);
    std::sort(e.begin(), e.end());
    return {e[std::min(e.size() - 1, e.size() * 99 / 100)], median};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s FPS DRIFT_PPM MINUTES SEED [DRIFT_CHANGE_PPM_PER_S [RESET_AT_S]]\n", argv[0]);
        return 2;
    }
    FeedSettings settings;
    settings.frames_per_second = std::atof(argv[1]);
    settings.drift_ppm = std::atof(argv[2]);
    const double minutes = std::atof(argv[3]);
    settings.seed = static_cast<unsigned>(std::atoi(argv[4]));
    if (argc > 5) settings.drift_change_ppm_per_s = std::atof(argv[5]);
    const double reset_at = argc > 6 ? std::atof(argv[6]) : -1.0;

    ClockFeed feed(settings);
    ClockModel model;
    std::vector<FeedSample> samples;
    samples.reserve(static_cast<std::size_t>(minutes * 60 * settings.frames_per_second) + 16);
    const double warm_up = 1.0;
    std::size_t reset_index = 0;
    if (reset_at > 0) {
        feed.run(model, reset_at, samples);
        reset_index = samples.size();
        feed.reset_device_clock(0.0);
        feed.run(model, minutes * 60 - reset_at, samples);
    } else {
        feed.run(model, minutes * 60, samples);
    }

    // minute by minute, after the first second
    const double start = samples.front().true_time;
    Spread worst{0.0, 0.0};
    double worst_bias = settings.min_delay;
    std::vector<double> all, raw, minute;
    std::size_t unstamped = 0;
    double minute_end = start + 60.0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const FeedSample& s = samples[i];
        if ((s.true_time >= minute_end || i + 1 == samples.size()) && !minute.empty()) {
            const Spread m = spread(minute);
            worst.jitter = std::max(worst.jitter, m.jitter);
            if (std::abs(m.bias - settings.min_delay) > std::abs(worst_bias - settings.min_delay)) worst_bias = m.bias;
            minute.clear();
            minute_end += 60.0;
        }
        if (s.true_time - start < warm_up) continue;
        if (reset_at > 0 && i >= reset_index && s.true_time - samples[reset_index].true_time < 1.0) continue;
        raw.push_back(s.receive_time - s.true_time);
        if (std::isnan(s.synced_time)) {
            ++unstamped;
            continue;
        }
        all.push_back(s.synced_time - s.true_time);
        minute.push_back(all.back());
    }
    const Spread whole = spread(all), received = spread(raw);

    double resync = NAN;
    std::size_t across = 0;
    if (reset_at > 0) {
        for (std::size_t i = reset_index; i < samples.size(); ++i) {
            if (std::isnan(samples[i].synced_time)) continue;
            if (std::isnan(resync)) resync = samples[i].true_time - samples[reset_index].true_time;
            if (std::abs(samples[i].synced_time - samples[i].true_time) > 1e-3) ++across;
        }
    }

    // the model's cost alone, on the same pairs: the best of 5 passes, as a
    // busy machine only ever adds
    double ns = INFINITY, sink = 0.0;
    for (int pass = 0; pass < 5; ++pass) {
        ClockModel timed;
        const auto t0 = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const double v = timed.stamp(samples[i].device_time, samples[i].receive_time);
            sink += std::isnan(v) ? 0.0 : 1.0;
            if (i + 1 == samples.size() || samples[i + 1].receive_time != samples[i].receive_time)
                timed.add_pair(samples[i].device_time, samples[i].receive_time);
        }
        ns = std::min(ns, std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() /
                              static_cast<double>(samples.size()));
    }
    sink /= 5;

    std::printf(
        "{\"fps\": %g, \"drift_ppm\": %g, \"minutes\": %g, \"min_delay_us\": %.2f, "
        "\"worst_minute_jitter_p99_us\": %.2f, \"worst_minute_bias_us\": %.2f, "
        "\"jitter_p99_us\": %.2f, \"bias_us\": %.2f, \"raw_jitter_p99_us\": %.2f, \"raw_bias_us\": %.2f, "
        "\"unstamped_after_warm_up\": %zu, \"fitted_drift_ppm\": %.3f, \"resets\": %llu, "
        "\"resync_s\": %.3f, \"stamped_across\": %zu, \"ns_per_frame\": %.1f, \"stamped\": %.0f}\n",
        settings.frames_per_second, settings.drift_ppm, minutes, settings.min_delay * 1e6, worst.jitter * 1e6,
        worst_bias * 1e6, whole.jitter * 1e6, whole.bias * 1e6, received.jitter * 1e6, received.bias * 1e6,
        unstamped, model.snapshot().drift_ppm, static_cast<unsigned long long>(model.snapshot().resets), resync,
        across, ns, sink);
    return 0;
}
