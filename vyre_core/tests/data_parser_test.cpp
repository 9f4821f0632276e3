#include "data_parser.hpp"

#include <algorithm>
#include <ostream>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "commands.hpp"
#include "frame_fixtures.hpp"

namespace vyre {
namespace {

using test::Bytes;
using test::concat;
using test::hex;
using test::response_frame;
using test::telemetry_frame;

const Bytes ACK = hex("A5 5A 03 00 01 00 00 00 01 0F EB");

std::vector<double> take_timestamps(DataParser& parser) {
    std::vector<double> out;
    while (std::optional<DataPacket> p = parser.pop_data_packet()) out.push_back(p->timestamp_seconds);
    return out;
}

std::vector<std::uint16_t> take_response_ids(DataParser& parser) {
    std::vector<std::uint16_t> out;
    while (std::optional<DecodedResponse> r = parser.pop_response()) out.push_back(r->frame.identifier);
    return out;
}

void feed(DataParser& parser, const Bytes& bytes) { parser.parse_bytes(bytes); }

Bytes device_info_frame() { return response_frame(1, concat({hex("01 00 00 00 00 00 00 00"), test::ascii(std::string_view("1.2.0\0\0\0", 8))})); }

TEST(DataParser, FrameSplitAtEveryByteBoundaryIsDecodedOnce) {
    for (const Bytes& frame : {telemetry_frame(7.5), device_info_frame()}) {
        const bool is_telemetry = frame[0] == 0x5A;
        for (std::size_t cut = 1; cut < frame.size(); ++cut) {
            DataParser parser;
            feed(parser, Bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut)));
            EXPECT_TRUE(parser.data_packets().empty() && parser.responses().empty()) << "cut " << cut;
            feed(parser, Bytes(frame.begin() + static_cast<std::ptrdiff_t>(cut), frame.end()));
            EXPECT_EQ(parser.data_packets().size(), is_telemetry ? 1u : 0u) << "cut " << cut;
            EXPECT_EQ(parser.responses().size(), is_telemetry ? 0u : 1u) << "cut " << cut;
            EXPECT_EQ(parser.buffered_bytes(), 0u);
        }
    }
}

