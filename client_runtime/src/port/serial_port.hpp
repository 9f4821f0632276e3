#pragma once
// POSIX serial port: opened exclusively, raw 8N1 at an exact rate, DTR raised.
// Reads poll the line and a wake-up descriptor, so a queued command or a stop
// does not wait for the read time-out.

#include <cstdint>
#include <memory>
#include <string>

#include <sys/types.h>

#include "port/port.hpp"
#include "result.hpp"

namespace vyre {

inline constexpr const char* HANG_UP_TEXT = "Serial port disconnected (hang-up)";
inline constexpr const char* WRITE_ABANDONED_TEXT = "Write abandoned: the client is stopping";
inline constexpr const char* LOCK_HELD_TEXT = "Unable to acquire exclusive lock on serial port";
inline constexpr const char* SETTINGS_MISMATCH_TEXT = "Settings did not apply correctly";

// floor(seconds * 1000); negative or NaN gives 0, values beyond u64 saturate.
std::uint64_t read_timeout_millis(double timeout_seconds);

class SerialPort final : public Port {
public:
    // Fails with one of the four open-failure texts; nothing stays open on failure.
    static Result<std::unique_ptr<SerialPort>> open(const std::string& path, std::uint32_t baud_rate,
                                                    std::uint64_t read_timeout_ms);
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    ReadResult read(std::span<std::uint8_t> buffer) override;
    ReadResult read_within(std::span<std::uint8_t> buffer, std::chrono::microseconds most) override;
    Status write_all(std::span<const std::uint8_t> bytes, const std::function<bool()>& keep_going,
                     std::size_t& written) override;
    bool output_pending() override;
    Status write_data_terminal_ready(bool level) override;
    WakeFn waker() override;
    Status check_connected() override;
    void discard_input() override;
    void linger(std::chrono::microseconds time) override;
    std::size_t write_slice_bytes() const override { return write_slice_; }

    int native_handle() const { return fd_; }
    std::uint64_t read_timeout_ms() const { return read_timeout_ms_; }

private:
    class WakeSignal;
    SerialPort(int fd, bool our_claim, std::shared_ptr<WakeSignal> wake, std::uint64_t read_timeout_ms,
               std::size_t write_slice);
    std::chrono::milliseconds read_timeout() const;
    ReadResult took(std::span<std::uint8_t> buffer, ssize_t got, bool waited);
    // A read waiting up to `wait`; `capped`: the wait is shorter than the
    // time-out, so reaching it is no time-out.
    ReadResult read_for(std::span<std::uint8_t> buffer, std::chrono::nanoseconds wait, bool capped);

    int fd_;
    bool our_claim_;  // this port set the terminal's exclusive flag
    std::shared_ptr<WakeSignal> wake_;
    std::uint64_t read_timeout_ms_;
    std::size_t write_slice_;
    bool read_first_ = false;  // after a linger or a full read the line most likely holds data: read before polling
};

}  // namespace vyre
