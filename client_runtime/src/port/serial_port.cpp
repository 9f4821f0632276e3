#include "port/serial_port.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <thread>

#include "port/termios2.hpp"
#include "sync/errno_text.hpp"

namespace vyre {

namespace {

constexpr auto SETTLE_TIME = std::chrono::milliseconds(50);
// how long a full line is waited on before the write is tried again
constexpr long WRITE_RECHECK_NANOSECONDS = 100 * 1000 * 1000;

template <class Call>
auto retry_eintr(Call call) {
    for (;;) {
        auto rc = call();
        if (rc != -1 || errno != EINTR) return rc;
    }
}

std::string quoted_failure(const char* prefix, const std::string& path, const std::string& description) {
    return std::string(prefix) + path + "': " + description;
}

// Failure of open steps before DTR: the path's own texts for a missing device and
// denied access, the generic text otherwise.
Error open_failure(const std::string& path, int error_number, const std::string& description) {
    if (error_number == ENOENT)
        return Error::system("Serial port '" + path + "' not found. Check the port name (e.g. COM8, /dev/ttyACM0).",
                             error_number);
    if (error_number == EACCES || error_number == EPERM)
        return Error::system("Permission denied opening serial port '" + path +
                                 "'. Try running as admin or fixing udev permissions.",
                             error_number);
    return Error::system(quoted_failure("Failed to open serial port '", path, description), error_number);
}

Error init_failure(const std::string& path, const std::string& description, int error_number = 0) {
    return Error::system(quoted_failure("Failed to initialize VYRE client for '", path, description), error_number);
}

// Clears the exclusive claim (when it is ours) and the advisory lock before closing,
// so a later open works even while a duplicate of this descriptor survives somewhere
// (a forked child). A claim someone else made stays: it belongs to the terminal, not
// to a descriptor, and clearing it would open their port to everyone.
//
// Output not yet sent is discarded first: a terminal's close waits for its output
// to drain, which a USB device that stopped taking data can hold for ever.
void release_descriptor(int fd, bool our_claim) {
    (void)retry_eintr([&] { return ::tcflush(fd, TCOFLUSH); });
    if (our_claim) (void)retry_eintr([&] { return ::ioctl(fd, TIOCNXCL); });
    (void)retry_eintr([&] { return ::flock(fd, LOCK_UN); });
    ::close(fd);
}

// A terminal whose device went away fails reads and writes with EIO.
std::string link_error_text(int error_number) {
    return error_number == EIO ? std::string(HANG_UP_TEXT) : errno_text(error_number);
}

// The failure that errno holds now, with `describe`'s text; errno is read
// first, as building the text may change it.
Error errno_error(std::string (*describe)(int)) {
    const int err = errno;
    return Error::system(describe(err), err);
}

ReadResult failed_read(std::string (*describe)(int)) {
    const int err = errno;
    return ReadResult::failed(describe(err), err);
}

// About 10 ms of the line's time (10 bits a byte), within sensible limits.
std::size_t write_slice_for(std::uint32_t baud_rate) {
    return std::clamp<std::size_t>(baud_rate / 1000, 256, Port::DEFAULT_WRITE_SLICE);
}

bool same_flags(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag;
}

}  // namespace

// An eventfd that other threads signal to cut a poll short.
class SerialPort::WakeSignal {
public:
    explicit WakeSignal(int fd) : fd_(fd) {}
    ~WakeSignal() { ::close(fd_); }
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    int fd() const { return fd_; }
    void signal() noexcept {
        const std::uint64_t one = 1;
        // EAGAIN means the counter is already full: a wake-up is pending anyway.
        (void)retry_eintr([&] { return ::write(fd_, &one, sizeof one); });
    }
    void clear() noexcept {
        std::uint64_t count;
        (void)retry_eintr([&] { return ::read(fd_, &count, sizeof count); });
    }

private:
    int fd_;
};

std::uint64_t read_timeout_millis(double timeout_seconds) {
    const double ms = std::floor(timeout_seconds * 1000.0);
    if (std::isnan(ms) || ms <= 0.0) return 0;
    if (ms >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(ms);
}

Result<std::unique_ptr<SerialPort>> SerialPort::open(const std::string& path, std::uint32_t baud_rate,
                                                     std::uint64_t read_timeout_ms) {
    if (path.find('\0') != std::string::npos)
        return init_failure(path, "file name contained an unexpected NUL byte");

    const int wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd < 0) {
        const int err = errno;
        return init_failure(path, errno_text(err), err);
    }
    auto wake = std::make_shared<WakeSignal>(wake_fd);

    // Non-blocking during setup so a port waiting for carrier cannot hang the open.
    const int fd = retry_eintr([&] { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0) {
        const int err = errno;
        return open_failure(path, err, errno_text(err));
    }
    bool our_claim = false;
    auto fail = [&](int err, const std::string& description) {
        release_descriptor(fd, our_claim);
        return open_failure(path, err, description);
    };
    auto fail_errno = [&] {
        const int err = errno;
        return fail(err, errno_text(err));
    };

    // Kernels without TIOCGEXCL cannot tell; treat the claim as ours then.
    int already_exclusive = 0;
    if (retry_eintr([&] { return ::ioctl(fd, TIOCGEXCL, &already_exclusive); }) < 0) already_exclusive = 0;
    if (retry_eintr([&] { return ::ioctl(fd, TIOCEXCL); }) < 0) return fail_errno();
    our_claim = already_exclusive == 0;
    if (retry_eintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) < 0) {
        if (errno == EWOULDBLOCK) return fail(EWOULDBLOCK, LOCK_HELD_TEXT);
        return fail_errno();
    }

    termios wanted{};
    if (retry_eintr([&] { return ::tcgetattr(fd, &wanted); }) < 0) return fail_errno();
    wanted.c_cflag |= CREAD | CLOCAL;
    ::cfmakeraw(&wanted);
    if (retry_eintr([&] { return ::tcsetattr(fd, TCSANOW, &wanted); }) < 0) return fail_errno();
    termios applied{};
    if (retry_eintr([&] { return ::tcgetattr(fd, &applied); }) < 0) return fail_errno();
    if (!same_flags(wanted, applied)) return fail(0, SETTINGS_MISMATCH_TEXT);

    // The descriptor stays non-blocking: reads wait in poll anyway, and a write to
    // a line that stopped draining must wait where a stop can still reach it.

    if (int err = apply_line_settings(fd, baud_rate)) return fail(err, errno_text(err));

    // Ports without modem-control lines (pseudo-terminals, virtual and bridged
    // ports) refuse DTR with ENOTTY or EINVAL; they work fine without it.
    int dtr = TIOCM_DTR;
    if (retry_eintr([&] { return ::ioctl(fd, TIOCMBIS, &dtr); }) < 0 && errno != ENOTTY && errno != EINVAL) {
        const int err = errno;
        release_descriptor(fd, our_claim);
        return init_failure(path, errno_text(err), err);
    }

    std::this_thread::sleep_for(SETTLE_TIME);  // resumes after signals
    return std::unique_ptr<SerialPort>(
        new SerialPort(fd, our_claim, std::move(wake), read_timeout_ms, write_slice_for(baud_rate)));
}

SerialPort::SerialPort(int fd, bool our_claim, std::shared_ptr<WakeSignal> wake, std::uint64_t read_timeout_ms,
                       std::size_t write_slice)
    : fd_(fd),
      our_claim_(our_claim),
      wake_(std::move(wake)),
      read_timeout_ms_(read_timeout_ms),
      write_slice_(write_slice) {}

SerialPort::~SerialPort() { release_descriptor(fd_, our_claim_); }

void SerialPort::linger(std::chrono::microseconds time) {
    pollfd wake{wake_->fd(), POLLIN, 0};
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(time);
    const timespec ts{static_cast<time_t>(secs.count()),
                      static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(time - secs).count())};
    // The wake-up stays pending: the read that follows returns at once for it.
    read_first_ = retry_eintr([&] { return ::ppoll(&wake, 1, &ts, nullptr); }) == 0;
}

