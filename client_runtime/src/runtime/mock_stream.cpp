#include "runtime/mock_stream.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "commands.hpp"
#include "device_contract.hpp"
#include "log_parsing.hpp"
#include "runtime/client_runtime.hpp"
#include "sync/errno_text.hpp"
#include "sync/sleeping.hpp"

namespace vyre {

namespace {

// Larger chunks are read in several calls; the kernel caps a read near 2 GiB anyway.
constexpr std::size_t LONGEST_READ = std::size_t{1} << 30;

class Streamer {
public:
    Streamer(MockStreamLinks& links, const MockStreamSettings& settings) : links_(links), settings_(settings) {}
    Streamer(const Streamer&) = delete;
    Streamer& operator=(const Streamer&) = delete;
    ~Streamer() {
        if (fd_ >= 0) ::close(fd_);
        std::free(chunk_);
    }

    Result<std::uint64_t> run() {
        if (settings_.speed <= 0.0) return fail(SPEED_NOT_POSITIVE_TEXT);  // NaN passes
        if (Status opened = open_file(); !opened) return opened.take_error();
        auto header = send_header();
        if (!header) return header.take_error();
        if (!header.value()) return sent_;  // stopped before the header was read

        // The device needs a moment in mock mode before records arrive.
        auto settle_end = Instant::now().checked_add(Duration::from_millis(MOCK_SETTLE_WAIT.count()));
        if (Status slept = pause_until(settle_end ? settle_end.value() : FAR_FUTURE); !slept)
            return slept.take_error();

        if (Status buffer = allocate_chunk(); !buffer) return buffer.take_error();
        if (Status unpaced = send_unpaced(); !unpaced) return unpaced.take_error();
        if (Status paced = send_paced(); !paced) return paced.take_error();
        return sent_;
    }

private:
    static Error fail(std::string text) { return Error::message(std::move(text)); }
    static Error fail_errno(int error_number) { return Error::system(errno_text(error_number), error_number); }
    bool stopping() const { return links_.stop_flag->load(); }

    // Non-blocking, so that opening a pipe nobody writes to yet cannot hang the
    // thread; a log that is not a regular file (a pipe, a device) is then read
    // when it has data, the stop flag checked while we wait.
    Status open_file() {
        const std::string& path = settings_.log_path;
        if (path.find('\0') != std::string::npos) return fail(NUL_IN_PATH_TEXT);
        do fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) return fail_errno(errno);
        struct stat info{};
        regular_file_ = ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
        return ok_status();
    }

    // One read of at most `size` bytes: the count, 0 at the end of the file, or
    // nothing once a stop is asked for (looked at before every read).
    Result<std::optional<std::size_t>> read_some(std::uint8_t* into, std::size_t size) {
        for (;;) {
            if (stopping()) return std::optional<std::size_t>();
            if (!regular_file_) {
                pollfd ready{fd_, POLLIN, 0};
                if (::poll(&ready, 1, static_cast<int>(MOCK_LONGEST_SLEEP.count())) == 0) continue;
            }
            const ssize_t n = ::read(fd_, into, std::min(size, LONGEST_READ));
            if (n >= 0) return std::optional<std::size_t>(static_cast<std::size_t>(n));
            if (errno != EINTR && errno != EAGAIN) return fail_errno(errno);
        }
    }

    // False when a stop came before the whole header was read.
    Result<bool> send_header() {
        std::vector<std::uint8_t> header(LOG_HEADER_SIZE);
        std::size_t filled = 0;
        while (filled < header.size()) {
            auto got = read_some(header.data() + filled, header.size() - filled);
            if (!got) return got.take_error();
            if (!got.value()) return false;
            if (*got.value() == 0) return fail(SHORT_HEADER_TEXT);
            filled += *got.value();
        }
        if (Status sent = send(FramedPacket::make(MOCK_HEADER, MOCK_LOG_HEADER_IDENTIFIER, std::move(header))); !sent)
            return sent.take_error();
        return true;
    }

