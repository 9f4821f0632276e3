#pragma once
// The attributes that say how a client's or a mock handle's calls wait
// (wait_scope.hpp): `release_gil` on both, `interrupt_hook` on the client, and
// the process-wide starting value of `release_gil`.

#include <Python.h>

#include <span>

namespace vyre::py {

// The client's attributes, for its type's getset table (no sentinel).
std::span<const PyGetSetDef> client_wait_attributes();

// Shared by the classes: a `release_gil` read and write, after their thread check.
PyObject* release_gil_value(bool release);
// 0, or -1 with TypeError set (not a bool, or a deletion).
int set_release_gil(PyObject* value, bool& release);

// VYREClient.set_default_release_gil (static).
PyObject* client_set_default_release_gil(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vyre::py
