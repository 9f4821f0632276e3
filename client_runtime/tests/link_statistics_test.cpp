// Link statistics read while the reader publishes them, and across a restart.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <thread>

#include "device_side.hpp"
#include "frame_fixtures.hpp"
#include "runtime/client_runtime.hpp"

namespace vyre {
namespace {

using namespace std::chrono_literals;

TEST(LinkCounters, ASnapshotIsOnePublicationWhole) {
    using Words = std::array<std::uint64_t, sizeof(LinkCounts) / 8>;
    LinkCounters counters;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::uint64_t i = 1; i <= 1'000'000; ++i) {
            Words words;
            words.fill(i);
            counters.publish(std::bit_cast<LinkCounts>(words));
        }
        done = true;
    });
    std::uint64_t last = 0;
    while (!done) {
        const Words words = std::bit_cast<Words>(counters.snapshot());
        ASSERT_EQ(std::count(words.begin(), words.end(), words[0]), static_cast<std::ptrdiff_t>(words.size()));
        ASSERT_GE(words[0], last);
        last = words[0];
    }
    writer.join();
}

class LinkStatisticsTest : public test::MockClient {
protected:
    // Waits until the reader has published `bytes` received; the snapshot then.
    LinkStatistics settled_at(std::uint64_t bytes) {
        const auto end = std::chrono::steady_clock::now() + 30s;
        for (;;) {
            LinkStatistics s = runtime->link_statistics();
            const FramerCounts& f = s.link.framer;
            // Taken while the reader publishes: never a mix of two publications.
            EXPECT_EQ(f.bytes, f.frame_bytes + f.noise_bytes + s.link.buffered_bytes);
            EXPECT_GE(f.telemetry_frames, s.packets_delivered + s.packets_waiting);
            if (f.bytes >= bytes || std::chrono::steady_clock::now() > end) return s;
        }
    }
};

TEST_F(LinkStatisticsTest, CountsAreConsistentWhileTheyGrowAndGoOnAcrossARestart) {
    // A partial frame behind every chunk: the framer holds bytes at most snapshots.
    const test::Bytes frame = test::telemetry_frame(1.0);
    const test::Bytes chunk =
        test::concat({test::hex("00 5A A5 00 00 FF"), frame, frame, test::Bytes(frame.begin(), frame.begin() + 40)});
    ASSERT_TRUE(runtime->start().ok());
    for (int i = 0; i < 200; ++i) {
        device.state().inject_bytes(chunk);
        if (i % 20 == 0) std::this_thread::sleep_for(1ms);
    }
    const LinkStatistics running = settled_at(200 * chunk.size());
    EXPECT_EQ(running.link.framer.bytes, 200 * chunk.size());
    ASSERT_TRUE(runtime->packets().try_recv().has_value());

    ASSERT_TRUE(runtime->stop().ok());
    const LinkStatistics stopped = runtime->link_statistics();
    // What the stopped reader's framer held became noise.
    EXPECT_EQ(stopped.link.buffered_bytes, 0u);
    EXPECT_EQ(stopped.link.framer.noise_bytes, running.link.framer.noise_bytes + running.link.buffered_bytes);
    EXPECT_EQ(stopped.packets_delivered, 1u);
    EXPECT_EQ(stopped.packets_delivered + stopped.packets_waiting, stopped.link.framer.telemetry_frames);

    ASSERT_TRUE(runtime->start().ok());
    device.state().inject_bytes(frame);
    const LinkStatistics restarted = settled_at(stopped.link.framer.bytes + frame.size());
    EXPECT_EQ(restarted.link.framer.telemetry_frames, stopped.link.framer.telemetry_frames + 1);
    EXPECT_EQ(restarted.link.framer.crc_rejected, stopped.link.framer.crc_rejected);
}

}  // namespace
}  // namespace vyre
