#pragma once
// Command frames (header COMMAND_HEADER), one builder per command.

#include <array>
#include <string_view>

#include "framed_packet.hpp"
#include "responses.hpp"

namespace vyre {

inline constexpr std::size_t DEVICE_NAME_FIELD_SIZE = 32;

FramedPacket get_device_info_command();
FramedPacket get_device_config_command();
FramedPacket reboot_command();
FramedPacket enter_mock_mode_command();
FramedPacket get_calibration_command();
FramedPacket cancel_command();

// Name: its UTF-8 bytes cut to 32 and zero-padded; frequency u16; protocol byte.
FramedPacket set_device_config_command(std::string_view name, std::uint16_t frequency, DeviceProtocol protocol);
FramedPacket set_magnetometer_calibration_command(const std::array<float, 3>& offsets,
                                                  const std::array<float, 9>& scale_matrix);
FramedPacket set_imu_calibration_command(const std::array<float, 3>& accel_offsets,
                                         const std::array<float, 9>& accel_scale_matrix,
                                         const std::array<float, 3>& gyro_offsets,
                                         const std::array<float, 9>& gyro_scale_matrix);

}  // namespace vyre
