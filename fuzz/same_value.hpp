#pragma once
// Bit-for-bit equality of decoded values: a NaN read from the wire must come out as
// the same NaN, which operator== cannot tell.

#include <cstring>
#include <variant>

#include "responses.hpp"
#include "telemetry.hpp"

namespace vyre::fuzz {

inline bool same_packet(const DataPacket& a, const DataPacket& b) {
    // No padding, so comparing the bytes compares exactly the fields.
    static_assert(sizeof(DataPacket) == 2 * sizeof(double) + 22 * sizeof(float));
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline bool same_calibration(const CalibrationValues& a, const CalibrationValues& b) {
    auto same = [](const auto& x, const auto& y) { return std::memcmp(x.data(), y.data(), sizeof x) == 0; };
    return same(a.imu_accelerometer_offsets, b.imu_accelerometer_offsets) &&
           same(a.imu_accelerometer_scale_matrix, b.imu_accelerometer_scale_matrix) &&
           same(a.imu_gyroscope_offsets, b.imu_gyroscope_offsets) &&
           same(a.imu_gyroscope_scale_matrix, b.imu_gyroscope_scale_matrix) &&
           same(a.magnetometer_offsets, b.magnetometer_offsets) &&
           same(a.magnetometer_scale_matrix, b.magnetometer_scale_matrix);
}

inline bool same_response(const Response& a, const Response& b) {
    if (a.index() != b.index()) return false;
    if (const auto* ca = std::get_if<CalibrationValues>(&a))
        return same_calibration(*ca, std::get<CalibrationValues>(b));
    return a == b;
}

}  // namespace vyre::fuzz
