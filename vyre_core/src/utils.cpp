#include "utils.hpp"

#include <algorithm>

namespace vyre {

Result<std::vector<float>> bytes_to_f32_array(std::span<const std::uint8_t> bytes, std::size_t count,
                                              std::size_t& offset) {
    if (bytes.size() < 4) return Error::message("Need at least 4 bytes to convert to f32");
    std::vector<float> values;
    values.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        // Compare without adding to offset so a huge offset cannot wrap around.
        if (offset > bytes.size() || bytes.size() - offset < 4)
            return Error::message("Not enough bytes to convert to f32: need 4 at offset " + std::to_string(offset) +
                                  ", have " + std::to_string(bytes.size()));
        values.push_back(read_f32_le(bytes.data() + offset));
        offset += 4;
    }
    return values;
}

namespace {

constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";  // U+FFFD

bool in_range(std::uint8_t b, std::uint8_t lo, std::uint8_t hi) { return b >= lo && b <= hi; }

// A well-formed UTF-8 sequence starting with a given lead byte: its total length and
// the allowed range of its second byte (later bytes are plain continuations 80..BF).
// The narrowed ranges exclude overlong forms, surrogates and values above U+10FFFF.
struct Sequence {
    std::size_t length = 0;  // 0: the byte never starts a character
    std::uint8_t second_lo = 0x80;
    std::uint8_t second_hi = 0xBF;
};

Sequence sequence_for(std::uint8_t lead) {
    if (in_range(lead, 0xC2, 0xDF)) return {2, 0x80, 0xBF};
    if (lead == 0xE0) return {3, 0xA0, 0xBF};
    if (lead == 0xED) return {3, 0x80, 0x9F};
    if (in_range(lead, 0xE1, 0xEF)) return {3, 0x80, 0xBF};
    if (lead == 0xF0) return {4, 0x90, 0xBF};
    if (in_range(lead, 0xF1, 0xF3)) return {4, 0x80, 0xBF};
    if (lead == 0xF4) return {4, 0x80, 0x8F};
    return {};
}

}  // namespace

std::string null_terminated_text(std::span<const std::uint8_t> bytes) {
    const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    const std::span<const std::uint8_t> field(bytes.begin(), end);

    std::string out;
    out.reserve(field.size());
    std::size_t i = 0;
    while (i < field.size()) {
        const std::uint8_t lead = field[i];
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        const Sequence seq = sequence_for(lead);
        const std::size_t length = seq.length;
        if (length == 0) {
            out += REPLACEMENT;
            ++i;
            continue;
        }
        // Take the longest valid prefix; a broken or truncated sequence is replaced by
        // one U+FFFD and decoding resumes at the byte that broke it.
        std::size_t taken = 1;
        while (taken < length && i + taken < field.size()) {
            const std::uint8_t b = field[i + taken];
            const bool ok = taken == 1 ? in_range(b, seq.second_lo, seq.second_hi) : in_range(b, 0x80, 0xBF);
            if (!ok) break;
            ++taken;
        }
        if (taken == length)
            out.append(reinterpret_cast<const char*>(field.data() + i), length);
        else
            out += REPLACEMENT;
        i += taken;
    }
    return out;
}

}  // namespace vyre
