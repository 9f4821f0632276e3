#include "reader/reader_thread.hpp"

#include <algorithm>
#include <array>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "data_parser.hpp"
#include "reader/backlog_skip.hpp"
#include "reader/host_clock.hpp"

namespace vyre {

namespace {

using Clock = std::chrono::steady_clock;

// Longer than a USB adapter's bursts (its latency timer, 16 ms by default).
constexpr double FLOW_WINDOW = 0.05;
// Five times what a 2 Mbaud line carries (200 kB/s): only a pseudo-terminal
// or a local pipe brings more.
constexpr double FLOOD_BYTES_PER_SECOND = 1'000'000.0;

// Longest wait between two looks at the output queue while mock data waits for it to drain.
constexpr std::chrono::microseconds DRAIN_STEP{2000};

// More than the link carries during one linger at its full rate: a line that
// brought this much meanwhile is faster than the link (a burst, a pseudo-terminal).
constexpr std::size_t FAST_LINGER_READ = 512;

class Reader {
public:
    explicit Reader(ReaderLinks& links)
        : links_(links),
          slice_(std::max<std::size_t>(links.port->write_slice_bytes(), 1)),
          wake_self_(links.port->waker()),
          pace_(links.pace.get()),
          counts_(links.link_counters->snapshot()),
          parser_(counts_.framer) {}

    void run() {
        Port& port = *links_.port;
        while (links_.running->load()) {
            if (links_.discard_backlog->exchange(false)) discard_backlog(port);
            // Commands go out before mock data, and both before the next read.
            // Commands never wait for the output queue; the next slice of mock
            // data waits until the last one has left the host, reading meanwhile.
            bool more = false;
            bool draining = false;
            if (!links_.owed->empty() && !send_owed(port)) return;
            if (!send_slice(port, links_.command_rx, commands_, more)) return;
            if (!more) {
                links_.mock_rx.drain_into(mock_data_);
                draining = !mock_data_.empty() && output_pending(port);
                if (!draining && !send_slice(port, links_.mock_rx, mock_data_, more, links_.mock_frames_written.get()))
                    return;
            }
            // More to write: the read only takes what is already there. Some
            // data last time and nobody waiting: let a few more frames come first.
            if (more) {
                wake_self_();
            } else if (!draining && may_linger_ && pace_ && pace_->begin_linger()) {
                port.linger(READER_LINGER);
                pace_->end_linger();
                after_linger_ = true;
            }

            const ReadResult got = draining ? port.read_within(chunk_, DRAIN_STEP) : port.read(chunk_);
            const bool had_data = got.kind == ReadResult::Kind::Data && got.count > 0;
            if (had_data) {
                read_time_ = host_time_seconds();  // once per read: its frames share it
                measure_flow(got.count);
            }
            may_linger_ = had_data && quiet_line(got);
            after_linger_ = false;
            if (got.kind == ReadResult::Kind::Failed) {
                ++counts_.read_errors;
                return fail(Error::link_lost(got.text, got.error_number));
            }
            if (got.kind == ReadResult::Kind::Timeout) {
                backlog_.end();  // a queue drains without pause: a quiet line has none
                give_up_stalled_candidate();
            }
            if (had_data) {
                stalled_since_.reset();
                parser_.parse_bytes(std::span(chunk_.data(), got.count));
                if (!deliver()) return;
            }
            if (pace_) pace_->pass_done();
        }
    }

    // What the framer still holds is lost with it: noise.
    void finish() {
        parser_.clear();
        publish();
    }

private:
    // What the line brought so far is older than the caller's session: the
    // port's input and the framer's bytes go, and telemetry until it keeps pace.
    void discard_backlog(Port& port) {
        port.discard_input();
        parser_.clear();
        stalled_since_.reset();
        backlog_.begin(host_time_seconds());
        publish();
    }

    // Writes the frames that fit in one slice (at least one, never a part of
    // one); `more` tells whether frames are left for a later pass, `written`
    // (when given) counts the frames once they are on the port.
    // False when the write failed.
    bool send_slice(Port& port, Receiver<FramedPacket>& rx, std::deque<FramedPacket>& backlog, bool& more,
                    std::atomic<std::uint64_t>* written = nullptr) {
        rx.drain_into(backlog);
        more = false;
        if (backlog.empty()) return true;
        wire_.clear();
        frame_ends_.clear();
        std::uint64_t frames = 0;
        while (!backlog.empty() && wire_.size() < slice_) {
            backlog.front().append_to(wire_);
            frame_ends_.push_back(wire_.size());
            backlog.pop_front();
            ++frames;
        }
        more = !backlog.empty();
        if (!write(port)) return false;
        if (written) {
            written->fetch_add(frames, std::memory_order_relaxed);
            backlog_.end();  // a replay began: what the device sends now is the session's
        }
        wrote_since_drained_ = true;
        return true;
    }

    // Looks at the output queue only after a write, so idle passes and a
    // steady replay on a drained line cost no system call for it.
    bool output_pending(Port& port) {
        if (!wrote_since_drained_) return false;
        wrote_since_drained_ = port.output_pending();
        return wrote_since_drained_;
    }

    bool write(Port& port) {
        std::size_t sent = 0;
        Status written = port.write_all(wire_, keep_going_, sent);
        if (!written && !links_.running->load()) {
            // Given up because we are stopping: the frame it cut is owed whole.
            const auto end = std::upper_bound(frame_ends_.begin(), frame_ends_.end(), sent);
            const std::size_t start = end == frame_ends_.begin() ? 0 : *std::prev(end);
            if (end != frame_ends_.end() && sent > start)
                links_.owed->assign(wire_.begin() + static_cast<std::ptrdiff_t>(sent),
                                    wire_.begin() + static_cast<std::ptrdiff_t>(*end));
            return false;
        }
        if (!written) fail(Error::link_lost(written.error().text, written.error().error_number));
        return written.ok();
    }

