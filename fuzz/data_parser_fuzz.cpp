// Stream framer under arbitrary streams and arbitrary read boundaries.
//
// Input: 4 bytes seeding the read sizes, 1 byte choosing their size class, 1 mode
// byte, then either the raw stream (mode bit 0 clear) or a recipe of frames, noise,
// corrupt, truncated, nested, host-to-device and implausible frames (bit 0 set).
//
// Checked for every input:
// - every response delivered is a CRC-valid response frame within the length bound
//   (re-encoded and decoded again), and its value is the decode of that frame;
// - packets and responses equal those of a one-piece scan written independently of
//   the framer over the whole stream (which validates each frame with from_bytes):
//   this is how delivered telemetry is known to come from CRC-valid frames;
// - the output is the same, bit for bit, whether the stream arrives whole or cut
//   into reads, and however often the lists are drained;
// - after every read the buffer holds less than one bound-sized frame;
// - the framer's counts are the same whole or cut into reads, count every byte once
//   and every frame the one-piece scan takes off;
// - for recipes made only of intact device frames and bytes that cannot form a
//   header, exactly those frames are delivered, in order.

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "byte_source.hpp"
#include "check.hpp"
#include "chunk_plan.hpp"
#include "data_parser.hpp"
#include "framed_packet.hpp"
#include "same_value.hpp"
#include "utils.hpp"

namespace vyre::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t STREAM_LIMIT = std::size_t{1} << 14;

struct Outcome {
    std::vector<DataPacket> packets;
    std::vector<DecodedResponse> responses;
    std::size_t buffered = 0;
    UpAxis axis = UpAxis::Undetermined;
    FramerCounts counts;
};

// A recipe's bytes and, when it is clean, the device frames it must yield.
struct BuiltStream {
    Bytes bytes;
    bool clean = true;
    std::vector<FramedPacket> frames;
};

bool is_header_byte(std::uint8_t b) { return b == 0x5A || b == 0xA5; }

bool inert(std::span<const std::uint8_t> bytes) {
    for (std::uint8_t b : bytes)
        if (is_header_byte(b)) return false;
    return true;
}

// Moves a byte off the two header byte values so it can neither start nor finish a header.
std::uint8_t defuse(std::uint8_t b) { return is_header_byte(b) ? static_cast<std::uint8_t>(b ^ 1) : b; }

