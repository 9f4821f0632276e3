#pragma once
// Owner of one strong reference to a Python object. Holding intermediate
// objects in a Ref means every early return releases what was built so far.

#include <Python.h>

#include <utility>

namespace vyre::py {

class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : obj_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a new reference (null allowed: an API call that failed).
    [[nodiscard]] static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference of its own to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Hands the reference to the caller (for returning to the interpreter or
    // for APIs that steal, such as PyList_SET_ITEM).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

    // Drops the held reference and takes over `obj` (a new reference or null).
    void reset(PyObject* obj = nullptr) noexcept {
        PyObject* old = std::exchange(obj_, obj);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace vyre::py
