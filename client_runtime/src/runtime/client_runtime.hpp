#pragma once
// The object behind each client: the port, the five queues to and from the reader
// thread, the shared flags and the packet tap, starting and stopping the reader,
// the command transactions, mock log streaming and the calibration run.
//
// States: Stopped (port held here), Running (reader holds the port), Failed (the
// reader ended on a link error and still holds the port; `stop` takes it back),
// Port lost (the reader crashed; starts do nothing).

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "device_contract.hpp"
#include "framed_packet.hpp"
#include "port/port.hpp"
#include "reader/reader_thread.hpp"
#include "reader/response_board.hpp"
#include "responses.hpp"
#include "result.hpp"
#include "runtime/calibration_run.hpp"
#include "runtime/mock_stream.hpp"
#include "sync/channel.hpp"
#include "sync/durations.hpp"
#include "sync/interrupt.hpp"
#include "sync/link_counters.hpp"
#include "sync/ready_signal.hpp"
#include "sync/spawned_thread.hpp"
#include "telemetry.hpp"

namespace vyre {

inline constexpr const char* COMMAND_CHANNEL_CLOSED_TEXT = "Command channel closed";
inline constexpr const char* RESPONSE_CHANNEL_CLOSED_TEXT = "Response channel closed";

class ClientRuntime {
public:
    // Opens and configures a real serial port (exclusive, raw 8N1 at `baud_rate`,
    // DTR raised); the read time-out is floor(timeout_seconds * 1000) ms.
    static Result<std::unique_ptr<ClientRuntime>> open(const std::string& port_name, std::uint32_t baud_rate,
                                                       double timeout_seconds);
    // Wraps an open port; starts nothing.
    static std::unique_ptr<ClientRuntime> from_port(std::unique_ptr<Port> port);

    ClientRuntime(const ClientRuntime&) = delete;
    ClientRuntime& operator=(const ClientRuntime&) = delete;
    // Stops first: the reader is joined before the port closes.
    ~ClientRuntime();

    // Spawns the reader unless one exists or the port is gone. Fails with the
    // link's text when the port's device has already gone, and with the internal
    // fault "failed to spawn thread" (nothing changes then).
    Status start();
    // Ends the reader, takes the port back and gives the outgoing queues fresh
    // ends (frames not yet written are dropped). Fails only with the internal
    // fault "failed to join thread: ...".
    Status stop();
    // stop(), then closes the port (when it came back): a later start does nothing.
    Status close();
    bool is_running() const { return running_->load(); }
    // The failure the last reader ended on (the link lost), whichever call
    // reported it; nothing while a reader runs, before the first start, and
    // after a reader that was stopped. Kept until the next start.
    std::optional<Error> link_failure() const { return failure_->get(); }
    // At most one background error, oldest first; take_error gives its text.
    std::optional<Error> take_failure();
    std::optional<std::string> take_error();

    // Decoded telemetry, oldest first; drain_into takes everything in one step.
    Receiver<DataPacket>& packets() { return packet_rx_; }
    // Before taking packets without waiting: a reader letting the line fill
    // reads now, and this returns (within about 2 ms) once that is delivered.
    void catch_up_reader() { pace_->catch_up(wake_reader_); }
    // For the length of a wait for data: the reader reads as data comes.
    CallerWaiting caller_waiting() { return CallerWaiting(*pace_, wake_reader_); }
    // A descriptor that polls readable while a packet, a background error or a
    // response no call has seen yet waits (made on the first call, closed with
    // the runtime). After each call of the client, settle_ready() drains it
    // once nothing waits.
    Result<int> ready_descriptor();
    void settle_ready();
    // Drops what the device sent before now, for a session that must start
    // from fresh data: the port's input at once (on a stopped client) and when
    // the reader next passes, then telemetry that comes in a burst with device
    // time running ahead of host time (the device's own queue), until device
    // time keeps pace (BacklogSkip). Packets already queued stay; answers are
    // never dropped.
    void discard_backlog();
    // Counts since construction, across stops and starts. Taken on the thread
    // that takes the packets, decoded telemetry frames are never fewer than the
    // packets delivered and waiting together.
    LinkStatistics link_statistics() const;
    // The device's clock on the host's: kept across stops and starts, started
    // over by a discontinuity of the device's timestamps.
    ClockSync clock_sync() const { return clock_->snapshot(); }

