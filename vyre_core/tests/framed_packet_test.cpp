#include "framed_packet.hpp"

#include <gtest/gtest.h>

#include "frame_fixtures.hpp"

namespace vyre {
namespace {

using test::ascii;
using test::Bytes;
using test::hex;

FrameError error_of(const FrameDecode& d) {
    EXPECT_TRUE(std::holds_alternative<FrameError>(d));
    return std::holds_alternative<FrameError>(d) ? std::get<FrameError>(d) : FrameError{};
}

const Bytes ACK = hex("A5 5A 03 00 01 00 00 00 01 0F EB");

// The table is generated, so the standard check values pin it.
TEST(Crc, KnownCheckValues) {
    struct Case {
        Bytes data;
        std::uint16_t crc;
    };
    for (const Case& c : {Case{ascii("123456789"), 0x2189}, Case{ascii("abc"), 0x58E9}, Case{{}, 0x0000}})
        EXPECT_EQ(crc_update(0, c.data.data(), c.data.size()), c.crc);
    // Head in wire order (both identifier bytes), then the payload.
    const Bytes all = hex("5A A5 34 12 03 00 00 00 61 62 63");
    EXPECT_EQ(compute_crc(DATA_HEADER, 0x1234, 3, ascii("abc")), crc_update(0, all.data(), all.size()));
}

// Eight bytes a step must equal one bit at a time, at every length and offset,
// and when a CRC is carried on from an earlier piece.
TEST(Crc, EightAtATimeEqualsBitwise) {
    auto bitwise = [](unsigned crc, const std::uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            crc ^= p[i];
            for (int bit = 0; bit < 8; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ 0x8408u : crc >> 1;
        }
        return static_cast<std::uint16_t>(crc);
    };
    Bytes data(100);
    std::uint32_t x = 12345;
    for (auto& b : data) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 16);
    for (std::size_t offset = 0; offset < 8; ++offset)
        for (std::size_t n = 0; n + offset <= data.size(); ++n)
            for (const std::uint16_t start : {std::uint16_t{0x0000}, std::uint16_t{0xA55A}}) {
                ASSERT_EQ(crc_update(start, data.data() + offset, n), bitwise(start, data.data() + offset, n))
                    << "offset " << offset << " length " << n;
            }
}

TEST(FramedPacket, BuildsAndDecodesExactWire) {
    struct Case {
        FramedPacket built;
        Bytes wire;
    };
    for (const Case& c : {Case{FramedPacket::make(RESPONSE_HEADER, 3, {0x01}), ACK},
                          Case{FramedPacket::make(MOCK_HEADER, 0x48, {}), hex("B6 6B 48 00 00 00 00 00 55 CA")}}) {
        EXPECT_EQ(c.built.to_bytes(), c.wire);
        const FrameDecode decoded = FramedPacket::from_bytes(c.wire);
        ASSERT_TRUE(std::holds_alternative<FramedPacket>(decoded));
        EXPECT_EQ(std::get<FramedPacket>(decoded), c.built);
    }
}

TEST(FramedPacket, ToBytesKeepsStoredCrcAndAppendToExtends) {
    FramedPacket frame = FramedPacket::make(DATA_HEADER, 1, {9, 8, 7});
    frame.crc = 0xBEEF;
    const Bytes wire = frame.to_bytes();
    EXPECT_EQ(Bytes(wire.end() - 2, wire.end()), hex("EF BE"));

    Bytes out = {0xAA};
    frame.append_to(out);
    ASSERT_EQ(out.size(), 1 + wire.size());
    EXPECT_EQ(Bytes(out.begin() + 1, out.end()), wire);
}

struct DecodeFailure {
    const char* name;
    Bytes input;
    FrameError expected;
};

class FromBytesFailure : public ::testing::TestWithParam<DecodeFailure> {};

TEST_P(FromBytesFailure, ReportsFirstFailedCheck) {
    EXPECT_EQ(error_of(FramedPacket::from_bytes(GetParam().input)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Checks, FromBytesFailure,
    ::testing::Values(
        DecodeFailure{"Empty", {}, {FrameError::Kind::TooShort, 0, 0}},
        DecodeFailure{"NineBytesWithValidHeader", hex("A5 5A 03 00 00 00 00 00 00"), {FrameError::Kind::TooShort, 0, 0}},
        // Header is checked before length and CRC.
        DecodeFailure{"UnknownHeaderWithBadLengthAndCrc", hex("34 12 00 00 FF 00 00 00 00 00 00"),
                      {FrameError::Kind::UnknownIdentifier, 0x1234, 0}},
        DecodeFailure{"ByteSwappedHeaderHalf", hex("5A 5A 03 00 01 00 00 00 01 0F EB"),
                      {FrameError::Kind::UnknownIdentifier, 0x5A5A, 0}},
        DecodeFailure{"TrailingByte", test::concat({ACK, {0x00}}), {FrameError::Kind::LengthMismatch, 11, 12}},
        DecodeFailure{"MissingCrcByte", Bytes(ACK.begin(), ACK.end() - 1), {FrameError::Kind::LengthMismatch, 11, 10}},
        // Length is checked before the CRC, and a length near 2^32 must not wrap.
        DecodeFailure{"HugeLengthField", hex("5A A5 00 00 FF FF FF FF 00 00"),
                      {FrameError::Kind::LengthMismatch, 0xFFFFFFFFull + 10, 10}},
        DecodeFailure{"WrongCrc", hex("A5 5A 03 00 01 00 00 00 01 0F EC"), {FrameError::Kind::BadCrc, 0xEB0F, 0xEC0F}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(FromBytes, EveryFlippedIdentifierOrPayloadBitIsBadCrc) {
    const FramedPacket original = FramedPacket::make(DATA_HEADER, 0x0102, {0x10, 0x20, 0x30, 0x40, 0x50});
    const Bytes wire = original.to_bytes();
    std::vector<std::size_t> positions = {2, 3};
    for (std::size_t i = 8; i < wire.size() - 2; ++i) positions.push_back(i);
    for (std::size_t pos : positions) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes altered = wire;
            altered[pos] ^= static_cast<std::uint8_t>(1u << bit);
            const FrameError err = error_of(FramedPacket::from_bytes(altered));
            EXPECT_EQ(err.kind, FrameError::Kind::BadCrc) << "byte " << pos << " bit " << bit;
            EXPECT_EQ(err.expected, crc_update(0, altered.data(), altered.size() - 2));
            EXPECT_EQ(err.got, original.crc);
        }
    }
}

TEST(FrameError, TextForms) {
    EXPECT_EQ((FrameError{FrameError::Kind::TooShort, 0, 0}.to_string()), "TooShort");
    EXPECT_EQ((FrameError{FrameError::Kind::LengthMismatch, 20, 21}.to_string()),
              "LengthMismatch { expected: 20, got: 21 }");
    EXPECT_EQ((FrameError{FrameError::Kind::BadCrc, 60175, 1}.to_string()), "BadCrc { expected: 60175, got: 1 }");
    EXPECT_EQ((FrameError{FrameError::Kind::UnknownIdentifier, 4660, 0}.to_string()), "UnknownIdentifier(4660)");
}

}  // namespace
}  // namespace vyre