TEST(DataParser, SeveralFramesInOneReadKeepTheirOrder) {
    DataParser parser;
    feed(parser, concat({telemetry_frame(1), ACK, telemetry_frame(2), response_frame(255, {1}), telemetry_frame(3)}));
    EXPECT_EQ(take_timestamps(parser), (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(take_response_ids(parser), (std::vector<std::uint16_t>{3, 255}));
    EXPECT_EQ(parser.buffered_bytes(), 0u);
}

TEST(DataParser, GarbageAndCorruptFramesAreSkipped) {
    Bytes corrupt = telemetry_frame(1);
    corrupt[30] ^= 0x04;
    Bytes bad_crc_ack = ACK;
    bad_crc_ack.back() ^= 0xFF;
    const Bytes stream = concat({hex("00 5A 5A A5 A5 FF 5A"), hex("5A A5 00 00 02 00 00 00 11 22 33 44"), corrupt,
                                 telemetry_frame(2), bad_crc_ack, ACK, hex("12 34")});
    DataParser parser;
    feed(parser, stream);
    EXPECT_EQ(take_timestamps(parser), (std::vector<double>{2}));
    EXPECT_EQ(take_response_ids(parser), (std::vector<std::uint16_t>{3}));
    EXPECT_EQ(parser.buffered_bytes(), 1u);  // a last byte may start a header
}

TEST(DataParser, HeaderPairsInsideAnIntactFrameAreNotFrames) {
    TelemetryFields fields = test::sample_at(4);
    fields.pressure_pascals = std::bit_cast<float>(0xA55AA55Au);
    fields.temperature_celsius = std::bit_cast<float>(0x005AA55Au);
    const Bytes tricky = FramedPacket::make(DATA_HEADER, 0, test::telemetry_payload(fields)).to_bytes();
    // A response whose payload is itself a whole valid frame.
    const Bytes nested = response_frame(3, concat({Bytes{1}, telemetry_frame(99)}));

    DataParser parser;
    feed(parser, concat({tricky, nested}));
    std::optional<DataPacket> packet = parser.pop_data_packet();
    ASSERT_TRUE(packet.has_value());
    EXPECT_EQ(std::bit_cast<std::uint32_t>(packet->pressure_pascals), 0xA55AA55Au);
    EXPECT_FALSE(parser.pop_data_packet().has_value());
    EXPECT_EQ(take_response_ids(parser), (std::vector<std::uint16_t>{3}));
    EXPECT_EQ(parser.buffered_bytes(), 0u);
}

TEST(DataParser, HostToDeviceFramesAreSkipped) {
    const Bytes stream = concat({get_device_info_command().to_bytes(),
                                 set_device_config_command("rocket", 100, DeviceProtocol::UART).to_bytes(),
                                 FramedPacket::make(MOCK_HEADER, 0x48, Bytes(20, 0x33)).to_bytes(),
                                 telemetry_frame(5)});
    DataParser parser;
    feed(parser, stream);
    EXPECT_EQ(take_timestamps(parser), (std::vector<double>{5}));
    EXPECT_TRUE(take_response_ids(parser).empty());
}

TEST(DataParser, UnknownResponseIdentifierResumesAtItsSecondByte) {
    // The same payload holds a valid telemetry frame: a known response swallows it,
    // an unknown one is dropped by sliding one byte, so the inner frame surfaces.
    const Bytes inner = telemetry_frame(42);
    struct Case {
        std::uint16_t identifier;
        std::vector<double> timestamps;
        std::vector<std::uint16_t> responses;
    };
    for (const Case& c : {Case{9, {42}, {}}, Case{0, {42}, {}}, Case{6, {}, {6}}}) {
        DataParser parser;
        feed(parser, concat({response_frame(c.identifier, inner), ACK}));
        EXPECT_EQ(take_timestamps(parser), c.timestamps) << c.identifier;
        std::vector<std::uint16_t> ids = c.responses;
        ids.push_back(3);
        EXPECT_EQ(take_response_ids(parser), ids) << c.identifier;
    }
}

TEST(DataParser, ImplausibleLengthIsNoiseAndBufferStaysSmall) {
    for (const Bytes& bogus : {hex("5A A5 00 00 FF FF FF FF"), hex("A5 5A 01 00 01 10 00 00")}) {
        DataParser parser;
        feed(parser, bogus);
        std::vector<double> timestamps;
        for (int i = 0; i < 50; ++i) {
            feed(parser, i % 10 == 0 ? ACK : telemetry_frame(i));
            for (double t : take_timestamps(parser)) timestamps.push_back(t);
            EXPECT_LT(parser.buffered_bytes(), 2u) << "after frame " << i;
        }
        EXPECT_EQ(timestamps.size(), 45u);
        EXPECT_EQ(take_response_ids(parser).size(), 5u);
    }
}

TEST(DataParser, LengthAtTheBoundIsAccepted) {
    Bytes payload = test::telemetry_payload(test::sample_at(8));
    payload.resize(MAX_FRAME_PAYLOAD, 0);
    const Bytes big = FramedPacket::make(DATA_HEADER, 0, payload).to_bytes();
    DataParser parser;
    for (std::size_t at = 0; at < big.size(); at += 1024)
        feed(parser, Bytes(big.begin() + static_cast<std::ptrdiff_t>(at),
                           big.begin() + static_cast<std::ptrdiff_t>(std::min(at + 1024, big.size()))));
    EXPECT_EQ(take_timestamps(parser), (std::vector<double>{8}));
    EXPECT_EQ(parser.buffered_bytes(), 0u);
}

TEST(DataParser, ShortPayloadFramesAreConsumedWhole) {
    struct Case {
        std::uint16_t header, identifier;
        std::size_t size;
    };
    for (const Case c : {Case{DATA_HEADER, 0, 75}, Case{RESPONSE_HEADER, 1, 15}, Case{RESPONSE_HEADER, 2, 34},
                         Case{RESPONSE_HEADER, 8, 143}}) {
        // The short payload hides a valid frame that must not surface.
        Bytes payload = ACK;
        payload.resize(c.size, 0);
        const Bytes short_frame = FramedPacket::make(c.header, c.identifier, payload).to_bytes();
        DataParser parser;
        feed(parser, concat({short_frame, telemetry_frame(3)}));
        EXPECT_EQ(take_timestamps(parser), (std::vector<double>{3})) << c.identifier << " size " << c.size;
        EXPECT_TRUE(take_response_ids(parser).empty()) << c.identifier << " size " << c.size;
        EXPECT_EQ(parser.buffered_bytes(), 0u);
    }
}

TEST(DataParser, IncompleteCandidateHoldsLaterFramesUntilFoundCorrupt) {
    DataParser parser;
    feed(parser, concat({hex("5A A5 00 00 64 00 00 00"), telemetry_frame(6)}));  // announces 100 bytes
    EXPECT_TRUE(parser.data_packets().empty());
    EXPECT_EQ(parser.buffered_bytes(), 94u);
    feed(parser, Bytes(16, 0));
    EXPECT_EQ(take_timestamps(parser), (std::vector<double>{6}));
    EXPECT_EQ(parser.buffered_bytes(), 1u);
}

TEST(DataParser, PopsOldestFirstAndKeepsResponseFrame) {
    DataParser parser;
    EXPECT_FALSE(parser.pop_data_packet().has_value());
    EXPECT_FALSE(parser.pop_response().has_value());
    feed(parser, concat({device_info_frame(), response_frame(4, {7})}));
    std::optional<DecodedResponse> first = parser.pop_response();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->response, Response(DeviceInfo{1, "1.2.0"}));
    EXPECT_EQ(first->frame.to_bytes(), device_info_frame());
    std::optional<DecodedResponse> second = parser.pop_response();
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->response, Response(Undecoded{"No decoded response for Reboot"}));
    EXPECT_FALSE(parser.pop_response().has_value());
}

