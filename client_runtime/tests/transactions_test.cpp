// Command transactions against the mock serial device.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "case_names.hpp"
#include "commands.hpp"
#include "device_side.hpp"
#include "runtime/client_runtime.hpp"
#include "test_support.hpp"

namespace vyre {
namespace {

using namespace std::chrono_literals;

using test::seconds_since;

class Transactions : public test::MockClient {};

TEST_F(Transactions, ClaimsItsKindAndKeepsOthersPending) {
    device.inject_response(255, std::vector<std::uint8_t>{1});
    device.inject_response(2, test::device_config_payload("rocket", 100, 2));
    ASSERT_TRUE(runtime->start().ok());

    auto config = runtime->get_device_config(10.0);
    ASSERT_TRUE(config.ok() && config.value().has_value());
    EXPECT_EQ(*config.value(), (DeviceConfig{"rocket", 100, DeviceProtocol::UART}));
    ASSERT_EQ(runtime->responses().waiting(), 1u);

    const auto start = std::chrono::steady_clock::now();
    auto cancelled = runtime->cancel(30.0);
    ASSERT_TRUE(cancelled.ok());
    EXPECT_TRUE(cancelled.value());
    EXPECT_LT(seconds_since(start), 20.0);  // found pending, no wait
    EXPECT_EQ(runtime->responses().waiting(), 0u);
    EXPECT_EQ(next_identifier(), 2);
    EXPECT_EQ(next_identifier(), 255);
}

TEST_F(Transactions, LateAnswerIsClaimedByTheNextCallOfItsKind) {
    // Not started: the command stays queued and the call times out.
    auto missed = runtime->get_device_info(0.05);
    ASSERT_TRUE(missed.ok());
    EXPECT_FALSE(missed.value().has_value());

    device.inject_response(1, test::device_info_payload(1, "late"));
    device.inject_response(1, test::device_info_payload(2, "own"));
    ASSERT_TRUE(runtime->start().ok());
    auto late = runtime->get_device_info(10.0);
    ASSERT_TRUE(late.ok() && late.value().has_value());
    EXPECT_EQ(late.value()->id, 1u);
    auto own = runtime->get_device_info(0.0);
    ASSERT_TRUE(own.ok() && own.value().has_value());
    EXPECT_EQ(own.value()->id, 2u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(next_identifier(), 1);
}

TEST(ResponseBoardMark, AnswersOlderThanTheMarkAreDroppedNotClaimed) {
    ResponseBoard board;
    std::vector<Response> answers{DeviceInfo{1, "late"}, CancelAck{true}};
    board.post(answers);
    const std::uint64_t since = board.mark();
    answers = {DeviceInfo{2, "own"}};
    board.post(answers);

    auto own = board.take(ResponseKind::DeviceInfo, since);
    ASSERT_TRUE(own.has_value());
    EXPECT_EQ(std::get<DeviceInfo>(*own).id, 2u);
    EXPECT_EQ(board.waiting(ResponseKind::DeviceInfo), 0u);  // the late one went too
    EXPECT_EQ(board.waiting(ResponseKind::CancelAck), 1u);   // other kinds are left alone
}

// Posts one DeviceInfo answer; whether it stayed on the board.
bool posted_info(ResponseBoard& board, std::uint64_t id) {
    const std::size_t before = board.waiting(ResponseKind::DeviceInfo);
    std::vector<Response> answers{DeviceInfo{id, "x"}};
    board.post(answers);
    return board.waiting(ResponseKind::DeviceInfo) > before;
}

TEST(ResponseBoardDebts, AGivenUpCallRefusesItsAnswerOnceAndALostAnswerCostsOneCallOnly) {
    ResponseBoard board;
    // a call gives up: the next answer of its kind is its late one
    board.unanswered(ResponseKind::DeviceInfo, board.mark(), board.debts_paid(ResponseKind::DeviceInfo));
    std::vector<Response> other{CancelAck{true}};
    board.post(other);  // other kinds owe nothing
    EXPECT_FALSE(posted_info(board, 1));
    EXPECT_TRUE(posted_info(board, 2));
    EXPECT_EQ(board.dropped(), 1u);
    (void)board.take(ResponseKind::DeviceInfo);

    // the owed answer was lost: the next call refuses its own answer and times
    // out, and owes nothing, so the call after it is answered
    board.unanswered(ResponseKind::DeviceInfo, board.mark(), board.debts_paid(ResponseKind::DeviceInfo));
    const std::uint64_t since = board.mark();
    const std::uint64_t paid = board.debts_paid(ResponseKind::DeviceInfo);
    EXPECT_FALSE(posted_info(board, 3));
    board.unanswered(ResponseKind::DeviceInfo, since, paid);
    EXPECT_TRUE(posted_info(board, 4));

    // an answer that came between the give-up and its accounting is refused at once
    const std::uint64_t racing = board.mark();
    (void)board.take(ResponseKind::DeviceInfo);
    EXPECT_TRUE(posted_info(board, 5));
    board.unanswered(ResponseKind::DeviceInfo, racing, board.debts_paid(ResponseKind::DeviceInfo));
    EXPECT_EQ(board.waiting(ResponseKind::DeviceInfo), 0u);
    EXPECT_TRUE(posted_info(board, 6));

    // a lost link takes the debts with it
    (void)board.take(ResponseKind::DeviceInfo);
    board.unanswered(ResponseKind::DeviceInfo, board.mark(), board.debts_paid(ResponseKind::DeviceInfo));
    board.signal_failure();
    EXPECT_TRUE(posted_info(board, 7));
}

struct AckCase {
    const char* name;
    std::uint16_t identifier;
    std::function<Result<bool>(ClientRuntime&, double)> call;
};

class Acknowledgements : public Transactions, public ::testing::WithParamInterface<AckCase> {};

TEST_P(Acknowledgements, PositiveNegativeAndMissing) {
    const AckCase& c = GetParam();
    ASSERT_TRUE(runtime->start().ok());
    device.inject_response(c.identifier, std::vector<std::uint8_t>{1});
    auto accepted = c.call(*runtime, 30.0);
    ASSERT_TRUE(accepted.ok());
    EXPECT_TRUE(accepted.value());

    // A refusal answers at once, like a time-out but without the wait.
    device.inject_response(c.identifier, std::vector<std::uint8_t>{0});
    const auto start = std::chrono::steady_clock::now();
    auto refused = c.call(*runtime, 30.0);
    ASSERT_TRUE(refused.ok());
    EXPECT_FALSE(refused.value());
    EXPECT_LT(seconds_since(start), 20.0);

    auto unanswered = c.call(*runtime, 0.05);
    ASSERT_TRUE(unanswered.ok());
    EXPECT_FALSE(unanswered.value());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(next_identifier(), c.identifier);
}

const std::array<float, 3> OFFSETS{0.1f, 0.2f, 0.3f};
const std::array<float, 9> MATRIX{1, 0, 0, 0, 1, 0, 0, 0, 1};

INSTANTIATE_TEST_SUITE_P(
    Setters, Acknowledgements,
    ::testing::Values(
        AckCase{"set_device_config", 3,
                [](ClientRuntime& r, double timeout) { return r.set_device_config("rocket", 100, DeviceProtocol::UART, timeout); }},
        AckCase{"set_magnetometer_calibration", 6,
                [](ClientRuntime& r, double timeout) { return r.set_magnetometer_calibration(OFFSETS, MATRIX, timeout); }},
        AckCase{"set_imu_calibration", 7,
                [](ClientRuntime& r, double timeout) {
                    return r.set_imu_calibration(OFFSETS, MATRIX, OFFSETS, MATRIX, timeout);
                }},
        AckCase{"cancel", 255, [](ClientRuntime& r, double timeout) { return r.cancel(timeout); }}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST_F(Transactions, GettersTimeOutWithNothingAndLeaveTheirCommand) {
    ASSERT_TRUE(runtime->start().ok());
    const auto start = std::chrono::steady_clock::now();
    auto info = runtime->get_device_info(0.2);
    ASSERT_TRUE(info.ok());
    EXPECT_FALSE(info.value().has_value());
    EXPECT_GE(seconds_since(start), 0.19);
    auto calibration = runtime->get_calibration(0.0);
    ASSERT_TRUE(calibration.ok());
    EXPECT_FALSE(calibration.value().has_value());
    EXPECT_EQ(next_identifier(), 1);
    EXPECT_EQ(next_identifier(), 8);
}

TEST_F(Transactions, EachKindKeepsABoundedBacklogOldestDroppedFirst) {
    const std::size_t extra = 10;
    for (std::size_t id = 0; id < RESPONSE_BACKLOG_PER_KIND + extra; ++id)
        device.inject_response(1, test::device_info_payload(id, "flood"));
    device.inject_response(255, std::vector<std::uint8_t>{1});
    ASSERT_TRUE(runtime->start().ok());
    ASSERT_TRUE(test::eventually([&] { return runtime->responses().waiting(ResponseKind::CancelAck) == 1; }));
    EXPECT_EQ(runtime->responses().waiting(ResponseKind::DeviceInfo), RESPONSE_BACKLOG_PER_KIND);
    EXPECT_EQ(runtime->responses().dropped(), extra);

    auto oldest_kept = runtime->get_device_info(0.0);
    ASSERT_TRUE(oldest_kept.ok() && oldest_kept.value().has_value());
    EXPECT_EQ(oldest_kept.value()->id, extra);
    auto cancelled = runtime->cancel(0.0);  // other kinds are untouched by the flood
    ASSERT_TRUE(cancelled.ok());
    EXPECT_TRUE(cancelled.value());
}

// A header-like pair in noise announces a frame that never completes; once the
// line has been quiet for a read time-out it is given up and the answer behind
// it is found.
TEST_F(Transactions, AFalseHeaderDoesNotHoldBackAnAnswerOnAQuietLine) {
    device.state().inject_bytes(std::vector<std::uint8_t>{0x5A, 0xA5, 0x00, 0x00, 76, 0x00, 0x00, 0x00});
    device.inject_response(1, test::device_info_payload(3, "behind"));
    ASSERT_TRUE(runtime->start().ok());
    auto info = runtime->get_device_info(10.0);
    ASSERT_TRUE(info.ok() && info.value().has_value());
    EXPECT_EQ(info.value()->id, 3u);
}

TEST_F(Transactions, RebootNeverWaitsAndItsAnswerStaysPending) {
    device.inject_response(4, std::vector<std::uint8_t>{9, 9});
    ASSERT_TRUE(runtime->reboot().ok());
    EXPECT_EQ(next_identifier(Duration{}), std::nullopt);  // not started: still queued
    ASSERT_TRUE(runtime->start().ok());
    EXPECT_EQ(next_identifier(), 4);
    device.inject_response(1, test::device_info_payload(5, "x"));
    auto info = runtime->get_device_info(10.0);
    ASSERT_TRUE(info.ok() && info.value().has_value());
    auto kept = runtime->responses().take(ResponseKind::Undecoded);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(std::get<Undecoded>(*kept).message, "No decoded response for Reboot");
}

struct BadTimeout {
    double seconds;
    const char* text;
    bool sent;  // only a deadline past the clock's range is found after sending
};

class ImpossibleTimeouts : public Transactions, public ::testing::WithParamInterface<BadTimeout> {};

TEST_P(ImpossibleTimeouts, FaultInsteadOfWaiting) {
    ASSERT_TRUE(runtime->start().ok());
    auto info = runtime->get_device_info(GetParam().seconds);
    ASSERT_FALSE(info.ok());
    EXPECT_TRUE(info.error().is_internal());
    EXPECT_EQ(info.error().text, GetParam().text);
    auto ack = runtime->set_device_config("x", 1, DeviceProtocol::USB, GetParam().seconds);
    ASSERT_FALSE(ack.ok());
    EXPECT_TRUE(ack.error().is_internal());
    EXPECT_EQ(ack.error().text, GetParam().text);
    if (GetParam().sent) {
        EXPECT_EQ(next_identifier(), 1);
        EXPECT_EQ(next_identifier(), 3);
    } else {
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(next_identifier(Duration{}), std::nullopt);
    }
}

INSTANTIATE_TEST_SUITE_P(Values, ImpossibleTimeouts,
                         ::testing::Values(BadTimeout{-1.0, NEGATIVE_DURATION_TEXT, false},
                                           BadTimeout{-1e-300, NEGATIVE_DURATION_TEXT, false},
                                           BadTimeout{std::numeric_limits<double>::quiet_NaN(), INVALID_DURATION_TEXT, false},
                                           BadTimeout{std::numeric_limits<double>::infinity(), INVALID_DURATION_TEXT, false},
                                           BadTimeout{std::ldexp(1.0, 64), INVALID_DURATION_TEXT, false},
                                           // a valid duration, but no instant that far ahead
                                           BadTimeout{1.7e19, DEADLINE_OVERFLOW_TEXT, true}),
                         [](const auto& p) { return test::number_name(p.param.seconds) + "_s"; });

TEST_F(Transactions, PollHookEndsTheWaitLikeATimeOut) {
    ASSERT_TRUE(runtime->start().ok());
    int polls = 0;
    const auto start = std::chrono::steady_clock::now();
    auto info = runtime->get_device_info(3600.0, [&] { return ++polls == 2; });
    ASSERT_FALSE(info.ok());
    EXPECT_TRUE(info.error().is_interrupted());
    EXPECT_EQ(polls, 2);
    EXPECT_LT(seconds_since(start), 60.0);

    device.inject_response(1, test::device_info_payload(3, "x"));  // the answer to the interrupted call
    auto next = runtime->get_device_info(10.0, [] { return false; });
    ASSERT_TRUE(next.ok() && next.value().has_value());
    EXPECT_EQ(next.value()->id, 3u);
}

}  // namespace
}  // namespace vyre
