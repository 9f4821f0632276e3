#include "log_parsing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "frame_fixtures.hpp"

namespace vyre {
namespace {

using test::Bytes;
using test::concat;

Bytes record(char type, std::uint32_t timestamp, std::size_t data_size, std::uint8_t fill = 0x5C) {
    Bytes r{static_cast<std::uint8_t>(type)};
    for (int i = 0; i < 4; ++i) r.push_back(static_cast<std::uint8_t>(timestamp >> (8 * i)));
    for (std::size_t i = 0; i < data_size; ++i) r.push_back(static_cast<std::uint8_t>(fill + i));
    return r;
}

Bytes zeros(std::size_t n) { return Bytes(n, 0); }

std::vector<LogRecord> parse_in_chunks(const Bytes& bytes, std::size_t chunk, bool* finished = nullptr) {
    LogParser parser;
    std::vector<LogRecord> out;
    for (std::size_t i = 0; i < bytes.size(); i += chunk) {
        const std::size_t n = std::min(chunk, bytes.size() - i);
        parser.feed(std::span(bytes).subspan(i, n));
        for (LogRecord& r : parser.take_records()) out.push_back(std::move(r));
    }
    if (finished) *finished = parser.finished();
    return out;
}

std::vector<LogRecord> parse_all(const Bytes& bytes, bool* finished = nullptr) {
    return parse_in_chunks(bytes, std::max<std::size_t>(bytes.size(), 1), finished);
}

void expect_same(const std::vector<LogRecord>& a, const std::vector<LogRecord>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].frame, b[i].frame) << "record " << i;
        EXPECT_EQ(a[i].delay_seconds, b[i].delay_seconds) << "record " << i;
    }
}

TEST(LogParser, RecordBecomesMockFrame) {
    const Bytes input{0x41, 0x10, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    const auto records = parse_all(input);
    ASSERT_EQ(records.size(), 1u);
    const Bytes expected{0xB6, 0x6B, 0x41, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x10, 0x00,
                         0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xA6, 0x88};
    EXPECT_EQ(records[0].frame.to_bytes(), expected);
    EXPECT_EQ(records[0].frame.crc, 0x88A6);
    EXPECT_EQ(records[0].delay_seconds, 0.0);
}

struct TypeCase {
    char type;
    std::size_t frame_size;
};

class LogParserType : public ::testing::TestWithParam<TypeCase> {};

TEST_P(LogParserType, FrameCarriesTheRecordWithoutItsTypeByte) {
    const TypeCase c = GetParam();
    const Bytes input = record(c.type, 0xA1B2C3D4, c.frame_size - 14);
    const auto records = parse_all(input);
    ASSERT_EQ(records.size(), 1u);
    const FramedPacket& frame = records[0].frame;
    EXPECT_EQ(frame.header, MOCK_HEADER);
    EXPECT_EQ(frame.identifier, static_cast<std::uint16_t>(c.type));
    EXPECT_EQ(frame.payload, Bytes(input.begin() + 1, input.end()));
    EXPECT_EQ(frame.wire_size(), c.frame_size);
    EXPECT_TRUE(std::holds_alternative<FramedPacket>(FramedPacket::from_bytes(frame.to_bytes())));
}

INSTANTIATE_TEST_SUITE_P(AllTypes, LogParserType,
                         ::testing::Values(TypeCase{'A', 20}, TypeCase{'B', 20}, TypeCase{'M', 21},
                                           TypeCase{'I', 29}),
                         [](const auto& p) { return std::string(1, p.param.type); });

struct DelayCase {
    std::uint32_t first, second;
    double delay;
};

class LogParserDelay : public ::testing::TestWithParam<DelayCase> {};

TEST_P(LogParserDelay, DelayIsTickDifferenceModulo32Bits) {
    const DelayCase c = GetParam();
    const auto records = parse_all(concat({record('A', c.first, 6), record('I', c.second, 15)}));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].delay_seconds, 0.0);
    EXPECT_DOUBLE_EQ(records[1].delay_seconds, c.delay);
}

