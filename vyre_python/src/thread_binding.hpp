#pragma once
// Clients and mock handles belong to the thread that created them: the runtime
// behind them is driven by one caller thread only, so a call from any other
// Python thread is refused instead of racing the owner.
//
// Threads are told apart by a token of their own, never by std::thread::id: the
// C library hands a finished thread's identity to a later thread, which would
// then pass for the creator.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "internal_fault.hpp"

namespace vyre::py {

inline constexpr const char* CLIENT_CLASS_PATH = "vyre_client::VYREClient";
inline constexpr const char* MOCK_HANDLE_CLASS_PATH = "vyre_client::MockDeviceHandle";

// The calling thread's token: taken from a process-wide count on the thread's
// first call, so no two threads of the process ever share one.
inline std::uint64_t current_thread_token() noexcept {
    static std::atomic<std::uint64_t> next{1};
    thread_local const std::uint64_t token = next.fetch_add(1, std::memory_order_relaxed);
    return token;
}

class ThreadBinding {
public:
    // Binds to the calling thread.
    ThreadBinding() noexcept : owner_(current_thread_token()) {}

    bool on_owner_thread() const noexcept { return current_thread_token() == owner_; }

    // True on the creating thread. Elsewhere false with InternalFaultError
    // "<class_path> is unsendable, but sent to another thread" set.
    bool check(const char* class_path) const {
        if (on_owner_thread()) return true;
        raise_internal_fault(std::string(class_path) + " is unsendable, but sent to another thread");
        return false;
    }

private:
    std::uint64_t owner_;
};

}  // namespace vyre::py