TEST(DataParser, UpAxisIsChosenOnceAcrossReads) {
    auto frame_with_accel = [](float ax, float ay, float az) {
        TelemetryFields f = test::sample_at(0);
        f.raw_acceleration_x_gs = ax;
        f.raw_acceleration_y_gs = ay;
        f.raw_acceleration_z_gs = az;
        return FramedPacket::make(DATA_HEADER, 0, test::telemetry_payload(f)).to_bytes();
    };
    DataParser parser;
    feed(parser, frame_with_accel(std::numeric_limits<float>::quiet_NaN(), 0, 1));
    EXPECT_EQ(parser.up_axis(), UpAxis::Undetermined);
    feed(parser, frame_with_accel(1, -1, 0));
    EXPECT_EQ(parser.up_axis(), UpAxis::PosX);
    feed(parser, frame_with_accel(0, 0, 1));
    EXPECT_EQ(parser.up_axis(), UpAxis::PosX);
    ASSERT_EQ(parser.data_packets().size(), 3u);
    EXPECT_NEAR(parser.data_packets().back().est_tilt_angle_degrees, 90.f, 1e-4f);
}

TEST(DataParser, RecoversEveryFrameFromNoisyChunkedStream) {
    std::mt19937 rng(20240607);
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes stream;
    std::vector<double> sent_timestamps;
    std::vector<std::uint16_t> sent_ids;
    for (int i = 0; i < 300; ++i) {
        const int noise = byte(rng) % 24;
        for (int n = 0; n < noise; ++n) stream.push_back(static_cast<std::uint8_t>(byte(rng)));
        if (byte(rng) % 8 == 0) stream.insert(stream.end(), {0x5A, 0xA5, 0, 0, static_cast<std::uint8_t>(byte(rng) % 64), 0, 0, 0});
        if (i % 5 == 0) {
            const Bytes r = response_frame(i % 10 == 0 ? 5 : 7, {1});
            stream.insert(stream.end(), r.begin(), r.end());
            sent_ids.push_back(i % 10 == 0 ? 5 : 7);
        } else {
            const Bytes t = telemetry_frame(i);
            stream.insert(stream.end(), t.begin(), t.end());
            sent_timestamps.push_back(i);
        }
    }
    // A bogus candidate at the very end may hold the last frames; flush it with zeros.
    stream.insert(stream.end(), 80, 0);

    DataParser parser;
    std::vector<double> timestamps;
    std::vector<std::uint16_t> ids;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t n = std::min<std::size_t>(1 + static_cast<std::size_t>(byte(rng)) * 4, stream.size() - at);
        parser.parse_bytes(std::span(stream).subspan(at, n));
        at += n;
        for (double t : take_timestamps(parser)) timestamps.push_back(t);
        for (std::uint16_t id : take_response_ids(parser)) ids.push_back(id);
    }
    EXPECT_EQ(timestamps, sent_timestamps);
    EXPECT_EQ(ids, sent_ids);
    EXPECT_LE(parser.buffered_bytes(), 1u);
}

}  // namespace
}  // namespace vyre

