#include <gtest/gtest.h>

#include "frame_fixtures.hpp"
#include "utils.hpp"
#include "vyre_packets.hpp"

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

struct TextCase {
    const char* name;
    Bytes input;
    std::string expected;
};

class NullTerminatedText : public ::testing::TestWithParam<TextCase> {};

TEST_P(NullTerminatedText, DecodesLossily) { EXPECT_EQ(null_terminated_text(GetParam().input), GetParam().expected); }

// Invalid sequences become one U+FFFD per maximal ill-formed subpart.
INSTANTIATE_TEST_SUITE_P(
    Utf8, NullTerminatedText,
    ::testing::Values(TextCase{"Empty", {}, ""}, TextCase{"StopsAtFirstZero", ascii(std::string("ab\0cd", 5)), "ab"},
                      TextCase{"LeadingZero", hex("00 41"), ""},
                      TextCase{"FourByteCharacter", hex("61 F0 9F 98 80 62"), "a\xF0\x9F\x98\x80" "b"},
                      TextCase{"LowestThreeAndFourByte", hex("E0 A0 80 F0 90 80 80"), "\xE0\xA0\x80\xF0\x90\x80\x80"},
                      TextCase{"HighestCodePoints", hex("EF BF BF F4 8F BF BF"), "\xEF\xBF\xBF\xF4\x8F\xBF\xBF"},
                      TextCase{"TruncatedAtEnd", hex("41 C3"), "A\xEF\xBF\xBD"},
                      TextCase{"TruncatedBeforeZero", hex("E2 82 00 41"), "\xEF\xBF\xBD"},
                      TextCase{"BrokenThreeByte", hex("E2 82 41"), "\xEF\xBF\xBD" "A"},
                      TextCase{"BrokenThenValid", hex("E1 80 C3 A9"), "\xEF\xBF\xBD\xC3\xA9"},
                      TextCase{"Surrogate", hex("ED A0 80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
                      TextCase{"Overlong", hex("C0 80 E0 80 80"),
                               "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
                      TextCase{"AboveMaximum", hex("F4 90 80 80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
                      TextCase{"TruncatedFourByte", hex("F0 90 80"), "\xEF\xBF\xBD"},
                      TextCase{"StrayBytes", hex("80 BF F5 FF"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(BytesToF32Array, ReadsAndAdvancesOffset) {
    Bytes bytes;
    for (float v : {1.5f, -2.f, 8.f}) append_f32_le(bytes, v);
    std::size_t offset = 4;
    Result<std::vector<float>> values = bytes_to_f32_array(bytes, 2, offset);
    ASSERT_TRUE(values.ok());
    EXPECT_EQ(values.value(), (std::vector<float>{-2.f, 8.f}));
    EXPECT_EQ(offset, 12u);
}

TEST(BytesToF32Array, Failures) {
    std::size_t offset = 0;
    Result<std::vector<float>> short_slice = bytes_to_f32_array(Bytes(3, 0), 0, offset);
    ASSERT_FALSE(short_slice.ok());
    EXPECT_EQ(short_slice.error().text, "Need at least 4 bytes to convert to f32");

    for (std::size_t start : {std::size_t{0}, std::size_t{5}, std::size_t{9}, SIZE_MAX - 1}) {
        offset = start;
        Result<std::vector<float>> past_end = bytes_to_f32_array(Bytes(8, 0), 3, offset);
        ASSERT_FALSE(past_end.ok()) << start;
        EXPECT_FALSE(past_end.error().is_internal());
        EXPECT_NE(past_end.error().text.find("Not enough bytes"), std::string::npos);
    }
}

}  // namespace
}  // namespace vyre
