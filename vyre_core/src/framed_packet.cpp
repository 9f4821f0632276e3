#include "framed_packet.hpp"

#include "utils.hpp"

namespace vyre {

std::uint16_t compute_crc(std::uint16_t header, std::uint16_t identifier, std::uint32_t length,
                          std::span<const std::uint8_t> payload) {
    const std::uint8_t head[FRAME_HEAD_SIZE] = {
        static_cast<std::uint8_t>(header),        static_cast<std::uint8_t>(header >> 8),
        static_cast<std::uint8_t>(identifier),    static_cast<std::uint8_t>(identifier >> 8),
        static_cast<std::uint8_t>(length),        static_cast<std::uint8_t>(length >> 8),
        static_cast<std::uint8_t>(length >> 16),  static_cast<std::uint8_t>(length >> 24),
    };
    std::uint16_t crc = crc_update(0, head, sizeof head);
    return crc_update(crc, payload.data(), payload.size());
}

std::string FrameError::to_string() const {
    switch (kind) {
        case Kind::TooShort:
            return "TooShort";
        case Kind::LengthMismatch:
            return "LengthMismatch { expected: " + std::to_string(expected) + ", got: " + std::to_string(got) +
                   " }";
        case Kind::BadCrc:
            return "BadCrc { expected: " + std::to_string(expected) + ", got: " + std::to_string(got) + " }";
        case Kind::UnknownIdentifier:
            return "UnknownIdentifier(" + std::to_string(expected) + ")";
    }
    return "TooShort";
}

FramedPacket FramedPacket::make(std::uint16_t header, std::uint16_t identifier, std::vector<std::uint8_t> payload) {
    FramedPacket frame;
    frame.crc = compute_crc(header, identifier, static_cast<std::uint32_t>(payload.size()), payload);
    frame.payload = std::move(payload);
    frame.header = header;
    frame.identifier = identifier;
    return frame;
}

// No reserve here: an exact reserve per frame would make encoding a batch of
// frames into one buffer quadratic; the vector's own growth keeps it linear.
void FramedPacket::append_to(std::vector<std::uint8_t>& out) const {
    append_u16_le(out, header);
    append_u16_le(out, identifier);
    append_u32_le(out, static_cast<std::uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    append_u16_le(out, crc);
}

std::vector<std::uint8_t> FramedPacket::to_bytes() const {
    std::vector<std::uint8_t> out;
    out.reserve(wire_size());
    append_to(out);
    return out;
}

namespace {

constexpr bool is_known_header(std::uint16_t header) {
    return header == RESPONSE_HEADER || header == MOCK_HEADER || header == DATA_HEADER ||
           header == COMMAND_HEADER;
}

}  // namespace

FrameDecode FramedPacket::from_bytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < FRAME_OVERHEAD) return FrameError{FrameError::Kind::TooShort, 0, 0};

    const std::uint16_t header = read_u16_le(bytes.data());
    if (!is_known_header(header)) return FrameError{FrameError::Kind::UnknownIdentifier, header, 0};

    // 64-bit so that a length field near 2^32 cannot wrap the expected size.
    const std::uint64_t length = read_u32_le(bytes.data() + 4);
    const std::uint64_t expected = length + FRAME_OVERHEAD;
    if (bytes.size() != expected) return FrameError{FrameError::Kind::LengthMismatch, expected, bytes.size()};

    const std::uint16_t identifier = read_u16_le(bytes.data() + 2);
    const auto payload = bytes.subspan(FRAME_HEAD_SIZE, static_cast<std::size_t>(length));
    const std::uint16_t stored = read_u16_le(bytes.data() + FRAME_HEAD_SIZE + length);
    const std::uint16_t computed = crc_update(0, bytes.data(), FRAME_HEAD_SIZE + static_cast<std::size_t>(length));
    if (computed != stored) return FrameError{FrameError::Kind::BadCrc, computed, stored};

    FramedPacket frame;
    frame.payload.assign(payload.begin(), payload.end());
    frame.header = header;
    frame.identifier = identifier;
    frame.crc = stored;
    return frame;
}

}  // namespace vyre
