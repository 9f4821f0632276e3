#pragma once
// What the host sends the device and what it expects back: the message
// identifiers shared by commands and responses, and the response each command waits for.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vyre {

enum class MessageId : std::uint16_t {
    DeviceInfo = 1,
    DeviceConfig = 2,
    SetDeviceConfig = 3,
    Reboot = 4,
    MockMode = 5,
    SetMagnetometerCalibration = 6,
    SetImuCalibration = 7,
    GetCalibration = 8,
    Cancel = 255,
};

// Identifier of the mock frame carrying a log file's 286-byte header block ('H').
inline constexpr std::uint16_t MOCK_LOG_HEADER_IDENTIFIER = 0x48;

// Kinds of decoded response; the values are the indices of the Response variant.
enum class ResponseKind : unsigned char {
    DeviceInfo,
    DeviceConfig,
    SetDeviceConfigAck,
    SetMagnetometerCalibrationAck,
    SetImuCalibrationAck,
    CalibrationValues,
    MockModeAck,
    CancelAck,
    Undecoded,
};

constexpr bool is_response_identifier(std::uint16_t id) {
    return (id >= 1 && id <= 8) || id == 255;
}

// The response a command is answered with; none for Reboot, which is never awaited.
constexpr std::optional<ResponseKind> expected_response(MessageId command) {
    switch (command) {
        case MessageId::DeviceInfo: return ResponseKind::DeviceInfo;
        case MessageId::DeviceConfig: return ResponseKind::DeviceConfig;
        case MessageId::SetDeviceConfig: return ResponseKind::SetDeviceConfigAck;
        case MessageId::Reboot: return std::nullopt;
        case MessageId::MockMode: return ResponseKind::MockModeAck;
        case MessageId::SetMagnetometerCalibration: return ResponseKind::SetMagnetometerCalibrationAck;
        case MessageId::SetImuCalibration: return ResponseKind::SetImuCalibrationAck;
        case MessageId::GetCalibration: return ResponseKind::CalibrationValues;
        case MessageId::Cancel: return ResponseKind::CancelAck;
    }
    return std::nullopt;
}

// Minimum payload sizes of the responses that carry data; shorter frames deliver nothing.
inline constexpr std::size_t DEVICE_INFO_PAYLOAD_SIZE = 16;
inline constexpr std::size_t DEVICE_CONFIG_PAYLOAD_SIZE = 35;
inline constexpr std::size_t CALIBRATION_PAYLOAD_SIZE = 144;
inline constexpr std::size_t TELEMETRY_PAYLOAD_SIZE = 76;

}  // namespace vyre
