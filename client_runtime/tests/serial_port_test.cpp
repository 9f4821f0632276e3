// The real serial transport on pseudo-terminals; the test plays the device on the master side.

#include "port/serial_port.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>

#include <cstring>
#include <thread>

#include "commands.hpp"
#include "data_parser.hpp"
#include "port/termios2.hpp"
#include "runtime/client_runtime.hpp"
#include "sync/errno_text.hpp"
#include "test_support.hpp"

namespace vyre {
namespace {

using namespace std::chrono_literals;
using test::PtyDevice;

std::string open_failure_text(const std::string& path) {
    auto runtime = ClientRuntime::open(path, 2'000'000, 0.1);
    return runtime.ok() ? "opened" : runtime.error().text;
}

class SerialSettings : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(SerialSettings, RawEightNoneOneAtTheExactRate) {
    PtyDevice pty;
    auto port = SerialPort::open(pty.path(), GetParam(), 250);
    ASSERT_TRUE(port.ok()) << port.error().text;
    const int fd = port.value()->native_handle();
    EXPECT_EQ(port.value()->read_timeout_ms(), 250u);

    LineSettings s;
    ASSERT_EQ(read_line_settings(fd, s), 0);
    EXPECT_TRUE(s.exact_output_rate);
    EXPECT_TRUE(s.exact_input_rate);
    EXPECT_EQ(s.output_speed, GetParam());
    EXPECT_EQ(s.input_speed, GetParam());
    EXPECT_EQ(s.data_bits, 8u);
    EXPECT_FALSE(s.parity);
    EXPECT_FALSE(s.two_stop_bits);
    EXPECT_FALSE(s.hardware_flow_control);
    EXPECT_FALSE(s.software_flow_control);

    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK | INPCK | IXON), 0u);
    EXPECT_NE(t.c_iflag & IGNPAR, 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);  // writes wait in poll, where a stop reaches them
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
}

