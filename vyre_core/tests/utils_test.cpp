#include "utils.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frame_fixtures.hpp"

namespace vyre {
namespace {

using test::ascii;
using test::Bytes;
using test::hex;

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
