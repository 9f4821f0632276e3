#include "pickling.hpp"

#include "once_cell.hpp"
#include "py_ref.hpp"

namespace vyre::py {
namespace {

// A placeholder that pickles as the call it holds: `__reduce__` returns
// (callable, args) unchanged. It only ever exists while a pickle is written.
struct ReferenceObject {
    PyObject ob_base;
    PyObject* reduce_value;
};

OnceCell reference_type_cell;

void reference_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(reinterpret_cast<ReferenceObject*>(self)->reduce_value);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* reference_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<ReferenceObject*>(self)->reduce_value);
}

PyMethodDef reference_methods[] = {
    {"__reduce__", reference_reduce, METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reference_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(reference_dealloc)},
    {Py_tp_methods, reference_methods},
    {0, nullptr},
};

PyType_Spec reference_spec = {
    "builtins.PickledReference",
    sizeof(ReferenceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    reference_slots,
};

// A placeholder pickled as callable(*args); steals neither argument.
PyObject* reference(PyObject* callable, PyObject* args) {
    auto* type = reinterpret_cast<PyTypeObject*>(
        reference_type_cell.get_or_init([] { return PyType_FromSpec(&reference_spec); }));
    if (!type) return nullptr;
    Ref value = Ref::steal(PyTuple_Pack(2, callable, args));
    if (!value) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<ReferenceObject*>(self)->reduce_value = value.release();
    return self;
}

PyObject* attribute_of(const char* module, const char* name) {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    return mod ? PyObject_GetAttrString(mod.get(), name) : nullptr;
}

// A placeholder for getattr(import_module("vyre_client"), class_name).
PyObject* class_reference(const char* class_name) {
    Ref import_module = Ref::steal(attribute_of("importlib", "import_module"));
    Ref getattr = Ref::steal(attribute_of("builtins", "getattr"));
    if (!import_module || !getattr) return nullptr;
    Ref module_args = Ref::steal(Py_BuildValue("(s)", "vyre_client"));
    if (!module_args) return nullptr;
    Ref module = Ref::steal(reference(import_module.get(), module_args.get()));
    if (!module) return nullptr;
    Ref class_args = Ref::steal(Py_BuildValue("(Os)", module.get(), class_name));
    return class_args ? reference(getattr.get(), class_args.get()) : nullptr;
}

}  // namespace

PyObject* reduce_through_restore(const char* class_name, PyObject* state_ref) {
    Ref state = Ref::steal(state_ref);
    if (!state) return nullptr;
    Ref cls = Ref::steal(class_reference(class_name));
    Ref getattr = Ref::steal(attribute_of("builtins", "getattr"));
    Ref call = Ref::steal(attribute_of("operator", "call"));
    if (!cls || !getattr || !call) return nullptr;
    Ref restore_args = Ref::steal(Py_BuildValue("(Os)", cls.get(), "_restore"));
    if (!restore_args) return nullptr;
    Ref restore = Ref::steal(reference(getattr.get(), restore_args.get()));
    if (!restore) return nullptr;
    return Py_BuildValue("(O(OO))", call.get(), restore.get(), state.get());
}

PyObject* reduce_to_class_attribute(const char* class_name, const char* member) {
    Ref cls = Ref::steal(class_reference(class_name));
    Ref getattr = Ref::steal(attribute_of("builtins", "getattr"));
    if (!cls || !getattr) return nullptr;
    return Py_BuildValue("(O(Os))", getattr.get(), cls.get(), member);
}

bool bytes_into(PyObject* state, void* out, std::size_t size, const char* what) {
    if (!PyBytes_Check(state) || static_cast<std::size_t>(PyBytes_GET_SIZE(state)) != size) {
        PyErr_Format(PyExc_ValueError, "%s state must be %zu bytes", what, size);
        return false;
    }
    std::memcpy(out, PyBytes_AS_STRING(state), size);
    return true;
}

}  // namespace vyre::py
