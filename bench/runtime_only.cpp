// The client runtime followed from C++ with no interpreter around it: the
// reader thread on a port, and a main thread that takes the queued packets
// every 10 ms, as the library's script does through get_data_packets.
//
//   runtime_only PORT SECONDS [WARMUP]
//
// Prints {"cpu_s", "wall_s", "frames"} for the window after the warm-up.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "runtime/client_runtime.hpp"

namespace {

double cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PORT SECONDS [WARMUP]\n", argv[0]);
        return 2;
    }
    const double seconds = std::atof(argv[2]);
    const double warmup = argc > 3 ? std::atof(argv[3]) : 1.0;
    auto opened = vyre::ClientRuntime::open(argv[1], 2'000'000, 0.1);
    if (!opened) {
        std::fprintf(stderr, "%s\n", opened.error().text.c_str());
        return 1;
    }
    vyre::ClientRuntime& runtime = *opened.value();
    if (!runtime.start()) return 1;

    using Clock = std::chrono::steady_clock;
    std::vector<vyre::DataPacket> taken;
    auto follow = [&](double span) {
        const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(span));
        auto next = Clock::now();
        std::size_t count = 0;
        while (Clock::now() < end) {
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
            taken.clear();
            count += runtime.packets().drain_into(taken);
        }
        return count;
    };
    follow(warmup);
    const double c0 = cpu_seconds();
    const auto t0 = Clock::now();
    const std::size_t frames = follow(seconds);
    const double cpu = cpu_seconds() - c0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("{\"cpu_s\": %.6f, \"wall_s\": %.6f, \"frames\": %zu}\n", cpu, wall, frames);
    (void)runtime.stop();
    return 0;
}
