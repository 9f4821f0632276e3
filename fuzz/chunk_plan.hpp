#pragma once
// Cut points for feeding a stream in pieces, decided by the fuzz input: a seed and a
// size class. Reads of one byte, of a few bytes and of whole blocks all occur, and
// now and then an empty read.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "byte_source.hpp"

namespace vyre::fuzz {

class ChunkPlan {
public:
    ChunkPlan(std::uint32_t seed, std::uint8_t size_class)
        : rng_(seed), largest_(LARGEST[size_class % LARGEST.size()]), allow_empty_(size_class & 0x80) {}

    // Splits `bytes` into consecutive pieces that cover it exactly, in order.
    std::vector<std::span<const std::uint8_t>> cut(std::span<const std::uint8_t> bytes) {
        std::vector<std::span<const std::uint8_t>> pieces;
        std::size_t at = 0;
        while (at < bytes.size()) {
            std::size_t n = static_cast<std::size_t>(rng_.next() % (largest_ + 1));
            if (n == 0 && !allow_empty_) n = 1;
            if (n > bytes.size() - at) n = bytes.size() - at;
            pieces.push_back(bytes.subspan(at, n));
            at += n;
        }
        return pieces;
    }

private:
    // 1024 is the reader's read size; 4200 lets one read carry a whole bound-sized frame.
    static constexpr std::array<std::size_t, 8> LARGEST = {1, 2, 5, 11, 64, 300, 1024, 4200};

    Filler rng_;
    std::size_t largest_;
    bool allow_empty_;
};

}  // namespace vyre::fuzz
