#pragma once
// MockDeviceHandle: the script's side of an in-process mock device, and
// VYREClient.new_mock, which builds a client on a fresh mock device together
// with its handle.

#include <Python.h>

namespace vyre::py {

// The MockDeviceHandle class (borrowed; built on first use, lives for the
// interpreter), or null with an exception set.
PyTypeObject* mock_device_handle_type();

// VYREClient.new_mock(timeout=0.1), a static method of the client class.
PyObject* client_new_mock(PyObject* unused, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vyre::py
