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

// A header-like pair announcing more payload than this is noise. The longest
// frame the device sends has a 144-byte payload (calibration values); 256 leaves
// it room to grow while a false header can hold later frames back, and make the
// scan check a CRC, over at most 266 bytes.
inline constexpr std::uint32_t MAX_FRAME_PAYLOAD = 256;

struct DecodedResponse {
    Response response;
    FramedPacket frame;
};

class DataParser {
public:
    DataParser() = default;

    // Appends, scans and compacts. Never fails.
    void parse_bytes(std::span<const std::uint8_t> bytes);
    // Treats every candidate still waiting for bytes as noise and scans on: for
    // a line that went quiet in the middle of what looked like a frame.
    void drop_incomplete();

    std::optional<DataPacket> pop_data_packet();
    std::optional<DecodedResponse> pop_response();

    // Direct access for the reader's burst delivery.
    std::deque<DataPacket>& data_packets() { return packets_; }
    std::deque<DecodedResponse>& responses() { return responses_; }

    std::size_t buffered_bytes() const { return buffer_.size(); }
    UpAxis up_axis() const { return axis_; }

private:
    void scan(bool incomplete_is_noise);

    std::vector<std::uint8_t> buffer_;
    std::deque<DataPacket> packets_;
    std::deque<DecodedResponse> responses_;
    UpAxis axis_ = UpAxis::Undetermined;
};

}  // namespace vyre
