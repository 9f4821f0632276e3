#pragma once
// The internal-fault exception and the one mapping from core and runtime
// errors to Python exceptions. InternalFaultError derives from BaseException so
// that an `except Exception` in a script does not swallow a broken invariant.

#include <Python.h>


#include <string_view>
#include <type_traits>
#include <utility>

#include "result.hpp"
#include "sync/forced_unwind.hpp"

namespace vyre::py {

// The InternalFaultError type (borrowed; built on first use, lives for the
// interpreter), or null with an exception set. It is not a module attribute.
PyObject* internal_fault_type();

// Sets InternalFaultError with `text` as its message.
void raise_internal_fault(std::string_view text) noexcept;

// Sets the Python exception for a core or runtime error: InternalFaultError for
// internal faults; for ordinary errors an OSError whose text is the error's
// text: TimeoutError for a wait that ran out, ConnectionResetError for a lost
// link, otherwise the class of its errno (set when the system gave one). A wait
// ended by the signal check keeps the exception its signal handler raised.
void raise_error(const vyre::Error& error);

// The OSError raise_error raises for an ordinary error, as a new object (null
// with an exception set when it cannot be made).
PyObject* os_error_for(const vyre::Error& error);

// Sets a Python exception for the C++ exception being handled (call only from a
// catch block, never for a forced unwind): MemoryError for bad_alloc,
// InternalFaultError otherwise.
void raise_from_cpp_exception() noexcept;

// Runs `body` (an entry point called by the interpreter) so that a C++
// exception becomes a Python exception instead of unwinding into the
// interpreter. The failure value is null for pointers and -1 otherwise. The
// forced unwind of a thread that the interpreter's exit ends passes on
// (interpreter_exit.hpp), so this is not noexcept.
template <class Body>
auto call_guard(Body&& body) -> std::invoke_result_t<Body> {
    using R = std::invoke_result_t<Body>;
    try {
        return std::forward<Body>(body)();
    } catch (vyre::ForcedUnwind&) {
        throw;
    } catch (...) {
        raise_from_cpp_exception();
    }
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        return static_cast<R>(-1);
    }
}

}  // namespace vyre::py
