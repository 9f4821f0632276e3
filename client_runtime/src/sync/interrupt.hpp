#pragma once
// Long waits on the caller's thread (transactions, waiting for the client's frames)
// call an optional poll hook about every 50 ms so the embedding interpreter can
// notice signals; when it answers true the wait ends with Error::Kind::Interrupted,
// leaving everything as a time-out at that moment would.

#include <chrono>
#include <functional>

namespace vyre {

using InterruptCheck = std::function<bool()>;

inline constexpr std::chrono::milliseconds INTERRUPT_POLL_INTERVAL{50};

}  // namespace vyre
