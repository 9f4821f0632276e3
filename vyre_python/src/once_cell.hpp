#pragma once
// A Python object built once per interpreter lifetime, on first use, with the
// interpreter lock held. A thread that needs it while another thread is building
// it waits with the lock released, so the builder (which may drop and retake the
// lock inside the C API) can finish. A failed build leaves the cell empty for a
// retry. An object from a finished lifetime counts as absent and is dropped
// without a release: its interpreter, and with it its memory, is gone.

#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "interpreter_exit.hpp"
#include "interpreter_lifetime.hpp"

namespace vyre::py {

class OnceCell {
public:
    // The stored object (borrowed; it lives until the interpreter is finalized),
    // or null with an exception set if `build` failed. `build` returns a new
    // reference or null with an exception set.
    template <class Build>
    PyObject* get_or_init(Build&& build) {
        if (PyObject* value = peek()) return value;
        return init_slow(build);
    }

    // The stored object or null, without building it. The lifetime is read
    // first: once it is the current one, the value stored before it is too.
    PyObject* peek() const noexcept {
        if (lifetime_.load(std::memory_order_acquire) != interpreter_lifetime()) return nullptr;
        return value_.load(std::memory_order_acquire);
    }

private:
    template <class Build>
    PyObject* init_slow(Build& build) {
        std::unique_lock lock(mutex_);
        while (building_) {
            if (builder_ == std::this_thread::get_id()) {
                lock.unlock();
                PyErr_SetString(PyExc_RuntimeError, "recursive initialisation of a vyre_client object");
                return nullptr;
            }
            lock.unlock();
            PyThreadState* saved = PyEval_SaveThread();
            {
                std::unique_lock wait_lock(mutex_);
                done_.wait(wait_lock, [this] { return !building_; });
            }
            take_lock_back(saved);
            lock.lock();
        }
        if (PyObject* value = peek()) return value;
        building_ = true;
        builder_ = std::this_thread::get_id();
        lock.unlock();

        // Publishes the outcome and wakes the waiters also when `build` throws.
        struct Finish {
            OnceCell& cell;
            PyObject* value = nullptr;
            ~Finish() {
                std::lock_guard guard(cell.mutex_);
                if (value) {
                    cell.value_.store(value, std::memory_order_release);
                    cell.lifetime_.store(interpreter_lifetime(), std::memory_order_release);
                }
                cell.building_ = false;
                cell.builder_ = {};
                cell.done_.notify_all();
            }
        } finish{*this};
        finish.value = build();
        return finish.value;
    }

    std::atomic<PyObject*> value_{nullptr};
    std::atomic<std::uint64_t> lifetime_{0};  // the lifetime value_ belongs to; 0 before any
    std::mutex mutex_;
    std::condition_variable done_;
    bool building_ = false;
    std::thread::id builder_;
};

}  // namespace vyre::py
