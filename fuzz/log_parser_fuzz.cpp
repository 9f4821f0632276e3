// Mock-log parser under any file body and any chunking.
//
// Input: 4 bytes seeding the chunk sizes, 1 byte choosing their size class, 1 mode
// byte, then either the raw body after the header block (mode bit 0 clear) or a
// recipe of records, zero padding and stray bytes (bit 0 set).
//
// Checked for every input:
// - fed whole, the parser gives what a one-piece reading of the format gives:
//   records, frames, delays bit for bit, end marker, bytes held back;
// - fed in input-decided chunks, it gives the same records, frames and delays bit for
//   bit and the same end state, however often the records are taken;
// - between feeds it holds back less than one whole record, nothing once finished,
//   and an empty feed changes nothing;
// - for recipes, the records are exactly those written up to the end marker, with
//   delays from the written timestamps.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "byte_source.hpp"
#include "check.hpp"
#include "chunk_plan.hpp"
#include "log_parsing.hpp"
#include "utils.hpp"

namespace vyre::fuzz {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t BODY_LIMIT = std::size_t{1} << 12;
constexpr std::size_t LONGEST_RECORD = 20;  // 'I': type, timestamp, 15 data bytes
constexpr std::uint8_t TYPES[] = {'A', 'B', 'M', 'I'};

std::size_t record_size(std::uint8_t type) {
    switch (type) {
        case 'A':
        case 'B': return 11;
        case 'M': return 12;
        case 'I': return 20;
        default: return 0;
    }
}

bool is_type(std::uint8_t b) { return record_size(b) != 0; }

double delay_between(std::optional<std::uint32_t> previous, std::uint32_t timestamp) {
    if (!previous) return 0.0;
    constexpr std::uint64_t WRAP = std::uint64_t{1} << 32;
    const std::uint64_t ticks = (std::uint64_t{timestamp} + WRAP - *previous) % WRAP;
    return static_cast<double>(ticks) / 168'000'000.0;
}

LogRecord make_record(std::span<const std::uint8_t> record, std::optional<std::uint32_t>& previous) {
    const std::uint32_t timestamp = read_u32_le(&record[1]);
    const double delay = delay_between(previous, timestamp);
    previous = timestamp;
    return {FramedPacket::make(MOCK_HEADER, record[0], Bytes(record.begin() + 1, record.end())), delay};
}

struct Parsed {
    std::vector<LogRecord> records;
    bool finished = false;
    std::size_t pending = 0;
};

// The file format read over the whole body at once.
Parsed reference_parse(std::span<const std::uint8_t> body) {
    Parsed out;
    std::optional<std::uint32_t> previous;
    std::size_t zeros = 0;
    std::size_t at = 0;
    while (at < body.size()) {
        if (body[at] == 0) {
            if (++zeros > 20) {
                out.finished = true;
                return out;
            }
            ++at;
            continue;
        }
        zeros = 0;
        const std::size_t left = body.size() - at;
        if (left < 5) break;
        const std::size_t size = record_size(body[at]);
        if (size == 0) {
            ++at;
            continue;
        }
        if (left < size) break;
        out.records.push_back(make_record(body.subspan(at, size), previous));
        at += size;
    }
    out.pending = body.size() - at;
    return out;
}

struct BuiltLog {
    Bytes body;
    std::vector<LogRecord> records;  // those written before the end marker
    bool finished = false;
};

BuiltLog build_log(ByteSource& in) {
    BuiltLog out;
    Filler filler(in.u32());
    std::optional<std::uint32_t> previous;
    std::uint32_t clock = 0;
    std::size_t zeros = 0;
    while (!in.empty() && out.body.size() < BODY_LIMIT) {
        const std::uint8_t op = in.u8();
        switch (op % 3) {
            case 0: {  // a record; its timestamp steps on, or jumps anywhere (wrapping backwards too)
                const std::uint8_t type = TYPES[in.u8() % 4];
                clock = (op & 4) ? in.u32() : clock + in.u16() * std::uint32_t{(op & 8) ? 4096u : 1u};
                Bytes record{type};
                append_u32_le(record, clock);
                for (std::size_t i = 5; i < record_size(type); ++i)
                    record.push_back((op & 16) ? in.u8() : filler.byte());
                out.body.insert(out.body.end(), record.begin(), record.end());
                if (!out.finished) out.records.push_back(make_record(record, previous));
                zeros = 0;
                break;
            }
            case 1: {  // zero padding; runs next to each other count as one
                const std::size_t count = in.u8() % 24;
                out.body.insert(out.body.end(), count, 0);
                zeros += count;
                if (zeros > 20) out.finished = true;
                break;
            }
            case 2: {  // stray bytes that start no record
                const std::size_t count = 1 + in.u8() % 4;
                for (std::size_t i = 0; i < count; ++i) {
                    std::uint8_t b = in.u8();
                    if (b == 0 || is_type(b)) b ^= 0x80;
                    out.body.push_back(b);
                }
                zeros = 0;
                break;
            }
        }
    }
    return out;
}

bool same_records(const std::vector<LogRecord>& a, const std::vector<LogRecord>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!(a[i].frame == b[i].frame)) return false;
        if (std::memcmp(&a[i].delay_seconds, &b[i].delay_seconds, sizeof(double)) != 0) return false;
    }
    return true;
}

