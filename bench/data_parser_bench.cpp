// Framer throughput on the reader's read pattern: 1,024-byte chunks of a long
// telemetry stream, clean and with noise between frames.

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <span>
#include <vector>

#include "data_parser.hpp"
#include "utils.hpp"

namespace {

constexpr std::size_t FRAME_COUNT = 100'000;
constexpr std::size_t CHUNK_SIZE = 1'024;

std::vector<std::uint8_t> telemetry_frame(std::size_t index) {
    std::vector<std::uint8_t> payload;
    payload.reserve(vyre::TELEMETRY_PAYLOAD_SIZE);
    const double timestamp = static_cast<double>(index) * 0.001;
    std::uint64_t bits;
    std::memcpy(&bits, &timestamp, sizeof bits);
    vyre::append_u32_le(payload, static_cast<std::uint32_t>(bits));
    vyre::append_u32_le(payload, static_cast<std::uint32_t>(bits >> 32));
    const float t = static_cast<float>(index % 1000) * 0.001f;
    const float fields[17] = {21.5f, 101325.f, 0.01f + t, -0.02f, 0.98f, 0.5f, -0.25f, 0.125f, 20.f, -5.f, 42.f,
                              100.f + t, -3.5f, 0.99f, 0.1f - t, 0.05f, 0.02f};
    for (float v : fields) vyre::append_f32_le(payload, v);
    return vyre::FramedPacket::make(vyre::DATA_HEADER, 0, std::move(payload)).to_bytes();
}

// Noisy: 0-31 random bytes before every frame, a stray header pair before one in
// eight frames, and one frame in fifty with a flipped payload bit.
std::vector<std::uint8_t> make_stream(bool noisy, std::size_t& valid_frames) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<std::uint8_t> stream;
    valid_frames = 0;
    for (std::size_t i = 0; i < FRAME_COUNT; ++i) {
        std::vector<std::uint8_t> frame = telemetry_frame(i);
        bool corrupt = false;
        if (noisy) {
            const int noise = byte(rng) % 32;
            for (int n = 0; n < noise; ++n) stream.push_back(static_cast<std::uint8_t>(byte(rng)));
            if (i % 8 == 0) stream.insert(stream.end(), {0x5A, 0xA5, 0, 0, static_cast<std::uint8_t>(byte(rng)), 0, 0, 0});
            corrupt = i % 50 == 0;
            if (corrupt) frame[20] ^= 0x10;
        }
        if (!corrupt) ++valid_frames;
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    stream.insert(stream.end(), 300, 0);  // flush any stray candidate at the end
    return stream;
}

void run(benchmark::State& state, bool noisy) {
    std::size_t expected = 0;
    const std::vector<std::uint8_t> stream = make_stream(noisy, expected);
    std::size_t delivered = 0;
    for (auto _ : state) {
        vyre::DataParser parser;
        delivered = 0;
        for (std::size_t at = 0; at < stream.size(); at += CHUNK_SIZE) {
            const std::size_t n = std::min(CHUNK_SIZE, stream.size() - at);
            parser.parse_bytes(std::span(stream).subspan(at, n));
            // The reader moves every decoded packet out after each read.
            delivered += parser.data_packets().size();
            parser.data_packets().clear();
        }
        benchmark::DoNotOptimize(delivered);
    }
    if (delivered != expected) state.SkipWithError("framer lost or invented frames");
    const auto iterations = static_cast<std::int64_t>(state.iterations());
    state.SetBytesProcessed(iterations * static_cast<std::int64_t>(stream.size()));
    state.SetItemsProcessed(iterations * static_cast<std::int64_t>(delivered));
    state.counters["frames_per_second"] =
        benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsIterationInvariantRate);
    state.counters["stream_bytes"] = static_cast<double>(stream.size());
}

void BM_DataParserCleanStream(benchmark::State& state) { run(state, false); }
void BM_DataParserNoisyStream(benchmark::State& state) { run(state, true); }

BENCHMARK(BM_DataParserCleanStream)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DataParserNoisyStream)->Unit(benchmark::kMillisecond);

}  // namespace
