#pragma once
// One frame on the serial link: 8-byte head (header, identifier, payload
// length), payload, CRC-16/KERMIT over head and payload.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace vyre {

inline constexpr std::uint16_t DATA_HEADER = 0xA55A;      // device -> host telemetry
inline constexpr std::uint16_t RESPONSE_HEADER = 0x5AA5;  // device -> host response
inline constexpr std::uint16_t COMMAND_HEADER = 0xB66B;   // host -> device command
inline constexpr std::uint16_t MOCK_HEADER = 0x6BB6;      // host -> device mock log data

inline constexpr std::size_t FRAME_HEAD_SIZE = 8;
inline constexpr std::size_t FRAME_OVERHEAD = 10;  // head + CRC

// CRC-16/KERMIT (reflected, poly 0x8408, init 0), eight bytes a step: table k
// holds the CRC of a byte followed by k zero bytes, so the eight lookups of one
// step are independent. The framer checks every candidate in noise, so this is
// the reader's largest cost per byte.
inline constexpr std::array<std::array<std::uint16_t, 256>, 8> CRC_TABLES = [] {
    std::array<std::array<std::uint16_t, 256>, 8> tables{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408u)
                             : static_cast<std::uint16_t>(crc >> 1);
        tables[0][i] = crc;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (unsigned i = 0; i < 256; ++i)
            tables[k][i] = static_cast<std::uint16_t>(tables[0][tables[k - 1][i] & 0xFFu] ^ (tables[k - 1][i] >> 8));
    return tables;
}();

inline std::uint16_t crc_update(std::uint16_t crc, const std::uint8_t* data, std::size_t size) {
    while (size >= 8) {
        std::uint64_t word = 0;
        for (int i = 7; i >= 0; --i) word = (word << 8) | data[i];  // little-endian load, any alignment
        word ^= crc;
        crc = static_cast<std::uint16_t>(
            CRC_TABLES[7][word & 0xFFu] ^ CRC_TABLES[6][(word >> 8) & 0xFFu] ^ CRC_TABLES[5][(word >> 16) & 0xFFu] ^
            CRC_TABLES[4][(word >> 24) & 0xFFu] ^ CRC_TABLES[3][(word >> 32) & 0xFFu] ^
            CRC_TABLES[2][(word >> 40) & 0xFFu] ^ CRC_TABLES[1][(word >> 48) & 0xFFu] ^ CRC_TABLES[0][word >> 56]);
        data += 8;
        size -= 8;
    }
    for (std::size_t i = 0; i < size; ++i)
        crc = static_cast<std::uint16_t>(CRC_TABLES[0][(crc ^ data[i]) & 0xFFu] ^ (crc >> 8));
    return crc;
}

std::uint16_t compute_crc(std::uint16_t header, std::uint16_t identifier, std::uint32_t length,
                          std::span<const std::uint8_t> payload);

struct FrameError {
    enum class Kind : unsigned char { TooShort, LengthMismatch, BadCrc, UnknownIdentifier };
    Kind kind = Kind::TooShort;
    std::uint64_t expected = 0;  // LengthMismatch, BadCrc; the header value for UnknownIdentifier
    std::uint64_t got = 0;       // LengthMismatch, BadCrc

    // "TooShort", "LengthMismatch { expected: 20, got: 21 }", "UnknownIdentifier(4660)"
    std::string to_string() const;
    bool operator==(const FrameError&) const = default;
};

struct FramedPacket;
using FrameDecode = std::variant<FramedPacket, FrameError>;

struct FramedPacket {
    std::vector<std::uint8_t> payload;
    std::uint16_t header = 0;
    std::uint16_t identifier = 0;
    std::uint16_t crc = 0;

    // Builds a frame and computes its CRC. Never fails.
    static FramedPacket make(std::uint16_t header, std::uint16_t identifier,
                             std::vector<std::uint8_t> payload);

    std::size_t wire_size() const { return payload.size() + FRAME_OVERHEAD; }
    // Wire form with the stored CRC (not recomputed).
    std::vector<std::uint8_t> to_bytes() const;
    void append_to(std::vector<std::uint8_t>& out) const;

    // Validates exactly one frame: TooShort, UnknownIdentifier, LengthMismatch, BadCrc in that order.
    static FrameDecode from_bytes(std::span<const std::uint8_t> bytes);

    bool operator==(const FramedPacket&) const = default;
};

}  // namespace vyre
