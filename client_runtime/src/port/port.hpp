#pragma once
// What the reader thread needs from a serial link: a read that waits up to the
// port's time-out (and can be cut short from another thread), write-all, a look
// at the output queue and the DTR line. Implemented by the POSIX serial port and
// by MockPort.
//
// Writes take a `keep_going` test that the port asks whenever a wake-up
// interrupts a wait for the line: a stop must never hang on a device that
// stopped taking data.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "result.hpp"

namespace vyre {

// A read whose poll slept at least this long found the line quiet; shorter
// than a frame's time at the link's rate, longer than a busy line's hiccups.
inline constexpr std::chrono::microseconds QUIET_LINE_WAIT{100};

struct ReadResult {
    enum class Kind : unsigned char {
        Data,     // `count` bytes (at least one) were read
        Empty,    // woken before the time-out with nothing to read
        Timeout,  // the port's time-out passed; `text` says which port timed out
        Failed,   // the link failed; `text` is the error to report
    };
    Kind kind = Kind::Empty;
    std::size_t count = 0;
    std::string text;
    // Data: the line had nothing when asked and the read waited (QUIET_LINE_WAIT
    // or more) for these bytes. False when they were already waiting.
    bool waited = false;
    int error_number = 0;  // the system's, for a failure that has one

    static ReadResult data(std::size_t n, bool waited = false) { return {Kind::Data, n, {}, waited}; }
    static ReadResult empty() { return {Kind::Empty, 0, {}}; }
    static ReadResult timeout(std::string text) { return {Kind::Timeout, 0, std::move(text)}; }
    static ReadResult failed(std::string text, int error_number = 0) {
        return {Kind::Failed, 0, std::move(text), false, error_number};
    }
};

// Thread-safe; may outlive the port it came from (it then does nothing useful).
using WakeFn = std::function<void()>;

class Port {
public:
    virtual ~Port() = default;

    // Waits up to the port's read time-out for data. A wake-up (see waker) ends
    // the wait early with Empty; one that came before the call ends the next call.
    virtual ReadResult read(std::span<std::uint8_t> buffer) = 0;
    // The same, waiting at most `most` (then Empty) when that is shorter than
    // the time-out: for a reader that has to look at its output soon.
    virtual ReadResult read_within(std::span<std::uint8_t> buffer, std::chrono::microseconds most) {
        (void)most;
        return read(buffer);
    }
    // Writes everything unless the line stays full and `keep_going` turns false
    // while we wait for room (a stop must not hang on a device that stopped reading).
    // `written` is told how many bytes went out, whatever the outcome.
    virtual Status write_all(std::span<const std::uint8_t> bytes, const std::function<bool()>& keep_going,
                             std::size_t& written) = 0;
    // Whether written bytes are still queued on the host, not yet on the line.
    // Never waits (the reader keeps reading while its output drains); false when
    // the port cannot tell.
    virtual bool output_pending() { return false; }
    virtual Status write_data_terminal_ready(bool level) = 0;
    // Interrupts a read in progress or makes the next one return at once.
    virtual WakeFn waker() = 0;
    // Lets the line fill for up to `time` before the next read, ending early on a
    // wake-up (which the next read still sees). Ports without a cost per read
    // return at once.
    virtual void linger(std::chrono::microseconds time) { (void)time; }
    // Drops what the line has brought and nobody has read yet (the system's
    // input buffer). Ports without one do nothing.
    virtual void discard_input() {}
    // The link's state before a reader starts on it: a port whose device has
    // already gone fails with the text a read would give.
    virtual Status check_connected() { return ok_status(); }
    // How many bytes the reader writes before it reads again: about what the
    // line carries in a few milliseconds, so a long replay never starves reads.
    virtual std::size_t write_slice_bytes() const { return DEFAULT_WRITE_SLICE; }

    static constexpr std::size_t DEFAULT_WRITE_SLICE = 4096;
};

}  // namespace vyre
