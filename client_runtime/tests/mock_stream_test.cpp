// Mock log streaming on the mock serial device, and its pacing on a pseudo-terminal.

#include "runtime/mock_stream.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <thread>

#include "device_side.hpp"
#include "log_parsing.hpp"
#include "runtime/client_runtime.hpp"
#include "sync/errno_text.hpp"
#include "test_support.hpp"

namespace vyre {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t TICKS_PER_MS = 168'000;

// A log's bytes: the header block, then one record per letter of `letters`, each
// `step` ticks after the one before, with zero padding after every seventh.
Bytes log_bytes(std::string_view letters, std::uint32_t step) {
    Bytes out(LOG_HEADER_SIZE, 'H');
    std::uint32_t timestamp = 0xFFFF'0000u;  // wraps early on
    for (std::size_t i = 0; i < letters.size(); ++i) {
        const auto type = static_cast<std::uint8_t>(letters[i]);
        out.push_back(type);
        append_u32_le(out, timestamp);
        out.insert(out.end(), *log_record_data_size(type), static_cast<std::uint8_t>(i | 1));
        if (i % 7 == 6) out.insert(out.end(), 3, 0);
        timestamp += step;
    }
    return out;
}

std::string cycled_letters(std::size_t count) {
    std::string letters;
    for (std::size_t i = 0; i < count; ++i) letters.push_back("ABMI"[i % 4]);
    return letters;
}

class LogFile {
public:
    explicit LogFile(const Bytes& bytes) {
        char name[] = "/tmp/vyre_mock_log_XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd < 0) throw std::runtime_error("mkstemp failed");
        path_ = name;
        if (!bytes.empty() && ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("writing the log failed");
        ::close(fd);
    }
    ~LogFile() { ::unlink(path_.c_str()); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class MockStream : public test::MockClient {
protected:
    void ack(std::uint8_t accepted = 1) { device.inject_response(5, Bytes{accepted}); }

    Status start(const std::string& path, bool realtime = false, double speed = 1.0,
                 std::uint64_t chunk_size = DEFAULT_MOCK_CHUNK_SIZE) {
        return runtime->start_mock_log_stream(path, realtime, speed, chunk_size, 10.0, true);
    }

    void wait_until_finished() { ASSERT_TRUE(test::eventually([&] { return !runtime->is_mock_log_streaming(); }, 60s)); }
};

std::vector<std::uint16_t> ids(std::initializer_list<std::uint16_t> head, std::string_view letters = {},
                               std::initializer_list<std::uint16_t> tail = {}) {
    std::vector<std::uint16_t> out(head);
    for (char c : letters) out.push_back(static_cast<std::uint8_t>(c));
    out.insert(out.end(), tail);
    return out;
}

struct HandshakeCase {
    const char* name;
    std::optional<std::uint8_t> ack;
    double timeout;
    const char* error;  // nullptr: the stream starts
    Error::Kind kind;
    bool interrupt;
    bool sent;  // whether EnterMockMode goes out
};

void PrintTo(const HandshakeCase& c, std::ostream* os) { *os << c.name; }

class Handshake : public MockStream, public ::testing::WithParamInterface<HandshakeCase> {};

TEST_P(Handshake, AcknowledgementDecidesTheStart) {
    const HandshakeCase& c = GetParam();
    LogFile log(log_bytes("AB", TICKS_PER_MS));
    if (c.ack) ack(*c.ack);
    int polls = 0;
    Status started = runtime->start_mock_log_stream(log.path(), false, 1.0, 8192, c.timeout, false,
                                                    [&] { return c.interrupt && ++polls == 2; });
    if (c.error == nullptr) {
        ASSERT_TRUE(started.ok()) << started.error().text;
        EXPECT_EQ(identifiers(), ids({5, 0x48}, "AB"));
        return;
    }
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error().text, c.error);
    EXPECT_EQ(started.error().kind, c.kind);
    EXPECT_FALSE(runtime->is_mock_log_streaming());
    EXPECT_EQ(runtime->is_running(), c.sent);  // the client is started before anything is sent
    if (c.sent) {
        EXPECT_EQ(identifiers(), ids({5}));
    }
}

constexpr auto MESSAGE = Error::Kind::Message;
constexpr auto FAULT = Error::Kind::InternalFault;

INSTANTIATE_TEST_SUITE_P(
    Cases, Handshake,
    ::testing::Values(HandshakeCase{"accepted", 1, 10.0, nullptr, MESSAGE, false, true},
                      HandshakeCase{"rejected", 0, 10.0, MOCK_MODE_REJECTED_TEXT, MESSAGE, false, true},
                      HandshakeCase{"missing", std::nullopt, 0.2, MOCK_ACK_TIMEOUT_TEXT, Error::Kind::TimedOut,
                                    false, true},
                      HandshakeCase{"interrupted", std::nullopt, 3600.0, "interrupted", Error::Kind::Interrupted,
                                    true, true},
                      HandshakeCase{"negative_timeout", 1, -1.0, NEGATIVE_DURATION_TEXT, FAULT, false, false},
                      HandshakeCase{"deadline_beyond_clock", std::nullopt, 1.7e19, DEADLINE_OVERFLOW_TEXT, FAULT,
                                    false, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

class RecordCounts : public MockStream, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(RecordCounts, DeviceSeesEveryRecordInFileOrderThenCancel) {
    const std::string letters = cycled_letters(GetParam());
    LogFile log(log_bytes(letters, TICKS_PER_MS));
    ack();
    ASSERT_TRUE(start(log.path()).ok());
    wait_until_finished();
    auto result = runtime->stop_mock_log_stream(false, true);
    ASSERT_TRUE(result.ok()) << result.error().text;
    EXPECT_EQ(result.value(), std::optional<std::uint64_t>(GetParam()));
    // The final Cancel follows the last record even when records still wait for the reader.
    EXPECT_EQ(identifiers(), ids({5, 0x48}, letters, {255}));
    EXPECT_FALSE(runtime->take_error().has_value());
}

INSTANTIATE_TEST_SUITE_P(Logs, RecordCounts, ::testing::Values(0, 100, 3000));

struct StreamCase {
    const char* name;
    Bytes file;
    std::string path;  // the file's path when empty
    double speed;
    std::uint64_t chunk_size;
    std::optional<std::uint64_t> sent;  // or the error:
    std::string error;
    std::vector<std::uint16_t> seen;
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

class StreamEnds : public MockStream, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(StreamEnds, ResultAndWhatTheDeviceSees) {
    const StreamCase& c = GetParam();
    LogFile log(c.file);
    ack();
    ASSERT_TRUE(start(c.path.empty() ? log.path() : c.path, true, c.speed, c.chunk_size).ok());
    wait_until_finished();
    // An error is queued for the caller at once, and is reported once: once
    // taken from the queue, the collection returns nothing for it.
    EXPECT_EQ(runtime->take_error(), c.error.empty() ? std::nullopt : std::optional<std::string>(c.error));
    auto result = runtime->stop_mock_log_stream(false, true);
    ASSERT_TRUE(result.ok()) << result.error().text;
    EXPECT_EQ(result.value(), c.sent);
    EXPECT_EQ(identifiers(), c.seen);
    EXPECT_FALSE(runtime->take_error().has_value());
}

const std::string SLOW = cycled_letters(100);

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamEnds,
    ::testing::Values(
        StreamCase{"speed_zero", log_bytes("AB", TICKS_PER_MS), "", 0.0, 8192, {}, SPEED_NOT_POSITIVE_TEXT, ids({5, 255})},
        StreamCase{"speed_negative", log_bytes("AB", TICKS_PER_MS), "", -1.0, 8192, {}, SPEED_NOT_POSITIVE_TEXT,
                   ids({5, 255})},
        // No comparison with NaN holds, so nothing sleeps: 200 s of log go out at once.
        StreamCase{"speed_nan", log_bytes(cycled_letters(200), 1000 * TICKS_PER_MS), "",
                   std::numeric_limits<double>::quiet_NaN(), 8192, 200, "",
                   ids({5, 0x48}, cycled_letters(200), {255})},
        StreamCase{"speed_too_small", log_bytes(SLOW, TICKS_PER_MS), "", 1e-300, 8192, {}, SPEED_TOO_SMALL_TEXT,
                   ids({5, 0x48}, std::string_view(SLOW).substr(0, 85), {255})},
        StreamCase{"file_shorter_than_header", Bytes(285, 'H'), "", 1.0, 8192, {}, SHORT_HEADER_TEXT, ids({5, 255})},
        StreamCase{"file_of_header_only", Bytes(286, 'H'), "", 1.0, 8192, 0, "", ids({5, 0x48, 255})},
        StreamCase{"chunk_size_zero", log_bytes("ABMI", TICKS_PER_MS), "", 1.0, 0, 0, "", ids({5, 0x48, 255})},
        StreamCase{"chunk_size_one", log_bytes("ABMI", TICKS_PER_MS), "", 1.0, 1, 4, "", ids({5, 0x48}, "ABMI", {255})},
        StreamCase{"chunk_size_unallocatable", log_bytes("AB", TICKS_PER_MS), "", 1.0,
                   std::numeric_limits<std::uint64_t>::max(), {},
                   CHUNK_TOO_LARGE_TEXT + std::to_string(std::numeric_limits<std::uint64_t>::max()) + " bytes",
                   ids({5, 0x48, 255})},
        StreamCase{"missing_file", {}, "/nonexistent/vyre.log", 1.0, 8192, {}, errno_text(ENOENT), ids({5, 255})},
        StreamCase{"nul_in_path", {}, std::string("/tmp/a\0b", 8), 1.0, 8192, {}, NUL_IN_PATH_TEXT, ids({5, 255})}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// 1000 records 10 ms apart: about ten seconds of streaming at speed 1.
const Bytes LONG_LOG = log_bytes(cycled_letters(1000), 10 * TICKS_PER_MS);

TEST_F(MockStream, OneStreamAtATimeAndAFinishedOneIsCollectedByTheNextStart) {
    LogFile long_log(LONG_LOG), three(log_bytes("ABM", TICKS_PER_MS)), five(log_bytes("ABMIA", TICKS_PER_MS));
    ASSERT_TRUE(runtime->start().ok());
    const std::size_t threads = test::thread_count();  // with the reader
    ack();
    ASSERT_TRUE(start(long_log.path(), true).ok());
    EXPECT_TRUE(runtime->is_mock_log_streaming());
    Status second = start(three.path());
    ASSERT_FALSE(second.ok());
    EXPECT_EQ(second.error().text, MOCK_STREAM_RUNNING_TEXT);
    auto stopped = runtime->stop_mock_log_stream(false, true);
    ASSERT_TRUE(stopped.ok() && stopped.value());
    EXPECT_LT(*stopped.value(), 1000u);

    ack();
    ASSERT_TRUE(start(three.path()).ok());
    wait_until_finished();  // finished but not collected
    ack();
    ASSERT_TRUE(start(five.path()).ok());  // the first stream's count is dropped
    EXPECT_LE(test::thread_count(), threads + 1);  // the finished thread was joined
    wait_until_finished();
    auto result = runtime->stop_mock_log_stream(false, true);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), std::optional<std::uint64_t>(5));
}

struct StopCase {
    bool cancel_device;
    bool block;
};

class StopStream : public MockStream, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopStream, WithAndWithoutAStream) {
    const auto [cancel_device, block] = GetParam();
    ASSERT_TRUE(runtime->start().ok());
    auto nothing = runtime->stop_mock_log_stream(cancel_device, block);
    ASSERT_TRUE(nothing.ok());
    EXPECT_FALSE(nothing.value().has_value());
    EXPECT_EQ(identifiers(cancel_device ? 10'000 : 300), cancel_device ? ids({255}) : ids({}));

    LogFile log(LONG_LOG);
    ack();
    ASSERT_TRUE(start(log.path(), true).ok());
    auto stopped = runtime->stop_mock_log_stream(cancel_device, block);
    ASSERT_TRUE(stopped.ok());
    // Only asked to stop: a later call collects the count (unless the thread,
    // seeing the flag, already ended before the check on a loaded machine).
    if (!block && !stopped.value().has_value()) {
        wait_until_finished();
        stopped = runtime->stop_mock_log_stream(false, false);
        ASSERT_TRUE(stopped.ok());
    }
    ASSERT_TRUE(stopped.value().has_value());
    EXPECT_LT(*stopped.value(), 1000u);
    EXPECT_FALSE(runtime->is_mock_log_streaming());

    // The stream's own Cancel, and one more from the stop when asked.
    const auto seen = identifiers();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 255), cancel_device ? 2 : 1);
    EXPECT_EQ(seen.back(), 255);
}

INSTANTIATE_TEST_SUITE_P(Flags, StopStream,
                         ::testing::Values(StopCase{true, true}, StopCase{true, false}, StopCase{false, true},
                                           StopCase{false, false}),
                         [](const auto& param_info) {
                             return std::string(param_info.param.cancel_device ? "cancel" : "keep") +
                                    (param_info.param.block ? "_block" : "_no_block");
                         });

TEST_F(MockStream, StoppingTheClientEndsTheStreamAndReportsItsErrorOnce) {
    const std::size_t threads = test::thread_count();
    LogFile log(LONG_LOG);
    ack();
    ASSERT_TRUE(start(log.path(), true).ok());
    ASSERT_TRUE(runtime->stop().ok());
    EXPECT_FALSE(runtime->is_mock_log_streaming());
    EXPECT_EQ(test::thread_count_settling_to(threads), threads);
    EXPECT_FALSE(runtime->take_error().has_value());  // a normal end: the count is dropped
    auto after = runtime->stop_mock_log_stream(false, true);
    ASSERT_TRUE(after.ok());
    EXPECT_FALSE(after.value().has_value());

    ack();
    ASSERT_TRUE(start(log.path(), true, 0.0).ok());  // starts the client again
    wait_until_finished();
    ASSERT_TRUE(runtime->stop().ok());
    EXPECT_EQ(runtime->take_error(), SPEED_NOT_POSITIVE_TEXT);  // from the thread, not again from the stop
    EXPECT_FALSE(runtime->take_error().has_value());
}

// Reading ends at the end-of-log marker, and a stop reaches a stream waiting
// for a pipe that nobody writes to.
TEST_F(MockStream, NothingIsReadAfterTheMarker) {
    for (const char* path : {"/dev/zero", "sparse"}) {
        Bytes bytes = log_bytes("ABM", TICKS_PER_MS);
        bytes.insert(bytes.end(), LOG_END_ZERO_RUN + 1, 0);
        LogFile log(bytes);
        // gigabytes of zeros after the marker, without using the disk
        ASSERT_EQ(::truncate(log.path().c_str(), off_t{4} << 30), 0);
        const bool sparse = std::string_view(path) == "sparse";
        ack();
        ASSERT_TRUE(start(sparse ? log.path() : path).ok());
        ASSERT_TRUE(test::eventually([&] { return !runtime->is_mock_log_streaming(); }, 5s)) << path;
        auto sent = runtime->stop_mock_log_stream(false, true);
        ASSERT_TRUE(sent.ok());
        EXPECT_EQ(sent.value(), std::optional<std::uint64_t>(sparse ? 3 : 0)) << path;
    }
}

TEST_F(MockStream, APipeStreamsAndAStopReachesItsWait) {
    char dir[] = "/tmp/vyre_fifo_XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/log";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);

    // A writer that sends a whole log, then goes.
    ack();
    ASSERT_TRUE(start(fifo).ok());
    std::thread writer([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        const Bytes bytes = log_bytes("ABMI", TICKS_PER_MS);
        EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ::close(fd);
    });
    writer.join();
    wait_until_finished();
    auto sent = runtime->stop_mock_log_stream(false, true);
    ASSERT_TRUE(sent.ok());
    EXPECT_EQ(sent.value(), std::optional<std::uint64_t>(4));

    // Nobody writes: the stream waits, and a stop still ends it at once.
    ack();
    ASSERT_TRUE(start(fifo).ok());
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(runtime->is_mock_log_streaming());
    // Unblocks a stream that cannot see the stop, so a regression fails instead of hanging.
    std::atomic<bool> stopped_in_time{false};
    std::thread rescue([&] {
        if (test::eventually([&] { return stopped_in_time.load(); }, 10s)) return;
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
    });
    const auto began = std::chrono::steady_clock::now();
    auto stopped = runtime->stop_mock_log_stream(false, true);
    stopped_in_time = true;
    EXPECT_LT(test::seconds_since(began), 5.0);
    rescue.join();
    ASSERT_TRUE(stopped.ok());
    EXPECT_EQ(stopped.value(), std::optional<std::uint64_t>(0));
    ::unlink(fifo.c_str());
    ::rmdir(dir);
}

// Records 1 ms apart at speed 2: after the first 75, batches of ten should leave
// about every 5 ms. Measured where the device sees them, on a pseudo-terminal.
// Only a stream that is not paced fails here: a loaded machine stretches the
// intervals, so how close they stay to the ideal is bench/replay_pacing.py's goal.
TEST(MockStreamPacing, BatchesFollowTheLogClockScaledBySpeed) {
    constexpr std::size_t RECORDS = 1075;
    constexpr double SPEED = 2.0;
    const double ideal_ms = MOCK_BATCH_RECORDS * 1.0 / SPEED;
    LogFile log(log_bytes(cycled_letters(RECORDS), TICKS_PER_MS));
    test::PtyDevice pty;
    auto runtime = test::open_client(pty);

    using Clock = std::chrono::steady_clock;
    std::vector<Clock::time_point> arrivals;  // one per record
    std::thread device([&] {
        test::FrameSplitter frames;
        const auto give_up = Clock::now() + 60s;
        while (Clock::now() < give_up) {
            const Bytes bytes = test::read_available(pty.master(), 20);
            const auto now = Clock::now();
            frames.append(bytes);
            while (auto frame = frames.next()) {
                if (frame->header == COMMAND_HEADER && frame->identifier == 5)
                    pty.write(test::response_frame(5, {1}));
                else if (frame->header == COMMAND_HEADER && frame->identifier == 255)
                    return;
                else if (frame->header == MOCK_HEADER && frame->identifier != 0x48)
                    arrivals.push_back(now);
            }
        }
    });
    Status started = runtime->start_mock_log_stream(log.path(), true, SPEED, 8192, 10.0, true);
    device.join();
    ASSERT_TRUE(started.ok()) << started.error().text;
    auto result = runtime->stop_mock_log_stream(false, true);
    ASSERT_TRUE(result.ok() && result.value());
    EXPECT_EQ(*result.value(), RECORDS);
    ASSERT_EQ(arrivals.size(), RECORDS);

    std::vector<double> intervals;
    for (std::size_t i = MOCK_UNPACED_RECORDS + MOCK_BATCH_RECORDS; i < RECORDS; i += MOCK_BATCH_RECORDS)
        intervals.push_back(std::chrono::duration<double, std::milli>(arrivals[i] - arrivals[i - MOCK_BATCH_RECORDS]).count());
    const double span = std::chrono::duration<double, std::milli>(arrivals.back() - arrivals[MOCK_UNPACED_RECORDS]).count();
    const double mean = span / static_cast<double>(intervals.size());
    std::sort(intervals.begin(), intervals.end());
    std::printf("mock stream pacing: %zu batches, interval mean %.3f ms, median %.3f ms, p90 %.3f ms, ideal %.3f ms\n",
                intervals.size(), mean, intervals[intervals.size() / 2], intervals[intervals.size() * 9 / 10],
                ideal_ms);
    const double unpaced = std::chrono::duration<double, std::milli>(arrivals[MOCK_UNPACED_RECORDS - 1] - arrivals[0]).count();
    std::printf("mock stream pacing: the first %zu records arrived within %.3f ms\n", MOCK_UNPACED_RECORDS, unpaced);
    EXPECT_GT(mean, 0.5 * ideal_ms);  // an unpaced stream would take next to nothing
}

}  // namespace
}  // namespace vyre
