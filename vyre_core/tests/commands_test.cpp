#include "commands.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "frame_fixtures.hpp"

namespace vyre {
namespace {

using test::Bytes;
using test::hex;

struct EmptyCommand {
    const char* name;
    FramedPacket (*build)();
    const char* wire;
};

class EmptyCommandEncoding : public ::testing::TestWithParam<EmptyCommand> {};

TEST_P(EmptyCommandEncoding, IsTenExactBytes) {
    EXPECT_EQ(GetParam().build().to_bytes(), hex(GetParam().wire));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, EmptyCommandEncoding,
    ::testing::Values(EmptyCommand{"GetDeviceInfo", get_device_info_command, "6B B6 01 00 00 00 00 00 DC 78"},
                      EmptyCommand{"GetDeviceConfig", get_device_config_command, "6B B6 02 00 00 00 00 00 A1 74"},
                      EmptyCommand{"Reboot", reboot_command, "6B B6 04 00 00 00 00 00 5B 6C"},
                      EmptyCommand{"EnterMockMode", enter_mock_mode_command, "6B B6 05 00 00 00 00 00 70 68"},
                      EmptyCommand{"GetCalibration", get_calibration_command, "6B B6 08 00 00 00 00 00 AF 5D"},
                      EmptyCommand{"Cancel", cancel_command, "6B B6 FF 00 00 00 00 00 DD 81"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(SetDeviceConfigCommand, RocketExample) {
    const Bytes wire = set_device_config_command("rocket", 100, DeviceProtocol::UART).to_bytes();
    ASSERT_EQ(wire.size(), 45u);
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 8), hex("6B B6 03 00 23 00 00 00"));
    Bytes payload = test::ascii("rocket");
    payload.resize(32, 0);
    payload.insert(payload.end(), {0x64, 0x00, 0x02});
    EXPECT_EQ(Bytes(wire.begin() + 8, wire.end() - 2), payload);
    EXPECT_EQ(Bytes(wire.end() - 2, wire.end()), hex("52 4A"));
}

TEST(SetDeviceConfigCommand, NameFieldIsCutOrPaddedToThirtyTwoBytes) {
    struct Case {
        std::string name;
        Bytes field;
    };
    const std::string forty(40, 'n');
    Bytes multibyte_cut(31, 'a');
    multibyte_cut.push_back(0xC3);  // first byte of "é": the cut falls inside the character
    const std::vector<Case> cases = {
        {"", Bytes(32, 0)},
        {forty, Bytes(32, 'n')},
        {std::string(32, 'x'), Bytes(32, 'x')},
        {std::string(31, 'a') + "\xC3\xA9", multibyte_cut},
    };
    for (const Case& c : cases) {
        const FramedPacket frame = set_device_config_command(c.name, 0xABCD, DeviceProtocol::SPI);
        ASSERT_EQ(frame.payload.size(), 35u) << c.name;
        EXPECT_EQ(Bytes(frame.payload.begin(), frame.payload.begin() + 32), c.field) << c.name;
        EXPECT_EQ(Bytes(frame.payload.begin() + 32, frame.payload.end()), hex("CD AB 04"));
    }
}

std::vector<float> floats_of(const Bytes& payload) {
    std::size_t offset = 0;
    Result<std::vector<float>> values = bytes_to_f32_array(payload, payload.size() / 4, offset);
    EXPECT_TRUE(values.ok());
    return values.ok() ? values.value() : std::vector<float>{};
}

TEST(SetMagnetometerCalibrationCommand, OffsetsThenMatrixInGivenOrder) {
    const FramedPacket frame =
        set_magnetometer_calibration_command({0.1f, -2.f, 3.5f}, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    const Bytes wire = frame.to_bytes();
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 8), hex("6B B6 06 00 30 00 00 00"));
    EXPECT_EQ(Bytes(wire.end() - 2, wire.end()), hex("EA A8"));
    EXPECT_EQ(Bytes(frame.payload.begin(), frame.payload.begin() + 4), hex("CD CC CC 3D"));
    EXPECT_EQ(floats_of(frame.payload), (std::vector<float>{0.1f, -2.f, 3.5f, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(SetImuCalibrationCommand, FourSectionsInOrder) {
    const FramedPacket frame = set_imu_calibration_command({0, 1, 2}, {3, 4, 5, 6, 7, 8, 9, 10, 11}, {12, 13, 14},
                                                           {15, 16, 17, 18, 19, 20, 21, 22, 23});
    const Bytes wire = frame.to_bytes();
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 8), hex("6B B6 07 00 60 00 00 00"));
    EXPECT_EQ(Bytes(wire.end() - 2, wire.end()), hex("CD FC"));
    std::vector<float> expected(24);
    for (std::size_t i = 0; i < 24; ++i) expected[i] = static_cast<float>(i);
    EXPECT_EQ(floats_of(frame.payload), expected);
}

TEST(SetImuCalibrationCommand, NonFiniteValuesAreSentAsIs) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const FramedPacket frame = set_imu_calibration_command({inf, -inf, nan}, {}, {}, {});
    EXPECT_EQ(Bytes(frame.payload.begin(), frame.payload.begin() + 12), hex("00 00 80 7F 00 00 80 FF 00 00 C0 7F"));
}

}  // namespace
}  // namespace vyre
