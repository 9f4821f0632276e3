// One device's link for bench/multi_device.py: the clock model fed a
// simulated link (bursts, late frames, the link's minimum delay) for
// SECONDS of host time at once, and every sample's true and synced time
// written to standard output as little-endian float64 pairs.
//
//   multi_device_feed FPS DRIFT_PPM SECONDS SEED MIN_DELAY_S HOST_START

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "clock_feed.hpp"

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s FPS DRIFT_PPM SECONDS SEED MIN_DELAY_S HOST_START\n", argv[0]);
        return 2;
    }
    vyre::testing::FeedSettings settings;
    settings.frames_per_second = std::atof(argv[1]);
    settings.drift_ppm = std::atof(argv[2]);
    const double seconds = std::atof(argv[3]);
    settings.seed = static_cast<unsigned>(std::atoi(argv[4]));
    settings.min_delay = std::atof(argv[5]);
    settings.host_start = std::atof(argv[6]);
    settings.device_offset = 1000.0 * settings.seed;

    vyre::testing::ClockFeed feed(settings);
    vyre::ClockModel model;
    std::vector<vyre::testing::FeedSample> samples;
    samples.reserve(static_cast<std::size_t>(seconds * settings.frames_per_second) + 16);
    feed.run(model, seconds, samples);
    std::vector<double> out;
    out.reserve(2 * samples.size());
    for (const auto& s : samples) {
        out.push_back(s.true_time);
        out.push_back(s.synced_time);
    }
    std::fwrite(out.data(), sizeof(double), out.size(), stdout);
    return 0;
}
