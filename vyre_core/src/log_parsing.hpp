#pragma once
// Mock log files: a 286-byte opaque header block, then typed, timestamped records
// separated by zero padding; more than 20 zeros in a row end the log.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "framed_packet.hpp"

namespace vyre {

inline constexpr std::size_t LOG_HEADER_SIZE = 286;
inline constexpr double LOG_TICKS_PER_SECOND = 168'000'000.0;
inline constexpr std::uint64_t LOG_END_ZERO_RUN = 20;  // the 21st zero in a row ends the log

struct LogRecord {
    FramedPacket frame;    // MOCK_HEADER, identifier = type letter, payload = record minus type byte
    double delay_seconds;  // logged time since the previous record; 0 for the first
};

// Data byte count for a record type letter, or nothing if the byte starts no record.
std::optional<std::size_t> log_record_data_size(std::uint8_t type);

class LogParser {
public:
    void feed(std::span<const std::uint8_t> chunk);
    std::vector<LogRecord> take_records();
    bool finished() const { return finished_; }
    // Bytes held for the next feed: never more than one incomplete record.
    std::size_t pending_size() const { return pending_bytes_.size(); }

private:
    std::vector<std::uint8_t> pending_bytes_;
    std::deque<LogRecord> records_;
    std::optional<std::uint32_t> last_timestamp_;
    std::uint64_t zero_run_ = 0;
    bool finished_ = false;
};

}  // namespace vyre
