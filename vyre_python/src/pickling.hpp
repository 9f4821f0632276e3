#pragma once
// Pickling of the value classes. The classes live in "builtins", where pickle
// cannot find them by name, so a pickle names them through the module instead:
// it calls importlib.import_module("vyre_client"), takes the class from it and
// then the class's `_restore`, which rebuilds an instance from its state. Every
// step is an ordinary global (importlib.import_module, getattr, operator.call),
// so any pickle protocol reads it back with nothing of this module registered.
// copy.copy and copy.deepcopy use `__copy__` and `__deepcopy__` directly.

#include <Python.h>

#include <bit>
#include <cstddef>
#include <cstring>
#include <span>

namespace vyre::py {

// `__reduce__`'s value for an instance of class `class_name` whose
// `<class>._restore(state)` rebuilds it; takes over `state` (a new reference, or
// null for a failed build). Null with an exception set on failure.
PyObject* reduce_through_restore(const char* class_name, PyObject* state);

// `__reduce__`'s value for a class attribute: pickle loads it as
// getattr(<class>, member), the very same object.
PyObject* reduce_to_class_attribute(const char* class_name, const char* member);

// The state of float arrays as bytes, so NaN payloads (and signalling NaNs,
// which a float conversion would quieten) come back bit for bit. Pickles are
// read on the same kind of host: wire data is little-endian too.
static_assert(std::endian::native == std::endian::little);

inline PyObject* bytes_of(const void* data, std::size_t size) {
    return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}

// Copies exactly `size` bytes of a bytes object into `out`; a ValueError names
// `what` otherwise.
bool bytes_into(PyObject* state, void* out, std::size_t size, const char* what);

// Docstrings of the pickling and copying methods every value class has.
#define VYRE_REDUCE_DOC "__reduce__($self, /)\n--\n\nPickles the value exactly (NaN payloads included)."
#define VYRE_COPY_DOC "__copy__($self, /)\n--\n\n"
#define VYRE_DEEPCOPY_DOC "__deepcopy__($self, memo, /)\n--\n\n"
#define VYRE_RESTORE_DOC "_restore($type, state, /)\n--\n\nRebuilds an instance from its pickled state."

}  // namespace vyre::py
