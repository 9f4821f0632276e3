#include "sync/line_watch.hpp"

#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace vyre {

namespace {

using Clock = std::chrono::steady_clock;

timespec until(Clock::time_point deadline) {
    const auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
    return {static_cast<time_t>(secs.count()),
            static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left - secs).count())};
}

}  // namespace

LineWatch::LineWatch() : signal_fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

LineWatch::~LineWatch() {
    if (signal_fd_ >= 0) ::close(signal_fd_);
}

void LineWatch::signal() noexcept {
    const std::uint64_t one = 1;
    ssize_t written;
    do written = ::write(signal_fd_, &one, sizeof one);
    while (written < 0 && errno == EINTR);
    // EAGAIN only at a count near 2^64: readable all the same.
}

LineWatch::Woken LineWatch::wait(bool with_line, Clock::time_point deadline, const std::function<bool()>& ready) {
    const int line = line_fd_.load(std::memory_order_acquire);
    if (signal_fd_ < 0 || line < 0) return Woken::Unusable;
    // Counted before the look at `ready`, which pairs with the reader's delivery
    // then look at `watchers_`: either we see its packet or it signals us.
    watchers_.fetch_add(1);
    if (ready()) {
        watchers_.fetch_sub(1);
        return Woken::Signalled;
    }
    pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {line, POLLIN, 0}};
    int ready_count;
    for (;;) {
        const timespec left = until(deadline);
        ready_count = ::ppoll(fds, with_line ? 2 : 1, &left, nullptr);
        if (ready_count >= 0 || errno != EINTR) break;
    }
    watchers_.fetch_sub(1);
    if (ready_count < 0) return Woken::Unusable;
    if (fds[0].revents & POLLIN) {
        std::uint64_t count = 0;
        ssize_t got;
        do got = ::read(signal_fd_, &count, sizeof count);
        while (got < 0 && errno == EINTR);
        return Woken::Signalled;
    }
    if (ready_count == 0) return Woken::Deadline;
    if (fds[1].revents & POLLNVAL) return Woken::Unusable;  // the port is closed: nothing to watch
    return Woken::Line;
}

bool LineWatch::await_delivery(const std::function<bool()>& ready) {
    const Clock::time_point end = Clock::now() + DELIVERY_SPIN;
    for (;;) {
        if (ready()) return true;
        if (Clock::now() >= end) return false;
        ::sched_yield();
    }
}

}  // namespace vyre
