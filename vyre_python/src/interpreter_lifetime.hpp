#pragma once
// Interpreter lifetimes. A program that embeds Python may finalize the
// interpreter and initialise a new one in the same process, with this library
// still loaded. Everything of the finished interpreter is gone with it, so what
// the module keeps between calls (the module, its types, the packet free list)
// is tagged with the lifetime it was made in: a later lifetime builds its own
// and forgets the old objects without releasing them.

#include <atomic>
#include <cstdint>

namespace vyre::py {

inline std::atomic<std::uint64_t> current_interpreter_lifetime{1};

// The number of the running interpreter's lifetime; never 0.
inline std::uint64_t interpreter_lifetime() noexcept {
    return current_interpreter_lifetime.load(std::memory_order_acquire);
}

// Moves on to the next lifetime. Called once the interpreter is finalized.
inline void end_interpreter_lifetime() noexcept {
    current_interpreter_lifetime.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace vyre::py
