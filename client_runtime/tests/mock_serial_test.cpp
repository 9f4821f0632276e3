#include "port/mock_serial.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "device_side.hpp"
#include "test_support.hpp"

namespace vyre {
namespace {

using namespace std::chrono_literals;
using test::seconds_since;

std::vector<std::uint8_t> frame_bytes(std::uint16_t header, std::uint16_t identifier,
                                      std::vector<std::uint8_t> payload = {}) {
    return FramedPacket::make(header, identifier, std::move(payload)).to_bytes();
}

class MockPortTest : public ::testing::Test {
protected:
    MockDevice device{Duration::from_millis(100)};
    std::unique_ptr<MockPort> port = device.new_port();
    std::array<std::uint8_t, 1024> buffer{};

    std::vector<std::uint8_t> read_bytes(std::size_t capacity) {
        ReadResult got = port->read(std::span(buffer.data(), capacity));
        EXPECT_EQ(got.kind, ReadResult::Kind::Data);
        return {buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got.count)};
    }
};

TEST_F(MockPortTest, ReadsInjectedFramesInOrderAndInPieces) {
    device.inject_response(1, {});
    EXPECT_EQ(read_bytes(1024), frame_bytes(RESPONSE_HEADER, 1));

    device.inject_response(1, {});
    const auto first = frame_bytes(RESPONSE_HEADER, 1);
    EXPECT_EQ(read_bytes(4), std::vector(first.begin(), first.begin() + 4));
    EXPECT_EQ(port->bytes_to_read(), 6u);
    EXPECT_EQ(read_bytes(1024), std::vector(first.begin() + 4, first.end()));

    const std::vector<std::uint8_t> ack{1};
    device.inject_response(5, ack);
    device.inject_response(3, ack);
    EXPECT_TRUE(port->clear(ClearBuffer::All).ok());  // clearing discards nothing
    EXPECT_EQ(port->bytes_to_read(), 22u);
    EXPECT_EQ(read_bytes(1024), test::concat({frame_bytes(RESPONSE_HEADER, 5, {1}), frame_bytes(RESPONSE_HEADER, 3, {1})}));
}

TEST_F(MockPortTest, EmptyReadsTimeOut) {
    port->set_timeout(Duration{}).value();
    ReadResult immediate = port->read(buffer);
    EXPECT_EQ(immediate.kind, ReadResult::Kind::Timeout);
    EXPECT_EQ(immediate.text, MOCK_TIMEOUT_TEXT);

    port->set_timeout(Duration::from_millis(100)).value();
    const auto start = std::chrono::steady_clock::now();
    ReadResult waited = port->read(buffer);
    EXPECT_EQ(waited.kind, ReadResult::Kind::Timeout);
    EXPECT_EQ(waited.text, MOCK_TIMEOUT_TEXT);
    EXPECT_GE(seconds_since(start), 0.095);
}

TEST_F(MockPortTest, WaitingReadReturnsInjectedBytesOrWakeUpAtOnce) {
    port->set_timeout(Duration{3600, 0}).value();
    // each side acts once the read waits (its thread asleep)
    std::thread device_side([&] {
        test::eventually([] { return test::other_threads().asleep; });
        device.inject_response(2, {});
    });
    EXPECT_EQ(read_bytes(1024), frame_bytes(RESPONSE_HEADER, 2));
    device_side.join();

    WakeFn wake = port->waker();
    std::thread waker([&] {
        test::eventually([] { return test::other_threads().asleep; });
        wake();
    });
    EXPECT_EQ(port->read(buffer).kind, ReadResult::Kind::Empty);
    waker.join();

    // A wake-up before the read ends that read only.
    wake();
    EXPECT_EQ(port->read(buffer).kind, ReadResult::Kind::Empty);
    port->set_timeout(Duration{}).value();
    EXPECT_EQ(port->read(buffer).kind, ReadResult::Kind::Timeout);
}

TEST_F(MockPortTest, ConfigurationChangesOnlyTheSharedReadTimeout) {
    EXPECT_TRUE(port->set_baud_rate(9600).ok());
    EXPECT_TRUE(port->set_data_bits(DataBits::Seven).ok());
    EXPECT_TRUE(port->set_parity(Parity::Even).ok());
    EXPECT_TRUE(port->set_flow_control(FlowControl::Hardware).ok());
    EXPECT_TRUE(port->write_data_terminal_ready(false).ok());
    EXPECT_EQ(port->baud_rate(), 2'000'000u);
    EXPECT_EQ(port->data_bits(), DataBits::Eight);
    EXPECT_EQ(port->parity(), Parity::None);
    EXPECT_EQ(port->flow_control(), FlowControl::None);

    auto clone = port->clone();
    clone->set_timeout(Duration{2, 0}).value();
    EXPECT_EQ(port->timeout(), (Duration{2, 0}));
    device.inject_response(8, {});
    EXPECT_EQ(clone->bytes_to_read(), 10u);
    EXPECT_EQ(port->bytes_to_read(), 10u);
}

class CommandWaitTest : public MockPortTest {
protected:
    void write(const std::vector<std::uint8_t>& bytes) { EXPECT_EQ(port->write(bytes), bytes.size()); }
    std::optional<std::uint16_t> wait(Duration timeout) { return test::next_identifier(device, timeout); }
};

TEST_F(CommandWaitTest, FramesComeBackOneByOneInWriteOrder) {
    const auto both = test::concat(
        {frame_bytes(COMMAND_HEADER, 1), frame_bytes(MOCK_HEADER, 0x48, std::vector<std::uint8_t>(286, 7))});
    std::size_t written = 0;
    ASSERT_TRUE(port->write_all(both, [] { return true; }, written).ok());
    EXPECT_EQ(written, both.size());
    EXPECT_EQ(wait(Duration{}), 1);  // a whole frame is returned even for a zero time-out
    EXPECT_EQ(wait(Duration{}), 0x48);
    EXPECT_EQ(wait(Duration{}), std::nullopt);
}

TEST_F(CommandWaitTest, NothingOrPartOfAFrameGivesNoneAtTheDeadline) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait(Duration::from_millis(50)), std::nullopt);
    EXPECT_GE(seconds_since(start), 0.045);

    const auto frame = frame_bytes(COMMAND_HEADER, 255);
    write({frame.begin(), frame.begin() + 8});
    EXPECT_EQ(wait(Duration::from_millis(5)), std::nullopt);
    write({frame.begin() + 8, frame.end()});
    EXPECT_EQ(wait(Duration{}), 255);

    // A length larger than anything written keeps every later call waiting.
    auto announced = frame_bytes(COMMAND_HEADER, 3, std::vector<std::uint8_t>(35, 0));
    announced.resize(20);
    write(announced);
    EXPECT_EQ(wait(Duration::from_millis(5)), std::nullopt);
    write(frame_bytes(COMMAND_HEADER, 2));
    EXPECT_EQ(wait(Duration::from_millis(5)), std::nullopt);
}