// The framer's counts on crafted streams: every candidate gets exactly one
// outcome, every byte is counted once, however the stream is cut into reads.

namespace vyre {

std::ostream& operator<<(std::ostream& out, const FramerCounts& c) {
    return out << "{bytes " << c.bytes << ", frame_bytes " << c.frame_bytes << ", noise " << c.noise_bytes
               << ", telemetry " << c.telemetry_frames << ", responses " << c.response_frames << ", short "
               << c.short_frames << ", unknown " << c.unknown_responses << ", crc " << c.crc_rejected
               << ", length " << c.length_rejected << ", given up " << c.given_up << "}";
}

namespace {

Bytes corrupted(Bytes frame, std::size_t at) {
    frame[at] ^= 0x04;
    return frame;
}

Bytes first(const Bytes& bytes, std::size_t n) { return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n)); }

struct Case {
    std::string name;
    Bytes stream;
    bool quiet_at_end;  // drop_incomplete after the last read
    FramerCounts want;  // `bytes` is filled in from the stream
    std::size_t buffered;
};

std::vector<Case> cases() {
    return {
        {"frames", concat({telemetry_frame(1), ACK}), false,
         {.frame_bytes = 97, .telemetry_frames = 1, .response_frames = 1}, 0},
        // A5 5A before a telemetry frame is a response header whose length field
        // holds the frame's own length bytes: far past the bound.
        {"noise", concat({hex("00 5A 00 A5 5A"), telemetry_frame(1)}), false,
         {.frame_bytes = 86, .noise_bytes = 5, .telemetry_frames = 1, .length_rejected = 1}, 0},
        {"corrupted", concat({corrupted(telemetry_frame(1), 30), telemetry_frame(2)}), false,
         {.frame_bytes = 86, .noise_bytes = 86, .telemetry_frames = 1, .crc_rejected = 1}, 0},
        {"past the bound", concat({hex("5A A5 00 00 01 01 00 00 00 00"), telemetry_frame(3)}), false,
         {.frame_bytes = 86, .noise_bytes = 10, .telemetry_frames = 1, .length_rejected = 1}, 0},
        // 256 is within the bound: the candidate waits for its 266 bytes and fails the CRC.
        {"at the bound", concat({hex("5A A5 00 00 00 01 00 00"), Bytes(258, 0)}), false,
         {.noise_bytes = 265, .crc_rejected = 1}, 1},
        // Slid past, not taken off: its bytes are noise.
        {"unknown identifier", concat({response_frame(9, {1, 2, 3}), ACK}), false,
         {.frame_bytes = 11, .noise_bytes = 13, .response_frames = 1, .unknown_responses = 1}, 0},
        {"too short", concat({FramedPacket::make(DATA_HEADER, 0, Bytes(10, 0)).to_bytes(), response_frame(1, Bytes(8, 0))}),
         false, {.frame_bytes = 38, .short_frames = 2}, 0},
        // A head whose length covers the frames behind it: they come out once its CRC fails.
        {"false header", concat({hex("5A A5 07 00 56 00 00 00"), telemetry_frame(5), telemetry_frame(6)}), false,
         {.frame_bytes = 172, .noise_bytes = 8, .telemetry_frames = 2, .crc_rejected = 1}, 0},
        // A frame cut short on a quiet line: given up, its bytes noise but the last,
        // which may still start a header.
        {"cut frame", first(telemetry_frame(4), 30), true, {.noise_bytes = 29, .given_up = 1}, 1},
        {"cut head", hex("5A A5 01"), true, {.noise_bytes = 2, .given_up = 1}, 1},
        {"cut frame, then frames", concat({first(telemetry_frame(4), 30), ACK}), true,
         {.frame_bytes = 11, .noise_bytes = 30, .response_frames = 1, .given_up = 1}, 0},
    };
}

