#include "telemetry.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "utils.hpp"

// The derived values must be bit-identical on every build, so every constant is
// fixed by its bit pattern and the arithmetic is spelled out operation by operation
// (the library is built with -ffp-contract=off so no step is fused).

namespace vyre {

namespace {

const float EPS = std::bit_cast<float>(std::uint32_t{0x34000000});
const float K = std::bit_cast<float>(std::uint32_t{0x3F3504F3});               // 1/sqrt(2)
const float DEGREES_PER_RADIAN = std::bit_cast<float>(std::uint32_t{0x42652EE0});
const float ZERO_CELSIUS_KELVIN = std::bit_cast<float>(std::uint32_t{0x43889333});  // 273.15
const float GAMMA_TIMES_R = std::bit_cast<float>(std::uint32_t{0x43C8EF5B});       // 1.4 * 287.05 in f32

struct Vec3 {
    float x, y, z;
};

Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

float norm(const Vec3& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

struct UnitQuaternion {
    float w;
    Vec3 v;
};

// q·b·q*, as b + w·t + v × t with t = 2·(v × b).
Vec3 rotate(const UnitQuaternion& q, const Vec3& b) {
    const Vec3 c = cross(q.v, b);
    const Vec3 t{2.0f * c.x, 2.0f * c.y, 2.0f * c.z};
    const Vec3 d = cross(q.v, t);
    return {b.x + q.w * t.x + d.x, b.y + q.w * t.y + d.y, b.z + q.w * t.z + d.z};
}

constexpr Vec3 AXES[6] = {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0}, {0, 0, 1}, {0, 0, -1}};

UpAxis choose_up_axis(const Vec3& b) {
    if (!std::isfinite(b.x) || !std::isfinite(b.y)) return UpAxis::PosZ;
    const float magnitude = norm(b);
    if (!(magnitude > EPS)) return UpAxis::PosZ;
    const float dots[6] = {b.x / magnitude, -b.x / magnitude, b.y / magnitude,
                           -b.y / magnitude, b.z / magnitude, -b.z / magnitude};
    std::size_t best = 0;
    for (std::size_t i = 1; i < 6; ++i)
        if (dots[i] > dots[best]) best = i;  // strictly greater: ties keep the earlier axis
    return static_cast<UpAxis>(best);
}

float mach_number(float temperature_celsius, float velocity_z) {
    if (!std::isfinite(temperature_celsius) || !std::isfinite(velocity_z)) return 0.0f;
    const float kelvin = temperature_celsius + ZERO_CELSIUS_KELVIN;
    if (kelvin <= 0.0f) return 0.0f;
    const float speed_of_sound = std::sqrt(kelvin * GAMMA_TIMES_R);
    if (speed_of_sound <= EPS) return 0.0f;
    return std::sqrt(velocity_z * velocity_z) / speed_of_sound;
}

}  // namespace

DataPacket derive_packet(const TelemetryFields& f, UpAxis& axis) {
    Vec3 rotated{0.0f, 0.0f, 0.0f};
    float tilt = 0.0f;

    const float ax = f.raw_acceleration_x_gs, ay = f.raw_acceleration_y_gs, az = f.raw_acceleration_z_gs;
    const float w = f.est_quaternion_w, x = f.est_quaternion_x, y = f.est_quaternion_y, z = f.est_quaternion_z;
    const bool finite = std::isfinite(ax) && std::isfinite(ay) && std::isfinite(az) && std::isfinite(w) &&
                        std::isfinite(x) && std::isfinite(y) && std::isfinite(z);
    if (finite) {
        // Sensor axes sit 45 degrees about Z from the body axes.
        const float kax = K * ax;
        const float kay = K * ay;
        const Vec3 body{kax - kay, kax + kay, az};

        const float n = std::sqrt(w * w + x * x + y * y + z * z);
        const bool has_rotation = n > EPS;
        rotated = body;
        UnitQuaternion q{1.0f, {0.0f, 0.0f, 0.0f}};
        if (has_rotation) {
            q = {w / n, {x / n, y / n, z / n}};
            rotated = rotate(q, body);
        }

        if (axis == UpAxis::Undetermined) axis = choose_up_axis(body);

        // Angle between the device's up axis carried into the reference frame and +Z.
        if (has_rotation) {
            const Vec3 up = rotate(q, AXES[static_cast<std::size_t>(axis)]);
            const float length = norm(up);
            if (length > EPS) {
                const float c = std::clamp(up.z / length, -1.0f, 1.0f);
                tilt = std::acos(c) * DEGREES_PER_RADIAN;
            }
        }
    }

    DataPacket p{};
    p.timestamp_seconds = f.timestamp_seconds;
    p.temperature_celsius = f.temperature_celsius;
    p.pressure_pascals = f.pressure_pascals;
    p.raw_acceleration_x_gs = ax;
    p.raw_acceleration_y_gs = ay;
    p.raw_acceleration_z_gs = az;
    p.raw_rotated_acceleration_x_gs = rotated.x;
    p.raw_rotated_acceleration_y_gs = rotated.y;
    p.raw_rotated_acceleration_z_gs = rotated.z;
    p.est_tilt_angle_degrees = tilt;
    p.raw_angular_rate_x_deg_per_s = f.raw_angular_rate_x_deg_per_s;
    p.raw_angular_rate_y_deg_per_s = f.raw_angular_rate_y_deg_per_s;
    p.raw_angular_rate_z_deg_per_s = f.raw_angular_rate_z_deg_per_s;
    p.magnetic_field_x_microteslas = f.magnetic_field_x_microteslas;
    p.magnetic_field_y_microteslas = f.magnetic_field_y_microteslas;
    p.magnetic_field_z_microteslas = f.magnetic_field_z_microteslas;
    p.est_position_z_meters = f.est_position_z_meters;
    p.est_velocity_z_meters_per_s = f.est_velocity_z_meters_per_s;
    p.est_mach_number = mach_number(f.temperature_celsius, f.est_velocity_z_meters_per_s);
    p.est_quaternion_w = w;
    p.est_quaternion_x = x;
    p.est_quaternion_y = y;
    p.est_quaternion_z = z;
    return p;
}

std::optional<DataPacket> decode_telemetry(std::span<const std::uint8_t> payload, UpAxis& axis) {
    if (payload.size() < TELEMETRY_PAYLOAD_SIZE) return std::nullopt;
    const std::uint8_t* p = payload.data();
    TelemetryFields f;
    f.timestamp_seconds = read_f64_le(p);
    f.temperature_celsius = read_f32_le(p + 8);
    f.pressure_pascals = read_f32_le(p + 12);
    f.raw_acceleration_x_gs = read_f32_le(p + 16);
    f.raw_acceleration_y_gs = read_f32_le(p + 20);
    f.raw_acceleration_z_gs = read_f32_le(p + 24);
    f.raw_angular_rate_x_deg_per_s = read_f32_le(p + 28);
    f.raw_angular_rate_y_deg_per_s = read_f32_le(p + 32);
    f.raw_angular_rate_z_deg_per_s = read_f32_le(p + 36);
    f.magnetic_field_x_microteslas = read_f32_le(p + 40);
    f.magnetic_field_y_microteslas = read_f32_le(p + 44);
    f.magnetic_field_z_microteslas = read_f32_le(p + 48);
    f.est_position_z_meters = read_f32_le(p + 52);
    f.est_velocity_z_meters_per_s = read_f32_le(p + 56);
    f.est_quaternion_w = read_f32_le(p + 60);
    f.est_quaternion_x = read_f32_le(p + 64);
    f.est_quaternion_y = read_f32_le(p + 68);
    f.est_quaternion_z = read_f32_le(p + 72);
    return derive_packet(f, axis);
}

DataPacket default_zero_packet() {
    TelemetryFields f;
    f.est_quaternion_w = 1.0f;
    UpAxis axis = UpAxis::Undetermined;
    return derive_packet(f, axis);
}

}  // namespace vyre
