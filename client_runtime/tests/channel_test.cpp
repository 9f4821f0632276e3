#include "sync/channel.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <memory>
#include <numeric>
#include <thread>
#include <utility>
#include <vector>

namespace vyre {
namespace {

using namespace std::chrono_literals;

TEST(Channel, DeliversInSendOrderOneByOneOrDrained) {
    auto [tx, rx] = make_channel<int>();
    std::deque<int> out{-1};
    EXPECT_EQ(rx.drain_into(out), 0u);
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(tx.send(i));
    ASSERT_TRUE(tx.send_all(std::vector<int>{100, 101, 102}));
    for (int i = 0; i < 98; ++i) EXPECT_EQ(rx.try_recv(), i);
    EXPECT_EQ(rx.drain_into(out), 5u);  // appended after what the container held
    EXPECT_EQ(out, (std::deque<int>{-1, 98, 99, 100, 101, 102}));
    EXPECT_EQ(rx.try_recv(), std::nullopt);
    ASSERT_TRUE(tx.send(103));
    std::vector<int> more;
    EXPECT_EQ(rx.drain_into(more), 1u);
    EXPECT_EQ(more, std::vector<int>{103});
}

TEST(Channel, WaitUntilLeavesItemsQueuedAndTakeAllHandsOverTheirBlock) {
    auto [tx, rx] = make_channel<int>();
    const auto soon = [] { return std::chrono::steady_clock::now() + 10ms; };
    EXPECT_EQ(rx.wait_until(soon()), RecvStatus::Timeout);
    EXPECT_EQ(rx.take_all().count, 0u);
    for (int i = 0; i < 1000; ++i) ASSERT_TRUE(tx.send(i));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(rx.try_recv(), i);
    EXPECT_EQ(rx.wait_until(soon()), RecvStatus::Ok);
    EXPECT_EQ(rx.wait_until(soon()), RecvStatus::Ok);
    ItemBlock<int> taken = rx.take_all();
    std::vector<int> items(taken.data, taken.data + taken.count);
    std::free(taken.block);
    std::vector<int> expected(990);
    std::iota(expected.begin(), expected.end(), 10);
    EXPECT_EQ(items, expected);
    EXPECT_EQ(rx.try_recv(), std::nullopt);
    ASSERT_TRUE(tx.send(7));  // the channel goes on with a block of its own
    EXPECT_EQ(rx.try_recv(), 7);

    tx.signal_failure();
    EXPECT_EQ(rx.wait_until(soon()), RecvStatus::Failed);
    rx.clear_failure();
    { auto dropped = std::move(tx); }
    EXPECT_EQ(rx.wait_until(soon()), RecvStatus::Disconnected);
}

TEST(Channel, ManyProducersLoseNothingAndKeepEachOrder) {
    constexpr int PRODUCERS = 4, ITEMS = 20'000;
    auto [tx, rx] = make_channel<std::pair<int, int>>();
    std::vector<std::thread> producers;
    for (int p = 0; p < PRODUCERS; ++p)
        producers.emplace_back([p, sender = tx]() mutable {
            // Blocks of ten, alternately one by one and as one burst.
            for (int i = 0; i < ITEMS; i += 10) {
                std::vector<std::pair<int, int>> block;
                for (int k = 0; k < 10; ++k) block.emplace_back(p, i + k);
                if (i / 10 % 2 == 0) {
                    ASSERT_TRUE(sender.send_all(std::move(block)));
                } else {
                    for (auto& item : block) ASSERT_TRUE(sender.send(item));
                }
            }
        });
    { auto dropped = std::move(tx); }

    std::vector<int> next(PRODUCERS, 0);
    std::size_t total = 0;
    while (auto item = rx.recv()) {
        auto [p, i] = *item;
        ASSERT_EQ(i, next[p]) << "producer " << p;
        ++next[p];
        ++total;
    }
    for (auto& t : producers) t.join();
    EXPECT_EQ(total, std::size_t{PRODUCERS} * ITEMS);
}

TEST(Channel, SendFailsOnceReceiverIsGone) {
    auto [tx, rx] = make_channel<std::shared_ptr<int>>();
    auto item = std::make_shared<int>(1);
    ASSERT_TRUE(tx.send(item));
    { auto gone = std::move(rx); }
    EXPECT_EQ(item.use_count(), 1);  // what was queued went with the receiver
    EXPECT_FALSE(tx.send(item));
    EXPECT_FALSE(tx.send_all(std::vector{item, item}));
    Sender<std::shared_ptr<int>> copy = tx;
    EXPECT_FALSE(copy.send(item));
    EXPECT_FALSE(Sender<std::shared_ptr<int>>{}.send(item));
    EXPECT_EQ(item.use_count(), 1);
}

TEST(Channel, RecvWakesWhenLastSenderLeavesFromAnotherThread) {
    auto [tx, rx] = make_channel<int>();
    std::thread leaver([sender = std::move(tx)]() mutable {
        std::this_thread::sleep_for(20ms);
        sender.send(7);
        std::this_thread::sleep_for(20ms);
    });
    EXPECT_EQ(rx.recv(), 7);
    EXPECT_EQ(rx.recv(), std::nullopt);
    leaver.join();
}

TEST(Channel, RecvTimeoutTellsTimeoutFromDisconnect) {
    auto [tx, rx] = make_channel<int>();
    int out = -1;
    EXPECT_EQ(rx.recv_timeout(out, 10ms), RecvStatus::Timeout);
    EXPECT_EQ(rx.recv_timeout(out, 0ms), RecvStatus::Timeout);
    EXPECT_EQ(rx.recv_timeout(out, -5s), RecvStatus::Timeout);
    EXPECT_EQ(out, -1);

    tx.send(4);
    tx.send(5);
    { auto gone = std::move(tx); }
    // Items queued before the last sender left still come out first.
    EXPECT_EQ(rx.recv_timeout(out, 0ms), RecvStatus::Ok);
    EXPECT_EQ(out, 4);
    EXPECT_EQ(rx.recv_timeout(out, 10s), RecvStatus::Ok);
    EXPECT_EQ(out, 5);
    EXPECT_EQ(rx.recv_timeout(out, 10s), RecvStatus::Disconnected);
    EXPECT_EQ(rx.recv_until(out, std::chrono::steady_clock::now() - 1s), RecvStatus::Disconnected);
}

// Generous and even unbounded time-outs wait for the item instead of overflowing the deadline.
class ChannelLongTimeout : public ::testing::TestWithParam<int> {};

TEST_P(ChannelLongTimeout, WaitsForLateItem) {
    auto [tx, rx] = make_channel<int>();
    std::thread late([sender = std::move(tx)]() mutable {
        std::this_thread::sleep_for(30ms);
        sender.send(9);
    });
    int out = 0;
    RecvStatus status{};
    switch (GetParam()) {
        case 0: status = rx.recv_timeout(out, 60s); break;
        case 1: status = rx.recv_timeout(out, std::chrono::hours::max()); break;
        case 2: status = rx.recv_timeout(out, std::chrono::duration<double>(1e300)); break;
        case 3: status = rx.recv_timeout(out, std::chrono::nanoseconds::max()); break;
    }
    late.join();
    EXPECT_EQ(status, RecvStatus::Ok);
    EXPECT_EQ(out, 9);
}

INSTANTIATE_TEST_SUITE_P(Durations, ChannelLongTimeout, ::testing::Values(0, 1, 2, 3));

TEST(Channel, RecvTimeoutWakesOnLastSenderLeaving) {
    auto [tx, rx] = make_channel<int>();
    std::thread leaver([sender = std::move(tx)]() mutable { std::this_thread::sleep_for(20ms); });
    int out = 0;
    EXPECT_EQ(rx.recv_timeout(out, 60s), RecvStatus::Disconnected);
    leaver.join();
}

// The channel ends only when the last of all copies, moves and assignments is gone.
TEST(Channel, SenderCopiesAreCounted) {
    auto [tx, rx] = make_channel<int>();
    int out = 0;
    {
        Sender<int> copy(tx);
        Sender<int> assigned;
        assigned = copy;
        Sender<int> moved(std::move(copy));
        Sender<int> move_assigned;
        move_assigned = std::move(moved);
        assigned = assigned;  // self-assignment keeps the count
        { auto original = std::move(tx); }
        EXPECT_EQ(rx.recv_timeout(out, 1ms), RecvStatus::Timeout);
        assigned = Sender<int>{};  // drops one of the two live senders
        EXPECT_EQ(rx.recv_timeout(out, 1ms), RecvStatus::Timeout);
        EXPECT_FALSE(moved.valid());
        EXPECT_TRUE(move_assigned.send(3));
    }
    EXPECT_EQ(rx.recv(), 3);
    EXPECT_EQ(rx.recv_timeout(out, 1ms), RecvStatus::Disconnected);
}

TEST(Channel, ReceiverMoveAssignmentClosesTheOldChannel) {
    auto [tx1, rx1] = make_channel<int>();
    auto [tx2, rx2] = make_channel<int>();
    rx1 = std::move(rx2);
    EXPECT_FALSE(tx1.send(1));
    EXPECT_TRUE(tx2.send(2));
    EXPECT_EQ(rx1.try_recv(), 2);
}

}  // namespace
}  // namespace vyre