    Status allocate_chunk() {
        // Not zero-filled: only the bytes a read stores are ever touched, so a large
        // chunk_size costs address space rather than memory.
        const std::uint64_t size = settings_.chunk_size;
        if (size <= static_cast<std::uint64_t>(PTRDIFF_MAX))
            chunk_ = static_cast<std::uint8_t*>(std::malloc(std::max<std::size_t>(size, 1)));
        if (chunk_ == nullptr) return fail(CHUNK_TOO_LARGE_TEXT + std::to_string(size) + " bytes");
        return ok_status();
    }

    // Reads one chunk and queues the records it completes. False at the end of the
    // log (the end of the file, or the end-of-log marker: nothing after it is
    // read) and once a stop is asked for.
    Result<bool> refill() {
        if (parser_.finished()) return false;
        auto got = read_some(chunk_, static_cast<std::size_t>(settings_.chunk_size));
        if (!got) return got.take_error();
        if (!got.value() || *got.value() == 0) return false;
        parser_.feed(std::span<const std::uint8_t>(chunk_, *got.value()));
        for (LogRecord& record : parser_.take_records()) pending_.push_back(std::move(record));
        return true;
    }

    Status send(FramedPacket frame) {
        if (!links_.mock_tx.send(std::move(frame))) return fail(MOCK_CHANNEL_CLOSED_TEXT);
        return ok_status();
    }

    Status send_front() {
        Status sent = send(std::move(pending_.front().frame));
        pending_.pop_front();
        if (sent) ++sent_;
        return sent;
    }

    Status send_unpaced() {
        while (!stopping()) {
            while (pending_.empty()) {
                auto more = refill();
                if (!more) return more.take_error();
                if (!more.value()) return ok_status();
            }
            if (Status sent = send_front(); !sent) return sent;
            if (sent_ == MOCK_UNPACED_RECORDS) break;
        }
        return ok_status();
    }

    Status send_paced() {
        const auto paced_start = std::chrono::steady_clock::now();
        double log_time_total = 0.0;
        if (stopping()) return ok_status();
        for (;;) {
            while (pending_.size() <= MOCK_REFILL_AT) {
                auto more = refill();
                if (!more) return more.take_error();
                if (!more.value()) {
                    if (pending_.empty()) return ok_status();
                    break;
                }
            }
            const std::size_t batch = std::min(MOCK_BATCH_RECORDS, pending_.size());
            double batch_delay = 0.0;
            for (std::size_t i = 0; i < batch; ++i) batch_delay += pending_[i].delay_seconds;
            for (std::size_t i = 0; i < batch; ++i) {
                if (stopping()) break;  // the rest of the batch is never sent
                if (Status sent = send_front(); !sent) return sent;
            }

            if (settings_.realtime && batch_delay > 0.0) {
                const double elapsed =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - paced_start).count();
                log_time_total += batch_delay;
                // Behind the log's clock: catch up without sleeping. A NaN speed never sleeps.
                if (elapsed <= log_time_total / settings_.speed) {
                    auto pause = duration_from_secs_f64(batch_delay / settings_.speed);
                    if (!pause) return fail(SPEED_TOO_SMALL_TEXT);
                    auto end = Instant::now().checked_add(pause.value());
                    if (!end) return fail(SPEED_TOO_SMALL_TEXT);
                    if (Status slept = pause_until(end.value()); !slept) return slept;
                }
            }
            if (parser_.finished() && pending_.empty()) return ok_status();
            if (stopping()) return ok_status();
        }
    }

    // Sleeps of at most 10 ms, leaving early once a stop is asked for.
    Status pause_until(Instant end) {
        auto slept = sleep_until(end, MOCK_LONGEST_SLEEP, [this] { return stopping(); });
        if (!slept) return fail(slept.error().text);
        return ok_status();
    }

    MockStreamLinks& links_;
    const MockStreamSettings& settings_;
    int fd_ = -1;
    bool regular_file_ = true;
    std::uint8_t* chunk_ = nullptr;
    LogParser parser_;
    std::deque<LogRecord> pending_;
    std::uint64_t sent_ = 0;
};

}  // namespace

