#pragma once
// How one call of a client or a mock handle waits. By default the call keeps
// the interpreter lock for its whole wait and polls for signals (Ctrl-C) about
// every 50 ms. With the object's `release_gil` set, the wait runs with the lock
// released, and the lock is taken back only for those polls and for callbacks
// that touch Python objects (locked()). Nothing run without the lock may touch
// a Python object.
//
// A poll also calls the object's interrupt hook, if one is set: on a thread
// other than the main one signals are never handled, and the hook is how such
// a thread's owner ends a wait early (an exception it raises ends the wait as
// Ctrl-C's KeyboardInterrupt would).
//
// A released wait may outlive the interpreter (a daemon thread at exit): it
// takes the lock back only through take_lock_back (interpreter_exit.hpp), and
// the calls make their Python objects after the wait, not before.

#include <Python.h>

#include <atomic>
#include <type_traits>
#include <utility>

#include "interpreter_exit.hpp"
#include "py_ref.hpp"
#include "sync/interrupt.hpp"

namespace vyre::py {

// What `release_gil` starts as on new clients and mock handles (False unless
// changed process-wide).
inline std::atomic<bool> release_gil_by_default{false};

class WaitScope {
public:
    // With the lock held; `hook` (borrowed, may be null) is kept for the scope.
    WaitScope(bool release_lock, PyObject* hook) : release_(release_lock), hook_(Ref::borrow(hook)) {}
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;

    // Runs `body`, the lock released when the scope says so; the lock is held
    // again when this returns (also by an exception). A thread ended by the
    // interpreter's exit leaves without the lock and keeps the hook for good.
    template <class Body>
    decltype(auto) run(Body&& body) {
        if (!release_) return body();
        saved_ = PyEval_SaveThread();
        try {
            auto result = body();
            retake();
            return result;
        } catch (vyre::ForcedUnwind&) {
            (void)hook_.release();
            throw;
        } catch (...) {
            retake();
            throw;
        }
    }

    // Runs `fn` with the lock held, inside or outside run().
    template <class Fn>
    decltype(auto) locked(Fn&& fn) {
        PyThreadState* state = std::exchange(saved_, nullptr);
        if (!state) return fn();
        take_lock_back(state);
        try {
            if constexpr (std::is_void_v<std::invoke_result_t<Fn&>>) {
                fn();
                saved_ = PyEval_SaveThread();
            } else {
                auto result = fn();
                saved_ = PyEval_SaveThread();
                return result;
            }
        } catch (vyre::ForcedUnwind&) {
            throw;  // Python code in `fn` met the interpreter's exit: no lock to give back
        } catch (...) {
            saved_ = PyEval_SaveThread();
            throw;
        }
    }

    // The runtime's poll hook for the length of this scope: true once a signal
    // handler or the interrupt hook raised (the exception is then set).
    vyre::InterruptCheck interrupt_check() {
        return [this] { return locked([this] { return poll(); }); };
    }

private:
    void retake() {
        if (PyThreadState* state = std::exchange(saved_, nullptr)) take_lock_back(state);
    }

    bool poll() {
        if (PyErr_CheckSignals() < 0) return true;
        if (!hook_) return false;
        Ref outcome = Ref::steal(PyObject_CallNoArgs(hook_.get()));
        return !outcome;
    }

    bool release_;
    Ref hook_;
    PyThreadState* saved_ = nullptr;
};

}  // namespace vyre::py