FramerCounts parse_in_pieces(const Case& c, std::size_t piece, std::size_t& buffered) {
    DataParser parser;
    for (std::size_t at = 0; at < c.stream.size(); at += piece) {
        const std::size_t n = std::min(piece, c.stream.size() - at);
        parser.parse_bytes(std::span(c.stream).subspan(at, n));
    }
    if (c.quiet_at_end) parser.drop_incomplete();
    buffered = parser.buffered_bytes();
    return parser.counts();
}

TEST(FramerCounts, EveryCandidateHasOneOutcomeAndEveryByteIsCountedOnce) {
    for (const Case& c : cases()) {
        FramerCounts want = c.want;
        want.bytes = c.stream.size();
        for (std::size_t piece : {c.stream.size(), std::size_t{1}, std::size_t{7}}) {
            std::size_t buffered = 0;
            const FramerCounts got = parse_in_pieces(c, piece, buffered);
            EXPECT_EQ(got, want) << c.name << ", reads of " << piece;
            EXPECT_EQ(buffered, c.buffered) << c.name << ", reads of " << piece;
            EXPECT_EQ(got.bytes, got.frame_bytes + got.noise_bytes + buffered) << c.name;
        }
    }
}

TEST(FramerCounts, AWaitingCandidateIsCountedOnlyOnceItEnds) {
    DataParser parser;
    parser.parse_bytes(first(telemetry_frame(8), 40));
    parser.drop_incomplete();  // quiet line: given up, the scan goes on to the last byte
    parser.parse_bytes(first(ACK, 7));  // waits for the rest of its head
    FramerCounts want{.bytes = 47, .noise_bytes = 40, .given_up = 1};
    EXPECT_EQ(parser.counts(), want);
    parser.parse_bytes(Bytes(ACK.begin() + 7, ACK.end()));
    want.bytes += 4;
    want.frame_bytes = 11;
    want.response_frames = 1;
    EXPECT_EQ(parser.counts(), want);
}

TEST(FramerCounts, ClearCountsWhatWasHeldAsNoiseAndCountingGoesOnFromAStart) {
    DataParser parser(FramerCounts{.bytes = 100, .noise_bytes = 100, .crc_rejected = 3});
    parser.parse_bytes(concat({telemetry_frame(1), first(telemetry_frame(2), 50)}));
    parser.clear();
    EXPECT_EQ(parser.buffered_bytes(), 0u);
    EXPECT_EQ(parser.counts(), (FramerCounts{.bytes = 236, .frame_bytes = 86, .noise_bytes = 150,
                                             .telemetry_frames = 1, .crc_rejected = 3}));
}

}  // namespace
}  // namespace vyre
