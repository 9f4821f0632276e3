#include "port/mock_serial.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

#include "framed_packet.hpp"
#include "utils.hpp"

namespace vyre {

namespace {

// Waits are cut into slices std::chrono can always represent.
constexpr std::chrono::nanoseconds LONGEST_SLICE = std::chrono::hours(24);
constexpr auto COMMAND_POLL = std::chrono::milliseconds(1);

}  // namespace

ReadResult MockDeviceState::read(std::span<std::uint8_t> buffer) {
    auto take = [&](bool waited) {
        const std::size_t n = std::min(buffer.size(), to_host_.size());
        std::copy_n(to_host_.begin(), n, buffer.begin());
        to_host_.erase(to_host_.begin(), to_host_.begin() + static_cast<std::ptrdiff_t>(n));
        return ReadResult::data(n, waited);
    };
    {
        std::lock_guard lock(to_host_mutex_);
        if (!to_host_.empty() || buffer.empty()) return take(false);
        if (wake_pending_) {
            wake_pending_ = false;
            return ReadResult::empty();
        }
    }
    const Duration timeout = read_timeout();
    if (timeout.is_zero()) return ReadResult::timeout(MOCK_TIMEOUT_TEXT);

    auto deadline = Instant::now().checked_add(timeout);
    const Instant end = deadline ? deadline.value() : Instant{INT64_MAX, 999'999'999};
    std::unique_lock lock(to_host_mutex_);
    for (;;) {
        if (!to_host_.empty()) return take(true);
        if (wake_pending_) {
            wake_pending_ = false;
            return ReadResult::empty();
        }
        const Duration left = Instant::now().until(end);
        if (left.is_zero()) return ReadResult::timeout(MOCK_TIMEOUT_TEXT);
        to_host_changed_.wait_for(lock, left.capped(LONGEST_SLICE));
    }
}

void MockDeviceState::write(std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(from_host_mutex_);
    from_host_.insert(from_host_.end(), bytes.begin(), bytes.end());
}

void MockDeviceState::wake() {
    {
        std::lock_guard lock(to_host_mutex_);
        wake_pending_ = true;
    }
    to_host_changed_.notify_all();
}

std::size_t MockDeviceState::bytes_to_read() const {
    std::lock_guard lock(to_host_mutex_);
    return to_host_.size();
}

Duration MockDeviceState::read_timeout() const {
    std::lock_guard lock(timeout_mutex_);
    return read_timeout_;
}

void MockDeviceState::set_read_timeout(Duration timeout) {
    std::lock_guard lock(timeout_mutex_);
    read_timeout_ = timeout;
}

void MockDeviceState::inject_bytes(std::span<const std::uint8_t> bytes) {
    {
        std::lock_guard lock(to_host_mutex_);
        to_host_.insert(to_host_.end(), bytes.begin(), bytes.end());
    }
    to_host_changed_.notify_all();
}

void MockDeviceState::take_written(std::vector<std::uint8_t>& out) {
    std::lock_guard lock(from_host_mutex_);
    out.insert(out.end(), from_host_.begin(), from_host_.end());
    from_host_.clear();
}

Status MockPort::write_all(std::span<const std::uint8_t> bytes, const std::function<bool()>&,
                           std::size_t& written) {
    state_->write(bytes);
    written = bytes.size();
    return ok_status();
}

std::size_t MockPort::write(std::span<const std::uint8_t> bytes) {
    state_->write(bytes);
    return bytes.size();
}

Status MockPort::set_timeout(Duration timeout) {
    state_->set_read_timeout(timeout);
    return ok_status();
}

WakeFn MockPort::waker() {
    return [state = state_] { state->wake(); };
}

MockDevice::MockDevice(Duration read_timeout)
    : state_(std::make_shared<MockDeviceState>(read_timeout)), command_buffer_(std::make_shared<CommandBuffer>()) {}

void MockDevice::inject_response(std::uint16_t identifier, std::span<const std::uint8_t> payload) {
    const FramedPacket frame =
        FramedPacket::make(RESPONSE_HEADER, identifier, std::vector<std::uint8_t>(payload.begin(), payload.end()));
    state_->inject_bytes(frame.to_bytes());
}

std::optional<MockDevice::CommandWait> MockDevice::take_command_frame() {
    // Lock order: command buffer, then the device's outgoing queue (inside take_written).
    std::lock_guard lock(command_buffer_->mutex);
    std::vector<std::uint8_t>& buffer = command_buffer_->bytes;
    state_->take_written(buffer);
    if (buffer.size() < FRAME_OVERHEAD) return std::nullopt;
    const std::uint64_t total = std::uint64_t{read_u32_le(buffer.data() + 4)} + FRAME_OVERHEAD;
    if (buffer.size() < total) return std::nullopt;
    const auto size = static_cast<std::size_t>(total);
    FrameDecode decoded = FramedPacket::from_bytes(std::span(buffer.data(), size));
    if (const auto* failure = std::get_if<FrameError>(&decoded)) {
        return CommandWait(Error::message(failure->to_string()));
    }
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size));
    return CommandWait(std::optional<std::uint16_t>(std::get<FramedPacket>(decoded).identifier));
}

// The lock is taken afresh for each poll and never held while the interrupt
// check runs: the check may run code (a Python signal handler) that waits on
// this very device.
Result<std::optional<std::uint16_t>> MockDevice::wait_for_command_identifier(Duration timeout,
                                                                             const InterruptCheck& interrupted) {
    auto deadline = Instant::now().checked_add(timeout);
    if (!deadline) return deadline.take_error();

    auto next_interrupt_check = std::chrono::steady_clock::now() + INTERRUPT_POLL_INTERVAL;
    for (;;) {
        if (auto taken = take_command_frame()) return std::move(*taken);
        if (Instant::now() >= deadline.value()) return std::optional<std::uint16_t>();
        if (interrupted && std::chrono::steady_clock::now() >= next_interrupt_check) {
            if (interrupted()) return Error::interrupted();
            next_interrupt_check = std::chrono::steady_clock::now() + INTERRUPT_POLL_INTERVAL;
        }
        std::this_thread::sleep_for(COMMAND_POLL);
    }
}

}  // namespace vyre
