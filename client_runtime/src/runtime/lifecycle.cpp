#include "runtime/client_runtime.hpp"

#include <algorithm>

#include "port/serial_port.hpp"

namespace vyre {

Result<std::unique_ptr<ClientRuntime>> ClientRuntime::open(const std::string& port_name, std::uint32_t baud_rate,
                                                           double timeout_seconds) {
    auto port = SerialPort::open(port_name, baud_rate, read_timeout_millis(timeout_seconds));
    if (!port) return port.take_error();
    return from_port(std::move(port).value());
}

std::unique_ptr<ClientRuntime> ClientRuntime::from_port(std::unique_ptr<Port> port) {
    return std::unique_ptr<ClientRuntime>(new ClientRuntime(std::move(port)));
}

ClientRuntime::ClientRuntime(std::unique_ptr<Port> port)
    : ready_(std::make_shared<ReadySignal>()),
      responses_(std::make_shared<ResponseBoard>([ready = ready_] { ready->raise(); })),
      running_(std::make_shared<std::atomic<bool>>(false)),
      stop_flag_(std::make_shared<std::atomic<bool>>(false)),
      packet_tap_(std::make_shared<PacketTap>()),
      mock_frames_written_(std::make_shared<std::atomic<std::uint64_t>>(0)),
      pace_(std::make_shared<ReaderPace>()),
      link_counters_(std::make_shared<LinkCounters>()),
      clock_(std::make_shared<ClockModel>()),
      failure_(std::make_shared<FailureNote>()),
      discard_backlog_(std::make_shared<std::atomic<bool>>(false)),
      owed_(std::make_shared<std::vector<std::uint8_t>>()),
      port_(std::move(port)),
      wake_reader_(port_ ? port_->waker() : WakeFn([] {})) {
    std::tie(packet_tx_, packet_rx_) = make_channel<DataPacket>([ready = ready_] { ready->raise(); });
    std::tie(error_tx_, error_rx_) = make_channel<Error>([ready = ready_] { ready->raise(); });
    renew_outgoing_queues();
}

ClientRuntime::~ClientRuntime() { (void)stop(); }

void ClientRuntime::renew_outgoing_queues() {
    if (!command_rx_) {
        auto [tx, rx] = make_channel<FramedPacket>(wake_reader_);
        command_tx_ = std::move(tx);
        command_rx_.emplace(std::move(rx));
    }
    if (!mock_rx_) {
        auto [tx, rx] = make_channel<FramedPacket>(wake_reader_);
        mock_tx_ = std::move(tx);
        mock_rx_.emplace(std::move(rx));
        mock_frames_written_->store(0);  // counts against the new queue
    }
}

Status ClientRuntime::start() {
    if (reader_thread_ || !port_ || !command_rx_ || !mock_rx_) return ok_status();
    if (Status connected = port_->check_connected(); !connected)
        return Error::link_lost(connected.error().text, connected.error().error_number);

    failure_->clear();
    running_->store(true);
    // The links stay reachable from here so a refused spawn can put everything back.
    auto links = std::make_shared<ReaderLinks>(ReaderLinks{std::move(port_), std::move(*command_rx_),
                                                           std::move(*mock_rx_), packet_tx_, responses_, error_tx_,
                                                           running_, packet_tap_, mock_frames_written_, pace_,
                                                           link_counters_, clock_, failure_,
                                                           discard_backlog_, owed_});
    command_rx_.reset();
    mock_rx_.reset();
    auto spawned = SpawnedThread<std::unique_ptr<Port>>::spawn([links] { return run_reader(std::move(*links)); });
    if (!spawned) {
        running_->store(false);
        port_ = std::move(links->port);
        command_rx_.emplace(std::move(links->command_rx));
        mock_rx_.emplace(std::move(links->mock_rx));
        return spawned.take_error();
    }
    reader_thread_.emplace(std::move(spawned).value());
    return ok_status();
}

Status ClientRuntime::stop() {
    stop_flag_->store(true);
    // Background work that feeds the reader ends before the reader. A stream's
    // crash is reported on the error queue (its own errors are there already);
    // a calibration run's outcome is dropped.
    Status outcome = ok_status();
    if (mock_stream_thread_) {
        auto collected = collect_mock_stream();
        if (!collected) {
            if (collected.error().is_internal()) outcome = collected.take_error();
            else if (collected.error().text == MOCK_STREAM_PANICKED_TEXT) (void)error_tx_.send(collected.take_error());
        }
    }
    if (calibration_) {
        auto finished = finish_calibration();
        if (!finished && finished.error().is_internal() && outcome.ok()) outcome = finished.take_error();
    }
    running_->store(false);
    if (reader_thread_) {
        wake_reader_();  // the reader sees `running` at once instead of after its read time-out
        SpawnedThread<std::unique_ptr<Port>> reader = std::move(*reader_thread_);
        reader_thread_.reset();
        auto joined = reader.join();
        if (!joined) return joined.take_error();
        // A crashed reader took the port with it: the port is lost.
        port_ = std::move(joined.value()).value_or(nullptr);
        // With no reader, waits run to their time-out again, as on a client never
        // started; a new reader starts on a link that works (start checks it).
        packet_rx_.clear_failure();
        responses_->clear_failure();
    }
    renew_outgoing_queues();
    return outcome;
}

void ClientRuntime::discard_backlog() {
    if (port_) port_->discard_input();
    discard_backlog_->store(true);
    wake_reader_();
}

Status ClientRuntime::close() {
    Status stopped = stop();
    port_.reset();
    return stopped;
}

std::optional<Error> ClientRuntime::take_failure() {
    if (held_errors_.empty()) return error_rx_.try_recv();
    Error error = std::move(held_errors_.front());
    held_errors_.pop_front();
    return error;
}

std::optional<std::string> ClientRuntime::take_error() {
    auto error = take_failure();
    if (!error) return std::nullopt;
    return std::move(error->text);
}

bool ClientRuntime::withdraw_error(const Error& error) {
    while (auto queued = error_rx_.try_recv()) held_errors_.push_back(std::move(*queued));
    const auto same = std::find_if(held_errors_.begin(), held_errors_.end(), [&](const Error& held) {
        return held.kind == error.kind && held.text == error.text && held.error_number == error.error_number;
    });
    if (same == held_errors_.end()) return false;
    held_errors_.erase(same);
    return true;
}

bool ClientRuntime::errors_waiting() const { return !held_errors_.empty() || error_rx_.queued() > 0; }

Result<int> ClientRuntime::ready_descriptor() {
    responses_seen_ = responses_->posted();
    return ready_->descriptor([this] { return packet_rx_.queued() > 0 || errors_waiting(); });
}

void ClientRuntime::settle_ready() {
    if (!ready_->in_use()) return;
    responses_seen_ = responses_->posted();
    ready_->settle([this] {
        return packet_rx_.queued() > 0 || errors_waiting() || responses_->posted() != responses_seen_;
    });
}

}  // namespace vyre
