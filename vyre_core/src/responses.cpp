#include "responses.hpp"

#include <algorithm>
#include <span>
#include <vector>

#include "utils.hpp"

namespace vyre {

namespace {

bool ack_byte(const std::vector<std::uint8_t>& payload) { return !payload.empty() && payload[0] == 1; }

// Six consecutive f32 arrays; the caller has checked the payload holds all 144 bytes.
CalibrationValues decode_calibration(std::span<const std::uint8_t> payload) {
    CalibrationValues c;
    std::size_t offset = 0;
    auto read_into = [&](auto& target) {
        Result<std::vector<float>> values = bytes_to_f32_array(payload, target.size(), offset);
        if (values) std::copy(values.value().begin(), values.value().end(), target.begin());
    };
    read_into(c.imu_accelerometer_offsets);
    read_into(c.imu_accelerometer_scale_matrix);
    read_into(c.imu_gyroscope_offsets);
    read_into(c.imu_gyroscope_scale_matrix);
    read_into(c.magnetometer_offsets);
    read_into(c.magnetometer_scale_matrix);
    return c;
}

}  // namespace

std::optional<Response> decode_response(const FramedPacket& frame) {
    const std::vector<std::uint8_t>& payload = frame.payload;
    switch (frame.identifier) {
        case static_cast<std::uint16_t>(MessageId::DeviceInfo): {
            if (payload.size() < DEVICE_INFO_PAYLOAD_SIZE) return std::nullopt;
            DeviceInfo info;
            info.id = read_u64_le(payload.data());
            info.firmware_version = null_terminated_text(std::span(payload).subspan(8, 8));
            return info;
        }
        case static_cast<std::uint16_t>(MessageId::DeviceConfig): {
            if (payload.size() < DEVICE_CONFIG_PAYLOAD_SIZE) return std::nullopt;
            DeviceConfig config;
            config.name = null_terminated_text(std::span(payload).first(32));
            config.frequency = read_u16_le(payload.data() + 32);
            config.protocol = protocol_from_byte(payload[34]);
            return config;
        }
        case static_cast<std::uint16_t>(MessageId::SetDeviceConfig):
            return SetDeviceConfigAck{ack_byte(payload)};
        case static_cast<std::uint16_t>(MessageId::Reboot):
            return Undecoded{"No decoded response for Reboot"};
        case static_cast<std::uint16_t>(MessageId::MockMode):
            return MockModeAck{ack_byte(payload)};
        case static_cast<std::uint16_t>(MessageId::SetMagnetometerCalibration):
            return SetMagnetometerCalibrationAck{ack_byte(payload)};
        case static_cast<std::uint16_t>(MessageId::SetImuCalibration):
            return SetImuCalibrationAck{ack_byte(payload)};
        case static_cast<std::uint16_t>(MessageId::GetCalibration):
            if (payload.size() < CALIBRATION_PAYLOAD_SIZE) return std::nullopt;
            return decode_calibration(payload);
        case static_cast<std::uint16_t>(MessageId::Cancel):
            return CancelAck{ack_byte(payload)};
        default:
            return std::nullopt;
    }
}

}  // namespace vyre
