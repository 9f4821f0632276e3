#pragma once
// Replaying a mock log file into the device while it is in mock mode. The
// streaming thread sends the file's header block, then its records as mock-data
// frames: the first ones back to back, the rest in batches paced by the log's own
// clock. The client's start and stop operations are on ClientRuntime.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "framed_packet.hpp"
#include "result.hpp"
#include "sync/channel.hpp"
#include "sync/spawned_thread.hpp"

namespace vyre {

inline constexpr const char* MOCK_STREAM_RUNNING_TEXT = "Mock stream already running";
inline constexpr const char* MOCK_ACK_TIMEOUT_TEXT = "Timed out waiting for mock acknowledgement";
inline constexpr const char* MOCK_MODE_REJECTED_TEXT = "Device rejected mock mode";
inline constexpr const char* MOCK_STREAM_PANICKED_TEXT = "Mock stream thread panicked";
inline constexpr const char* MOCK_CHANNEL_CLOSED_TEXT = "Mock channel closed";
inline constexpr const char* SPEED_NOT_POSITIVE_TEXT = "speed must be > 0";
inline constexpr const char* NUL_IN_PATH_TEXT = "file name contained an unexpected NUL byte";
inline constexpr const char* SHORT_HEADER_TEXT = "failed to fill whole buffer";
inline constexpr const char* SPEED_TOO_SMALL_TEXT =
    "speed is too small: the pause between batches cannot be represented";
// Followed by the chunk size in bytes.
inline constexpr const char* CHUNK_TOO_LARGE_TEXT = "chunk_size is too large: cannot allocate a read buffer of ";

inline constexpr std::size_t MOCK_UNPACED_RECORDS = 75;
inline constexpr std::size_t MOCK_BATCH_RECORDS = 10;
// The paced phase reads more of the file once this few records are left.
inline constexpr std::size_t MOCK_REFILL_AT = 9;
inline constexpr std::chrono::milliseconds MOCK_SETTLE_WAIT{100};
inline constexpr std::chrono::milliseconds MOCK_LONGEST_SLEEP{10};
inline constexpr std::uint64_t DEFAULT_MOCK_CHUNK_SIZE = 8192;

struct MockStreamSettings {
    std::string log_path;
    double speed = 1.0;
    std::uint64_t chunk_size = DEFAULT_MOCK_CHUNK_SIZE;
    bool realtime = true;
    bool cancel_on_finish = true;
};

struct MockStreamLinks {
    Sender<FramedPacket> mock_tx;
    Sender<FramedPacket> command_tx;  // only for the final Cancel when mock_tx is closed
    Sender<Error> error_tx;
    std::shared_ptr<std::atomic<bool>> stop_flag;
};

// The streaming thread's body: the number of log records sent (the header frame
// not counted), or the error that ended the stream, which is also queued on
// `error_tx`. With `cancel_on_finish` either end is followed by a Cancel frame.
Result<std::uint64_t> run_mock_stream(MockStreamLinks links, MockStreamSettings settings);

using MockStreamThread = SpawnedThread<Result<std::uint64_t>>;

}  // namespace vyre