// A read that filled the buffer left more waiting: the next one reads before
// it polls, which on a busy line halves the system calls per byte.
ReadResult SerialPort::took(std::span<std::uint8_t> buffer, ssize_t got, bool waited) {
    const auto count = static_cast<std::size_t>(got);
    read_first_ = count == buffer.size();
    return ReadResult::data(count, waited);
}

// The read time-out, capped far beyond any real use so that an end time
// cannot overflow the clock.
std::chrono::milliseconds SerialPort::read_timeout() const {
    return std::chrono::milliseconds(std::min<std::uint64_t>(read_timeout_ms_, 100ull * 365 * 86'400'000));
}

ReadResult SerialPort::read(std::span<std::uint8_t> buffer) { return read_for(buffer, read_timeout(), false); }

ReadResult SerialPort::read_within(std::span<std::uint8_t> buffer, std::chrono::microseconds most) {
    const std::chrono::milliseconds timeout = read_timeout();
    if (timeout <= most) return read_for(buffer, timeout, false);
    return read_for(buffer, most, true);
}

ReadResult SerialPort::read_for(std::span<std::uint8_t> buffer, std::chrono::nanoseconds wait, bool capped) {
    if (buffer.empty()) return ReadResult::empty();
    if (read_first_) {
        read_first_ = false;
        const ssize_t got = retry_eintr([&] { return ::read(fd_, buffer.data(), buffer.size()); });
        if (got > 0) return took(buffer, got, false);
        if (got == 0) return ReadResult::failed(HANG_UP_TEXT);
        if (errno != EAGAIN) return failed_read(link_error_text);
    }
    using Clock = std::chrono::steady_clock;
    const auto asked = Clock::now();
    const auto end = asked + wait;

    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_->fd(), POLLIN, 0}};
    Clock::duration left = wait;
    for (bool first = true;; first = false) {
        if (!first) left = std::max(Clock::duration::zero(), end - Clock::now());
        const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
        const timespec ts{static_cast<time_t>(secs.count()),
                          static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left - secs).count())};
        const int ready = ::ppoll(fds, 2, &ts, nullptr);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return failed_read(errno_text);
        }
        if (ready == 0) return capped ? ReadResult::empty() : ReadResult::timeout("Operation timed out");

        const bool woken = (fds[1].revents & POLLIN) != 0;
        if (woken) wake_->clear();
        const short events = fds[0].revents;
        if (events & POLLNVAL) return ReadResult::failed(errno_text(EBADF), EBADF);
        // Read what is buffered even on a hang-up; the next poll reports the hang-up.
        if (events & POLLIN) {
            const ssize_t got = retry_eintr([&] { return ::read(fd_, buffer.data(), buffer.size()); });
            if (got > 0) return took(buffer, got, Clock::now() - asked >= QUIET_LINE_WAIT);
            // A terminal whose device went away reads 0 bytes (or EIO) forever.
            if (got == 0) return ReadResult::failed(HANG_UP_TEXT);
            if (errno == EAGAIN) return ReadResult::empty();
            if (events & (POLLHUP | POLLERR)) return ReadResult::failed(HANG_UP_TEXT);
            return failed_read(link_error_text);
        }
        if (events & (POLLHUP | POLLERR)) return ReadResult::failed(HANG_UP_TEXT);
        if (woken) return ReadResult::empty();
    }
}

