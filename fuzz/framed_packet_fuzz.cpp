// The frame decoder on any byte range.
//
// The input itself is decoded; its outcome must be exactly what the decoding rules
// give (short input, then header, then length, then CRC), computed here with a
// bit-at-a-time CRC rather than the table. A success must re-encode to the input
// and equal a freshly built frame. The input is then repaired into a valid frame
// (header, length and CRC set) that must decode, and one bit of the repaired frame
// is flipped, which must always be caught.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "check.hpp"
#include "framed_packet.hpp"
#include "utils.hpp"

namespace vyre::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint16_t bitwise_crc(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 1u) ? (crc >> 1) ^ 0x8408u : crc >> 1);
    }
    return crc;
}

constexpr std::uint16_t HEADERS[] = {DATA_HEADER, RESPONSE_HEADER, COMMAND_HEADER, MOCK_HEADER};

bool known_header(std::uint16_t header) {
    for (std::uint16_t h : HEADERS)
        if (h == header) return true;
    return false;
}

std::optional<FrameError> expected_error(std::span<const std::uint8_t> bytes) {
    using Kind = FrameError::Kind;
    if (bytes.size() < 10) return FrameError{Kind::TooShort, 0, 0};
    const std::uint16_t header = static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
    if (!known_header(header)) return FrameError{Kind::UnknownIdentifier, header, 0};
    const std::uint64_t length = std::uint64_t{bytes[4]} | std::uint64_t{bytes[5]} << 8 |
                                 std::uint64_t{bytes[6]} << 16 | std::uint64_t{bytes[7]} << 24;
    if (bytes.size() != length + 10) return FrameError{Kind::LengthMismatch, length + 10, bytes.size()};
    const std::uint16_t computed = bitwise_crc(bytes.first(bytes.size() - 2));
    const std::uint16_t stored = static_cast<std::uint16_t>(bytes[bytes.size() - 2] | bytes[bytes.size() - 1] << 8);
    if (computed != stored) return FrameError{Kind::BadCrc, computed, stored};
    return std::nullopt;
}

std::string expected_text(const FrameError& e) {
    switch (e.kind) {
        case FrameError::Kind::TooShort: return "TooShort";
        case FrameError::Kind::LengthMismatch:
            return "LengthMismatch { expected: " + std::to_string(e.expected) + ", got: " + std::to_string(e.got) +
                   " }";
        case FrameError::Kind::BadCrc:
            return "BadCrc { expected: " + std::to_string(e.expected) + ", got: " + std::to_string(e.got) + " }";
        case FrameError::Kind::UnknownIdentifier: return "UnknownIdentifier(" + std::to_string(e.expected) + ")";
    }
    return {};
}

// Decodes `bytes` and checks the outcome against the rules; returns whether it decoded.
bool check_decode(std::span<const std::uint8_t> bytes) {
    const FrameDecode decoded = FramedPacket::from_bytes(bytes);
    if (const std::optional<FrameError> expected = expected_error(bytes)) {
        const FrameError* error = std::get_if<FrameError>(&decoded);
        FUZZ_CHECK(error != nullptr, "malformed frame rejected");
        FUZZ_CHECK(*error == *expected, "first failing check reported, with its values");
        FUZZ_CHECK(error->to_string() == expected_text(*expected), "error text");
        return false;
    }
    const FramedPacket* frame = std::get_if<FramedPacket>(&decoded);
    FUZZ_CHECK(frame != nullptr, "valid frame accepted");
    FUZZ_CHECK(frame->header == read_u16_le(bytes.data()), "header");
    FUZZ_CHECK(frame->identifier == read_u16_le(bytes.data() + 2), "identifier");
    FUZZ_CHECK(frame->payload.size() + FRAME_OVERHEAD == bytes.size(), "payload length");
    FUZZ_CHECK(frame->crc == read_u16_le(bytes.data() + bytes.size() - 2), "stored CRC kept");
    const Bytes again = frame->to_bytes();
    FUZZ_CHECK(again.size() == bytes.size() && std::equal(again.begin(), again.end(), bytes.begin()),
               "to_bytes reproduces the input");
    FUZZ_CHECK(FramedPacket::make(frame->header, frame->identifier, frame->payload) == *frame,
               "a built frame equals the decoded one");
    FUZZ_CHECK(compute_crc(frame->header, frame->identifier, static_cast<std::uint32_t>(frame->payload.size()),
                           frame->payload) == frame->crc,
               "compute_crc agrees");
    return true;
}

}  // namespace
}  // namespace vyre::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    using namespace vyre;
    const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    FUZZ_CHECK(fuzz::bitwise_crc(check) == 0x2189 && crc_update(0, check, sizeof check) == 0x2189, "CRC check value");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vyre;
    using namespace vyre::fuzz;

    const std::span<const std::uint8_t> input(data, size);
    check_decode(input);
    if (size < FRAME_OVERHEAD) return 0;

    // The same bytes made into a valid frame: header chosen by the first byte.
    Bytes repaired(input.begin(), input.end());
    const std::uint16_t header = HEADERS[data[0] % 4];
    repaired[0] = static_cast<std::uint8_t>(header);
    repaired[1] = static_cast<std::uint8_t>(header >> 8);
    const std::uint32_t length = static_cast<std::uint32_t>(size - FRAME_OVERHEAD);
    for (unsigned i = 0; i < 4; ++i) repaired[4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    const std::uint16_t crc = bitwise_crc(std::span(repaired).first(size - 2));
    repaired[size - 2] = static_cast<std::uint8_t>(crc);
    repaired[size - 1] = static_cast<std::uint8_t>(crc >> 8);
    FUZZ_CHECK(check_decode(repaired), "repaired frame decodes");

    // Every single-bit error is caught: in the header, the length or by the CRC.
    const std::size_t bit = read_u16_le(data + 2) % (size * 8);
    repaired[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    FUZZ_CHECK(!check_decode(repaired), "single-bit error detected");
    return 0;
}
