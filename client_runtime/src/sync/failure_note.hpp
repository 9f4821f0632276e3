#pragma once
// The failure that ended a reader, for every consumer of the client: the error
// queue reports it once, to whichever call looks first.

#include <mutex>
#include <optional>

#include "result.hpp"

namespace vyre {

class FailureNote {
public:
    void set(const Error& error) {
        std::lock_guard lock(mutex_);
        error_ = error;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        error_.reset();
    }
    std::optional<Error> get() const {
        std::lock_guard lock(mutex_);
        return error_;
    }

private:
    mutable std::mutex mutex_;
    std::optional<Error> error_;
};

}  // namespace vyre