    // Queue a frame for the reader and wake it. False once the reader that held
    // the queue's other end has ended (after a link failure, until stop).
    // Refused once a started reader has ended on a failure, even before its
    // queue's end is released: a caller woken by the failure may come back first.
    bool queue_command(FramedPacket frame) {
        if (reader_thread_ && !running_->load()) return false;
        return command_tx_.send(std::move(frame));
    }
    bool queue_mock_data(FramedPacket frame) { return mock_tx_.send(std::move(frame)); }
    // Mock-data frames queued (by a replay or queue_mock_data) and not yet written
    // to the port. Commands overtake them, so a caller that must follow a replay
    // with a command waits for this to reach zero first.
    std::uint64_t mock_frames_waiting() const { return mock_tx_.sent_count() - mock_frames_written_->load(); }

    // One command and the first response of `expected` kind: a pending background
    // error fails first; impossible durations are internal faults; nothing by the
    // deadline gives an empty optional. Other responses stay pending. Without
    // keep_late_answers, only an answer posted after the command was queued
    // counts (an earlier one was late for a call that gave up), and one owed
    // to an earlier call that gave up is refused when it comes.
    Result<std::optional<Response>> transact(FramedPacket frame, ResponseKind expected, double timeout_seconds,
                                             const InterruptCheck& interrupted = {});
    // Pending error check and send, no wait.
    Status send_only(FramedPacket frame);
    // The response wait of a transaction: claims the oldest answer of `expected`
    // kind posted at or after `since` (ResponseBoard::mark), waiting until
    // `deadline`; a link failure ends it with the failure's text. Without a kind
    // it only waits (for the deadline or a failure).
    Result<std::optional<Response>> await_response(std::optional<ResponseKind> expected, Instant deadline,
                                                   const InterruptCheck& interrupted = {}, std::uint64_t since = 0);
    // Whether a transaction may claim an answer that came before its command
    // (a late answer to an earlier call of its kind). True unless changed.
    // Off, a transaction that gives up also refuses its own answer when that
    // comes later; turning it on again keeps such answers from then on.
    bool keeps_late_answers() const { return keep_late_answers_; }
    void keep_late_answers(bool keep) {
        if (keep) responses_->forgive();
        keep_late_answers_ = keep;
    }
    // Answers received and not yet claimed, per kind.
    ResponseBoard& responses() { return *responses_; }

    Result<std::optional<DeviceInfo>> get_device_info(double timeout_seconds, const InterruptCheck& interrupted = {});
    Result<std::optional<DeviceConfig>> get_device_config(double timeout_seconds,
                                                          const InterruptCheck& interrupted = {});
    Result<std::optional<CalibrationValues>> get_calibration(double timeout_seconds,
                                                             const InterruptCheck& interrupted = {});
    // Setters give the acknowledgement; false also when nothing came in time.
    Result<bool> set_device_config(std::string_view name, std::uint16_t frequency, DeviceProtocol protocol,
                                   double timeout_seconds, const InterruptCheck& interrupted = {});
    Result<bool> set_imu_calibration(const std::array<float, 3>& accel_offsets,
                                     const std::array<float, 9>& accel_scale_matrix,
                                     const std::array<float, 3>& gyro_offsets,
                                     const std::array<float, 9>& gyro_scale_matrix, double timeout_seconds,
                                     const InterruptCheck& interrupted = {});
    Result<bool> set_magnetometer_calibration(const std::array<float, 3>& offsets,
                                              const std::array<float, 9>& scale_matrix, double timeout_seconds,
                                              const InterruptCheck& interrupted = {});
    Result<bool> cancel(double timeout_seconds, const InterruptCheck& interrupted = {});
    // Never waits; the device's answer, if any, stays pending.
    Status reboot();

    // Mock log streaming. Start: a pending background error fails first; impossible
    // time-outs are internal faults; starts the client if needed, collects a
    // finished stream (dropping its result), asks the device into mock mode and
    // waits for its acknowledgement, then spawns the streaming thread. The thread's
    // own failures go to the error queue and are its result.
    Status start_mock_log_stream(const std::string& log_path, bool realtime, double speed,
                                 std::uint64_t chunk_size, double start_timeout_seconds, bool cancel_on_finish,
                                 const InterruptCheck& interrupted = {});
    // Asks the stream to stop (and the device to leave mock mode with
    // `cancel_device`, whether or not a stream exists); collects the thread unless
    // it is still running and `block` is false. The records sent, nothing when no
    // stream was collected, or the stream's error. The thread queued that error
    // too: it is reported once, so the queued copy is withdrawn, and a failure
    // already taken from the queue gives nothing. With `report` false the error
    // is left on the queue and nothing is returned for it.
    Result<std::optional<std::uint64_t>> stop_mock_log_stream(bool cancel_device, bool block, bool report = true);
    // A stream exists and its thread has not ended.
    bool is_mock_log_streaming() const;

