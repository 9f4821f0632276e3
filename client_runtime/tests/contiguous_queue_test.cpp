#include "sync/contiguous_queue.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <random>
#include <vector>

namespace vyre {
namespace {

// Pushes and pops in uneven runs, so the block grows, reuses the room before its
// front and restarts when emptied; it must always agree with a std::deque.
TEST(ContiguousQueue, AgreesWithADequeWhileItsBlockGrowsAndIsReused) {
    ContiguousQueue<long> queue;
    std::deque<long> model;
    std::mt19937 rng(5);
    long next = 0;
    for (int round = 0; round < 2000; ++round) {
        for (int n = static_cast<int>(rng() % 150); n > 0; --n) {
            queue.push_back(next);
            model.push_back(next++);
        }
        for (int n = static_cast<int>(rng() % 160); n > 0 && !model.empty(); --n) {
            ASSERT_EQ(queue.front(), model.front());
            queue.pop_front();
            model.pop_front();
        }
        ASSERT_EQ(queue.size(), model.size());
    }
    ASSERT_EQ(std::vector<long>(queue.begin(), queue.end()), std::vector<long>(model.begin(), model.end()));

    // Handed over: exactly the queued items, and the queue starts afresh.
    ItemBlock<long> taken = queue.release();
    std::vector<long> items(taken.data, taken.data + taken.count);
    std::free(taken.block);
    EXPECT_EQ(items, std::vector<long>(model.begin(), model.end()));
    EXPECT_TRUE(queue.empty());
    queue.push_back(-1);
    EXPECT_EQ(queue.front(), -1);
}

}  // namespace
}  // namespace vyre
