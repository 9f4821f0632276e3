// Starting, stopping and the reader thread, on the mock serial device.

#include "runtime/client_runtime.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "commands.hpp"
#include "device_side.hpp"
#include "test_support.hpp"

namespace vyre {
namespace {

using namespace std::chrono_literals;

class RuntimeLifecycle : public test::MockClient {};

TEST_F(RuntimeLifecycle, StartAndStopAreIdempotent) {
    EXPECT_FALSE(runtime->is_running());
    const std::size_t threads = test::thread_count();
    ASSERT_TRUE(runtime->start().ok());
    ASSERT_TRUE(runtime->start().ok());
    EXPECT_TRUE(runtime->is_running());
    EXPECT_EQ(test::thread_count(), threads + 1);

    ASSERT_TRUE(runtime->stop().ok());
    ASSERT_TRUE(runtime->stop().ok());
    EXPECT_FALSE(runtime->is_running());
    EXPECT_EQ(test::thread_count_settling_to(threads), threads);
    EXPECT_TRUE(*runtime->stop_flag());
}

TEST_F(RuntimeLifecycle, RestartReusesThePortAndKeepsWhatWasQueuedForTheCaller) {
    const auto info = test::device_info_payload(7, "fw");
    device.inject_response(1, info);
    ASSERT_TRUE(runtime->start().ok());
    auto first = runtime->get_device_info(10.0);
    ASSERT_TRUE(first.ok() && first.value().has_value());
    EXPECT_EQ(first.value()->id, 7u);

    // A telemetry record, an unclaimed acknowledgement and a config arrive in one
    // chunk; claiming the config leaves the acknowledgement pending. Then the client stops.
    const auto chunk = test::concat({test::telemetry_frame(3.0), test::response_frame(255, {1}),
                                     test::response_frame(2, test::device_config_payload("x", 50, 2))});
    device.state().inject_bytes(chunk);
    auto config = runtime->get_device_config(10.0);
    ASSERT_TRUE(config.ok() && config.value().has_value());
    // The answers were there before the commands went out; a stop now would drop
    // commands not yet written, so wait for them.
    EXPECT_EQ(next_identifier(), 1);
    EXPECT_EQ(next_identifier(), 2);
    ASSERT_TRUE(runtime->stop().ok());
    DataPacket packet{};
    EXPECT_EQ(runtime->packets().try_recv().value_or(packet).timestamp_seconds, 3.0);

    device.inject_response(1, test::device_info_payload(8, "fw"));
    ASSERT_TRUE(runtime->start().ok());
    EXPECT_TRUE(runtime->is_running());
    auto second = runtime->get_device_info(10.0);
    ASSERT_TRUE(second.ok() && second.value().has_value());
    EXPECT_EQ(second.value()->id, 8u);
    auto cancel = runtime->cancel(0.0);  // the acknowledgement from before the stop
    ASSERT_TRUE(cancel.ok());
    EXPECT_TRUE(cancel.value());
    EXPECT_EQ(next_identifier(), 1);
    EXPECT_EQ(next_identifier(), 255);
}

TEST_F(RuntimeLifecycle, CommandsGoOutBeforeMockDataAndSurviveAStopWithoutStart) {
    ASSERT_TRUE(runtime->queue_mock_data(FramedPacket::make(MOCK_HEADER, 0x48, {1, 2, 3})));
    ASSERT_TRUE(runtime->queue_command(get_device_config_command()));
    ASSERT_TRUE(runtime->stop().ok());  // never started: the queued frames stay
    ASSERT_TRUE(runtime->start().ok());
    EXPECT_EQ(next_identifier(), 2);
    EXPECT_EQ(next_identifier(), 0x48);
}

// Records whether the port is destroyed while the reader is still inside a read.
class WatchedPort final : public Port {
public:
    struct Watch {
        std::atomic<int> reads_in_progress{0};
        std::atomic<bool> destroyed{false};
        std::atomic<bool> destroyed_during_read{false};
        std::atomic<bool> throw_on_read{false};
        // An output queue that never empties, like a USB device that stopped
        // taking data (or one that counts data in flight as queued).
        std::atomic<bool> output_stuck{false};
        std::atomic<int> output_looks{0};
        std::atomic<std::size_t> largest_write{0};
        std::atomic<int> writes_since_read{0};
        std::atomic<int> most_writes_between_reads{0};
    };
    WatchedPort(std::unique_ptr<MockPort> inner, std::shared_ptr<Watch> watch)
        : inner_(std::move(inner)), watch_(std::move(watch)) {}
    ~WatchedPort() override {
        if (watch_->reads_in_progress.load() != 0) watch_->destroyed_during_read = true;
        watch_->destroyed = true;
    }
    ReadResult read(std::span<std::uint8_t> buffer) override {
        if (watch_->throw_on_read) throw std::runtime_error("reader crash");
        ++watch_->reads_in_progress;
        watch_->writes_since_read = 0;
        ReadResult got = inner_->read(buffer);
        --watch_->reads_in_progress;
        return got;
    }
    Status write_all(std::span<const std::uint8_t> bytes, const std::function<bool()>& keep_going,
                     std::size_t& written) override {
        watch_->largest_write = std::max(watch_->largest_write.load(), bytes.size());
        watch_->most_writes_between_reads =
            std::max(watch_->most_writes_between_reads.load(), ++watch_->writes_since_read);
        return inner_->write_all(bytes, keep_going, written);
    }
    bool output_pending() override {
        ++watch_->output_looks;
        return watch_->output_stuck || inner_->output_pending();
    }
    Status write_data_terminal_ready(bool level) override { return inner_->write_data_terminal_ready(level); }
    WakeFn waker() override { return inner_->waker(); }

private:
    std::unique_ptr<MockPort> inner_;
    std::shared_ptr<Watch> watch_;
};

TEST(RuntimeDestruction, JoinsTheReaderBeforeThePortCloses) {
    MockDevice device{Duration{3600, 0}};
    auto watch = std::make_shared<WatchedPort::Watch>();
    const std::size_t threads = test::thread_count();
    auto runtime = ClientRuntime::from_port(std::make_unique<WatchedPort>(device.new_port(), watch));
    ASSERT_TRUE(runtime->start().ok());
    ASSERT_TRUE(test::eventually([&] { return watch->reads_in_progress.load() == 1; }));
    runtime.reset();  // the reader sleeps in an hour-long read: destruction must wake and join it
    EXPECT_TRUE(watch->destroyed);
    EXPECT_FALSE(watch->destroyed_during_read);
    EXPECT_EQ(test::thread_count_settling_to(threads), threads);
}

TEST(RuntimeCrash, ACrashedReaderLosesThePortAndLaterStartsDoNothing) {
    MockDevice device{Duration::from_millis(10)};
    auto watch = std::make_shared<WatchedPort::Watch>();
    watch->throw_on_read = true;
    auto runtime = ClientRuntime::from_port(std::make_unique<WatchedPort>(device.new_port(), watch));
    const std::size_t threads = test::thread_count();
    ASSERT_TRUE(runtime->start().ok());
    ASSERT_TRUE(test::eventually([&] { return watch->destroyed.load(); }));
    ASSERT_TRUE(runtime->stop().ok());
    EXPECT_FALSE(runtime->is_running());
    EXPECT_FALSE(runtime->take_error().has_value());
    ASSERT_TRUE(runtime->start().ok());
    EXPECT_FALSE(runtime->is_running());
    EXPECT_EQ(test::thread_count_settling_to(threads), threads);
}

TEST_F(RuntimeLifecycle, TelemetryBeforeResponsesAndCopiedToTheTap) {
    auto [tap_tx, tap_rx] = make_channel<DataPacket>();
    {
        std::unique_lock lock(runtime->packet_tap()->mutex);
        runtime->packet_tap()->sender.emplace(std::move(tap_tx));
    }
    // In the stream the response comes first, but telemetry of a chunk is delivered first.
    const auto chunk = test::concat({test::response_frame(1, test::device_info_payload(1, "a")),
                                     test::telemetry_frame(1.0), test::telemetry_frame(2.0),
                                     test::telemetry_frame(3.0)});
    device.state().inject_bytes(chunk);
    ASSERT_TRUE(runtime->start().ok());
    auto info = runtime->get_device_info(10.0);
    ASSERT_TRUE(info.ok() && info.value().has_value());

    std::vector<DataPacket> delivered, tapped;
    runtime->packets().drain_into(delivered);
    tap_rx.drain_into(tapped);
    ASSERT_EQ(delivered.size(), 3u);
    ASSERT_EQ(tapped.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(delivered[i].timestamp_seconds, static_cast<double>(i + 1));
        EXPECT_EQ(tapped[i].timestamp_seconds, static_cast<double>(i + 1));
    }
}

// Answers are read while the output queue still holds data: only the next
// slice of mock data waits for it to drain, and a stop never waits for it.
TEST(ReaderWrites, ReadsWhileTheOutputQueueHoldsData) {
    for (const bool destroy : {false, true}) {
        MockDevice device{Duration::from_millis(100)};
        auto watch = std::make_shared<WatchedPort::Watch>();
        watch->output_stuck = true;
        auto runtime = ClientRuntime::from_port(std::make_unique<WatchedPort>(device.new_port(), watch));
        for (int i = 0; i < 1000; ++i)
            ASSERT_TRUE(runtime->queue_mock_data(FramedPacket::make(MOCK_HEADER, 0x41, std::vector<std::uint8_t>(30, 1))));
        device.inject_response(1, test::device_info_payload(7, "1.0"));
        ASSERT_TRUE(runtime->start().ok());
        auto info = runtime->get_device_info(5.0);
        ASSERT_TRUE(info.ok() && info.value().has_value()) << (destroy ? "release" : "stop");
        EXPECT_GT(watch->output_looks.load(), 0);
        EXPECT_GT(runtime->mock_frames_waiting(), 0u);  // held behind the first slice
        const auto began = std::chrono::steady_clock::now();
        if (destroy) {
            runtime.reset();
        } else {
            ASSERT_TRUE(runtime->stop().ok());
            EXPECT_FALSE(runtime->take_error().has_value());
        }
        EXPECT_LT(test::seconds_since(began), 5.0) << (destroy ? "release" : "stop");
    }
}

// A long replay is written a slice at a time with reads in between, so answers
// and telemetry keep flowing; every frame still arrives, in order.
TEST(ReaderWrites, SlicesWithReadsBetweenThem) {
    MockDevice device{Duration::from_millis(100)};
    auto watch = std::make_shared<WatchedPort::Watch>();
    auto runtime = ClientRuntime::from_port(std::make_unique<WatchedPort>(device.new_port(), watch));
    constexpr std::size_t frames = 20'000;
    std::vector<std::uint8_t> expected;
    for (std::size_t i = 0; i < frames; ++i) {
        FramedPacket frame = FramedPacket::make(MOCK_HEADER, 0x41, std::vector<std::uint8_t>(i % 40, static_cast<std::uint8_t>(i)));
        frame.append_to(expected);
        ASSERT_TRUE(runtime->queue_mock_data(std::move(frame)));
    }
    EXPECT_EQ(runtime->mock_frames_waiting(), frames);
    device.inject_response(1, test::device_info_payload(7, "1.0"));
    ASSERT_TRUE(runtime->start().ok());
    auto info = runtime->get_device_info(60.0);
    ASSERT_TRUE(info.ok() && info.value().has_value());

    std::vector<std::uint8_t> written;
    ASSERT_TRUE(test::eventually([&] {
        device.state().take_written(written);
        return written.size() >= expected.size() + get_device_info_command().wire_size();
    }, 60s));
    // The command went out between two slices, at a frame boundary.
    const std::vector<std::uint8_t> command = get_device_info_command().to_bytes();
    auto at = std::search(written.begin(), written.end(), command.begin(), command.end());
    ASSERT_NE(at, written.end());
    written.erase(at, at + static_cast<std::ptrdiff_t>(command.size()));
    EXPECT_EQ(written, expected);
    EXPECT_LE(watch->largest_write.load(), Port::DEFAULT_WRITE_SLICE + 50);
    EXPECT_LE(watch->most_writes_between_reads.load(), 2);  // commands, then one slice of mock data
    EXPECT_EQ(runtime->mock_frames_waiting(), 0u);
    ASSERT_TRUE(runtime->stop().ok());
    ASSERT_TRUE(runtime->queue_mock_data(get_device_info_command()));
    EXPECT_EQ(runtime->mock_frames_waiting(), 1u);  // counted against the fresh queue
}

// The reader loop on its own, with queue ends the test controls.
class ReaderLoop : public ::testing::Test {
protected:
    ReaderLoop() {
        auto [command_tx, command_rx] = make_channel<FramedPacket>();
        auto [mock_tx, mock_rx] = make_channel<FramedPacket>();
        auto [packet_tx, packet_rx] = make_channel<DataPacket>();
        auto [error_tx, error_rx] = make_channel<Error>();
        links = ReaderLinks{device.new_port(), std::move(command_rx), std::move(mock_rx), std::move(packet_tx),
                            responses, std::move(error_tx), running,
                            std::make_shared<PacketTap>(), nullptr, nullptr};
        commands = std::move(command_tx);
        packets = std::move(packet_rx);
        errors = std::move(error_rx);
    }

