#pragma once
// Telemetry records with their host-derived values.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "device_contract.hpp"

namespace vyre {

// Up axis chosen from the first finite sample of a reader thread; never changes after.
enum class UpAxis : std::uint8_t {
    PosX = 0, NegX = 1, PosY = 2, NegY = 3, PosZ = 4, NegZ = 5,
    Undetermined = 6,
};

// The 18 wire fields of one telemetry sample, in payload order.
struct TelemetryFields {
    double timestamp_seconds = 0.0;
    float temperature_celsius = 0.f;
    float pressure_pascals = 0.f;
    float raw_acceleration_x_gs = 0.f;
    float raw_acceleration_y_gs = 0.f;
    float raw_acceleration_z_gs = 0.f;
    float raw_angular_rate_x_deg_per_s = 0.f;
    float raw_angular_rate_y_deg_per_s = 0.f;
    float raw_angular_rate_z_deg_per_s = 0.f;
    float magnetic_field_x_microteslas = 0.f;
    float magnetic_field_y_microteslas = 0.f;
    float magnetic_field_z_microteslas = 0.f;
    float est_position_z_meters = 0.f;
    float est_velocity_z_meters_per_s = 0.f;
    float est_quaternion_w = 0.f;
    float est_quaternion_x = 0.f;
    float est_quaternion_y = 0.f;
    float est_quaternion_z = 0.f;
};

// One decoded telemetry packet: the 18 fields plus five derived values, in the
// order Python sees them, then the host's receive time and the sample's time on
// the host's clock. A plain 112-byte value.
struct DataPacket {
    double timestamp_seconds;
    float temperature_celsius;
    float pressure_pascals;
    float raw_acceleration_x_gs;
    float raw_acceleration_y_gs;
    float raw_acceleration_z_gs;
    float raw_rotated_acceleration_x_gs;
    float raw_rotated_acceleration_y_gs;
    float raw_rotated_acceleration_z_gs;
    float est_tilt_angle_degrees;
    float raw_angular_rate_x_deg_per_s;
    float raw_angular_rate_y_deg_per_s;
    float raw_angular_rate_z_deg_per_s;
    float magnetic_field_x_microteslas;
    float magnetic_field_y_microteslas;
    float magnetic_field_z_microteslas;
    float est_position_z_meters;
    float est_velocity_z_meters_per_s;
    float est_mach_number;
    float est_quaternion_w;
    float est_quaternion_x;
    float est_quaternion_y;
    float est_quaternion_z;
    // Seconds since the epoch on the host's real-time clock (that of Python's
    // time.time()) when the read that completed the frame returned. The reader
    // thread sets it; decoding leaves it 0.
    double host_time_seconds;
    // The host-clock time at which the device took the sample, from the
    // reader's clock model; NaN while none holds. Decoding leaves it 0.
    double synced_time_seconds;
};
static_assert(sizeof(DataPacket) == 112);

// The leading bytes of a DataPacket that hold the 23 packet values, without the
// host time: what a VYREDataPacket keeps.
inline constexpr std::size_t PACKET_VALUES_SIZE = offsetof(DataPacket, host_time_seconds);
static_assert(PACKET_VALUES_SIZE == 96);

// Copies the fields and computes rotated acceleration, tilt and Mach number.
// `axis` is read and, while undetermined, set from this sample.
DataPacket derive_packet(const TelemetryFields& fields, UpAxis& axis);

// Reads the first 76 payload bytes; nothing for a shorter payload.
std::optional<DataPacket> decode_telemetry(std::span<const std::uint8_t> payload, UpAxis& axis);

// The all-zero packet with the identity quaternion.
DataPacket default_zero_packet();

}  // namespace vyre
