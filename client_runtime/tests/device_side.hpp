#pragma once
// The device's view in the runtime tests: frames the client wrote to a
// pseudo-terminal, and the identifiers a mock device received.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <vector>

#include "framed_packet.hpp"
#include "port/mock_serial.hpp"
#include "runtime/client_runtime.hpp"
#include "utils.hpp"

namespace vyre::test {

class FrameSplitter {
public:
    void append(std::span<const std::uint8_t> bytes) { buffer_.insert(buffer_.end(), bytes.begin(), bytes.end()); }

    // The next whole frame; throws on bytes that are not a valid frame.
    std::optional<FramedPacket> next() {
        if (buffer_.size() < FRAME_OVERHEAD) return std::nullopt;
        const std::size_t total = read_u32_le(buffer_.data() + 4) + FRAME_OVERHEAD;
        if (buffer_.size() < total) return std::nullopt;
        FrameDecode decoded = FramedPacket::from_bytes(std::span(buffer_.data(), total));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
        if (auto* error = std::get_if<FrameError>(&decoded)) throw std::runtime_error(error->to_string());
        return std::get<FramedPacket>(std::move(decoded));
    }

private:
    std::vector<std::uint8_t> buffer_;
};

// Whatever the master side can read within `wait_ms` (nothing on time-out).
inline std::vector<std::uint8_t> read_available(int fd, int wait_ms) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, wait_ms) <= 0 || !(p.revents & POLLIN)) return {};
    std::uint8_t buffer[4096];
    ssize_t n;
    do n = ::read(fd, buffer, sizeof buffer);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return {};
    return {buffer, buffer + n};
}

// The identifier of the next command the mock device receives; nothing after `timeout`.
inline std::optional<std::uint16_t> next_identifier(MockDevice& device, Duration timeout = Duration{10, 0}) {
    auto got = device.wait_for_command_identifier(timeout);
    if (!got.ok()) throw std::runtime_error(got.error().text);
    return got.value();
}

// Every identifier the mock device receives until nothing more comes for 300 ms;
// the first may take up to `first_wait_ms`.
inline std::vector<std::uint16_t> identifiers_seen(MockDevice& device, std::uint64_t first_wait_ms = 10'000) {
    std::vector<std::uint16_t> seen;
    for (;;) {
        auto got = device.wait_for_command_identifier(Duration::from_millis(seen.empty() ? first_wait_ms : 300));
        if (!got.ok()) throw std::runtime_error(got.error().text);
        if (!got.value()) return seen;
        seen.push_back(*got.value());
    }
}

// A client on a mock device whose reads give up after 100 ms.
class MockClient : public ::testing::Test {
protected:
    std::optional<std::uint16_t> next_identifier(Duration timeout = Duration{10, 0}) {
        return test::next_identifier(device, timeout);
    }
    std::vector<std::uint16_t> identifiers(std::uint64_t first_wait_ms = 10'000) {
        return identifiers_seen(device, first_wait_ms);
    }

    MockDevice device{Duration::from_millis(100)};
    std::unique_ptr<ClientRuntime> runtime = ClientRuntime::from_port(device.new_port());
};

}  // namespace vyre::test
