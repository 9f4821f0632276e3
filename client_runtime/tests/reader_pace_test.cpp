// The reader lets only a quiet line fill: while bytes are already waiting at
// each read, however few, it reads on and never lingers.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>

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
    FrameAtEveryRead(bool waited, std::shared_ptr<Counts> counts)
        : waited_(waited), counts_(std::move(counts)), frame_(test::telemetry_frame(1.0)) {}

    ReadResult read(std::span<std::uint8_t> buffer) override {
        ++counts_->reads;
        const std::size_t n = std::min(buffer.size(), frame_.size());
        std::copy_n(frame_.begin(), n, buffer.begin());
        return ReadResult::data(n, waited_);
    }
    void linger(std::chrono::microseconds) override { ++counts_->lingers; }
    Status write_all(std::span<const std::uint8_t> bytes, const std::function<bool()>&, std::size_t& written) override {
        written = bytes.size();
        return ok_status();
    }
    Status write_data_terminal_ready(bool) override { return ok_status(); }
    WakeFn waker() override { return [] {}; }

private:
    const bool waited_;
    std::shared_ptr<Counts> counts_;
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

}  // namespace
}  // namespace vyre
