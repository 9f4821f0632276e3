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
#include "vyre_packets.hpp"

namespace vyre {

// A header-like pair announcing more payload than this is noise: without a bound
// one corrupt length would hold back every later frame and grow the buffer.
inline constexpr std::uint32_t MAX_FRAME_PAYLOAD = 4096;

struct DecodedResponse {
    Response response;
    FramedPacket frame;
};

class DataParser {
public:
    DataParser() = default;

    // Appends, scans and compacts. Never fails.
    void parse_bytes(std::span<const std::uint8_t> bytes);

    std::optional<DataPacket> pop_data_packet();
    std::optional<DecodedResponse> pop_response();

    // Direct access for the reader's burst delivery.
    std::deque<DataPacket>& data_packets() { return packets_; }
    std::deque<DecodedResponse>& responses() { return responses_; }

    std::size_t buffered_bytes() const { return buffer_.size(); }
    UpAxis up_axis() const { return axis_; }

private:
    std::vector<std::uint8_t> buffer_;
    std::deque<DataPacket> packets_;
    std::deque<DecodedResponse> responses_;
    UpAxis axis_ = UpAxis::Undetermined;
};

}  // namespace vyre
