#include "commands.hpp"

#include <algorithm>

#include "utils.hpp"

namespace vyre {

namespace {

FramedPacket command(MessageId id, std::vector<std::uint8_t> payload = {}) {
    return FramedPacket::make(COMMAND_HEADER, static_cast<std::uint16_t>(id), std::move(payload));
}

template <std::size_t N>
void append_floats(std::vector<std::uint8_t>& out, const std::array<float, N>& values) {
    for (float v : values) append_f32_le(out, v);
}

}  // namespace

FramedPacket get_device_info_command() { return command(MessageId::DeviceInfo); }
FramedPacket get_device_config_command() { return command(MessageId::DeviceConfig); }
FramedPacket reboot_command() { return command(MessageId::Reboot); }
FramedPacket enter_mock_mode_command() { return command(MessageId::MockMode); }
FramedPacket get_calibration_command() { return command(MessageId::GetCalibration); }
FramedPacket cancel_command() { return command(MessageId::Cancel); }

FramedPacket set_device_config_command(std::string_view name, std::uint16_t frequency, DeviceProtocol protocol) {
    // The name field is fixed at 32 bytes; a longer name is cut, even inside a character.
    std::vector<std::uint8_t> payload(DEVICE_NAME_FIELD_SIZE, 0);
    const std::size_t kept = std::min(name.size(), DEVICE_NAME_FIELD_SIZE);
    std::copy_n(reinterpret_cast<const std::uint8_t*>(name.data()), kept, payload.begin());
    append_u16_le(payload, frequency);
    payload.push_back(static_cast<std::uint8_t>(protocol));
    return command(MessageId::SetDeviceConfig, std::move(payload));
}

FramedPacket set_magnetometer_calibration_command(const std::array<float, 3>& offsets,
                                                  const std::array<float, 9>& scale_matrix) {
    std::vector<std::uint8_t> payload;
    payload.reserve(48);
    append_floats(payload, offsets);
    append_floats(payload, scale_matrix);
    return command(MessageId::SetMagnetometerCalibration, std::move(payload));
}

FramedPacket set_imu_calibration_command(const std::array<float, 3>& accel_offsets,
                                         const std::array<float, 9>& accel_scale_matrix,
                                         const std::array<float, 3>& gyro_offsets,
                                         const std::array<float, 9>& gyro_scale_matrix) {
    std::vector<std::uint8_t> payload;
    payload.reserve(96);
    append_floats(payload, accel_offsets);
    append_floats(payload, accel_scale_matrix);
    append_floats(payload, gyro_offsets);
    append_floats(payload, gyro_scale_matrix);
    return command(MessageId::SetImuCalibration, std::move(payload));
}

}  // namespace vyre