INSTANTIATE_TEST_SUITE_P(Rates, SerialSettings, ::testing::Values(2'000'000u, 250'000u, 9600u));

TEST(SerialOpen, FailureTexts) {
    EXPECT_EQ(open_failure_text("/dev/vyre-no-such-port"),
              "Serial port '/dev/vyre-no-such-port' not found. Check the port name (e.g. COM8, /dev/ttyACM0).");

    // Not a terminal: fails at the exclusive claim and leaves nothing open.
    const std::size_t descriptors = test::open_descriptor_count();
    EXPECT_EQ(open_failure_text("/dev/null"),
              "Failed to open serial port '/dev/null': " + errno_text(ENOTTY));
    EXPECT_EQ(test::open_descriptor_count(), descriptors);

    EXPECT_EQ(open_failure_text(std::string("/dev/tty\0S0", 11)),
              std::string("Failed to initialize VYRE client for '/dev/tty\0S0': ", 52) +
                  "file name contained an unexpected NUL byte");
}

TEST(SerialOpen, ExclusiveUseAndNothingLeftBehind) {
    PtyDevice pty;
    ASSERT_EQ(::chmod(pty.path().c_str(), 0666), 0);
    // Another descriptor of the same terminal stays open throughout.
    const int elsewhere = ::open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(elsewhere, 0);
    const std::string prefix = "Failed to open serial port '" + pty.path() + "': ";
    auto unprivileged_open = [&] { return test::run_unprivileged([&] { return open_failure_text(pty.path()); }); };

    auto first = test::open_client(pty);
    if (::geteuid() == 0) {
        // The exclusive claim does not refuse root; the advisory lock does. That
        // failed open must not clear the first client's claim on its way out.
        EXPECT_EQ(open_failure_text(pty.path()), prefix + LOCK_HELD_TEXT);
        EXPECT_EQ(unprivileged_open(), prefix + errno_text(EBUSY));
    } else {
        EXPECT_EQ(open_failure_text(pty.path()), prefix + errno_text(EBUSY));
    }

    first.reset();
    if (::geteuid() == 0) {
        EXPECT_EQ(unprivileged_open(), "opened");
    }
    EXPECT_EQ(open_failure_text(pty.path()), "opened");
    ::close(elsewhere);
}

TEST(SerialOpen, LockReleasedWhileAForkedChildHoldsTheDescriptor) {
    PtyDevice pty;
    auto first = test::open_client(pty);
    int hold[2];
    ASSERT_EQ(::pipe(hold), 0);
    const pid_t child = ::fork();
    if (child == 0) {  // keeps a duplicate of the locked descriptor until the pipe closes
        ::close(hold[1]);
        char c;
        while (::read(hold[0], &c, 1) < 0 && errno == EINTR) {}
        ::_exit(0);
    }
    ::close(hold[0]);
    first.reset();
    EXPECT_EQ(open_failure_text(pty.path()), "opened");
    ::close(hold[1]);
    ::waitpid(child, nullptr, 0);
}

TEST(SerialOpen, PermissionDenied) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to an unprivileged user";
    PtyDevice pty;
    ASSERT_EQ(::chmod(pty.path().c_str(), 0600), 0);
    EXPECT_EQ(test::run_unprivileged([&] { return open_failure_text(pty.path()); }),
              "Permission denied opening serial port '" + pty.path() +
                  "'. Try running as admin or fixing udev permissions.");
}

class SerialClient : public ::testing::Test {
protected:
    void start(double read_timeout = 0.1) {
        runtime = test::open_client(pty, read_timeout);
        ASSERT_TRUE(runtime->start().ok());
    }

    PtyDevice pty;
    std::unique_ptr<ClientRuntime> runtime;
};

TEST_F(SerialClient, AllByteValuesPassUnchangedBothWays) {
    start();
    std::vector<std::uint8_t> every(MAX_FRAME_PAYLOAD);
    for (std::size_t i = 0; i < every.size(); ++i) every[i] = static_cast<std::uint8_t>(i);

    const FramedPacket out = FramedPacket::make(COMMAND_HEADER, 0x77, every);
    ASSERT_TRUE(runtime->queue_command(out));
    EXPECT_EQ(pty.read(out.wire_size()), out.to_bytes());

    // A calibration response as long as a frame may be: any altered byte breaks the CRC.
    std::thread device([&] {
        if (pty.read(10) == get_calibration_command().to_bytes()) pty.write(test::response_frame(8, every));
    });
    auto values = runtime->get_calibration(10.0);
    device.join();
    ASSERT_TRUE(values.ok()) << values.error().text;
    ASSERT_TRUE(values.value().has_value());
    std::uint8_t raw[36 * 4];
    const CalibrationValues& v = *values.value();
    std::memcpy(raw, v.imu_accelerometer_offsets.data(), 12);
    std::memcpy(raw + 12, v.imu_accelerometer_scale_matrix.data(), 36);
    std::memcpy(raw + 48, v.imu_gyroscope_offsets.data(), 12);
    std::memcpy(raw + 60, v.imu_gyroscope_scale_matrix.data(), 36);
    std::memcpy(raw + 96, v.magnetometer_offsets.data(), 12);
    std::memcpy(raw + 108, v.magnetometer_scale_matrix.data(), 36);
    EXPECT_EQ(std::vector(raw, raw + 144), std::vector(every.begin(), every.begin() + 144));
}

TEST_F(SerialClient, LongReadTimeOutDelaysNeitherCommandsNorStop) {
    start(3600.0);
    ASSERT_TRUE(test::eventually([] { return test::other_threads().asleep; }));  // in its hour-long read
    ASSERT_TRUE(runtime->queue_command(get_device_config_command()));
    EXPECT_EQ(pty.read(10, 30s), get_device_config_command().to_bytes());
    ASSERT_TRUE(runtime->stop().ok());  // would take an hour without the wake-up
    EXPECT_FALSE(runtime->is_running());
}

TEST_F(SerialClient, StopReachesAWriteToADeviceThatStoppedReading) {
    start();
    // Far more than the pseudo-terminal buffers: the reader blocks waiting for room.
    const FramedPacket big = FramedPacket::make(MOCK_HEADER, 0x41, std::vector<std::uint8_t>(4000, 0x11));
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(runtime->queue_mock_data(big));
    ASSERT_TRUE(test::eventually([&] { return pty.unread() > 0 && test::other_threads().asleep; }));
    ASSERT_TRUE(runtime->stop().ok());  // used to hang in write() for as long as nobody read
    EXPECT_FALSE(runtime->is_running());
    EXPECT_FALSE(runtime->take_error().has_value());  // giving up a write on stop is no link failure

    // The link still works after a restart: the rest of the frame the stop cut
    // goes first (the device never reads a cut frame joined to the next), then
    // a command queued now.
    const std::vector<std::uint8_t> frame = big.to_bytes();
    const std::size_t cut = pty.drain() % frame.size();
    const std::size_t owed = cut == 0 ? 0 : frame.size() - cut;
    ASSERT_TRUE(runtime->start().ok());
    ASSERT_TRUE(runtime->queue_command(get_device_info_command()));
    std::vector<std::uint8_t> expected(frame.end() - static_cast<std::ptrdiff_t>(owed), frame.end());
    const std::vector<std::uint8_t> command = get_device_info_command().to_bytes();
    expected.insert(expected.end(), command.begin(), command.end());
    EXPECT_EQ(pty.read(expected.size(), 30s), expected);
}

TEST_F(SerialClient, TelemetrySplitAcrossReads) {
    start();
    const auto first = test::telemetry_frame(1.25);
    // each piece is read before the next is written
    const auto piece_read = [&](std::span<const std::uint8_t> piece) {
        const std::uint64_t sleeps = test::other_threads().sleeps;
        pty.write(piece);
        ASSERT_TRUE(test::others_asleep_after(sleeps));
    };
    piece_read(std::span(first).first(30));
    piece_read(std::span(first).subspan(30));
    for (std::uint8_t byte : test::telemetry_frame(2.5)) piece_read(std::span(&byte, 1));
    for (double timestamp : {1.25, 2.5}) {
        DataPacket packet{};
        ASSERT_EQ(runtime->packets().recv_timeout(packet, 10s), RecvStatus::Ok);
        EXPECT_EQ(packet.timestamp_seconds, timestamp);
    }
    EXPECT_FALSE(runtime->packets().try_recv().has_value());
}

TEST_F(SerialClient, UnplugIsReportedOnceAndTheReaderRests) {
    start();
    pty.write(test::telemetry_frame(1.0));
    DataPacket packet{};
    ASSERT_EQ(runtime->packets().recv_timeout(packet, 10s), RecvStatus::Ok);

    pty.close_master();
    ASSERT_TRUE(test::eventually([&] { return !runtime->is_running(); }));
    const double cpu_before = test::process_cpu_seconds();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(test::process_cpu_seconds() - cpu_before, 0.1);  // a spinning reader would burn ~0.3 s

    auto first_call = runtime->get_device_info(1.0);
    ASSERT_FALSE(first_call.ok());
    EXPECT_EQ(first_call.error().text, HANG_UP_TEXT);
    EXPECT_EQ(runtime->take_error(), std::nullopt);  // exactly one message
    auto next_call = runtime->get_device_info(1.0);
    ASSERT_FALSE(next_call.ok());
    EXPECT_EQ(next_call.error().text, COMMAND_CHANNEL_CLOSED_TEXT);
    EXPECT_FALSE(next_call.error().is_internal());

    ASSERT_TRUE(runtime->stop().ok());
    EXPECT_FALSE(runtime->is_running());
    EXPECT_TRUE(runtime->queue_command(get_device_info_command()));  // fresh queues after stop

    // The port stays hung up: a restart says so at once, in the same words.
    Status restarted = runtime->start();
    ASSERT_FALSE(restarted.ok());
    EXPECT_EQ(restarted.error().text, HANG_UP_TEXT);
    EXPECT_FALSE(runtime->is_running());
}

// Every wait on the caller's side ends as soon as the link fails, with the
// failure's text, reported once. The device unplugs while the wait runs.
struct WaitCase {
    const char* name;
    std::function<Status(ClientRuntime&)> wait;
    bool answers_reset = false;  // the calibration run needs its neutral reset acknowledged
};

void PrintTo(const WaitCase& c, std::ostream* os) { *os << c.name; }

class UnplugDuringWait : public SerialClient, public ::testing::WithParamInterface<WaitCase> {};

TEST_P(UnplugDuringWait, EndsAtOnceWithTheFailure) {
    start();
    std::thread device([&] {
        if (GetParam().answers_reset) {
            pty.read(set_magnetometer_calibration_command(NEUTRAL_MAGNETOMETER_OFFSETS, NEUTRAL_MAGNETOMETER_MATRIX)
                         .wire_size());
            pty.write(test::response_frame(6, std::vector<std::uint8_t>{1}));
        }
        // unplugs once the caller waits (it and the reader asleep)
        test::eventually([] { return test::other_threads().asleep; });
        pty.close_master();
    });
    const auto began = std::chrono::steady_clock::now();
    Status ended = GetParam().wait(*runtime);
    const double took = test::seconds_since(began);
    device.join();
    ASSERT_FALSE(ended.ok());
    EXPECT_EQ(ended.error().text, HANG_UP_TEXT);
    EXPECT_LT(took, 10.0);  // each wait below would otherwise run 60 s
    EXPECT_EQ(runtime->take_error(), std::nullopt);
}

template <class T>
Status outcome(const Result<T>& result) {
    return result ? ok_status() : Status(result.error());
}

INSTANTIATE_TEST_SUITE_P(
    Waits, UnplugDuringWait,
    ::testing::Values(
        WaitCase{"transaction", [](ClientRuntime& r) { return outcome(r.get_device_info(60.0)); }},
        WaitCase{"packet_wait",
                 [](ClientRuntime& r) {
                     DataPacket packet{};
                     EXPECT_EQ(r.packets().recv_timeout(packet, 60s), RecvStatus::Failed);
                     return Status(Error::message(r.take_error().value_or("no error")));
                 }},
        WaitCase{"mock_handshake",
                 [](ClientRuntime& r) {
                     return r.start_mock_log_stream("/nonexistent", false, 1.0, 8192, 60.0, false);
                 }},
        WaitCase{"calibration_collection",
                 [](ClientRuntime& r) {
                     bool reported = false;
                     auto run = r.run_magnetometer_calibration(60.0, 60.0, {},
                                                               [&](const MagnetometerFit&) { reported = true; });
                     EXPECT_FALSE(reported);  // no fit from a dead link
                     return outcome(run);
                 },
                 true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace vyre