Status SerialPort::write_all(std::span<const std::uint8_t> bytes, const std::function<bool()>& keep_going,
                             std::size_t& written) {
    written = 0;
    bool consumed_wake = false;
    Status result = ok_status();
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            result = Error::message("failed to write whole buffer");
            break;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) {
            result = errno_error(link_error_text);
            break;
        }
        // The line is full: wait for room, or for a wake-up that may be a stop.
        // A pseudo-terminal may free room without waking its writer (the room
        // comes back after the reader's wake-up was given), so the wait is
        // bounded and the write simply tried again.
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {wake_->fd(), POLLIN, 0}};
        const timespec recheck{0, WRITE_RECHECK_NANOSECONDS};
        if (retry_eintr([&] { return ::ppoll(fds, 2, &recheck, nullptr); }) < 0) {
            result = errno_error(errno_text);
            break;
        }
        if (fds[0].revents & POLLNVAL) {
            result = Error::system(errno_text(EBADF), EBADF);
            break;
        }
        if (fds[0].revents & (POLLHUP | POLLERR)) {
            result = Error::message(HANG_UP_TEXT);
            break;
        }
        if (fds[1].revents & POLLIN) {
            wake_->clear();
            consumed_wake = true;
            if (!keep_going()) {
                result = Error::message(WRITE_ABANDONED_TEXT);
                break;
            }
        }
    }
    // A wake-up taken here may have been meant for the next read (a queued command).
    if (consumed_wake) wake_->signal();
    return result;
}

// The output queue, looked at without waiting: tcdrain cannot be interrupted,
// and a USB device that stopped taking data can hold it for ever. USB CDC-ACM
// counts data in flight as queued, so the reader reads on meanwhile.
bool SerialPort::output_pending() {
    int queued = 0;
    return retry_eintr([&] { return ::ioctl(fd_, TIOCOUTQ, &queued); }) == 0 && queued > 0;
}

Status SerialPort::check_connected() {
    pollfd fd{fd_, POLLIN, 0};
    const timespec now{0, 0};
    if (retry_eintr([&] { return ::ppoll(&fd, 1, &now, nullptr); }) < 0) return errno_error(errno_text);
    if (fd.revents & POLLNVAL) return Error::system(errno_text(EBADF), EBADF);
    if (fd.revents & (POLLHUP | POLLERR)) return Error::message(HANG_UP_TEXT);
    return ok_status();
}

// A failure (the device gone) shows at the next read, which reports it.
void SerialPort::discard_input() { (void)retry_eintr([&] { return ::tcflush(fd_, TCIFLUSH); }); }

Status SerialPort::write_data_terminal_ready(bool level) {
    int dtr = TIOCM_DTR;
    if (retry_eintr([&] { return ::ioctl(fd_, level ? TIOCMBIS : TIOCMBIC, &dtr); }) < 0)
        return errno_error(errno_text);
    return ok_status();
}

WakeFn SerialPort::waker() {
    return [wake = wake_] { wake->signal(); };
}

}  // namespace vyre
