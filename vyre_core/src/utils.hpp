#pragma once
// Little-endian byte helpers and the text-field rule of responses.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "result.hpp"

namespace vyre {

inline std::uint16_t read_u16_le(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t read_u32_le(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t read_u64_le(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(read_u32_le(p)) |
           (static_cast<std::uint64_t>(read_u32_le(p + 4)) << 32);
}
inline float read_f32_le(const std::uint8_t* p) {
    std::uint32_t bits = read_u32_le(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}
inline double read_f64_le(const std::uint8_t* p) {
    std::uint64_t bits = read_u64_le(p);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline void append_u16_le(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void append_u32_le(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void append_f32_le(std::vector<std::uint8_t>& out, float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    append_u32_le(out, bits);
}

// Reads `count` little-endian f32 values from `offset`, advancing it by 4 per value.
// Fails with "Need at least 4 bytes to convert to f32" on a slice shorter than 4
// bytes, and when a value would extend past the end.
Result<std::vector<float>> bytes_to_f32_array(std::span<const std::uint8_t> bytes, std::size_t count,
                                              std::size_t& offset);

// Bytes up to the first zero (or all of them), from UTF-8 with invalid sequences
// replaced by U+FFFD.
std::string null_terminated_text(std::span<const std::uint8_t> bytes);

}  // namespace vyre
