#pragma once
// Stream framer: cuts the device's byte stream into CRC-checked telemetry and
// response frames, sliding one byte at a time over noise.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "framed_packet.hpp"
#include "responses.hpp"
#include "telemetry.hpp"

namespace vyre {

// A header-like pair announcing more payload than this is noise. The longest
// frame the device sends has a 144-byte payload (calibration values); 256 leaves
// it room to grow while a false header can hold later frames back, and make the
// scan check a CRC, over at most 266 bytes.
inline constexpr std::uint32_t MAX_FRAME_PAYLOAD = 256;

struct DecodedResponse {
    Response response;
    FramedPacket frame;
};

// What the framer made of the bytes it was given. A candidate is a header-like
// pair (telemetry or response header); each one ends in exactly one of the
// outcomes below. Every byte is counted once:
// bytes == frame_bytes + noise_bytes + buffered_bytes().
struct FramerCounts {
    std::uint64_t bytes = 0;              // given to parse_bytes
    std::uint64_t frame_bytes = 0;        // in CRC-valid frames taken off the stream
    // Discarded outside such a frame: bytes before a header-like pair, the first
    // byte of every refused candidate (the scan resumes at its second byte, so
    // the rest is counted as whatever it turns out to be), and what clear() drops.
    std::uint64_t noise_bytes = 0;
    std::uint64_t telemetry_frames = 0;   // decoded into a packet
    std::uint64_t response_frames = 0;    // decoded into an answer
    std::uint64_t short_frames = 0;       // CRC-valid, taken off, too short for their decoder
    std::uint64_t unknown_responses = 0;  // CRC-valid responses with an identifier no answer has: refused
    std::uint64_t crc_rejected = 0;       // complete, within the bound, CRC wrong: refused
    std::uint64_t length_rejected = 0;    // length field past MAX_FRAME_PAYLOAD: refused
    std::uint64_t given_up = 0;           // still incomplete when drop_incomplete ran: refused

    bool operator==(const FramerCounts&) const = default;
};

class DataParser {
public:
    DataParser() = default;
    // Counts on from `counts` (a reader carrying on from the one before it).
    explicit DataParser(const FramerCounts& counts) : counts_(counts) {}

    // Appends, scans and compacts. Never fails.
    void parse_bytes(std::span<const std::uint8_t> bytes);
    // Treats every candidate still waiting for bytes as noise and scans on: for
    // a line that went quiet in the middle of what looked like a frame.
    void drop_incomplete();
    // Drops everything held back (a partial frame, a byte that may start a
    // header) as noise, decoding nothing: for a reader that stops.
    void clear();

    std::optional<DataPacket> pop_data_packet();
    std::optional<DecodedResponse> pop_response();

    // Direct access for the reader's burst delivery.
    std::deque<DataPacket>& data_packets() { return packets_; }
    std::deque<DecodedResponse>& responses() { return responses_; }

    std::size_t buffered_bytes() const { return buffer_.size(); }
    UpAxis up_axis() const { return axis_; }
    const FramerCounts& counts() const { return counts_; }

private:
    void scan(bool incomplete_is_noise);

    std::vector<std::uint8_t> buffer_;
    std::deque<DataPacket> packets_;
    std::deque<DecodedResponse> responses_;
    UpAxis axis_ = UpAxis::Undetermined;
    FramerCounts counts_;
};

}  // namespace vyre
