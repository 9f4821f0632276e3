#pragma once
// Reads a fuzz input front to back. Past the end every read yields zeros, so a
// target never has to handle a short input specially.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vyre::fuzz {

class ByteSource {
public:
    ByteSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ == size_; }
    std::size_t remaining() const { return size_ - at_; }

    std::uint8_t u8() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    std::uint32_t u32() {
        const std::uint32_t low = u16();
        return low | (static_cast<std::uint32_t>(u16()) << 16);
    }

    // Up to n bytes, fewer if the input runs out.
    std::span<const std::uint8_t> take(std::size_t n) {
        const std::size_t count = n < remaining() ? n : remaining();
        const std::span<const std::uint8_t> out(data_ + at_, count);
        at_ += count;
        return out;
    }
    std::span<const std::uint8_t> rest() { return take(remaining()); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Deterministic filler for long payloads, so a few input bytes can describe a big frame.
class Filler {
public:
    explicit Filler(std::uint64_t seed) : state_(seed | 1) {}
    std::uint64_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return state_;
    }
    std::uint8_t byte() { return static_cast<std::uint8_t>(next() >> 32); }

private:
    std::uint64_t state_;
};

}  // namespace vyre::fuzz
