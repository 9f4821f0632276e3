#include "sync/delivery_signal.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

DeliverySignal::DeliverySignal() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    read_fd_ = fds[0];
    write_fd_ = fds[1];
}

DeliverySignal::~DeliverySignal() {
    if (read_fd_ >= 0) ::close(read_fd_);
    if (write_fd_ >= 0) ::close(write_fd_);
}

void DeliverySignal::signal() noexcept {
    const char one = 1;
    ssize_t written;
    do written = ::write(write_fd_, &one, 1);
    while (written < 0 && errno == EINTR);
    // EAGAIN: the pipe is full of signals nobody took yet, readable all the same.
}

DeliverySignal::Woken DeliverySignal::wait(Clock::time_point deadline, const std::function<bool()>& ready) {
    if (read_fd_ < 0) return Woken::Unusable;
    // Counted before the look at `ready`, which pairs with the reader's delivery
    // then look at `sleepers_`: either we see its packet or it signals us.
    sleepers_.fetch_add(1);
    if (ready()) {
        sleepers_.fetch_sub(1);
        return Woken::Signalled;
    }
    pollfd fd{read_fd_, POLLIN, 0};
    int ready_count;
    for (;;) {
        const timespec left = until(deadline);
        ready_count = ::ppoll(&fd, 1, &left, nullptr);
        if (ready_count >= 0 || errno != EINTR) break;
    }
    sleepers_.fetch_sub(1);
    if (ready_count < 0) return Woken::Unusable;
    if (ready_count == 0) return Woken::Deadline;
    char drained[64];
    ssize_t got;
    do got = ::read(read_fd_, drained, sizeof drained);
    while (got == static_cast<ssize_t>(sizeof drained) || (got < 0 && errno == EINTR));
    return Woken::Signalled;
}

}  // namespace vyre
