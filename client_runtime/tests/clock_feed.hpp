#pragma once
// A simulated link for the clock model: samples taken on the host's clock at a
// fixed rate, stamped by a device clock with an offset and drift, delivered in
// bursts of 1 to `burst_max` frames (one read per burst, its receive time the
// burst's last sample time plus the link's delay), some frames late (holding
// back the frames behind them, as a stalled transfer does). Shared by the
// tests and bench/clock_bench.

#include <algorithm>
#include <cstddef>
#include <random>
#include <vector>

#include "reader/clock_model.hpp"

namespace vyre::testing {

struct FeedSettings {
    double frames_per_second = 100.0;
    double drift_ppm = 200.0;          // the device clock's gain on the host's
    double drift_change_ppm_per_s = 0.0;  // a crystal warming up or cooling down
    double device_offset = 1000.0;     // device time at host time `host_start`
    double host_start = 1.8e9;
    int burst_max = 10;
    double late_share = 0.05;
    double late_min = 1e-3, late_max = 10e-3;
    double min_delay = 100e-6;         // the link's fixed delay
    double delay_mean = 50e-6;         // exponential scatter above it
    unsigned seed = 1;
};

struct FeedSample {
    double device_time;
    double true_time;
    double receive_time;
    double synced_time;
};

class ClockFeed {
public:
    explicit ClockFeed(const FeedSettings& s) : s_(s), rng_(s.seed) {}

    // Runs the next `seconds` of host time through `model`, appending every
    // sample (with its stamp) to `out`.
    void run(ClockModel& model, double seconds, std::vector<FeedSample>& out) {
        const std::size_t end = k_ + static_cast<std::size_t>(seconds * s_.frames_per_second);
        std::uniform_int_distribution<int> burst(1, s_.burst_max);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::exponential_distribution<double> scatter(1.0 / s_.delay_mean);
        while (k_ < end) {
            const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(burst(rng_)), end - k_);
            const std::size_t first = out.size();
            double release = 0.0;
            for (std::size_t i = 0; i < n; ++i, ++k_) {
                const double t = true_time(k_);
                double ready = t;
                if (unit(rng_) < s_.late_share) ready += s_.late_min + (s_.late_max - s_.late_min) * unit(rng_);
                release = std::max({release, ready, held_until_});
                out.push_back({device_time(t), t, 0.0, 0.0});
            }
            held_until_ = release;
            const double received = release + s_.min_delay + scatter(rng_);
            for (std::size_t i = first; i < out.size(); ++i) {
                out[i].receive_time = received;
                out[i].synced_time = model.stamp(out[i].device_time, received);
            }
            model.add_pair(out.back().device_time, received);
        }
    }

    // The device clock starts over from `device_time` (a reboot).
    void reset_device_clock(double device_time) {
        s_.device_offset = device_time;
        epoch_ = true_time(k_);
    }

    double true_time(std::size_t k) const { return s_.host_start + static_cast<double>(k) / s_.frames_per_second; }
    double device_time(double t) const {
        const double e = t - epoch_;
        return s_.device_offset + e + (s_.drift_ppm * e + 0.5 * s_.drift_change_ppm_per_s * e * e) * 1e-6;
    }
    const FeedSettings& settings() const { return s_; }

private:
    FeedSettings s_;
    std::mt19937_64 rng_;
    std::size_t k_ = 0;
    double held_until_ = 0.0;
    double epoch_ = s_.host_start;
};

}  // namespace vyre::testing
