#pragma once
// In-process stand-in for a device on a serial port. The device side (MockDevice)
// injects response frames and reads back the frames the client wrote; MockPort is
// what the client holds in place of a serial port. The device never answers by itself.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "port/port.hpp"
#include "result.hpp"
#include "sync/durations.hpp"
#include "sync/interrupt.hpp"

namespace vyre {

inline constexpr const char* MOCK_TIMEOUT_TEXT = "mock timeout";

// Shared by every MockPort made from one device and by its MockDevice. Each field
// has a lock of its own; no operation holds two of them or sleeps holding one.
class MockDeviceState {
public:
    explicit MockDeviceState(Duration read_timeout) : read_timeout_(read_timeout) {}

    // Port side. A read returns queued bytes at once; otherwise it waits up to the
    // read time-out, returning injected bytes as soon as they come, Empty when
    // woken, and Timeout "mock timeout" when the time passes.
    ReadResult read(std::span<std::uint8_t> buffer);
    void write(std::span<const std::uint8_t> bytes);
    void wake();
    std::size_t bytes_to_read() const;
    Duration read_timeout() const;
    void set_read_timeout(Duration timeout);

    // Device side.
    void inject_bytes(std::span<const std::uint8_t> bytes);
    // Moves everything the client wrote so far to the back of `out`.
    void take_written(std::vector<std::uint8_t>& out);

private:
    mutable std::mutex to_host_mutex_;
    std::condition_variable to_host_changed_;
    std::deque<std::uint8_t> to_host_;
    bool wake_pending_ = false;

    std::mutex from_host_mutex_;
    std::deque<std::uint8_t> from_host_;

    mutable std::mutex timeout_mutex_;
    Duration read_timeout_;
};

enum class DataBits : unsigned char { Five, Six, Seven, Eight };
enum class Parity : unsigned char { None, Odd, Even };
enum class StopBits : unsigned char { One, Two };
enum class FlowControl : unsigned char { None, Software, Hardware };
enum class ClearBuffer : unsigned char { Input, Output, All };

// Answers every operation of a serial port; configuration calls succeed and change
// nothing except the read time-out.
class MockPort final : public Port {
public:
    explicit MockPort(std::shared_ptr<MockDeviceState> state) : state_(std::move(state)) {}

    ReadResult read(std::span<std::uint8_t> buffer) override { return state_->read(buffer); }
    Status write_all(std::span<const std::uint8_t> bytes, const std::function<bool()>& keep_going,
                     std::size_t& written) override;
    Status write_data_terminal_ready(bool) override { return ok_status(); }
    WakeFn waker() override;

    std::size_t write(std::span<const std::uint8_t> bytes);
    std::string name() const { return "mock"; }
    std::uint32_t baud_rate() const { return 2'000'000; }
    DataBits data_bits() const { return DataBits::Eight; }
    Parity parity() const { return Parity::None; }
    StopBits stop_bits() const { return StopBits::One; }
    FlowControl flow_control() const { return FlowControl::None; }
    Duration timeout() const { return state_->read_timeout(); }
    Status set_timeout(Duration timeout);
    Status set_baud_rate(std::uint32_t) { return ok_status(); }
    Status set_data_bits(DataBits) { return ok_status(); }
    Status set_parity(Parity) { return ok_status(); }
    Status set_stop_bits(StopBits) { return ok_status(); }
    Status set_flow_control(FlowControl) { return ok_status(); }
    Status write_request_to_send(bool) { return ok_status(); }
    Status set_break() { return ok_status(); }
    Status clear_break() { return ok_status(); }
    bool read_clear_to_send() const { return true; }
    bool read_data_set_ready() const { return true; }
    bool read_carrier_detect() const { return true; }
    bool read_ring_indicator() const { return false; }
    std::size_t bytes_to_read() const { return state_->bytes_to_read(); }
    std::size_t bytes_to_write() const { return 0; }
    // Discards nothing: the device's queues are never reset.
    Status clear(ClearBuffer) { return ok_status(); }
    std::unique_ptr<MockPort> clone() const { return std::make_unique<MockPort>(state_); }

    const std::shared_ptr<MockDeviceState>& state() const { return state_; }

private:
    std::shared_ptr<MockDeviceState> state_;
};

// The device side of a mock device; copies share the device.
class MockDevice {
public:
    explicit MockDevice(Duration read_timeout);

    std::unique_ptr<MockPort> new_port() const { return std::make_unique<MockPort>(state_); }
    MockDeviceState& state() const { return *state_; }

    // Queues one response frame (RESPONSE_HEADER) for the client to read.
    void inject_response(std::uint16_t identifier, std::span<const std::uint8_t> payload);

    // Identifier of the next whole frame the client wrote, nothing if none is
    // complete by the deadline (a frame already there is returned even for a zero
    // time-out), or the FrameError text of a whole frame that does not decode;
    // such bytes stay queued, so later calls fail the same way. Polls every 1 ms;
    // `interrupted` runs with no lock held, so it may use this device itself.
    Result<std::optional<std::uint16_t>> wait_for_command_identifier(Duration timeout,
                                                                     const InterruptCheck& interrupted = {});

private:
    using CommandWait = Result<std::optional<std::uint16_t>>;
    // One poll of the wait: a whole frame's outcome, or nothing while none is complete.
    std::optional<CommandWait> take_command_frame();

    struct CommandBuffer {
        std::mutex mutex;
        std::vector<std::uint8_t> bytes;  // taken from the device's queue, not yet a whole frame
    };
    std::shared_ptr<MockDeviceState> state_;
    std::shared_ptr<CommandBuffer> command_buffer_;
};

}  // namespace vyre
