#pragma once
// Waits that gave the interpreter lock away while the interpreter exits.
//
// Once finalization has begun, no thread but the finalizing one runs Python
// again: CPython 3.13 ends a thread that asks for the lock with pthread_exit
// (a forced unwind through our frames, whose destructors would then touch
// Python objects without the lock), 3.14 parks it inside the request. A wait
// that sees the interpreter finalizing parks its thread itself, before asking,
// holding no Python object: the process is about to end and the thread with it.
// Should finalization begin between the check and the request, the forced
// unwind still passes cleanly: every catch (...) of the binding lets it
// through first (sync/forced_unwind.hpp), and waits leak what Python objects
// they hold.

#include <Python.h>
#include <unistd.h>

#include "sync/forced_unwind.hpp"

namespace vyre::py {

[[noreturn]] inline void park_thread_for_good() noexcept {
    for (;;) ::pause();
}

// PyEval_RestoreThread for a thread that released the lock to wait; never
// returns once the interpreter is finalizing.
inline void take_lock_back(PyThreadState* state) {
    if (Py_IsFinalizing()) park_thread_for_good();
    PyEval_RestoreThread(state);
}

}  // namespace vyre::py
