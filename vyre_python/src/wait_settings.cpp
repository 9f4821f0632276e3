#include "wait_settings.hpp"

#include <array>

#include "arguments.hpp"
#include "client_object.hpp"
#include "internal_fault.hpp"
#include "wait_scope.hpp"

namespace vyre::py {
namespace {

constexpr const char* kDefaultNames[] = {"release"};
constexpr Parameters kSetDefault{"VYREClient.set_default_release_gil", kDefaultNames, 1};

PyObject* client_get_release_gil(PyObject* self, void*) {
    if (!check_client_thread(self)) return nullptr;
    return release_gil_value(client_object(self)->state.release_gil);
}

int client_set_release_gil(PyObject* self, PyObject* value, void*) {
    if (!check_client_thread(self)) return -1;
    return set_release_gil(value, client_object(self)->state.release_gil);
}

PyObject* client_get_interrupt_hook(PyObject* self, void*) {
    if (!check_client_thread(self)) return nullptr;
    PyObject* hook = client_object(self)->state.interrupt_hook.get();
    return Py_NewRef(hook ? hook : Py_None);
}

// A wait that is running keeps the hook it started with.
int client_set_interrupt_hook(PyObject* self, PyObject* value, void*) {
    if (!check_client_thread(self)) return -1;
    if (value && value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "interrupt_hook must be callable or None");
        return -1;
    }
    client_object(self)->state.interrupt_hook.reset(value && value != Py_None ? Py_NewRef(value) : nullptr);
    return 0;
}

const PyGetSetDef kAttributes[] = {
    {"release_gil", client_get_release_gil, client_set_release_gil,
     "Whether this client's waits let other threads run (released interpreter lock).", nullptr},
    {"interrupt_hook", client_get_interrupt_hook, client_set_interrupt_hook,
     "None, or a callable run about every 50 ms while a call of this client waits;\n"
     "an exception it raises ends the wait.",
     nullptr},
};

}  // namespace

std::span<const PyGetSetDef> client_wait_attributes() { return kAttributes; }

PyObject* release_gil_value(bool release) { return PyBool_FromLong(release); }

int set_release_gil(PyObject* value, bool& release) {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "release_gil cannot be deleted");
        return -1;
    }
    if (!PyBool_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "release_gil must be a bool");
        return -1;
    }
    release = value == Py_True;
    return 0;
}

PyObject* client_set_default_release_gil(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        std::array<PyObject*, 1> values{};
        if (!parse_fastcall(kSetDefault, args, nargs, kwnames, values)) return nullptr;
        bool release = false;
        if (!named("release", to_bool_strict(values[0], release))) return nullptr;
        return PyBool_FromLong(release_gil_by_default.exchange(release));
    });
}

}  // namespace vyre::py
