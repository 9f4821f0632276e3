#include "data_parser.hpp"

#include "utils.hpp"

namespace vyre {

void DataParser::parse_bytes(std::span<const std::uint8_t> bytes) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    scan(false);
}

void DataParser::drop_incomplete() { scan(true); }

void DataParser::scan(bool incomplete_is_noise) {
    const std::uint8_t* data = buffer_.data();
    const std::size_t size = buffer_.size();
    std::size_t position = 0;
    while (position + 1 < size) {
        const std::uint16_t header = read_u16_le(data + position);
        if (header != DATA_HEADER && header != RESPONSE_HEADER) {
            ++position;
            continue;
        }
        if (position + FRAME_OVERHEAD > size) {  // head not complete yet
            if (!incomplete_is_noise) break;
            ++position;
            continue;
        }

        const std::uint32_t length = read_u32_le(data + position + 4);
        if (length > MAX_FRAME_PAYLOAD) {  // no real frame is this long: noise
            ++position;
            continue;
        }
        const std::size_t frame_size = length + FRAME_OVERHEAD;
        if (position + frame_size > size) {  // wait for the rest of the frame
            if (!incomplete_is_noise) break;
            ++position;
            continue;
        }

        // Check in place so that only good frames are ever copied.
        const std::uint8_t* frame = data + position;
        const std::uint16_t stored = read_u16_le(frame + FRAME_HEAD_SIZE + length);
        if (crc_update(0, frame, FRAME_HEAD_SIZE + length) != stored) {
            ++position;
            continue;
        }

        const std::span<const std::uint8_t> payload(frame + FRAME_HEAD_SIZE, length);
        if (header == DATA_HEADER) {
            // The CRC already proved the frame; decode straight from the buffer.
            // A payload too short for the decoder still consumes its frame.
            if (std::optional<DataPacket> packet = decode_telemetry(payload, axis_))
                packets_.push_back(*packet);
            position += frame_size;
            continue;
        }

        const std::uint16_t identifier = read_u16_le(frame + 2);
        if (!is_response_identifier(identifier)) {
            ++position;
            continue;
        }
        FrameDecode decoded = FramedPacket::from_bytes(std::span(frame, frame_size));
        if (FramedPacket* packet = std::get_if<FramedPacket>(&decoded)) {
            if (std::optional<Response> response = decode_response(*packet))
                responses_.push_back({std::move(*response), std::move(*packet)});
            position += frame_size;
        } else {
            ++position;
        }
    }

    // Keep only the unconsumed tail: a partial frame or a byte that may start a header.
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(position));
}

std::optional<DataPacket> DataParser::pop_data_packet() {
    if (packets_.empty()) return std::nullopt;
    DataPacket packet = packets_.front();
    packets_.pop_front();
    return packet;
}

std::optional<DecodedResponse> DataParser::pop_response() {
    if (responses_.empty()) return std::nullopt;
    DecodedResponse response = std::move(responses_.front());
    responses_.pop_front();
    return response;
}

}  // namespace vyre