void append(Bytes& out, std::span<const std::uint8_t> bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

std::size_t pick_length(ByteSource& in, std::size_t typical) {
    const std::uint8_t select = in.u8();
    if (select < 128) return typical;
    if (select < 192) return in.u8();
    if (select < 224) return in.u16() % (MAX_FRAME_PAYLOAD + 64);
    return MAX_FRAME_PAYLOAD - 2 + (select & 3u);  // both sides of the bound
}

// The input gives the first bytes (enough for every decoder); the filler the rest of a
// long payload, so that one op does not swallow the rest of the recipe.
Bytes pick_payload(ByteSource& in, std::size_t size, Filler& filler) {
    constexpr std::size_t FROM_INPUT = 160;
    Bytes payload;
    payload.reserve(size);
    append(payload, in.take(size < FROM_INPUT ? size : FROM_INPUT));
    while (payload.size() < size) payload.push_back(filler.byte());
    return payload;
}

std::uint16_t pick_response_identifier(ByteSource& in) {
    static constexpr std::uint16_t KNOWN[] = {1, 2, 3, 4, 5, 6, 7, 8, 255};
    const std::uint8_t select = in.u8();
    if (select < 230) return KNOWN[select % 9];
    return in.u16();
}

std::size_t typical_response_size(std::uint16_t identifier) {
    switch (identifier) {
        case 1: return DEVICE_INFO_PAYLOAD_SIZE;
        case 2: return DEVICE_CONFIG_PAYLOAD_SIZE;
        case 8: return CALIBRATION_PAYLOAD_SIZE;
        default: return 1;
    }
}

FramedPacket device_frame(ByteSource& in, Filler& filler, bool telemetry) {
    if (telemetry) {
        const std::uint16_t identifier = in.u16();  // not read for telemetry
        const std::size_t size = pick_length(in, TELEMETRY_PAYLOAD_SIZE);
        return FramedPacket::make(DATA_HEADER, identifier, pick_payload(in, size, filler));
    }
    const std::uint16_t identifier = pick_response_identifier(in);
    return FramedPacket::make(RESPONSE_HEADER, identifier,
                              pick_payload(in, pick_length(in, typical_response_size(identifier)), filler));
}

bool deliverable(const FramedPacket& frame) {
    return frame.payload.size() <= MAX_FRAME_PAYLOAD &&
           (frame.header == DATA_HEADER || is_response_identifier(frame.identifier));
}

// Appends an intact device frame, remembering it if the framer must deliver it.
void add_device_frame(BuiltStream& out, FramedPacket frame) {
    frame.append_to(out.bytes);
    if (deliverable(frame))
        out.frames.push_back(std::move(frame));
    else
        out.clean = false;
}

BuiltStream build_stream(ByteSource& in) {
    BuiltStream out;
    Filler filler(in.u32());
    while (!in.empty() && out.bytes.size() < STREAM_LIMIT) {
        const std::uint8_t op = in.u8();
        const bool variant = op & 8;
        switch (op % 8) {
            case 0: {  // noise, optionally unable to form a header
                const std::span<const std::uint8_t> taken = in.take(in.u8());
                Bytes noise(taken.begin(), taken.end());
                if (variant)
                    for (std::uint8_t& b : noise) b = defuse(b);
                if (!inert(noise)) out.clean = false;
                append(out.bytes, noise);
                break;
            }
            case 1:
                add_device_frame(out, device_frame(in, filler, true));
                break;
            case 2:
                add_device_frame(out, device_frame(in, filler, false));
                break;
            case 3: {  // one bit flipped anywhere, CRC included
                Bytes bytes = device_frame(in, filler, variant).to_bytes();
                const std::size_t bit = in.u16() % (bytes.size() * 8);
                bytes[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
                append(out.bytes, bytes);
                out.clean = false;
                break;
            }
            case 4: {  // a host-to-device frame echoed back
                const std::uint16_t header = variant ? COMMAND_HEADER : MOCK_HEADER;
                const std::uint16_t identifier = in.u16();
                const std::size_t size = pick_length(in, in.u8());
                const Bytes bytes = FramedPacket::make(header, identifier, pick_payload(in, size, filler)).to_bytes();
                if (!inert(bytes)) out.clean = false;
                append(out.bytes, bytes);
                break;
            }
            case 5: {  // a head announcing an implausible length, with no payload behind it
                Bytes head;
                append_u16_le(head, (op & 16) ? DATA_HEADER : RESPONSE_HEADER);
                append_u16_le(head, in.u16());
                std::uint32_t length = in.u32();
                if (variant) length = MAX_FRAME_PAYLOAD + 1 + length % (0xFFFFFFFFu - MAX_FRAME_PAYLOAD);
                append_u32_le(head, length);
                if (variant)
                    for (std::size_t i = 2; i < head.size(); ++i) head[i] = defuse(head[i]);
                // Rejected at once and unable to pair with its neighbours: the stream stays clean.
                const bool rejected_alone =
                    read_u32_le(&head[4]) > MAX_FRAME_PAYLOAD && inert(std::span(head).subspan(2));
                if (!rejected_alone) out.clean = false;
                append(out.bytes, head);
                break;
            }
            case 6: {  // a frame cut short
                const Bytes bytes = device_frame(in, filler, variant).to_bytes();
                append(out.bytes, std::span(bytes).first(in.u16() % bytes.size()));
                out.clean = false;
                break;
            }
            case 7: {  // a frame whose payload holds whole frames: only the outer one counts
                Bytes payload = pick_payload(in, in.u8() % 8, filler);
                const std::uint8_t inner_count = static_cast<std::uint8_t>(1 + in.u8() % 3);
                for (std::uint8_t i = 0; i < inner_count; ++i) device_frame(in, filler, in.u8() & 1).append_to(payload);
                append(payload, pick_payload(in, in.u8() % 8, filler));
                const std::uint16_t header = variant ? DATA_HEADER : RESPONSE_HEADER;
                const std::uint16_t identifier = variant ? in.u16() : pick_response_identifier(in);
                add_device_frame(out, FramedPacket::make(header, identifier, std::move(payload)));
                break;
            }
        }
    }
    return out;
}

// The framer's rules over the whole stream at once, each candidate validated by the
// frame decoder: the frames a framer must deliver and where it must stop.
struct Reference {
    std::vector<FramedPacket> frames;
    std::size_t stop = 0;
};

Reference reference_scan(std::span<const std::uint8_t> stream) {
    Reference ref;
    std::size_t at = 0;
    while (stream.size() - at >= 2) {
        const std::uint16_t header = read_u16_le(&stream[at]);
        if (header != DATA_HEADER && header != RESPONSE_HEADER) {
            ++at;
            continue;
        }
        if (stream.size() - at < FRAME_OVERHEAD) break;
        const std::uint32_t length = read_u32_le(&stream[at + 4]);
        if (length > MAX_FRAME_PAYLOAD) {
            ++at;
            continue;
        }
        if (stream.size() - at - FRAME_OVERHEAD < length) break;
        FrameDecode decoded = FramedPacket::from_bytes(stream.subspan(at, length + FRAME_OVERHEAD));
        FramedPacket* frame = std::get_if<FramedPacket>(&decoded);
        if (frame == nullptr || !deliverable(*frame)) {
            ++at;
            continue;
        }
        at += frame->wire_size();
        ref.frames.push_back(std::move(*frame));
    }
    ref.stop = at;
    return ref;
}

// What a correct framer delivers for these frames: telemetry and responses decoded in
// order, short payloads consumed without a result.
Outcome expected_outcome(const std::vector<FramedPacket>& frames) {
    Outcome out;
    for (const FramedPacket& frame : frames) {
        if (frame.header == DATA_HEADER) {
            if (std::optional<DataPacket> packet = decode_telemetry(frame.payload, out.axis))
                out.packets.push_back(*packet);
        } else if (std::optional<Response> response = decode_response(frame)) {
            out.responses.push_back({std::move(*response), frame});
        }
    }
    return out;
}

enum class Drain { AtEnd, Direct, Pop };

void drain(DataParser& parser, Outcome& out, Drain how) {
    if (how == Drain::Pop) {
        while (std::optional<DataPacket> p = parser.pop_data_packet()) out.packets.push_back(*p);
        while (std::optional<DecodedResponse> r = parser.pop_response()) out.responses.push_back(std::move(*r));
        return;
    }
    for (const DataPacket& p : parser.data_packets()) out.packets.push_back(p);
    for (DecodedResponse& r : parser.responses()) out.responses.push_back(std::move(r));
    parser.data_packets().clear();
    parser.responses().clear();
}

Outcome run(const std::vector<std::span<const std::uint8_t>>& reads, Drain how) {
    DataParser parser;
    Outcome out;
    for (std::span<const std::uint8_t> read : reads) {
        parser.parse_bytes(read);
        // A stop is only ever at an incomplete candidate, which is shorter than the biggest frame.
        FUZZ_CHECK(parser.buffered_bytes() < MAX_FRAME_PAYLOAD + FRAME_OVERHEAD, "receive buffer within the bound");
        if (how != Drain::AtEnd) drain(parser, out, how);
    }
    drain(parser, out, Drain::Pop);
    out.buffered = parser.buffered_bytes();
    out.axis = parser.up_axis();
    out.counts = parser.counts();
    return out;
}

void check_delivered_responses(const Outcome& out) {
    for (const DecodedResponse& r : out.responses) {
        const FramedPacket& frame = r.frame;
        FUZZ_CHECK(frame.header == RESPONSE_HEADER, "responses come from response frames");
        FUZZ_CHECK(is_response_identifier(frame.identifier), "responses carry a response identifier");
        FUZZ_CHECK(frame.payload.size() <= MAX_FRAME_PAYLOAD, "response frame within the length bound");
        FrameDecode again = FramedPacket::from_bytes(frame.to_bytes());
        const FramedPacket* decoded = std::get_if<FramedPacket>(&again);
        FUZZ_CHECK(decoded != nullptr && *decoded == frame, "response frame re-encodes to a CRC-valid frame");
        std::optional<Response> value = decode_response(frame);
        FUZZ_CHECK(value && same_response(*value, r.response), "response value is the decode of its frame");
    }
}

void check_same(const Outcome& a, const Outcome& b, const char* what) {
    FUZZ_CHECK(a.packets.size() == b.packets.size(), what);
    for (std::size_t i = 0; i < a.packets.size(); ++i) FUZZ_CHECK(same_packet(a.packets[i], b.packets[i]), what);
    FUZZ_CHECK(a.responses.size() == b.responses.size(), what);
    for (std::size_t i = 0; i < a.responses.size(); ++i) {
        FUZZ_CHECK(a.responses[i].frame == b.responses[i].frame, what);
        FUZZ_CHECK(same_response(a.responses[i].response, b.responses[i].response), what);
    }
    FUZZ_CHECK(a.axis == b.axis, what);
}

}  // namespace
}  // namespace vyre::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vyre;
    using namespace vyre::fuzz;

    ByteSource in(data, size);
    ChunkPlan plan(in.u32(), in.u8());
    const std::uint8_t mode = in.u8();
    const Drain how = static_cast<Drain>((mode >> 1) % 3);

    BuiltStream built;
    if (mode & 1) {
        built = build_stream(in);
    } else {
        const std::span<const std::uint8_t> raw = in.rest();
        built.bytes.assign(raw.begin(), raw.end());
        built.clean = false;
    }
    const std::span<const std::uint8_t> stream(built.bytes);

    const Outcome whole = run({stream}, Drain::AtEnd);
    const Outcome chunked = run(plan.cut(stream), how);
    const Reference ref = reference_scan(stream);
    const Outcome expected = expected_outcome(ref.frames);

    check_delivered_responses(whole);
    check_same(whole, expected, "framer delivers what a one-piece scan finds");
    FUZZ_CHECK(whole.buffered == stream.size() - ref.stop, "framer stops where a one-piece scan stops");
    check_same(chunked, whole, "output independent of read boundaries");
    FUZZ_CHECK(chunked.buffered == whole.buffered, "tail independent of read boundaries");
    const FramerCounts& counts = whole.counts;
    FUZZ_CHECK(chunked.counts == counts, "counts independent of read boundaries");
    FUZZ_CHECK(counts.bytes == counts.frame_bytes + counts.noise_bytes + whole.buffered, "every byte counted once");
    FUZZ_CHECK(counts.telemetry_frames + counts.response_frames + counts.short_frames == ref.frames.size(),
               "every frame taken off counted once");

    if (built.clean) {
        FUZZ_CHECK(ref.frames == built.frames, "a clean stream yields exactly its frames");
        check_same(whole, expected_outcome(built.frames), "a clean stream is delivered whole");
    }
    return 0;
}
