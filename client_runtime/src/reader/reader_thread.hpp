#pragma once
// The reader thread: the only code touching the port while a client runs. Each
// pass writes queued commands, then queued mock data, then reads one chunk and
// delivers decoded telemetry (first) and responses (second) to the caller.
// A pass writes at most one slice of the port's size (whole frames), so a long
// replay leaves room for reads between its slices.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstddef>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>

#include "framed_packet.hpp"
#include "port/port.hpp"
#include "reader/clock_model.hpp"
#include "reader/reader_pace.hpp"
#include "reader/response_board.hpp"
#include "sync/channel.hpp"
#include "sync/failure_note.hpp"
#include "sync/link_counters.hpp"
#include "telemetry.hpp"

namespace vyre {

inline constexpr std::size_t READ_CHUNK_SIZE = 1024;

// Optional extra receiver of every telemetry record (the calibration run installs
// one). The reader takes the lock shared; installing and removing take it exclusively.
struct PacketTap {
    std::shared_mutex mutex;
    std::optional<Sender<DataPacket>> sender;
};

struct ReaderLinks {
    std::unique_ptr<Port> port;
    Receiver<FramedPacket> command_rx;
    Receiver<FramedPacket> mock_rx;
    Sender<DataPacket> packet_tx;
    std::shared_ptr<ResponseBoard> responses;
    Sender<Error> error_tx;
    std::shared_ptr<std::atomic<bool>> running;
    std::shared_ptr<PacketTap> packet_tap;
    // Mock-data frames written to the port, counted for the caller.
    std::shared_ptr<std::atomic<std::uint64_t>> mock_frames_written;
    // Whether to let the line fill between reads (absent: read as data comes).
    std::shared_ptr<ReaderPace> pace;
    // The framer's counts and the failed reads, published after every read.
    std::shared_ptr<LinkCounters> link_counters = std::make_shared<LinkCounters>();
    // The device's clock on the host's, carried from reader to reader.
    std::shared_ptr<ClockModel> clock = std::make_shared<ClockModel>();
    // Where the reader leaves the failure it ends on.
    std::shared_ptr<FailureNote> failure = std::make_shared<FailureNote>();
    // Set by the caller to have the reader drop what the device sent before
    // now: the port's input, then telemetry until it keeps pace (BacklogSkip).
    std::shared_ptr<std::atomic<bool>> discard_backlog = std::make_shared<std::atomic<bool>>(false);
    // The rest of a frame whose write a stop cut short: the next reader sends
    // it before anything else, so that the device never reads a cut frame
    // joined to the next one.
    std::shared_ptr<std::vector<std::uint8_t>> owed = std::make_shared<std::vector<std::uint8_t>>();
};

// A candidate frame still waiting for its bytes after reads timed out for this
// long (the first time-out starts the count) is noise: a device sends a frame
// in one go.
inline constexpr std::chrono::milliseconds STALLED_CANDIDATE_AGE{50};

// Runs until `running` is false, the port fails (one message on the error queue,
// `running` cleared, the packet queue and the response board told so that waits
// end at once) or the caller's packet queue is gone (quietly).
// Drops every queue end before returning the port.
std::unique_ptr<Port> run_reader(ReaderLinks links);

}  // namespace vyre
