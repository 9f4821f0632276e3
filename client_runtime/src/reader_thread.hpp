#pragma once
// The reader thread: the only code touching the port while a client runs. Each
// pass writes queued commands, then queued mock data, then reads one chunk and
// delivers decoded telemetry (first) and responses (second) to the caller.

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>

#include "channel.hpp"
#include "framed_packet.hpp"
#include "port.hpp"
#include "vyre_packets.hpp"

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
    Sender<Response> response_tx;
    Sender<std::string> error_tx;
    std::shared_ptr<std::atomic<bool>> running;
    std::shared_ptr<PacketTap> packet_tap;
};

// Runs until `running` is false, the port fails (one message on the error queue,
// `running` cleared) or the caller's packet or response queue is gone (quietly).
// Drops every queue end before returning the port.
std::unique_ptr<Port> run_reader(ReaderLinks links);

}  // namespace vyre
