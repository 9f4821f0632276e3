#include "internal_fault.hpp"

#include <cerrno>
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

namespace {

// An OSError carrying `message` as its only argument, so its text is exactly the
// message, and `error_number` (when not 0) as its errno. Without a class of its
// own the interpreter's errno mapping picks one (FileNotFoundError for ENOENT,
// PermissionError for EACCES...), except BlockingIOError: a port locked
// elsewhere (EWOULDBLOCK) is no non-blocking operation of the caller's.
PyObject* new_os_error(PyObject* type, PyObject* message, int error_number) {
    Ref number = Ref::steal(PyLong_FromLong(error_number));
    if (!number) return nullptr;
    const bool mapped = !type && error_number != 0 && error_number != EAGAIN && error_number != EWOULDBLOCK;
    Ref error = Ref::steal(mapped ? PyObject_CallFunctionObjArgs(PyExc_OSError, number.get(), message, nullptr)
                                  : PyObject_CallOneArg(type ? type : PyExc_OSError, message));
    if (!error) return nullptr;
    if (mapped) {
        // OSError(errno, text) reads "[Errno n] text": back to the text alone
        Ref args = Ref::steal(PyTuple_Pack(1, message));
        if (!args || PyObject_SetAttrString(error.get(), "args", args.get()) < 0 ||
            PyObject_DelAttrString(error.get(), "strerror") < 0)
            return nullptr;
    } else if (error_number != 0 && PyObject_SetAttrString(error.get(), "errno", number.get()) < 0) {
        return nullptr;
    }
    return error.release();
}

}  // namespace

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
    PyObject* raised = os_error_for(error);
    if (raised) PyErr_SetRaisedException(raised);
}

PyObject* os_error_for(const vyre::Error& error) {
    // Both stay OSErrors: `except OSError` still catches them.
    PyObject* type = nullptr;
    if (error.kind == vyre::Error::Kind::TimedOut) type = PyExc_TimeoutError;
    if (error.kind == vyre::Error::Kind::LinkLost) type = PyExc_ConnectionResetError;
    Ref message = Ref::steal(text_to_python(error.text));
    if (!message) return nullptr;
    return new_os_error(type, message.get(), error.error_number);
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
