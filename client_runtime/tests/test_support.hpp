#pragma once
// Helpers for the runtime tests: a pseudo-terminal on which the test plays the
// device (master side), response payloads, and process introspection.

#include <dirent.h>
#include <sys/ioctl.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "frame_fixtures.hpp"
#include "runtime/client_runtime.hpp"

namespace vyre::test {

using namespace std::chrono_literals;

class PtyDevice {
public:
    PtyDevice() {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        // The client under test must be the only user of the terminal.
        ::close(slave);
        path_ = name;
    }
    ~PtyDevice() { close_master(); }
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return master_; }

    void write(std::span<const std::uint8_t> bytes) const {
        while (!bytes.empty()) {
            const ssize_t n = ::write(master_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::runtime_error("write to pty master failed");
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        }
    }

    // What the client wrote: stops at `count` bytes or when `within` has passed.
    std::vector<std::uint8_t> read(std::size_t count, std::chrono::milliseconds within = 10s) const {
        std::vector<std::uint8_t> got;
        const auto end = std::chrono::steady_clock::now() + within;
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd fd{master_, POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
            std::uint8_t buffer[4096];
            const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - got.size()));
            if (n > 0) got.insert(got.end(), buffer, buffer + n);
            else if (n < 0 && errno != EINTR && errno != EAGAIN) break;
        }
        return got;
    }

    // Throws away whatever the client wrote so far; how many bytes that was.
    std::size_t drain() const {
        pollfd fd{master_, POLLIN, 0};
        std::uint8_t buffer[4096];
        std::size_t drained = 0;
        ssize_t n = 0;
        while (::poll(&fd, 1, 20) > 0 && (n = ::read(master_, buffer, sizeof buffer)) > 0)
            drained += static_cast<std::size_t>(n);
        return drained;
    }

    // Bytes the client wrote that the device has not read yet.
    std::size_t unread() const {
        int count = 0;
        return ::ioctl(master_, FIONREAD, &count) == 0 ? static_cast<std::size_t>(count) : 0;
    }

    // Unplugs the device: the terminal is hung up.
    void close_master() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    std::string path_;
};

// A client on the terminal, at the rate the devices use.
inline std::unique_ptr<ClientRuntime> open_client(const PtyDevice& pty, double read_timeout = 0.1) {
    auto opened = ClientRuntime::open(pty.path(), 2'000'000, read_timeout);
    if (!opened.ok()) throw std::runtime_error(opened.error().text);
    return std::move(opened).value();
}

inline std::vector<std::uint8_t> device_info_payload(std::uint64_t id, const char* version) {
    std::vector<std::uint8_t> out;
    append_u32_le(out, static_cast<std::uint32_t>(id));
    append_u32_le(out, static_cast<std::uint32_t>(id >> 32));
    std::vector<std::uint8_t> text(8, 0);
    std::memcpy(text.data(), version, std::min<std::size_t>(8, std::strlen(version)));
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

inline std::vector<std::uint8_t> device_config_payload(const char* name, std::uint16_t frequency,
                                                       std::uint8_t protocol) {
    std::vector<std::uint8_t> out(32, 0);
    std::memcpy(out.data(), name, std::min<std::size_t>(32, std::strlen(name)));
    append_u16_le(out, frequency);
    out.push_back(protocol);
    return out;
}

inline std::size_t count_entries(const char* dir_path) {
    std::size_t count = 0;
    if (DIR* dir = ::opendir(dir_path)) {
        while (const dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ++count;
        ::closedir(dir);
    }
    return count;
}

// Threads of this process. Sanitizer runtimes add a helper thread at the first
// thread creation, so one throwaway thread runs before the first count.
inline std::size_t thread_count() {
    static const bool warmed_up = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmed_up;
    return count_entries("/proc/self/task");
}
// Threads once the count reaches `expected` or a second has passed: a joined
// thread can stay listed under /proc for a moment after its join returns.
inline std::size_t thread_count_settling_to(std::size_t expected) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    std::size_t count = thread_count();
    while (count != expected && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        count = thread_count();
    }
    return count;
}
inline std::size_t open_descriptor_count() { return count_entries("/proc/self/fd"); }

inline double process_cpu_seconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Polls `done` every millisecond for at most `within`.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds within = 10s) {
    const auto end = std::chrono::steady_clock::now() + within;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// How the process's other threads (the reader, in a runtime test) rest: whether
// all of them are asleep in the kernel, and how often they have gone to sleep.
// A reader that went to sleep again after bytes reached its port has read them.
struct OtherThreads {
    bool asleep = true;
    std::uint64_t sleeps = 0;
};

inline OtherThreads other_threads() {
    OtherThreads seen;
    const std::string self = std::to_string(::gettid());
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) return seen;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.' || self == entry->d_name) continue;
        std::ifstream status(std::string("/proc/self/task/") + entry->d_name + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.starts_with("State:")) {
                const std::size_t state = line.find_first_not_of(" \t", 6);
                seen.asleep = seen.asleep && state != std::string::npos && line[state] == 'S';
            }
            if (line.starts_with("voluntary_ctxt_switches:")) seen.sleeps += std::stoull(line.substr(24));
        }
    }
    ::closedir(dir);
    return seen;
}

// Waits until the other threads are asleep, having slept again since `sleeps`.
inline bool others_asleep_after(std::uint64_t sleeps, std::chrono::milliseconds within = 10s) {
    return eventually([&] {
        const OtherThreads now = other_threads();
        return now.asleep && now.sleeps > sleeps;
    }, within);
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline constexpr uid_t NOBODY = 65534;

// Runs `body` in a child process that dropped to the unprivileged user; returns
// the text the body produced. Only for a process with no other threads running.
inline std::string run_unprivileged(const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string text = "could not drop privileges";
        if (::setgroups(0, nullptr) == 0 && ::setgid(NOBODY) == 0 && ::setuid(NOBODY) == 0) text = body();
        (void)!::write(fds[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return text;
}

}  // namespace vyre::test
