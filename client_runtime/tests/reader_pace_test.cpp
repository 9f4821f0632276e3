// The reader lets only a quiet line fill: while bytes are already waiting at
// each read, however few, it reads on and never lingers.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "runtime/client_runtime.hpp"
#include "test_support.hpp"

namespace vyre {
namespace {

// A line that has one telemetry frame ready at every read, or one that makes
// every read wait for its frame.
class FrameAtEveryRead final : public Port {
public:
    struct Counts {
        std::atomic<int> lingers{0};
        std::atomic<int> reads{0};
    };
    // `gap`: how long each read takes to bring its frame.
    FrameAtEveryRead(bool waited, std::shared_ptr<Counts> counts, std::chrono::microseconds gap = {})
        : waited_(waited), counts_(std::move(counts)), gap_(gap), frame_(test::telemetry_frame(1.0)) {}

    ReadResult read(std::span<std::uint8_t> buffer) override {
        if (gap_.count() > 0) std::this_thread::sleep_for(gap_);
        ++counts_->reads;
        const std::size_t n = std::min(buffer.size(), frame_.size());
        std::copy_n(frame_.begin(), n, buffer.begin());
        return ReadResult::data(n, waited_);
    }
    void linger(std::chrono::microseconds) override { ++counts_->lingers; }
    Status write_all(std::span<const std::uint8_t>, const std::function<bool()>&) override { return ok_status(); }
    Status write_data_terminal_ready(bool) override { return ok_status(); }
    WakeFn waker() override { return [] {}; }

private:
    const bool waited_;
    std::shared_ptr<Counts> counts_;
    const std::chrono::microseconds gap_;
    const test::Bytes frame_;
};

class ReaderPaceTest : public ::testing::TestWithParam<bool> {};

TEST_P(ReaderPaceTest, LingersOnlyWhenReadsWaitForTheLine) {
    const bool reads_wait = GetParam();
    auto counts = std::make_shared<FrameAtEveryRead::Counts>();
    auto runtime = ClientRuntime::from_port(std::make_unique<FrameAtEveryRead>(reads_wait, counts));
    ASSERT_TRUE(runtime->start().ok());
    ASSERT_TRUE(test::eventually([&] { return counts->reads.load() >= 200; }));
    ASSERT_TRUE(runtime->stop().ok());
    std::vector<DataPacket> packets;
    runtime->packets().drain_into(packets);
    EXPECT_GE(packets.size(), 199u);
    if (reads_wait)
        EXPECT_GT(counts->lingers.load(), 0);  // nobody waits: a quiet line is left to fill
    else
        EXPECT_EQ(counts->lingers.load(), 0);  // a busy line is never held back
}

std::string line_name(const ::testing::TestParamInfo<bool>& line) { return line.param ? "Quiet" : "Busy"; }

INSTANTIATE_TEST_SUITE_P(Lines, ReaderPaceTest, ::testing::Values(false, true), line_name);

// A quiet line (a frame a millisecond, each read waiting for it). A script that
// polls faster than a linger lasts would cut every linger short and wait at each
// poll for the reader: the reader stops lingering. Polls rarer than that leave
// the pacing as it is.
class PolledQuietLine : public ::testing::TestWithParam<std::chrono::microseconds> {};

TEST_P(PolledQuietLine, LingersOnlyWhenPollsAreRarerThanALinger) {
    const std::chrono::microseconds poll_every = GetParam();
    auto counts = std::make_shared<FrameAtEveryRead::Counts>();
    auto port = std::make_unique<FrameAtEveryRead>(true, counts, std::chrono::milliseconds(1));
    auto runtime = ClientRuntime::from_port(std::move(port));
    ASSERT_TRUE(runtime->start().ok());
    std::atomic<bool> polling{true};
    std::thread script([&] {
        while (polling.load()) {
            runtime->catch_up_reader();
            std::this_thread::sleep_for(poll_every);
        }
    });
    // After the first flow window the rule holds; count what follows.
    ASSERT_TRUE(test::eventually([&] { return counts->reads.load() >= 100; }));
    const int lingers_before = counts->lingers.load(), reads_before = counts->reads.load();
    ASSERT_TRUE(test::eventually([&] { return counts->reads.load() >= reads_before + 200; }));
    const int lingers = counts->lingers.load() - lingers_before, reads = counts->reads.load() - reads_before;
    polling.store(false);
    script.join();
    ASSERT_TRUE(runtime->stop().ok());
    if (poll_every < READER_LINGER)
        EXPECT_LT(lingers, reads / 4);
    else
        EXPECT_GT(lingers, reads / 2);
}

INSTANTIATE_TEST_SUITE_P(Polls, PolledQuietLine,
                         ::testing::Values(std::chrono::microseconds(300), std::chrono::microseconds(20'000)),
                         [](const auto& poll) { return "Every" + std::to_string(poll.param.count()) + "us"; });

}  // namespace
}  // namespace vyre
