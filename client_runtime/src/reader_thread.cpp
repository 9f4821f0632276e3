#include "reader_thread.hpp"

#include <array>
#include <deque>
#include <mutex>
#include <vector>

#include "data_parser.hpp"

namespace vyre {

namespace {

class Reader {
public:
    explicit Reader(ReaderLinks& links) : links_(links) {}

    void run() {
        Port& port = *links_.port;
        while (links_.running->load()) {
            // Commands go out before mock data, and both before the next read.
            // Flushing only after a write keeps idle passes free of system calls.
            if (encode_queued(links_.command_rx)) {
                if (!write(port)) return;
                (void)port.flush();
            }
            if (encode_queued(links_.mock_rx)) {
                if (!write(port)) return;
                (void)port.flush();
            }

            const ReadResult got = port.read(chunk_);
            if (got.kind == ReadResult::Kind::Failed) return fail(got.text);
            if (got.kind != ReadResult::Kind::Data || got.count == 0) continue;  // time-out or wake-up
            parser_.parse_bytes(std::span(chunk_.data(), got.count));
            if (!deliver()) return;
        }
    }

private:
    bool encode_queued(Receiver<FramedPacket>& rx) {
        // Nearly every pass finds nothing queued: one look under the lock is
        // free, where taking the whole queue builds (and frees) an empty one.
        std::optional<FramedPacket> first = rx.try_recv();
        if (!first) return false;
        frames_.clear();
        frames_.push_back(std::move(*first));
        rx.drain_into(frames_);
        wire_.clear();
        for (const FramedPacket& frame : frames_) frame.append_to(wire_);
        frames_.clear();
        return true;
    }

    bool write(Port& port) {
        const std::atomic<bool>& running = *links_.running;
        Status written = port.write_all(wire_, [&running] { return running.load(); });
        // A write given up because we are stopping is no link failure.
        if (!written && running.load()) fail(written.error().text);
        return written.ok();
    }

    void fail(const std::string& text) {
        (void)links_.error_tx.send(text);
        links_.running->store(false);
    }

    // Telemetry first, then responses, each moved as one burst. False when the
    // caller's side of either queue is gone.
    bool deliver() {
        std::deque<DataPacket>& packets = parser_.data_packets();
        if (!packets.empty()) {
            std::shared_lock lock(links_.packet_tap->mutex);
            const bool tapped = links_.packet_tap->sender.has_value();
            if (tapped) tap_copy_.assign(packets.begin(), packets.end());
            const bool delivered = links_.packet_tx.send_all(packets);
            packets.clear();
            if (!delivered) return false;
            if (tapped) {
                (void)links_.packet_tap->sender->send_all(tap_copy_);  // a closed tap only loses the copy
                tap_copy_.clear();
            }
        }
        std::deque<DecodedResponse>& decoded = parser_.responses();
        if (!decoded.empty()) {
            responses_.clear();
            for (DecodedResponse& item : decoded) responses_.push_back(std::move(item.response));
            decoded.clear();
            if (!links_.response_tx.send_all(responses_)) return false;
            responses_.clear();
        }
        return true;
    }

    ReaderLinks& links_;
    DataParser parser_;
    std::array<std::uint8_t, READ_CHUNK_SIZE> chunk_{};
    std::deque<FramedPacket> frames_;
    std::vector<std::uint8_t> wire_;
    std::vector<DataPacket> tap_copy_;
    std::vector<Response> responses_;
};

}  // namespace

std::unique_ptr<Port> run_reader(ReaderLinks links) {
    Reader(links).run();
    std::unique_ptr<Port> port = std::move(links.port);
    return port;  // `links` (every queue end and share) is released on return
}

}  // namespace vyre
