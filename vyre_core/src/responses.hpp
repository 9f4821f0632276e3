#pragma once
// Responses the device sends to commands, decoded.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "device_contract.hpp"
#include "framed_packet.hpp"

namespace vyre {

enum class DeviceProtocol : std::uint8_t { USB = 1, UART = 2, I2C = 3, SPI = 4 };

// Protocol byte of a device config: 2, 3, 4 as themselves; everything else is USB.
constexpr DeviceProtocol protocol_from_byte(std::uint8_t b) {
    return (b >= 1 && b <= 4) ? static_cast<DeviceProtocol>(b) : DeviceProtocol::USB;
}

struct DeviceInfo {
    std::uint64_t id = 0;
    std::string firmware_version;
    bool operator==(const DeviceInfo&) const = default;
};

struct DeviceConfig {
    std::string name;
    std::uint16_t frequency = 0;
    DeviceProtocol protocol = DeviceProtocol::USB;
    bool operator==(const DeviceConfig&) const = default;
};

struct CalibrationValues {
    std::array<float, 3> imu_accelerometer_offsets{};
    std::array<float, 9> imu_accelerometer_scale_matrix{};
    std::array<float, 3> imu_gyroscope_offsets{};
    std::array<float, 9> imu_gyroscope_scale_matrix{};
    std::array<float, 3> magnetometer_offsets{};
    std::array<float, 9> magnetometer_scale_matrix{};
    bool operator==(const CalibrationValues&) const = default;
};

// Acknowledgements: true exactly when the payload's first byte is 1.
template <ResponseKind K>
struct Ack {
    bool accepted = false;
    bool operator==(const Ack&) const = default;
};
using SetDeviceConfigAck = Ack<ResponseKind::SetDeviceConfigAck>;
using SetMagnetometerCalibrationAck = Ack<ResponseKind::SetMagnetometerCalibrationAck>;
using SetImuCalibrationAck = Ack<ResponseKind::SetImuCalibrationAck>;
using MockModeAck = Ack<ResponseKind::MockModeAck>;
using CancelAck = Ack<ResponseKind::CancelAck>;

struct Undecoded {
    std::string message;
    bool operator==(const Undecoded&) const = default;
};

// Alternatives in ResponseKind order.
using Response = std::variant<DeviceInfo, DeviceConfig, SetDeviceConfigAck, SetMagnetometerCalibrationAck,
                              SetImuCalibrationAck, CalibrationValues, MockModeAck, CancelAck, Undecoded>;

inline ResponseKind response_kind(const Response& r) { return static_cast<ResponseKind>(r.index()); }

// Decodes a response frame. Nothing for an identifier that is not a response, or
// for a payload shorter than its decoder needs (device info 16, config 35, calibration 144).
std::optional<Response> decode_response(const FramedPacket& frame);

}  // namespace vyre
