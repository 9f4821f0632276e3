#include <bit>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "frame_fixtures.hpp"
#include "telemetry.hpp"

namespace vyre {
namespace {

const float K = std::bit_cast<float>(std::uint32_t{0x3F3504F3});
const float NaN = std::numeric_limits<float>::quiet_NaN();
const float INF = std::numeric_limits<float>::infinity();
const float S = std::sqrt(0.5f);  // cos 45 deg = sin 45 deg

TelemetryFields motion(std::array<float, 3> accel, std::array<float, 4> quat) {
    TelemetryFields f;
    f.raw_acceleration_x_gs = accel[0];
    f.raw_acceleration_y_gs = accel[1];
    f.raw_acceleration_z_gs = accel[2];
    f.est_quaternion_w = quat[0];
    f.est_quaternion_x = quat[1];
    f.est_quaternion_y = quat[2];
    f.est_quaternion_z = quat[3];
    return f;
}

std::array<float, 3> rotated(const DataPacket& p) {
    return {p.raw_rotated_acceleration_x_gs, p.raw_rotated_acceleration_y_gs, p.raw_rotated_acceleration_z_gs};
}

TEST(DerivePacket, TiltFollowsTheAxisChosenFirst) {
    UpAxis axis = UpAxis::Undetermined;
    const DataPacket level = derive_packet(motion({0, 0, 1}, {1, 0, 0, 0}), axis);
    EXPECT_EQ(rotated(level), (std::array<float, 3>{0.f, 0.f, 1.f}));
    EXPECT_EQ(axis, UpAxis::PosZ);
    EXPECT_EQ(level.est_tilt_angle_degrees, 0.f);

    // A later sample lying on its side does not move the axis.
    const DataPacket turned = derive_packet(motion({1, -1, 0}, {S, S, 0, 0}), axis);
    EXPECT_EQ(axis, UpAxis::PosZ);
    EXPECT_NEAR(turned.est_tilt_angle_degrees, 90.f, 1e-3f);
    // Body +X (sensor (1, -1, 0)) stays on X; a level sample's +Z goes to -Y.
    EXPECT_NEAR(turned.raw_rotated_acceleration_x_gs, 2 * K, 1e-6f);
    const DataPacket turned_level = derive_packet(motion({0, 0, 1}, {S, S, 0, 0}), axis);
    EXPECT_NEAR(turned_level.raw_rotated_acceleration_y_gs, -1.f, 1e-6f);
    EXPECT_NEAR(turned_level.raw_rotated_acceleration_z_gs, 0.f, 1e-6f);

    const DataPacket upside_down = derive_packet(motion({0, 0, -1}, {0, 1, 0, 0}), axis);
    EXPECT_NEAR(upside_down.est_tilt_angle_degrees, 180.f, 1e-3f);
    EXPECT_NEAR(upside_down.raw_rotated_acceleration_z_gs, 1.f, 1e-6f);
}

TEST(DerivePacket, ZeroQuaternionKeepsBodyVectorButStillChoosesAxis) {
    UpAxis axis = UpAxis::Undetermined;
    const DataPacket p = derive_packet(motion({0.5f, 2.f, -3.f}, {0, 0, 0, 0}), axis);
    EXPECT_EQ(rotated(p), (std::array<float, 3>{K * 0.5f - K * 2.f, K * 0.5f + K * 2.f, -3.f}));
    EXPECT_EQ(p.est_tilt_angle_degrees, 0.f);
    EXPECT_EQ(axis, UpAxis::NegZ);
}

// Bits worked out independently with step-by-step single-precision arithmetic;
// a fused multiply-add or a reordered sum changes them.
TEST(DerivePacket, GeneralRotationIsBitExact) {
    struct Case {
        std::array<float, 3> accel;
        std::array<float, 4> quat;
        std::array<std::uint32_t, 3> bits;
    };
    for (const Case& c : {Case{{0.3f, -0.2f, 0.95f}, {0.9f, 0.1f, -0.3f, 0.2f}, {0xBE8C875B, 0xBE00160D, 0x3F7866DE}},
                          Case{{-0.16f, 0.08f, 0.58f}, {0.19f, 0.12f, 0.24f, 0.88f}, {0x3EBBC95E, 0x3E5E050B, 0x3EDD546B}}}) {
        UpAxis axis = UpAxis::Undetermined;
        const DataPacket p = derive_packet(motion(c.accel, c.quat), axis);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(p.raw_rotated_acceleration_x_gs), c.bits[0]);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(p.raw_rotated_acceleration_y_gs), c.bits[1]);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(p.raw_rotated_acceleration_z_gs), c.bits[2]);
        EXPECT_EQ(axis, UpAxis::PosZ);
    }
}

