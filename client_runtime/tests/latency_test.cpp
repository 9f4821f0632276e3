// Figures, not checks: time from queuing a command to its bytes on the device side
// of a pseudo-terminal, with the device silent and streaming telemetry, and the
// time stop() takes. Printed for the record; nothing here asserts on time. Takes a
// few seconds, so it runs only on request:
//   client_runtime_tests --gtest_also_run_disabled_tests --gtest_filter='*CommandLatency*'

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <thread>

#include "commands.hpp"
#include "port/serial_port.hpp"
#include "runtime/client_runtime.hpp"
#include "test_support.hpp"

namespace vyre {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The same port with its wake-up disconnected: how waits behaved before wake-ups.
class UnwokenPort final : public Port {
public:
    explicit UnwokenPort(std::unique_ptr<Port> inner) : inner_(std::move(inner)) {}
    ReadResult read(std::span<std::uint8_t> buffer) override { return inner_->read(buffer); }
    Status write_all(std::span<const std::uint8_t> bytes, const std::function<bool()>& keep_going,
                     std::size_t& written) override {
        return inner_->write_all(bytes, keep_going, written);
    }
    bool output_pending() override { return inner_->output_pending(); }
    Status write_data_terminal_ready(bool level) override { return inner_->write_data_terminal_ready(level); }
    WakeFn waker() override { return [] {}; }

private:
    std::unique_ptr<Port> inner_;
};

struct Figures {
    std::vector<double> micros;
    double stop_micros = 0;
    double frames_per_second = 0;
};

Figures measure(bool streaming, bool wake_ups, int samples) {
    test::PtyDevice pty;
    auto port = SerialPort::open(pty.path(), 2'000'000, read_timeout_millis(0.1));
    EXPECT_TRUE(port.ok());
    if (!port.ok()) return {};
    std::unique_ptr<Port> used = std::move(port).value();
    if (!wake_ups) used = std::make_unique<UnwokenPort>(std::move(used));
    auto runtime = ClientRuntime::from_port(std::move(used));
    EXPECT_TRUE(runtime->start().ok());

    std::atomic<bool> streaming_on{streaming};
    std::atomic<std::uint64_t> frames_sent{0};
    std::thread device([&] {
        const auto frame = test::telemetry_frame(1.0);
        auto next = Clock::now();
        while (streaming_on.load()) {
            pty.write(frame);
            ++frames_sent;
            next += std::chrono::microseconds(435);  // about 2,300 frames/s
            std::this_thread::sleep_until(next);
        }
    });

    Figures figures;
    std::mt19937 random(42);
    std::vector<DataPacket> drained;
    const auto began = Clock::now();
    for (int i = 0; i < samples; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        const auto start = Clock::now();
        EXPECT_TRUE(runtime->queue_command(get_device_info_command()));
        const auto bytes = pty.read(10);
        figures.micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        EXPECT_EQ(bytes.size(), 10u);
        drained.clear();
        runtime->packets().drain_into(drained);
    }
    figures.frames_per_second =
        static_cast<double>(frames_sent.load()) / std::chrono::duration<double>(Clock::now() - began).count();
    streaming_on = false;
    device.join();

    const auto stop_start = Clock::now();
    EXPECT_TRUE(runtime->stop().ok());
    figures.stop_micros = std::chrono::duration<double, std::micro>(Clock::now() - stop_start).count();
    return figures;
}

void print(const char* label, Figures f) {
    std::sort(f.micros.begin(), f.micros.end());
    auto at = [&](double q) { return f.micros[static_cast<std::size_t>(q * static_cast<double>(f.micros.size() - 1))]; };
    std::printf("%-34s n=%3zu  p50 %8.0f us  p90 %8.0f us  p99 %8.0f us  max %8.0f us  stop %8.0f us  device %5.0f frames/s\n",
                label, f.micros.size(), at(0.5), at(0.9), at(0.99), f.micros.back(), f.stop_micros,
                f.frames_per_second);
}

TEST(Figures, DISABLED_CommandLatencyOnAPseudoTerminal) {
    print("silent device, wake-ups", measure(false, true, 300));
    print("streaming device, wake-ups", measure(true, true, 300));
    print("silent device, no wake-ups", measure(false, false, 40));
    print("streaming device, no wake-ups", measure(true, false, 300));
}

}  // namespace
}  // namespace vyre