INSTANTIATE_TEST_SUITE_P(
    Timestamps, LogParserDelay,
    ::testing::Values(DelayCase{1'000, 169'000, 0.001}, DelayCase{100, 50, 25.565281226190475},
                      DelayCase{0xFFFF'FFF0u, 0x10, 32.0 / 168e6}, DelayCase{7, 7, 0.0},
                      DelayCase{0, 0xFFFF'FFFFu, 4294967295.0 / 168e6}),
    [](const auto& p) {
        return "ticks_" + std::to_string(p.param.first) + "_then_" + std::to_string(p.param.second);
    });

// Random records, padding and junk: every chunking must recover exactly the generated records.
TEST(LogParser, RandomStreamSurvivesRandomChunking) {
    std::mt19937 engine(20240611);
    auto rng = [&engine] { return static_cast<std::uint32_t>(engine()); };
    const char types[] = {'A', 'B', 'M', 'I'};
    const std::uint8_t junk[] = {0x01, 0x48, 0x7F, 0xFF, 0x40, 0x43, 0x61};
    Bytes stream;
    std::vector<Bytes> expected_payloads;
    std::vector<char> expected_types;
    std::vector<double> expected_delays;
    std::uint32_t timestamp = rng();
    for (int i = 0; i < 400; ++i) {
        stream.resize(stream.size() + rng() % 21, 0);  // at most 20 zeros between non-zero boundary bytes
        for (unsigned j = rng() % 3; j > 0; --j) stream.push_back(junk[rng() % std::size(junk)]);
        const std::uint32_t step = rng() % 3 == 0 ? rng() : rng() % 500'000;
        timestamp += step;
        const char type = types[rng() % 4];
        Bytes r = record(type, timestamp, *log_record_data_size(static_cast<std::uint8_t>(type)));
        for (std::size_t k = 5; k < r.size(); ++k) r[k] = rng() % 4 == 0 ? 0 : static_cast<std::uint8_t>(rng());
        stream.insert(stream.end(), r.begin(), r.end());
        expected_types.push_back(type);
        expected_payloads.emplace_back(r.begin() + 1, r.end());
        expected_delays.push_back(i == 0 ? 0.0 : static_cast<double>(step) / 168e6);
    }
    const Bytes trailer = concat({zeros(21), record('A', 1, 6)});
    stream.insert(stream.end(), trailer.begin(), trailer.end());

    bool finished = false;
    const auto whole = parse_all(stream, &finished);
    EXPECT_TRUE(finished);
    ASSERT_EQ(whole.size(), expected_payloads.size());
    for (std::size_t i = 0; i < whole.size(); ++i) {
        EXPECT_EQ(whole[i].frame.identifier, static_cast<std::uint16_t>(expected_types[i]));
        EXPECT_EQ(whole[i].frame.payload, expected_payloads[i]);
        EXPECT_DOUBLE_EQ(whole[i].delay_seconds, expected_delays[i]);
    }

    for (std::size_t chunk : {1u, 7u}) expect_same(parse_in_chunks(stream, chunk), whole);
    for (int round = 0; round < 20; ++round) {
        LogParser parser;
        std::vector<LogRecord> got;
        for (std::size_t pos = 0; pos < stream.size();) {
            const std::size_t n = std::min<std::size_t>(rng() % 40, stream.size() - pos);  // empty chunks too
            parser.feed(std::span(stream).subspan(pos, n));
            pos += n;
            if (rng() % 2 == 0)
                for (LogRecord& r : parser.take_records()) got.push_back(std::move(r));
        }
        for (LogRecord& r : parser.take_records()) got.push_back(std::move(r));
        EXPECT_TRUE(parser.finished());
        expect_same(got, whole);
    }
}

struct ZeroRunCase {
    std::size_t zeros;
    std::size_t split;  // chunk boundary inside the padding; 0 = one chunk
    bool second_record_parsed;
};

class LogParserZeroRun : public ::testing::TestWithParam<ZeroRunCase> {};

TEST_P(LogParserZeroRun, MoreThanTwentyZerosEndTheLog) {
    const ZeroRunCase c = GetParam();
    const Bytes first = record('A', 1, 6);
    const Bytes input = concat({first, zeros(c.zeros), record('B', 2, 6)});
    LogParser parser;
    if (c.split == 0) {
        parser.feed(input);
    } else {
        const std::size_t cut = first.size() + c.split;
        parser.feed(std::span(input).first(cut));
        parser.feed(std::span(input).subspan(cut));
    }
    EXPECT_EQ(parser.finished(), !c.second_record_parsed);
    // A later record never comes through once the log has ended.
    parser.feed(record('M', 3, 7));
    const auto records = parser.take_records();
    EXPECT_EQ(records.size(), c.second_record_parsed ? 3u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Padding, LogParserZeroRun,
                         ::testing::Values(ZeroRunCase{20, 0, true}, ZeroRunCase{20, 10, true},
                                           ZeroRunCase{20, 1, true}, ZeroRunCase{21, 0, false},
                                           ZeroRunCase{21, 10, false}, ZeroRunCase{21, 20, false},
                                           ZeroRunCase{21, 21, false}, ZeroRunCase{300, 150, false}),
                         [](const auto& p) {
                             return std::to_string(p.param.zeros) + "_zeros_split_at_" +
                                    std::to_string(p.param.split);
                         });

TEST(LogParser, ZeroRunCountsOnlyPaddingBetweenRecords) {
    // A record of zeros followed by 15 zeros makes 25 zero bytes in a row, but only
    // 15 lie between records; every record and skipped byte starts a new run.
    const Bytes input = concat({record('A', 0, 6, 0), zeros(15), record('B', 0, 6), zeros(20), Bytes{0x48},
                                zeros(20), record('M', 0, 7), zeros(20), record('I', 0, 15)});
    bool finished = true;
    EXPECT_EQ(parse_all(input, &finished).size(), 4u);
    EXPECT_FALSE(finished);
}

}  // namespace
}  // namespace vyre