class NonFiniteMotion : public ::testing::TestWithParam<std::tuple<int, float>> {};

TEST_P(NonFiniteMotion, GivesZerosAndLeavesAxisUndetermined) {
    const auto [index, bad] = GetParam();
    std::array<float, 7> values = {0.2f, 0.1f, 1.f, 1.f, 0.f, 0.f, 0.f};
    values[static_cast<std::size_t>(index)] = bad;
    UpAxis axis = UpAxis::Undetermined;
    const DataPacket p = derive_packet(
        motion({values[0], values[1], values[2]}, {values[3], values[4], values[5], values[6]}), axis);
    EXPECT_EQ(rotated(p), (std::array<float, 3>{0.f, 0.f, 0.f}));
    EXPECT_EQ(p.est_tilt_angle_degrees, 0.f);
    EXPECT_EQ(axis, UpAxis::Undetermined);
}

INSTANTIATE_TEST_SUITE_P(EachComponent, NonFiniteMotion,
                         ::testing::Combine(::testing::Range(0, 7), ::testing::Values(NaN, INF, -INF)),
                         [](const auto& p) {
                             const float v = std::get<1>(p.param);
                             return "Component" + std::to_string(std::get<0>(p.param)) +
                                    (std::isnan(v) ? "NaN" : v > 0 ? "Inf" : "MinusInf");
                         });

struct AxisCase {
    const char* name;
    std::array<float, 3> accel;
    UpAxis expected;
};

class UpAxisChoice : public ::testing::TestWithParam<AxisCase> {};

TEST_P(UpAxisChoice, LargestComponentOfBodyVectorWins) {
    UpAxis axis = UpAxis::Undetermined;
    (void)derive_packet(motion(GetParam().accel, {1, 0, 0, 0}), axis);
    EXPECT_EQ(axis, GetParam().expected);
}

