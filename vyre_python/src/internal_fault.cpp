#include "internal_fault.hpp"

#include <exception>
#include <new>

#include "once_cell.hpp"
#include "py_ref.hpp"
#include "py_values.hpp"

namespace vyre::py {
namespace {

OnceCell fault_type_cell;

}  // namespace

PyObject* internal_fault_type() {
    return fault_type_cell.get_or_init([] {
        return PyErr_NewExceptionWithDoc(
            "vyre_client.InternalFaultError",
            "Raised when the library finds one of its own invariants broken, or is\n"
            "used in a way it cannot serve (an impossible duration, a call from a\n"
            "foreign thread). Derives from BaseException.",
            PyExc_BaseException, nullptr);
    });
}

void raise_internal_fault(std::string_view text) noexcept {
    PyObject* type = internal_fault_type();
    if (!type) return;  // its creation failed; that exception stays set
    Ref message = Ref::steal(text_to_python(text));
    if (!message) return;
    PyErr_SetObject(type, message.get());
}

void raise_error(const vyre::Error& error) {
    if (error.is_interrupted()) {
        // The poll hook returned true because a signal handler raised; that
        // exception is the one to propagate.
        if (!PyErr_Occurred()) raise_internal_fault("wait interrupted without a pending exception");
        return;
    }
    if (error.is_internal()) {
        raise_internal_fault(error.text);
        return;
    }
    Ref message = Ref::steal(text_to_python(error.text));
    if (!message) return;
    PyErr_SetObject(PyExc_OSError, message.get());
}

void raise_from_cpp_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_fault(e.what());
    } catch (...) {
        raise_internal_fault("unexpected C++ exception");
    }
}

}  // namespace vyre::py
