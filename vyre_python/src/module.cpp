// The extension module vyre_client: single-phase initialisation that builds the
// module once per interpreter lifetime and refuses sub-interpreters.

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "calibration_values.hpp"
#include "client_object.hpp"
#include "data_packet.hpp"
#include "device_config.hpp"
#include "device_info.hpp"
#include "device_protocol.hpp"
#include "internal_fault.hpp"
#include "interpreter_lifetime.hpp"
#include "mock_device_handle.hpp"
#include "once_cell.hpp"
#include "py_ref.hpp"

namespace vyre::py {
namespace {

// A definition for each interpreter lifetime: the runtime numbers the
// definitions it meets and counts afresh in a new lifetime, so a definition
// numbered in an earlier one could share its number with another module's.
// Earlier definitions are left allocated (a few bytes each), as objects of the
// finished interpreter may still point at them.
PyModuleDef* new_module_def() {
    return new PyModuleDef{
        PyModuleDef_HEAD_INIT,
        "vyre_client",
        "",       // docstring
        0,        // no per-module state
        nullptr,  // no module-level functions: every callable is a method of a class
        nullptr,
        nullptr,
        nullptr,
        nullptr,
    };
}

struct ModuleClass {
    const char* name;
    PyTypeObject* (*type)();
};

// The classes in the order scripts see them in __all__.
constexpr ModuleClass kClasses[] = {
    {"VYREClient", client_type},
    {"MockDeviceHandle", mock_device_handle_type},
    {"VYREDataPacket", data_packet_type},
    {"DeviceProtocol", device_protocol_type},
    {"DeviceInfo", device_info_type},
    {"DeviceConfig", device_config_type},
    {"CalibrationValues", calibration_values_type},
};

// The types and the module are shared by everything in the process, so only one
// interpreter of each lifetime may import the module.
std::atomic<std::int64_t> owner_interpreter{-1};
OnceCell module_cell;

// Runs at the end of Py_FinalizeEx, once the interpreter is gone (no Python API
// may be called): the next interpreter builds everything afresh.
void interpreter_finished() {
    owner_interpreter.store(-1);
    end_interpreter_lifetime();
}

// Appends `name` to the module's __all__ (creating the list on first use), then
// binds the attribute; __all__ is never written any other way.
int add(PyObject* module, const char* name, PyObject* value) {
    PyObject* found = nullptr;
    const int has_all = PyObject_GetOptionalAttrString(module, "__all__", &found);
    Ref all = Ref::steal(found);
    if (has_all < 0) return -1;
    if (has_all == 0) {
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        PyErr_Format(PyExc_TypeError, "__all__ of vyre_client must be a list, not %T", all.get());
        return -1;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text) return -1;
    if (PyList_Append(all.get(), text.get()) < 0) {
        PyErr_Clear();
        raise_internal_fault("could not append __name__ to __all__");
        return -1;
    }
    return PyObject_SetAttrString(module, name, value);
}

PyObject* build_module() {
    Ref module = Ref::steal(PyModule_Create(new_module_def()));
    if (!module) return nullptr;
    for (const ModuleClass& entry : kClasses) {
        PyTypeObject* type = entry.type();
        if (!type || add(module.get(), entry.name, reinterpret_cast<PyObject*>(type)) < 0) return nullptr;
    }
    Ref version = Ref::steal(PyUnicode_FromString(VYRE_CLIENT_VERSION));
    if (!version || add(module.get(), "__version__", version.get()) < 0) return nullptr;
    // Once per lifetime, as a built module is kept for the rest of it. When the
    // runtime's table of exit functions is full, the module still works in this
    // lifetime; only a later one in the same process would find it stale.
    (void)Py_AtExit(interpreter_finished);
    return module.release();
}

PyObject* init_module() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return nullptr;
    }
    std::int64_t owner = -1;
    if (!owner_interpreter.compare_exchange_strong(owner, id) && owner != id) {
        PyErr_SetString(PyExc_ImportError,
                        "vyre_client can be imported only into the main interpreter, not into sub-interpreters");
        return nullptr;
    }
    // A repeated initialisation (re-import after removal from sys.modules)
    // returns the module built the first time in this interpreter lifetime.
    return Py_XNewRef(module_cell.get_or_init(build_module));
}

}  // namespace
}  // namespace vyre::py

PyMODINIT_FUNC PyInit_vyre_client(void) { return vyre::py::call_guard(vyre::py::init_module); }
