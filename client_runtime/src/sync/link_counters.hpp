#pragma once
// What came over the link since the client was built. The reader thread is the
// only writer: it publishes its framer's counts once per read without taking a
// lock (a sequence lock over relaxed atomics), and a new reader counts on from
// what the last one published. Any thread takes a consistent snapshot.

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <type_traits>

#include "data_parser.hpp"

namespace vyre {

struct LinkCounts {
    FramerCounts framer;
    std::uint64_t buffered_bytes = 0;  // held by the framer for a frame not complete yet
    std::uint64_t read_errors = 0;     // reads that failed (each ends its reader)
    std::uint64_t packets_discarded = 0;  // decoded telemetry dropped as backlog
};

class LinkCounters {
public:
    // Reader side; one writer at a time.
    void publish(const LinkCounts& counts) {
        const Words words = std::bit_cast<Words>(counts);
        const std::uint64_t sequence = sequence_.load(std::memory_order_relaxed);
        sequence_.store(sequence + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        for (std::size_t i = 0; i < WORDS; ++i) words_[i].store(words[i], std::memory_order_relaxed);
        sequence_.store(sequence + 2, std::memory_order_release);
    }

    // One publication, never parts of two. Retries while one is under way: a
    // publication is a few stores, so this never waits long.
    LinkCounts snapshot() const {
        for (;;) {
            const std::uint64_t before = sequence_.load(std::memory_order_acquire);
            Words words{};
            for (std::size_t i = 0; i < WORDS; ++i) words[i] = words_[i].load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            if (before % 2 == 0 && sequence_.load(std::memory_order_relaxed) == before)
                return std::bit_cast<LinkCounts>(words);
        }
    }

private:
    static constexpr std::size_t WORDS = sizeof(LinkCounts) / sizeof(std::uint64_t);
    using Words = std::array<std::uint64_t, WORDS>;
    // Copied word for word, so every bit of a LinkCounts must be a counter's:
    // no padding, nothing but 64-bit counters.
    static_assert(std::has_unique_object_representations_v<LinkCounts> && sizeof(LinkCounts) == sizeof(Words),
                  "LinkCounts holds 64-bit counters only");

    std::atomic<std::uint64_t> sequence_{0};
    std::array<std::atomic<std::uint64_t>, WORDS> words_{};
};

// The counts of the reader side with the caller's side of the link: everything
// VYREClient.link_statistics() reports.
struct LinkStatistics {
    LinkCounts link;
    std::uint64_t answers_dropped = 0;    // pushed out of a full response backlog
    std::uint64_t packets_delivered = 0;  // taken out of the packet queue by the caller
    std::uint64_t packets_waiting = 0;    // in the packet queue
};

}  // namespace vyre
