// The framer's counts on crafted streams: every candidate gets exactly one
// outcome, every byte is counted once, however the stream is cut into reads.

#include <algorithm>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "data_parser.hpp"
#include "frame_fixtures.hpp"

namespace vyre {

std::ostream& operator<<(std::ostream& out, const FramerCounts& c) {
    return out << "{bytes " << c.bytes << ", frame_bytes " << c.frame_bytes << ", noise " << c.noise_bytes
               << ", telemetry " << c.telemetry_frames << ", responses " << c.response_frames << ", short "
               << c.short_frames << ", unknown " << c.unknown_responses << ", crc " << c.crc_rejected
               << ", length " << c.length_rejected << ", given up " << c.given_up << "}";
}

namespace {

using test::Bytes;
using test::concat;
using test::hex;
using test::response_frame;
using test::telemetry_frame;

const Bytes ACK = response_frame(3, {1});

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