void check_held_back(const LogParser& parser) {
    FUZZ_CHECK(parser.pending_size() < LONGEST_RECORD, "at most one incomplete record held back");
    if (parser.finished()) FUZZ_CHECK(parser.pending_size() == 0, "nothing held once finished");
}

Parsed feed_all(const std::vector<std::span<const std::uint8_t>>& chunks, bool take_each_time) {
    LogParser parser;
    Parsed out;
    for (std::span<const std::uint8_t> chunk : chunks) {
        const bool was_finished = parser.finished();
        parser.feed(chunk);
        check_held_back(parser);
        if (!take_each_time) continue;
        std::vector<LogRecord> taken = parser.take_records();
        if (was_finished) FUZZ_CHECK(taken.empty(), "nothing parsed after the end marker");
        for (LogRecord& r : taken) out.records.push_back(std::move(r));
    }
    for (LogRecord& r : parser.take_records()) out.records.push_back(std::move(r));

    const std::size_t pending = parser.pending_size();
    const bool finished = parser.finished();
    parser.feed({});
    FUZZ_CHECK(parser.take_records().empty() && parser.pending_size() == pending && parser.finished() == finished,
               "an empty feed changes nothing");
    out.finished = finished;
    out.pending = pending;
    return out;
}

}  // namespace
}  // namespace vyre::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vyre;
    using namespace vyre::fuzz;

    ByteSource in(data, size);
    ChunkPlan plan(in.u32(), in.u8());
    const std::uint8_t mode = in.u8();

    std::optional<BuiltLog> built;
    Bytes body;
    if (mode & 1) {
        built = build_log(in);
        body = built->body;
    } else {
        const std::span<const std::uint8_t> raw = in.rest();
        body.assign(raw.begin(), raw.end());
    }

    const Parsed reference = reference_parse(body);
    const Parsed whole = feed_all({body}, false);
    const Parsed chunked = feed_all(plan.cut(body), mode & 2);

    FUZZ_CHECK(same_records(whole.records, reference.records), "records as the format reads");
    FUZZ_CHECK(whole.finished == reference.finished, "end marker as the format reads");
    FUZZ_CHECK(whole.pending == reference.pending, "bytes held back as the format reads");
    FUZZ_CHECK(same_records(chunked.records, whole.records), "records independent of chunking");
    FUZZ_CHECK(chunked.finished == whole.finished, "end marker independent of chunking");
    FUZZ_CHECK(chunked.pending == whole.pending, "bytes held back independent of chunking");

    if (built) {
        FUZZ_CHECK(same_records(whole.records, built->records), "written records come back, up to the end marker");
        FUZZ_CHECK(whole.finished == built->finished, "a run of more than 20 zeros ends the log");
    }
    return 0;
}