    MockDevice device{Duration::from_millis(20)};
    std::shared_ptr<std::atomic<bool>> running = std::make_shared<std::atomic<bool>>(true);
    ReaderLinks links;
    Sender<FramedPacket> commands;
    Receiver<DataPacket> packets;
    std::shared_ptr<ResponseBoard> responses = std::make_shared<ResponseBoard>();
    Receiver<Error> errors;
};

TEST_F(ReaderLoop, NotRunningEndsAtOnceWithThePort) {
    *running = false;
    ASSERT_TRUE(commands.send(get_device_info_command()));
    EXPECT_NE(run_reader(std::move(links)), nullptr);
    EXPECT_EQ(test::next_identifier(device, Duration{}), std::nullopt);  // nothing written
    EXPECT_FALSE(commands.send(get_device_info_command()));     // its queue ends were dropped
}

TEST_F(ReaderLoop, EndsQuietlyWhenTheCallerStopsTakingPackets) {
    packets = Receiver<DataPacket>();  // the caller's end is gone
    device.state().inject_bytes(test::telemetry_frame(1.0));
    std::unique_ptr<Port> port;
    std::thread reader([&] { port = run_reader(std::move(links)); });
    reader.join();  // ends at the first telemetry record
    EXPECT_NE(port, nullptr);
    EXPECT_TRUE(*running);  // not a link failure
    EXPECT_FALSE(errors.try_recv().has_value());
}

}  // namespace
}  // namespace vyre
