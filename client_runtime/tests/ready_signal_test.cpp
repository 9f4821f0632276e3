#include "sync/ready_signal.hpp"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "sync/channel.hpp"

namespace vyre {
namespace {

bool readable(int fd, int timeout_ms = 0) {
    pollfd ready{fd, POLLIN, 0};
    return ::poll(&ready, 1, timeout_ms) == 1 && (ready.revents & POLLIN) != 0;
}

TEST(ReadySignal, NothingBeforeTheDescriptorIsAskedForThenReadableWhileItemsWait) {
    auto signal = std::make_shared<ReadySignal>();
    auto [tx, rx] = make_channel<int>([signal] { signal->raise(); });
    const auto waiting = [&rx] { return rx.queued() > 0; };
    ASSERT_TRUE(tx.send(1));  // no descriptor yet: nothing written anywhere
    EXPECT_FALSE(signal->in_use());

    auto fd = signal->descriptor(waiting);
    ASSERT_TRUE(fd.ok());
    EXPECT_TRUE(readable(fd.value()));  // what came before counts
    EXPECT_EQ(signal->descriptor(waiting).value(), fd.value());
    signal->settle(waiting);
    EXPECT_TRUE(readable(fd.value()));  // still waiting: stays readable

    std::vector<int> taken;
    rx.drain_into(taken);
    signal->settle(waiting);
    EXPECT_FALSE(readable(fd.value()));
    ASSERT_TRUE(tx.send(2));
    ASSERT_TRUE(tx.send(3));
    EXPECT_TRUE(readable(fd.value()));
}

// A producer racing the caller's settle: whenever the caller finds the
// descriptor quiet, nothing is waiting, and every item gets through.
TEST(ReadySignal, NeverQuietWhileAnItemWaitsUnderARacingProducer) {
    constexpr int kItems = 20000;
    auto signal = std::make_shared<ReadySignal>();
    auto [tx, rx] = make_channel<int>([signal] { signal->raise(); });
    const auto waiting = [&rx] { return rx.queued() > 0; };
    const int fd = signal->descriptor(waiting).value();

    std::thread producer([tx = std::move(tx)]() mutable {
        for (int i = 0; i < kItems; ++i) {
            (void)tx.send(i);
            if (i % 64 == 0) std::this_thread::yield();
        }
    });
    std::vector<int> taken;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (static_cast<int>(taken.size()) < kItems && std::chrono::steady_clock::now() < give_up) {
        if (!readable(fd, 1000)) {
            // an item queued just now raises the descriptor right after
            ASSERT_TRUE(rx.queued() == 0 || readable(fd, 1000)) << "quiet with items waiting";
            continue;
        }
        rx.drain_into(taken);
        signal->settle(waiting);
    }
    producer.join();
    rx.drain_into(taken);
    ASSERT_EQ(taken.size(), static_cast<std::size_t>(kItems));
    for (int i = 0; i < kItems; ++i) ASSERT_EQ(taken[static_cast<std::size_t>(i)], i);
    signal->settle(waiting);
    EXPECT_FALSE(readable(fd));
}

}  // namespace
}  // namespace vyre
