// Response decoding for any identifier and any payload.
//
// Input: one selector byte (below 230: one of the nine response identifiers; else
// the next two bytes are the identifier), then the payload.
//
// The decoded value is checked field by field against the payload: kinds by
// identifier, nothing for a payload too short for its decoder or a non-response
// identifier, acknowledgements by the first-byte rule, calibration floats bit for
// bit, texts against a UTF-8 decoder written here from the code-point ranges
// (longest well-formed prefix kept, each maximal broken part replaced by one
// U+FFFD). The same frame sent through the framer must come out as the same value.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "byte_source.hpp"
#include "check.hpp"
#include "data_parser.hpp"
#include "responses.hpp"
#include "same_value.hpp"
#include "utils.hpp"

namespace vyre::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Total length announced by a lead byte, or 0 for a byte that leads nothing.
std::size_t announced_length(std::uint8_t lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

// Whether these k bytes can still be completed to a well-formed sequence of `length`
// bytes: the code points reachable by free continuation bits must meet the scalar
// values that length may encode (no overlong form, no surrogate, nothing past U+10FFFF).
bool completable(std::span<const std::uint8_t> prefix, std::size_t length) {
    static constexpr std::uint32_t LEAD_BITS[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    std::uint32_t value = prefix[0] & LEAD_BITS[length];
    for (std::size_t i = 1; i < prefix.size(); ++i) {
        if ((prefix[i] & 0xC0) != 0x80) return false;
        value = value << 6 | (prefix[i] & 0x3Fu);
    }
    const std::size_t free_bits = 6 * (length - prefix.size());
    const std::uint32_t low = value << free_bits;
    const std::uint32_t high = low | ((1u << free_bits) - 1);
    auto meets = [&](std::uint32_t a, std::uint32_t b) { return low <= b && high >= a; };
    switch (length) {
        case 1: return true;
        case 2: return meets(0x80, 0x7FF);
        case 3: return meets(0x800, 0xD7FF) || meets(0xE000, 0xFFFF);
        default: return meets(0x10000, 0x10FFFF);
    }
}

std::string reference_text(std::span<const std::uint8_t> field) {
    std::size_t end = 0;
    while (end < field.size() && field[end] != 0) ++end;
    std::string out;
    std::size_t i = 0;
    while (i < end) {
        const std::size_t length = announced_length(field[i]);
        std::size_t good = 0;
        for (std::size_t k = 1; length != 0 && k <= length && i + k <= end; ++k)
            if (completable(field.subspan(i, k), length)) good = k;
        if (length != 0 && good == length) {
            out.append(reinterpret_cast<const char*>(&field[i]), length);
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            i += good == 0 ? 1 : good;
        }
    }
    return out;
}

template <class T>
const T& expect_kind(const std::optional<Response>& r) {
    FUZZ_CHECK(r.has_value(), "response decoded");
    const T* value = std::get_if<T>(&*r);
    FUZZ_CHECK(value != nullptr, "response kind matches the identifier");
    return *value;
}

template <class Ack>
void check_ack(const std::optional<Response>& r, const Bytes& payload) {
    const bool accepted = !payload.empty() && payload[0] == 1;
    FUZZ_CHECK(expect_kind<Ack>(r).accepted == accepted, "acknowledged exactly when the first byte is 1");
}

template <std::size_t N>
void check_floats(const std::array<float, N>& values, const Bytes& payload, std::size_t& offset) {
    FUZZ_CHECK(std::memcmp(values.data(), payload.data() + offset, N * 4) == 0, "calibration floats bit for bit");
    offset += N * 4;
}

void check_value(std::uint16_t identifier, const Bytes& payload, const std::optional<Response>& r) {
    switch (identifier) {
        case 1: {
            if (payload.size() < DEVICE_INFO_PAYLOAD_SIZE) {
                FUZZ_CHECK(!r, "short device info dropped");
                return;
            }
            const DeviceInfo& info = expect_kind<DeviceInfo>(r);
            FUZZ_CHECK(info.id == read_u64_le(payload.data()), "device id");
            FUZZ_CHECK(info.firmware_version == reference_text(std::span(payload).subspan(8, 8)), "firmware text");
            return;
        }
        case 2: {
            if (payload.size() < DEVICE_CONFIG_PAYLOAD_SIZE) {
                FUZZ_CHECK(!r, "short device config dropped");
                return;
            }
            const DeviceConfig& config = expect_kind<DeviceConfig>(r);
            FUZZ_CHECK(config.name == reference_text(std::span(payload).first(32)), "name text");
            FUZZ_CHECK(config.frequency == read_u16_le(payload.data() + 32), "frequency");
            const std::uint8_t p = payload[34];
            FUZZ_CHECK(static_cast<std::uint8_t>(config.protocol) == (p >= 1 && p <= 4 ? p : 1), "protocol byte");
            return;
        }
        case 3: return check_ack<SetDeviceConfigAck>(r, payload);
        case 4:
            FUZZ_CHECK(expect_kind<Undecoded>(r).message == "No decoded response for Reboot", "reboot text");
            return;
        case 5: return check_ack<MockModeAck>(r, payload);
        case 6: return check_ack<SetMagnetometerCalibrationAck>(r, payload);
        case 7: return check_ack<SetImuCalibrationAck>(r, payload);
        case 8: {
            if (payload.size() < CALIBRATION_PAYLOAD_SIZE) {
                FUZZ_CHECK(!r, "short calibration dropped");
                return;
            }
            const CalibrationValues& c = expect_kind<CalibrationValues>(r);
            std::size_t offset = 0;
            check_floats(c.imu_accelerometer_offsets, payload, offset);
            check_floats(c.imu_accelerometer_scale_matrix, payload, offset);
            check_floats(c.imu_gyroscope_offsets, payload, offset);
            check_floats(c.imu_gyroscope_scale_matrix, payload, offset);
            check_floats(c.magnetometer_offsets, payload, offset);
            check_floats(c.magnetometer_scale_matrix, payload, offset);
            return;
        }
        case 255: return check_ack<CancelAck>(r, payload);
        default: FUZZ_CHECK(!r, "no value for an identifier that is not a response");
    }
}

}  // namespace
}  // namespace vyre::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vyre;
    using namespace vyre::fuzz;

    static constexpr std::uint16_t KNOWN[] = {1, 2, 3, 4, 5, 6, 7, 8, 255};
    ByteSource in(data, size);
    const std::uint8_t select = in.u8();
    const std::uint16_t identifier = select < 230 ? KNOWN[select % 9] : in.u16();
    const std::span<const std::uint8_t> rest = in.rest();
    const Bytes payload(rest.begin(), rest.end());

    const FramedPacket frame = FramedPacket::make(RESPONSE_HEADER, identifier, payload);
    const std::optional<Response> response = decode_response(frame);
    check_value(identifier, payload, response);

    // The text rule on fields of any length, not only the 8 and 32 bytes of the responses.
    FUZZ_CHECK(null_terminated_text(payload) == reference_text(payload), "text decoding");

    // Through the framer (an unknown identifier is dropped by sliding one byte, so its
    // payload may surface as frames of its own: nothing to compare there).
    if (is_response_identifier(identifier) && payload.size() <= MAX_FRAME_PAYLOAD) {
        DataParser parser;
        parser.parse_bytes(frame.to_bytes());
        FUZZ_CHECK(parser.data_packets().empty(), "a response frame yields no telemetry");
        FUZZ_CHECK(parser.responses().size() == (response ? 1u : 0u), "framer delivers what the decoder gives");
        if (response) {
            FUZZ_CHECK(parser.responses().front().frame == frame, "framer keeps the frame");
            FUZZ_CHECK(same_response(parser.responses().front().response, *response), "framer delivers the same value");
        }
        FUZZ_CHECK(parser.buffered_bytes() == 0, "frame consumed whole");
    }
    return 0;
}
