#include "device_protocol.hpp"

#include <array>
#include <cstdint>

#include "arguments.hpp"
#include "once_cell.hpp"
#include "pickling.hpp"
#include "py_ref.hpp"

namespace vyre::py {
namespace {

struct DeviceProtocolObject {
    PyObject ob_base;
    std::uint8_t value;
};

constexpr std::array<const char*, 4> kMemberNames = {"USB", "UART", "I2C", "SPI"};

OnceCell type_cell;

std::uint8_t value_of(PyObject* self) { return reinterpret_cast<DeviceProtocolObject*>(self)->value; }

const char* member_name(std::uint8_t value) {
    return value >= 1 && value <= kMemberNames.size() ? kMemberNames[value - 1u] : "?";
}

PyObject* protocol_repr(PyObject* self) {
    return PyUnicode_FromFormat("DeviceProtocol.%s", member_name(value_of(self)));
}

PyObject* protocol_int(PyObject* self) { return PyLong_FromLong(value_of(self)); }

// The other operand as a protocol value: another member, or an integer that
// fits in an unsigned byte. Floats and everything else do not compare.
bool comparable_value(PyObject* other, std::uint8_t& out) {
    if (PyObject_TypeCheck(other, device_protocol_type())) {
        out = value_of(other);
        return true;
    }
    if (!PyLong_Check(other)) return false;
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(other, &overflow);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (overflow != 0 || value < 0 || value > 255) return false;
    out = static_cast<std::uint8_t>(value);
    return true;
}

PyObject* protocol_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    std::uint8_t other_value = 0;
    if (!comparable_value(other, other_value)) Py_RETURN_NOTIMPLEMENTED;
    const bool equal = value_of(self) == other_value;
    return PyBool_FromLong((op == Py_EQ) == equal);
}

// A pickled member loads as the class attribute of the same value.
PyObject* protocol_reduce(PyObject* self, PyObject*) {
    return reduce_to_class_attribute("DeviceProtocol", member_name(value_of(self)));
}

// Members are immutable: a copy may be the member itself.
PyObject* protocol_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyMethodDef methods[] = {
    {"__reduce__", protocol_reduce, METH_NOARGS, VYRE_REDUCE_DOC},
    {"__copy__", protocol_copy, METH_NOARGS, VYRE_COPY_DOC},
    {"__deepcopy__", protocol_copy, METH_O, VYRE_DEEPCOPY_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Represents the communication protocol used by the VYRE device.")},
    {Py_tp_repr, reinterpret_cast<void*>(protocol_repr)},
    {Py_tp_str, reinterpret_cast<void*>(protocol_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(protocol_richcompare)},
    // equality without hashing: members are unhashable
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_nb_int, reinterpret_cast<void*>(protocol_int)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.DeviceProtocol",
    sizeof(DeviceProtocolObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

PyObject* allocate(PyTypeObject* type, std::uint8_t value) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) reinterpret_cast<DeviceProtocolObject*>(self)->value = value;
    return self;
}

PyObject* build_type() {
    Ref type = Ref::steal(PyType_FromSpec(&spec));
    if (!type) return nullptr;
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    // The class attributes are made once here; getters hand out fresh objects.
    for (std::size_t i = 0; i < kMemberNames.size(); ++i) {
        Ref member = Ref::steal(allocate(type_object, static_cast<std::uint8_t>(i + 1)));
        if (!member || PyObject_SetAttrString(type.get(), kMemberNames[i], member.get()) < 0) return nullptr;
    }
    return type.release();
}

}  // namespace

PyTypeObject* device_protocol_type() {
    return reinterpret_cast<PyTypeObject*>(type_cell.get_or_init(build_type));
}

PyObject* new_device_protocol(vyre::DeviceProtocol protocol) {
    PyTypeObject* type = device_protocol_type();
    if (!type) return nullptr;
    return allocate(type, static_cast<std::uint8_t>(protocol));
}

bool to_device_protocol(PyObject* obj, vyre::DeviceProtocol& out) {
    PyTypeObject* type = device_protocol_type();
    if (!type) return false;
    if (!PyObject_TypeCheck(obj, type)) return cannot_convert(obj, "DeviceProtocol");
    out = vyre::protocol_from_byte(value_of(obj));
    return true;
}

}  // namespace vyre::py