    // Magnetometer calibration. The whole run: neutral reset (refused or
    // unanswered gives nothing), collection on this thread for `collection_seconds`
    // (the hook is polled about every 50 ms; an interrupt ends the run, writes
    // nothing and fails with Kind::Interrupted), the fit (none gives nothing), the
    // report, then the apply transaction's acknowledgement. `outcome`, if given,
    // receives what the collection gave once it is over (left empty when the run
    // ends before that).
    Result<std::optional<bool>> run_magnetometer_calibration(double collection_seconds, double apply_timeout_seconds,
                                                             const InterruptCheck& interrupted = {},
                                                             const CalibrationReportSink& report =
                                                                 print_calibration_report,
                                                             std::optional<CalibrationOutcome>* outcome = nullptr);
    // Installs a fresh tap sender and starts the worker on its receiver; fails with
    // "Calibration already in progress" while a run is recorded.
    Status start_calibration();
    // Removes the tap sender and waits for the worker: its fit, nothing (no run,
    // or no fit), or "Calibration thread panicked".
    Result<std::optional<MagnetometerFit>> finish_calibration();
    // The same with the sample count and the fit's residuals.
    Result<CalibrationOutcome> finish_calibration_run();
    bool calibration_in_progress() const { return calibration_.has_value(); }

    // Shared state for background work besides the reader.
    const std::shared_ptr<std::atomic<bool>>& stop_flag() const { return stop_flag_; }
    const std::shared_ptr<PacketTap>& packet_tap() const { return packet_tap_; }
    const Sender<Error>& error_sender() const { return error_tx_; }
    const Sender<FramedPacket>& command_sender() const { return command_tx_; }
    const Sender<FramedPacket>& mock_sender() const { return mock_tx_; }

private:
    explicit ClientRuntime(std::unique_ptr<Port> port);
    void renew_outgoing_queues();
    // The error for a command the queue refused, or for a wait the link's failure ended.
    Error queue_refused();
    Error link_lost();
    // Removes the first queued error equal to `error` (one reported otherwise);
    // false when none waits.
    bool withdraw_error(const Error& error);
    bool errors_waiting() const;
    // Sets the stop flag and joins the streaming thread: its count, its error,
    // "Mock stream thread panicked", or an internal join fault.
    Result<std::uint64_t> collect_mock_stream();
    template <class T>
    Result<bool> acknowledged(FramedPacket frame, ResponseKind expected, double timeout_seconds,
                              const InterruptCheck& interrupted);
    template <class T>
    Result<std::optional<T>> fetch(FramedPacket frame, ResponseKind expected, double timeout_seconds,
                                   const InterruptCheck& interrupted);

    Receiver<DataPacket> packet_rx_;
    Receiver<Error> error_rx_;
    // Errors taken off the queue by withdraw_error that still wait for a caller,
    // ahead of the queue's; the caller's thread alone uses them.
    std::deque<Error> held_errors_;
    Sender<DataPacket> packet_tx_;
    Sender<Error> error_tx_;
    Sender<FramedPacket> command_tx_;
    Sender<FramedPacket> mock_tx_;
    std::optional<Receiver<FramedPacket>> command_rx_;
    std::optional<Receiver<FramedPacket>> mock_rx_;
    // Shared with the producers through the queues that raise it.
    std::shared_ptr<ReadySignal> ready_;
    std::shared_ptr<ResponseBoard> responses_;
    // Answers posted when a call of the client last looked (settle_ready).
    std::uint64_t responses_seen_ = 0;
    std::shared_ptr<std::atomic<bool>> running_;
    std::shared_ptr<std::atomic<bool>> stop_flag_;
    std::shared_ptr<PacketTap> packet_tap_;
    std::shared_ptr<std::atomic<std::uint64_t>> mock_frames_written_;
    std::shared_ptr<ReaderPace> pace_;
    std::shared_ptr<LinkCounters> link_counters_;
    std::shared_ptr<ClockModel> clock_;
    std::shared_ptr<FailureNote> failure_;
    std::shared_ptr<std::atomic<bool>> discard_backlog_;
    std::shared_ptr<std::vector<std::uint8_t>> owed_;
    std::optional<SpawnedThread<std::unique_ptr<Port>>> reader_thread_;
    std::unique_ptr<Port> port_;
    std::optional<MockStreamThread> mock_stream_thread_;
    std::optional<CalibrationRun> calibration_;
    // Cuts the port's read short; sends on the outgoing queues call it too.
    WakeFn wake_reader_;
    // Read and written only by the thread that runs the transactions.
    bool keep_late_answers_ = true;
};

}  // namespace vyre
