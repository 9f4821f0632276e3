#include "responses.hpp"

#include <gtest/gtest.h>

#include "frame_fixtures.hpp"
#include "utils.hpp"

namespace vyre {
namespace {

using test::ascii;
using test::Bytes;
using test::hex;

std::optional<Response> decode(std::uint16_t identifier, Bytes payload) {
    return decode_response(FramedPacket::make(RESPONSE_HEADER, identifier, std::move(payload)));
}

struct AckCase {
    std::uint16_t identifier;
    Bytes payload;
    Response expected;
};

TEST(DecodeResponse, AcknowledgementByteRule) {
    const std::vector<AckCase> cases = {
        {3, {1}, SetDeviceConfigAck{true}},
        {3, {}, SetDeviceConfigAck{false}},
        {5, {1, 0, 0}, MockModeAck{true}},
        {5, {2}, MockModeAck{false}},
        {6, {1}, SetMagnetometerCalibrationAck{true}},
        {6, {0}, SetMagnetometerCalibrationAck{false}},
        {7, {1}, SetImuCalibrationAck{true}},
        {7, {0x81}, SetImuCalibrationAck{false}},
        {255, {1}, CancelAck{true}},
        {255, {}, CancelAck{false}},
    };
    for (const AckCase& c : cases) {
        const std::optional<Response> r = decode(c.identifier, c.payload);
        ASSERT_TRUE(r.has_value()) << c.identifier;
        EXPECT_EQ(*r, c.expected) << "identifier " << c.identifier << " payload size " << c.payload.size();
    }
}

TEST(DecodeResponse, RebootIsUndecodedWhateverThePayload) {
    for (const Bytes& payload : {Bytes{}, Bytes{1}, Bytes(200, 0xFF)})
        EXPECT_EQ(decode(4, payload), Response(Undecoded{"No decoded response for Reboot"}));
}

TEST(DecodeResponse, DeviceInfo) {
    const Bytes id = hex("EF CD AB 89 67 45 23 01");
    EXPECT_EQ(decode(1, test::concat({id, hex("31 2E 32 2E 30 00 00 00")})),
              Response(DeviceInfo{0x0123456789ABCDEFull, "1.2.0"}));
    // No terminator: all eight bytes; anything past byte 16 is ignored.
    EXPECT_EQ(decode(1, test::concat({id, ascii("10.20.30"), ascii("junk")})),
              Response(DeviceInfo{0x0123456789ABCDEFull, "10.20.30"}));
}

TEST(DecodeResponse, DeviceConfig) {
    auto config_payload = [](Bytes name, std::uint8_t protocol) {
        name.resize(32, 0);
        return test::concat({name, hex("E8 03"), Bytes{protocol}});
    };
    EXPECT_EQ(decode(2, config_payload(ascii("rocket"), 2)),
              Response(DeviceConfig{"rocket", 1000, DeviceProtocol::UART}));
    const std::string full(32, 'z');
    EXPECT_EQ(decode(2, config_payload(ascii(full), 4)), Response(DeviceConfig{full, 1000, DeviceProtocol::SPI}));
    for (std::uint8_t byte : {std::uint8_t{0}, std::uint8_t{9}, std::uint8_t{255}})
        EXPECT_EQ(decode(2, config_payload({}, byte)), Response(DeviceConfig{"", 1000, DeviceProtocol::USB}))
            << int{byte};
}

TEST(DecodeResponse, CalibrationSectionsInOrder) {
    Bytes payload;
    for (int i = 0; i < 36; ++i) append_f32_le(payload, static_cast<float>(i));
    const std::optional<Response> r = decode(8, payload);
    ASSERT_TRUE(r && std::holds_alternative<CalibrationValues>(*r));
    const CalibrationValues& c = std::get<CalibrationValues>(*r);
    EXPECT_EQ(c.imu_accelerometer_offsets, (std::array<float, 3>{0, 1, 2}));
    EXPECT_EQ(c.imu_accelerometer_scale_matrix, (std::array<float, 9>{3, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(c.imu_gyroscope_offsets, (std::array<float, 3>{12, 13, 14}));
    EXPECT_EQ(c.imu_gyroscope_scale_matrix, (std::array<float, 9>{15, 16, 17, 18, 19, 20, 21, 22, 23}));
    EXPECT_EQ(c.magnetometer_offsets, (std::array<float, 3>{24, 25, 26}));
    EXPECT_EQ(c.magnetometer_scale_matrix, (std::array<float, 9>{27, 28, 29, 30, 31, 32, 33, 34, 35}));
}

TEST(DecodeResponse, NothingForShortPayloadsOrUnknownIdentifiers) {
    struct Case {
        std::uint16_t identifier;
        std::size_t size;
    };
    for (const Case c : {Case{1, 15}, Case{1, 0}, Case{2, 34}, Case{8, 143}, Case{0, 1}, Case{9, 1}, Case{254, 1}})
        EXPECT_FALSE(decode(c.identifier, Bytes(c.size, 1)).has_value()) << c.identifier << " size " << c.size;
    for (const Case c : {Case{1, 16}, Case{2, 35}, Case{8, 144}})
        EXPECT_TRUE(decode(c.identifier, Bytes(c.size, 1)).has_value()) << c.identifier;
}

}  // namespace
}  // namespace vyre
