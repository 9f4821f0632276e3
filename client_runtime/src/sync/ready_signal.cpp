#include "sync/ready_signal.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "sync/errno_text.hpp"

namespace vyre {

ReadySignal::~ReadySignal() {
    const int fd = fd_.load(std::memory_order_acquire);
    if (fd >= 0) ::close(fd);
}

void ReadySignal::raise() noexcept {
    const int fd = fd_.load(std::memory_order_acquire);
    if (fd < 0 || raised_.exchange(true)) return;
    const std::uint64_t one = 1;
    ssize_t written;
    do written = ::write(fd, &one, sizeof one);
    while (written < 0 && errno == EINTR);
    // EAGAIN only at a count near 2^64: readable all the same.
}

Result<int> ReadySignal::descriptor(const std::function<bool()>& waiting) {
    if (const int fd = fd_.load(std::memory_order_acquire); fd >= 0) return fd;
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return Error::message(errno_text(errno));
    fd_.store(fd, std::memory_order_release);
    if (waiting()) raise();  // what came before anybody asked
    return fd;
}

// The order matters: drain, then clear the flag, then look again. A producer
// that raised before the clear found the flag set and wrote nothing, but its
// item is seen by the second look; one that raises after the clear writes, and
// its write comes after the drain.
void ReadySignal::settle(const std::function<bool()>& waiting) {
    const int fd = fd_.load(std::memory_order_acquire);
    if (fd < 0 || !raised_.load() || waiting()) return;
    std::uint64_t count = 0;
    ssize_t got;
    do got = ::read(fd, &count, sizeof count);
    while (got < 0 && errno == EINTR);
    raised_.store(false);
    if (waiting()) raise();
}

}  // namespace vyre