    // The rest of the frame a stop cut short, before any other.
    bool send_owed(Port& port) {
        std::size_t sent = 0;
        Status written = port.write_all(*links_.owed, keep_going_, sent);
        links_.owed->erase(links_.owed->begin(), links_.owed->begin() + static_cast<std::ptrdiff_t>(sent));
        if (!written && links_.running->load())
            fail(Error::link_lost(written.error().text, written.error().error_number));
        return written.ok();
    }

    void fail(Error error) {
        // Counts first: a caller woken by the failure finds its read counted.
        publish();
        links_.failure->set(error);
        (void)links_.error_tx.send(std::move(error));
        links_.running->store(false);
        // Waits on the caller's side end now, and find the text above.
        links_.packet_tx.signal_failure();
        links_.responses->signal_failure();
    }

    // Lingering pays only while the line brings little. A read that found its
    // bytes already waiting, or a full chunk, means the line is busy: read it as
    // it comes (however small each read is: a busy pseudo-terminal or adapter
    // hands over bytes in pieces). After a linger, the amount it gathered tells.
    // A line bringing more than any serial link carries (a pseudo-terminal fed
    // as fast as we read) is never held back, even when a read had to wait
    // because its writer was not scheduled for a moment.
    bool quiet_line(const ReadResult& got) const {
        if (got.count >= chunk_.size() || flooding_) return false;
        if (after_linger_) return got.count < FAST_LINGER_READ;
        return got.waited;
    }

    // The line's rate over windows of FLOW_WINDOW seconds, from the host time
    // each read takes anyway.
    void measure_flow(std::size_t count) {
        window_bytes_ += count;
        const double elapsed = read_time_ - window_start_;
        if (elapsed < FLOW_WINDOW && elapsed >= 0.0) return;
        flooding_ = elapsed > 0.0 && static_cast<double>(window_bytes_) > FLOOD_BYTES_PER_SECOND * elapsed;
        window_start_ = read_time_;
        window_bytes_ = 0;
    }

    // Called for each read that timed out. The clock is read only here, so
    // passes that bring data cost no clock read for this.
    void give_up_stalled_candidate() {
        if (parser_.buffered_bytes() < 2) return;
        const Clock::time_point now = Clock::now();
        if (!stalled_since_) stalled_since_ = now;
        if (now - *stalled_since_ < STALLED_CANDIDATE_AGE) return;
        stalled_since_.reset();
        parser_.drop_incomplete();
        (void)deliver();  // a closed packet queue ends the loop at the next data
    }

    // Telemetry first, then responses, each moved as one burst. False when the
    // caller's side of the packet queue is gone.
    bool deliver() {
        std::deque<DataPacket>& packets = parser_.data_packets();
        if (!packets.empty() && backlog_.backlog(read_time_, packets.back().timestamp_seconds)) {
            counts_.packets_discarded += packets.size();
            packets.clear();
        }
        publish();  // before the packets, so no caller sees a packet before its count
        if (!packets.empty()) {
            stamp(packets);
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
            for (DecodedResponse& item : decoded) responses_.push_back(std::move(item.response));
            decoded.clear();
            links_.responses->post(responses_);
        }
        return true;
    }

    // Receive time and synced time; the read's last frame waited least, so it
    // alone goes to the clock model.
    void stamp(std::deque<DataPacket>& packets) {
        ClockModel& clock = *links_.clock;
        for (DataPacket& packet : packets) {
            packet.host_time_seconds = read_time_;
            packet.synced_time_seconds = clock.stamp(packet.timestamp_seconds, read_time_);
        }
        clock.add_pair(packets.back().timestamp_seconds, read_time_);
    }

    void publish() {
        counts_.framer = parser_.counts();
        counts_.buffered_bytes = parser_.buffered_bytes();
        links_.link_counters->publish(counts_);
    }

    ReaderLinks& links_;
    const std::size_t slice_;
    const WakeFn wake_self_;
    ReaderPace* const pace_;
    bool may_linger_ = false;  // the last read brought some data, on a quiet line
    bool after_linger_ = false;
    bool flooding_ = false;  // the last window brought more than a serial link carries
    double window_start_ = 0.0;
    std::size_t window_bytes_ = 0;
    bool wrote_since_drained_ = false;  // the output queue may still hold what we wrote
    const std::function<bool()> keep_going_ = [running = links_.running] { return running->load(); };
    LinkCounts counts_;  // carried on from the reader before
    DataParser parser_;
    std::array<std::uint8_t, READ_CHUNK_SIZE> chunk_{};
    std::deque<FramedPacket> commands_;
    std::deque<FramedPacket> mock_data_;
    std::vector<std::uint8_t> wire_;
    std::vector<std::size_t> frame_ends_;  // where each frame in wire_ ends
    std::vector<DataPacket> tap_copy_;
    std::vector<Response> responses_;
    BacklogSkip backlog_;
    // The first time-out that found a candidate waiting, since data last came.
    std::optional<Clock::time_point> stalled_since_;
    // Host time of the last read that brought data; frames that a quiet-line
    // give-up releases carry it too.
    double read_time_ = 0.0;
};

}  // namespace

std::unique_ptr<Port> run_reader(ReaderLinks links) {
    Reader reader(links);
    reader.run();
    reader.finish();
    std::unique_ptr<Port> port = std::move(links.port);
    return port;  // `links` (every queue end and share) is released on return
}

}  // namespace vyre
