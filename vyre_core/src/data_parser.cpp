#include "data_parser.hpp"

#include "utils.hpp"

namespace vyre {

void DataParser::parse_bytes(std::span<const std::uint8_t> bytes) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    counts_.bytes += bytes.size();
    scan(false);
}

void DataParser::drop_incomplete() { scan(true); }

void DataParser::clear() {
    counts_.noise_bytes += buffer_.size();
    buffer_.clear();
}

void DataParser::scan(bool incomplete_is_noise) {
    const std::uint8_t* data = buffer_.data();
    const std::size_t size = buffer_.size();
    std::size_t position = 0;
    std::size_t framed = 0;  // bytes of the frames taken off in this pass; the rest of `position` is noise
    while (position + 1 < size) {
        const std::uint16_t header = read_u16_le(data + position);
        if (header != DATA_HEADER && header != RESPONSE_HEADER) {
            ++position;
            continue;
        }
        if (position + FRAME_OVERHEAD > size) {  // head not complete yet
            if (!incomplete_is_noise) break;
            ++counts_.given_up;
            ++position;
            continue;
        }

        const std::uint32_t length = read_u32_le(data + position + 4);
        if (length > MAX_FRAME_PAYLOAD) {  // no real frame is this long: noise
            ++counts_.length_rejected;
            ++position;
            continue;
        }
        const std::size_t frame_size = length + FRAME_OVERHEAD;
        if (position + frame_size > size) {  // wait for the rest of the frame
            if (!incomplete_is_noise) break;
            ++counts_.given_up;
            ++position;
            continue;
        }

        // Check in place so that only good frames are ever copied.
        const std::uint8_t* frame = data + position;
        const std::uint16_t stored = read_u16_le(frame + FRAME_HEAD_SIZE + length);
        if (crc_update(0, frame, FRAME_HEAD_SIZE + length) != stored) {
            ++counts_.crc_rejected;
            ++position;
            continue;
        }

        const std::span<const std::uint8_t> payload(frame + FRAME_HEAD_SIZE, length);
        if (header == DATA_HEADER) {
            // The CRC already proved the frame; decode straight from the buffer.
            // A payload too short for the decoder still consumes its frame.
            if (std::optional<DataPacket> packet = decode_telemetry(payload, axis_)) {
                packets_.push_back(*packet);
                ++counts_.telemetry_frames;
            } else {
                ++counts_.short_frames;
            }
            position += frame_size;
            framed += frame_size;
            continue;
        }

        const std::uint16_t identifier = read_u16_le(frame + 2);
        if (!is_response_identifier(identifier)) {
            ++counts_.unknown_responses;
            ++position;
            continue;
        }
        FrameDecode decoded = FramedPacket::from_bytes(std::span(frame, frame_size));
        if (FramedPacket* packet = std::get_if<FramedPacket>(&decoded)) {
            if (std::optional<Response> response = decode_response(*packet)) {
                responses_.push_back({std::move(*response), std::move(*packet)});
                ++counts_.response_frames;
            } else {
                ++counts_.short_frames;
            }
            position += frame_size;
            framed += frame_size;
        } else {
            ++counts_.crc_rejected;  // not reached: from_bytes checks what was checked above
            ++position;
        }
    }

    counts_.frame_bytes += framed;
    counts_.noise_bytes += position - framed;
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
