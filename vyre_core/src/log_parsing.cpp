#include "log_parsing.hpp"

#include <iterator>
#include <utility>

#include "utils.hpp"

namespace vyre {
namespace {

constexpr std::size_t TYPE_AND_TIMESTAMP_SIZE = 5;

}  // namespace

std::optional<std::size_t> log_record_data_size(std::uint8_t type) {
    switch (type) {
        case 'A':
        case 'B':
            return 6;
        case 'M':
            return 7;
        case 'I':
            return 15;
        default:
            return std::nullopt;
    }
}

void LogParser::feed(std::span<const std::uint8_t> chunk) {
    if (finished_) return;
    pending_bytes_.insert(pending_bytes_.end(), chunk.begin(), chunk.end());

    const std::uint8_t* bytes = pending_bytes_.data();
    const std::size_t size = pending_bytes_.size();
    std::size_t p = 0;
    while (p < size) {
        const std::uint8_t b = bytes[p];
        if (b == 0) {
            if (++zero_run_ > LOG_END_ZERO_RUN) {
                finished_ = true;
                pending_bytes_.clear();
                pending_bytes_.shrink_to_fit();
                return;
            }
            ++p;
            continue;
        }
        zero_run_ = 0;
        // Even a byte that starts no record waits for five bytes, so the outcome
        // never depends on where a chunk ends.
        if (size - p < TYPE_AND_TIMESTAMP_SIZE) break;
        const std::optional<std::size_t> data_size = log_record_data_size(b);
        if (!data_size) {
            ++p;
            continue;
        }
        const std::size_t record_size = TYPE_AND_TIMESTAMP_SIZE + *data_size;
        if (size - p < record_size) break;

        const std::uint32_t timestamp = read_u32_le(bytes + p + 1);
        // Unsigned subtraction wraps exactly like the device's tick counter.
        const double delay =
            last_timestamp_ ? static_cast<double>(static_cast<std::uint32_t>(timestamp - *last_timestamp_)) /
                                  LOG_TICKS_PER_SECOND
                            : 0.0;
        last_timestamp_ = timestamp;

        std::vector<std::uint8_t> payload(bytes + p + 1, bytes + p + record_size);
        records_.push_back({FramedPacket::make(MOCK_HEADER, b, std::move(payload)), delay});
        p += record_size;
    }
    pending_bytes_.erase(pending_bytes_.begin(), pending_bytes_.begin() + static_cast<std::ptrdiff_t>(p));
}

std::vector<LogRecord> LogParser::take_records() {
    std::vector<LogRecord> taken(std::make_move_iterator(records_.begin()),
                                 std::make_move_iterator(records_.end()));
    records_.clear();
    return taken;
}

}  // namespace vyre