// The body vector is the acceleration turned 45 degrees about Z:
// (1, -1, 0) points along body +X, (1, 1, 0) along body +Y.
INSTANTIATE_TEST_SUITE_P(
    Axes, UpAxisChoice,
    ::testing::Values(AxisCase{"PosX", {1, -1, 0}, UpAxis::PosX}, AxisCase{"NegX", {-1, 1, 0}, UpAxis::NegX},
                      AxisCase{"PosY", {1, 1, 0}, UpAxis::PosY}, AxisCase{"NegY", {-1, -1, 0}, UpAxis::NegY},
                      AxisCase{"PosZ", {0, 0, 1}, UpAxis::PosZ}, AxisCase{"NegZ", {0, 0, -1}, UpAxis::NegZ},
                      AxisCase{"PosXTiesPosY", {1, 0, 0}, UpAxis::PosX},
                      AxisCase{"NegXTiesPosY", {0, 1, 0}, UpAxis::NegX},
                      AxisCase{"PosXTiesNegY", {0, -1, 0}, UpAxis::PosX},
                      AxisCase{"NoDirection", {0, 0, 0}, UpAxis::PosZ},
                      AxisCase{"BodyVectorOverflows", {3e38f, -3e38f, 0}, UpAxis::PosZ}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(MachNumber, SpeedOfSoundFromTemperature) {
    struct Case {
        float temperature, velocity, mach;
    };
    for (const Case c : {Case{15.f, -340.29f, 1.f}, Case{15.f, 340.29f, 1.f}, Case{15.f, 0.f, 0.f},
                         Case{-273.15f, 100.f, 0.f}, Case{-300.f, 100.f, 0.f}, Case{NaN, 100.f, 0.f},
                         Case{15.f, INF, 0.f}, Case{INF, 100.f, 0.f}, Case{15.f, NaN, 0.f}}) {
        TelemetryFields f = motion({0, 0, 1}, {1, 0, 0, 0});
        f.temperature_celsius = c.temperature;
        f.est_velocity_z_meters_per_s = c.velocity;
        UpAxis axis = UpAxis::Undetermined;
        const float mach = derive_packet(f, axis).est_mach_number;
        EXPECT_NEAR(mach, c.mach, 1e-4f) << c.temperature << " " << c.velocity;
        if (c.velocity == -340.29f) {
            EXPECT_EQ(std::bit_cast<std::uint32_t>(mach), 0x3F7FFF91u);  // single precision, no fused ops
        }
    }
}

TEST(DecodeTelemetry, CopiesEveryFieldAndIgnoresExtraBytes) {
    TelemetryFields f;
    f.timestamp_seconds = 1234567.123456789012;
    float v = 1.f;
    for (float* field : {&f.temperature_celsius, &f.pressure_pascals, &f.raw_acceleration_x_gs,
                         &f.raw_acceleration_y_gs, &f.raw_acceleration_z_gs, &f.raw_angular_rate_x_deg_per_s,
                         &f.raw_angular_rate_y_deg_per_s, &f.raw_angular_rate_z_deg_per_s,
                         &f.magnetic_field_x_microteslas, &f.magnetic_field_y_microteslas,
                         &f.magnetic_field_z_microteslas, &f.est_position_z_meters, &f.est_velocity_z_meters_per_s,
                         &f.est_quaternion_w, &f.est_quaternion_x, &f.est_quaternion_y, &f.est_quaternion_z})
        *field = (v += 1.25f);
    test::Bytes payload = test::telemetry_payload(f);
    ASSERT_EQ(payload.size(), TELEMETRY_PAYLOAD_SIZE);
    payload.insert(payload.end(), {0xDE, 0xAD});

    UpAxis decoded_axis = UpAxis::Undetermined, derived_axis = UpAxis::Undetermined;
    const std::optional<DataPacket> p = decode_telemetry(payload, decoded_axis);
    ASSERT_TRUE(p.has_value());
    const DataPacket expected = derive_packet(f, derived_axis);
    EXPECT_EQ(std::memcmp(&*p, &expected, sizeof expected), 0);
    EXPECT_EQ(decoded_axis, derived_axis);
    EXPECT_EQ(p->timestamp_seconds, 1234567.123456789012);
    EXPECT_EQ(p->temperature_celsius, 2.25f);
    EXPECT_EQ(p->est_quaternion_z, 1.f + 17 * 1.25f);
    EXPECT_EQ(p->magnetic_field_x_microteslas, 1.f + 9 * 1.25f);
}

TEST(DecodeTelemetry, ShortPayloadGivesNothingAndKeepsAxis) {
    UpAxis axis = UpAxis::Undetermined;
    test::Bytes payload = test::telemetry_payload(test::sample_at(1.0));
    payload.pop_back();
    EXPECT_FALSE(decode_telemetry(payload, axis).has_value());
    EXPECT_EQ(axis, UpAxis::Undetermined);
}

TEST(DefaultZeroPacket, IdentityQuaternionAndNoDerivedValues) {
    const DataPacket p = default_zero_packet();
    EXPECT_EQ(p.est_quaternion_w, 1.f);
    EXPECT_EQ(p.timestamp_seconds, 0.0);
    for (float derived : {p.raw_rotated_acceleration_x_gs, p.raw_rotated_acceleration_y_gs,
                          p.raw_rotated_acceleration_z_gs, p.est_tilt_angle_degrees, p.est_mach_number})
        EXPECT_EQ(derived, 0.f);
}

}  // namespace
}  // namespace vyre