Result<std::uint64_t> run_mock_stream(MockStreamLinks links, MockStreamSettings settings) {
    Result<std::uint64_t> outcome = Streamer(links, settings).run();  // the file is closed here
    if (settings.cancel_on_finish) {
        // Behind the records still waiting for the reader, so the device receives the
        // whole log before it leaves mock mode; the command queue (which the reader
        // writes first) only when the mock-data queue is closed.
        if (!links.mock_tx.send(cancel_command())) (void)links.command_tx.send(cancel_command());
    }
    // A closed mock-data queue means the reader ended on a link failure, which it
    // has reported itself: one failure, one message.
    if (!outcome && outcome.error().text != MOCK_CHANNEL_CLOSED_TEXT) (void)links.error_tx.send(outcome.error());
    return outcome;
}

Status ClientRuntime::start_mock_log_stream(const std::string& log_path, bool realtime, double speed,
                                            std::uint64_t chunk_size, double start_timeout_seconds,
                                            bool cancel_on_finish, const InterruptCheck& interrupted) {
    if (auto error = take_failure()) return std::move(*error);
    auto timeout = duration_from_secs_f64(start_timeout_seconds);
    if (!timeout) return timeout.take_error();
    if (is_mock_log_streaming()) return Error::message(MOCK_STREAM_RUNNING_TEXT);
    if (!is_running()) {
        if (Status started = start(); !started) return started;
    }
    if (mock_stream_thread_) {
        // A stream that ended by itself and was never collected: its result is dropped.
        auto collected = collect_mock_stream();
        if (!collected && collected.error().is_internal()) return collected.take_error();
    }

    if (!queue_command(enter_mock_mode_command())) return queue_refused();
    // An acknowledgement that already arrived is claimed before any deadline is formed.
    auto ack = await_response(ResponseKind::MockModeAck, Instant::now());
    if (!ack) return ack.take_error();
    if (!ack.value()) {
        auto deadline = Instant::now().checked_add(timeout.value());
        if (!deadline) return deadline.take_error();
        ack = await_response(ResponseKind::MockModeAck, deadline.value(), interrupted);
        if (!ack) return ack.take_error();
        if (!ack.value()) return Error::timed_out(MOCK_ACK_TIMEOUT_TEXT);
    }
    if (!std::get<MockModeAck>(*ack.value()).accepted) return Error::message(MOCK_MODE_REJECTED_TEXT);

    stop_flag_->store(false);
    MockStreamLinks links{mock_tx_, command_tx_, error_tx_, stop_flag_};
    MockStreamSettings settings{log_path, speed, chunk_size, realtime, cancel_on_finish};
    auto spawned = MockStreamThread::spawn(
        [links, settings] { return run_mock_stream(links, settings); });
    if (!spawned) return spawned.take_error();
    mock_stream_thread_.emplace(std::move(spawned).value());
    return ok_status();
}

Result<std::optional<std::uint64_t>> ClientRuntime::stop_mock_log_stream(bool cancel_device, bool block,
                                                                        bool report) {
    stop_flag_->store(true);
    if (cancel_device) (void)queue_command(cancel_command());  // ahead of mock data not yet written
    if (!mock_stream_thread_ || (!block && !mock_stream_thread_->is_finished()))
        return std::optional<std::uint64_t>();
    auto collected = collect_mock_stream();
    if (collected) return std::optional<std::uint64_t>(collected.value());
    // The thread queued its own failure too: it is reported once, here unless
    // an earlier call took it from the error queue already.
    Error error = collected.take_error();
    if (error.is_internal()) return error;
    const bool queued_by_thread = error.text != MOCK_STREAM_PANICKED_TEXT && error.text != MOCK_CHANNEL_CLOSED_TEXT;
    if (!report) return std::optional<std::uint64_t>();
    if (!queued_by_thread || withdraw_error(error)) return error;
    return std::optional<std::uint64_t>();
}

bool ClientRuntime::is_mock_log_streaming() const {
    return mock_stream_thread_ && !mock_stream_thread_->is_finished();
}

Result<std::uint64_t> ClientRuntime::collect_mock_stream() {
    stop_flag_->store(true);
    MockStreamThread thread = std::move(*mock_stream_thread_);
    mock_stream_thread_.reset();
    auto joined = thread.join();
    if (!joined) return joined.take_error();
    if (!joined.value()) return Error::message(MOCK_STREAM_PANICKED_TEXT);
    return std::move(*joined.value());
}

}  // namespace vyre
