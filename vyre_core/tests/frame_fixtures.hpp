#pragma once
// Byte builders shared by the core tests.

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "framed_packet.hpp"
#include "telemetry.hpp"
#include "utils.hpp"

namespace vyre::test {

using Bytes = std::vector<std::uint8_t>;

// "A5 5A 03" -> {0xA5, 0x5A, 0x03}
inline Bytes hex(std::string_view text) {
    Bytes out;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits.push_back(c);
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

inline Bytes ascii(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Bytes telemetry_payload(const TelemetryFields& f) {
    Bytes out;
    std::uint64_t ts;
    std::memcpy(&ts, &f.timestamp_seconds, sizeof ts);
    append_u32_le(out, static_cast<std::uint32_t>(ts));
    append_u32_le(out, static_cast<std::uint32_t>(ts >> 32));
    for (float v : {f.temperature_celsius, f.pressure_pascals, f.raw_acceleration_x_gs, f.raw_acceleration_y_gs,
                    f.raw_acceleration_z_gs, f.raw_angular_rate_x_deg_per_s, f.raw_angular_rate_y_deg_per_s,
                    f.raw_angular_rate_z_deg_per_s, f.magnetic_field_x_microteslas, f.magnetic_field_y_microteslas,
                    f.magnetic_field_z_microteslas, f.est_position_z_meters, f.est_velocity_z_meters_per_s,
                    f.est_quaternion_w, f.est_quaternion_x, f.est_quaternion_y, f.est_quaternion_z})
        append_f32_le(out, v);
    return out;
}

// A telemetry sample at rest, identified by its timestamp.
inline TelemetryFields sample_at(double timestamp) {
    TelemetryFields f;
    f.timestamp_seconds = timestamp;
    f.temperature_celsius = 21.5f;
    f.pressure_pascals = 101325.f;
    f.raw_acceleration_z_gs = 1.f;
    f.est_quaternion_w = 1.f;
    return f;
}

inline Bytes telemetry_frame(double timestamp) {
    return FramedPacket::make(DATA_HEADER, 0, telemetry_payload(sample_at(timestamp))).to_bytes();
}

inline Bytes response_frame(std::uint16_t identifier, Bytes payload) {
    return FramedPacket::make(RESPONSE_HEADER, identifier, std::move(payload)).to_bytes();
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace vyre::test
