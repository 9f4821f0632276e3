// Command transactions: one frame out, the oldest answer of the expected kind
// back; every other answer waits on the board for a later call. A link failure
// ends the wait at once with the failure's text.

#include <algorithm>
#include <optional>
#include <chrono>

#include "commands.hpp"
#include "runtime/client_runtime.hpp"

namespace vyre {

namespace {

// Longest single wait on the board; the loop re-checks the deadline.
constexpr std::chrono::nanoseconds LONGEST_WAIT = std::chrono::hours(1);

}  // namespace

Error ClientRuntime::queue_refused() {
    // The reader that held the queue ended on a link failure: report the failure
    // itself when it is still waiting, not its symptom.
    if (auto error = take_failure()) return std::move(*error);
    return Error::link_lost(COMMAND_CHANNEL_CLOSED_TEXT);
}

Error ClientRuntime::link_lost() {
    if (auto error = take_failure()) return std::move(*error);
    return Error::link_lost(RESPONSE_CHANNEL_CLOSED_TEXT);
}

Status ClientRuntime::send_only(FramedPacket frame) {
    if (auto error = take_failure()) return std::move(*error);
    if (!queue_command(std::move(frame))) return queue_refused();
    return ok_status();
}

Result<std::optional<Response>> ClientRuntime::transact(FramedPacket frame, ResponseKind expected,
                                                        double timeout_seconds, const InterruptCheck& interrupted) {
    if (auto error = take_failure()) return std::move(*error);
    auto timeout = duration_from_secs_f64(timeout_seconds);
    if (!timeout) return timeout.take_error();
    // Marked before the command is queued, so its own answer is never older.
    const bool current_only = !keep_late_answers_;
    const std::uint64_t since = current_only ? responses_->mark() : 0;
    const std::uint64_t paid = current_only ? responses_->debts_paid(expected) : 0;
    if (!queue_command(std::move(frame))) return queue_refused();

    auto answer = [&]() -> Result<std::optional<Response>> {
        if (auto found = responses_->take(expected, since)) return found;
        auto deadline = Instant::now().checked_add(timeout.value());
        if (!deadline) return deadline.take_error();
        return await_response(expected, deadline.value(), interrupted, since);
    }();
    // Given up (time-out or interrupt): the answer still owed is no later call's.
    const bool gave_up = answer ? !answer.value().has_value() : answer.error().is_interrupted();
    if (current_only && gave_up) responses_->unanswered(expected, since, paid);
    return answer;
}

Result<std::optional<Response>> ClientRuntime::await_response(std::optional<ResponseKind> expected, Instant deadline,
                                                              const InterruptCheck& interrupted, std::uint64_t since) {
    using Clock = std::chrono::steady_clock;
    if (expected) {
        if (auto found = responses_->take(*expected, since)) return found;
    }
    // An answer is awaited: the reader reads as data comes (not for a plain wait).
    std::optional<CallerWaiting> waiting;
    if (expected) waiting.emplace(*pace_, wake_reader_);
    auto next_interrupt_check = Clock::now() + INTERRUPT_POLL_INTERVAL;
    for (;;) {
        const Duration left = Instant::now().until(deadline);
        if (left.is_zero()) return std::optional<Response>();
        auto slice = left.capped(LONGEST_WAIT);
        if (interrupted) slice = std::min<std::chrono::nanoseconds>(slice, INTERRUPT_POLL_INTERVAL);

        Response response;
        switch (responses_->wait(expected, Clock::now() + slice, response, since)) {
            case ResponseBoard::Wait::Claimed:
                return std::optional<Response>(std::move(response));
            case ResponseBoard::Wait::Timeout:
                break;  // the deadline is checked at the top
            case ResponseBoard::Wait::LinkFailed:
                return link_lost();
        }
        if (interrupted && Clock::now() >= next_interrupt_check) {
            if (interrupted()) return Error::interrupted();
            next_interrupt_check = Clock::now() + INTERRUPT_POLL_INTERVAL;
        }
    }
}

template <class T>
Result<std::optional<T>> ClientRuntime::fetch(FramedPacket frame, ResponseKind expected, double timeout_seconds,
                                              const InterruptCheck& interrupted) {
    auto response = transact(std::move(frame), expected, timeout_seconds, interrupted);
    if (!response) return response.take_error();
    if (!response.value()) return std::optional<T>();
    return std::optional<T>(std::get<T>(std::move(*response.value())));
}

template <class T>
Result<bool> ClientRuntime::acknowledged(FramedPacket frame, ResponseKind expected, double timeout_seconds,
                                         const InterruptCheck& interrupted) {
    auto ack = fetch<T>(std::move(frame), expected, timeout_seconds, interrupted);
    if (!ack) return ack.take_error();
    return ack.value().has_value() && ack.value()->accepted;
}

Result<std::optional<DeviceInfo>> ClientRuntime::get_device_info(double timeout_seconds,
                                                                 const InterruptCheck& interrupted) {
    return fetch<DeviceInfo>(get_device_info_command(), ResponseKind::DeviceInfo, timeout_seconds, interrupted);
}

Result<std::optional<DeviceConfig>> ClientRuntime::get_device_config(double timeout_seconds,
                                                                     const InterruptCheck& interrupted) {
    return fetch<DeviceConfig>(get_device_config_command(), ResponseKind::DeviceConfig, timeout_seconds,
                               interrupted);
}

Result<std::optional<CalibrationValues>> ClientRuntime::get_calibration(double timeout_seconds,
                                                                        const InterruptCheck& interrupted) {
    return fetch<CalibrationValues>(get_calibration_command(), ResponseKind::CalibrationValues, timeout_seconds,
                                    interrupted);
}

Result<bool> ClientRuntime::set_device_config(std::string_view name, std::uint16_t frequency,
                                              DeviceProtocol protocol, double timeout_seconds,
                                              const InterruptCheck& interrupted) {
    return acknowledged<SetDeviceConfigAck>(set_device_config_command(name, frequency, protocol),
                                            ResponseKind::SetDeviceConfigAck, timeout_seconds, interrupted);
}

Result<bool> ClientRuntime::set_imu_calibration(const std::array<float, 3>& accel_offsets,
                                                const std::array<float, 9>& accel_scale_matrix,
                                                const std::array<float, 3>& gyro_offsets,
                                                const std::array<float, 9>& gyro_scale_matrix,
                                                double timeout_seconds, const InterruptCheck& interrupted) {
    return acknowledged<SetImuCalibrationAck>(
        set_imu_calibration_command(accel_offsets, accel_scale_matrix, gyro_offsets, gyro_scale_matrix),
        ResponseKind::SetImuCalibrationAck, timeout_seconds, interrupted);
}

Result<bool> ClientRuntime::set_magnetometer_calibration(const std::array<float, 3>& offsets,
                                                         const std::array<float, 9>& scale_matrix,
                                                         double timeout_seconds, const InterruptCheck& interrupted) {
    return acknowledged<SetMagnetometerCalibrationAck>(set_magnetometer_calibration_command(offsets, scale_matrix),
                                                       ResponseKind::SetMagnetometerCalibrationAck, timeout_seconds,
                                                       interrupted);
}

Result<bool> ClientRuntime::cancel(double timeout_seconds, const InterruptCheck& interrupted) {
    return acknowledged<CancelAck>(cancel_command(), ResponseKind::CancelAck, timeout_seconds, interrupted);
}

Status ClientRuntime::reboot() { return send_only(reboot_command()); }

}  // namespace vyre
