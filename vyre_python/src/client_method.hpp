#pragma once
// The opening every VYREClient method shares, in one place and one order: the
// calling thread is checked, then the arguments are converted, then the
// instance is borrowed; only then does the method's own work run. A C++
// exception anywhere becomes a Python exception (call_guard).

#include <Python.h>

#include <utility>

#include "client_object.hpp"
#include "internal_fault.hpp"

namespace vyre::py {

// Not noexcept: a thread ended by the exiting interpreter unwinds through here
// (call_guard lets the forced unwind pass).

// A method that still works on a closed client (stop, close, is_running...).
inline constexpr bool kWorksWhenClosed = true;

// `convert()` turns the arguments into the method's C++ values (false with an
// exception set); `body(access)` does the work on the borrowed instance and
// returns the result, or null with an exception set.
template <class Convert, class Body>
PyObject* client_method(PyObject* self, ClientAccess::Use use, Convert&& convert, Body&& body,
                        bool closed_ok = false) {
    return call_guard([&]() -> PyObject* {
        if (!check_client_thread(self) || !convert()) return nullptr;
        ClientAccess access(self, use, closed_ok);
        if (!access) return nullptr;
        return body(access);
    });
}

// The `convert` of a method without arguments.
inline constexpr auto kNoArguments = [] { return true; };

template <class Body>
PyObject* client_method(PyObject* self, ClientAccess::Use use, Body&& body) {
    return client_method(self, use, kNoArguments, std::forward<Body>(body));
}

// A method whose work is one runtime call that may wait, with exclusive use:
// `call(runtime, check)` runs as the client's settings say (run_waiting) and
// `finish` turns its result into the method's.
template <class Convert, class Call, class Finish>
PyObject* waiting_method(PyObject* self, Convert&& convert, Call&& call, Finish&& finish) {
    return client_method(self, ClientAccess::Use::Exclusive, std::forward<Convert>(convert),
                         [&](ClientAccess& access) { return finish(run_waiting(access, call)); });
}

}  // namespace vyre::py