TEST_F(CommandWaitTest, CorruptFrameFailsEveryLaterCall) {
    auto frame = frame_bytes(COMMAND_HEADER, 1);
    const std::uint16_t sent_crc = read_u16_le(frame.data() + 8);
    frame[2] = 2;  // identifier 2 under the CRC of identifier 1
    write(frame);
    write(frame_bytes(COMMAND_HEADER, 8));
    const std::uint16_t actual_crc = compute_crc(COMMAND_HEADER, 2, 0, {});
    const std::string text =
        "BadCrc { expected: " + std::to_string(actual_crc) + ", got: " + std::to_string(sent_crc) + " }";
    for (int call = 0; call < 2; ++call) {
        auto got = device.wait_for_command_identifier(Duration{});
        ASSERT_FALSE(got.ok());
        EXPECT_FALSE(got.error().is_internal());
        EXPECT_EQ(got.error().text, text);
    }
}

TEST_F(CommandWaitTest, PollHookEndsTheWait) {
    int polls = 0;
    const auto start = std::chrono::steady_clock::now();
    auto got = device.wait_for_command_identifier(Duration{3600, 0}, [&] { return ++polls == 3; });
    ASSERT_FALSE(got.ok());
    EXPECT_TRUE(got.error().is_interrupted());
    EXPECT_EQ(polls, 3);
    EXPECT_LT(seconds_since(start), 60.0);

    write(frame_bytes(COMMAND_HEADER, 4));  // nothing was lost: the next call works
    EXPECT_EQ(wait(Duration{}), 4);

    auto overflow = device.wait_for_command_identifier(Duration{UINT64_MAX, 0});
    ASSERT_FALSE(overflow.ok());
    EXPECT_EQ(overflow.error().text, DEADLINE_OVERFLOW_TEXT);
}

// The hook may run Python code (signal handlers) that uses the device too, so it
// runs with no lock held: another wait finishes while the hook runs.
TEST_F(CommandWaitTest, PollHookRunsWithoutHoldingTheCommandBuffer) {
    std::future<std::optional<std::uint16_t>> other;
    bool other_finished_during_hook = false;
    auto got = device.wait_for_command_identifier(Duration{3600, 0}, [&] {
        write(frame_bytes(COMMAND_HEADER, 9));
        other = std::async(std::launch::async, [this] { return wait(Duration{}); });
        // generous: a wait holding the lock keeps the other one blocked until it returns
        other_finished_during_hook = other.wait_for(10s) == std::future_status::ready;
        return true;
    });
    ASSERT_FALSE(got.ok());
    EXPECT_TRUE(got.error().is_interrupted());
    EXPECT_TRUE(other_finished_during_hook);
    EXPECT_EQ(other.get(), 9);
}

}  // namespace
}  // namespace vyre
