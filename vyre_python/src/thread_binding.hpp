#pragma once
// Clients and mock handles belong to the thread that created them: the runtime
// behind them is driven by one caller thread only, so a call from any other
// Python thread is refused instead of racing the owner.

#include <Python.h>

#include <string>
#include <thread>

#include "internal_fault.hpp"

namespace vyre::py {

inline constexpr const char* CLIENT_CLASS_PATH = "vyre_client::VYREClient";
inline constexpr const char* MOCK_HANDLE_CLASS_PATH = "vyre_client::MockDeviceHandle";

class ThreadBinding {
public:
    // Binds to the calling thread.
    ThreadBinding() noexcept : owner_(std::this_thread::get_id()) {}

    bool on_owner_thread() const noexcept { return std::this_thread::get_id() == owner_; }

    // True on the creating thread. Elsewhere false with InternalFaultError
    // "<class_path> is unsendable, but sent to another thread" set.
    bool check(const char* class_path) const {
        if (on_owner_thread()) return true;
        raise_internal_fault(std::string(class_path) + " is unsendable, but sent to another thread");
        return false;
    }

private:
    std::thread::id owner_;
};

}  // namespace vyre::py
