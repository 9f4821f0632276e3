#include "arguments.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "py_ref.hpp"

namespace vyre::py {
namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

void too_many_positional(const Parameters& params, Py_ssize_t given) {
    const std::size_t total = params.names.size();
    const char* verb = given == 1 ? "was" : "were";
    if (params.required == total) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", params.callable,
                     total, total == 1 ? "" : "s", given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                     params.callable, params.required, total, given, verb);
    }
}

// Puts one keyword argument into its slot. `hint` is where the keyword most
// likely belongs (callers tend to pass keywords in signature order).
bool place_keyword(const Parameters& params, PyObject* key, PyObject* value, std::size_t hint,
                   std::span<PyObject*> out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", params.callable);
        return false;
    }
    const std::size_t count = params.names.size();
    for (std::size_t step = 0; step < count; ++step) {
        const std::size_t i = (hint + step) % count;
        if (PyUnicode_EqualToUTF8(key, params.names[i]) != 1) continue;
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", params.callable,
                         params.names[i]);
            return false;
        }
        out[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", params.callable, key);
    return false;
}

bool place_positional(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, std::span<PyObject*> out) {
    std::fill(out.begin(), out.end(), nullptr);
    if (static_cast<std::size_t>(nargs) > params.names.size()) {
        too_many_positional(params, nargs);
        return false;
    }
    std::copy_n(args, nargs, out.begin());
    return true;
}

bool check_required(const Parameters& params, std::span<PyObject*> out) {
    for (std::size_t i = 0; i < params.required; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", params.callable,
                         params.names[i], i + 1);
            return false;
        }
    }
    return true;
}

template <class T>
bool to_unsigned(PyObject* obj, T& out) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return false;
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || static_cast<unsigned long long>(value) > std::numeric_limits<T>::max()) {
        PyErr_SetString(PyExc_OverflowError, kOutOfRange);
        return false;
    }
    out = static_cast<T>(value);
    return true;
}

// NumPy's bool scalar is not a bool subclass; recognise it by its type's module
// and name ("bool_" before NumPy 2, "bool" since).
bool is_numpy_bool(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    Ref module = Ref::steal(PyType_GetModuleName(type));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || PyUnicode_EqualToUTF8(module.get(), "numpy") != 1) return false;
    Ref name = Ref::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_EqualToUTF8(name.get(), "bool_") == 1 || PyUnicode_EqualToUTF8(name.get(), "bool") == 1;
}

}  // namespace

bool parse_fastcall(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out) {
    nargs = PyVectorcall_NARGS(nargs);
    if (!place_positional(params, args, nargs, out)) return false;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!place_keyword(params, PyTuple_GET_ITEM(kwnames, k), args[nargs + k],
                               static_cast<std::size_t>(nargs + k), out)) {
                return false;
            }
        }
    }
    return check_required(params, out);
}

bool parse_tuple_dict(const Parameters& params, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    PyObject* const* items = args ? &PyTuple_GET_ITEM(args, 0) : nullptr;
    if (!place_positional(params, items, nargs, out)) return false;
    if (kwargs) {
        Py_ssize_t pos = 0;
        std::size_t hint = static_cast<std::size_t>(nargs);
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!place_keyword(params, key, value, hint++, out)) return false;
        }
    }
    return check_required(params, out);
}

bool named(const char* name, bool ok) {
    if (ok || !PyErr_ExceptionMatches(PyExc_TypeError)) return ok;
    Ref original = Ref::steal(PyErr_GetRaisedException());
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %S", name, original.get()));
    if (!message) return false;
    Ref renamed = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!renamed) return false;
    if (PyObject* cause = PyException_GetCause(original.get())) {
        PyException_SetCause(renamed.get(), cause);  // steals the reference
    }
    PyErr_SetRaisedException(renamed.release());
    return false;
}

bool to_double(PyObject* obj, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_f32(PyObject* obj, float& out) {
    double value = 0.0;
    if (!to_double(obj, value)) return false;
    out = static_cast<float>(value);
    return true;
}

bool to_u8(PyObject* obj, std::uint8_t& out) { return to_unsigned(obj, out); }
bool to_u16(PyObject* obj, std::uint16_t& out) { return to_unsigned(obj, out); }
bool to_u32(PyObject* obj, std::uint32_t& out) { return to_unsigned(obj, out); }

bool to_u64(PyObject* obj, std::uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool to_bool_strict(PyObject* obj, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    if (is_numpy_bool(obj)) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        out = truth == 1;
        return true;
    }
    return cannot_convert(obj, "bool");
}

bool to_text(PyObject* obj, std::string& out) {
    if (!PyUnicode_Check(obj)) return cannot_convert(obj, "str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8) return false;
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool to_path(PyObject* obj, std::string& out) {
    if (PyUnicode_Check(obj)) return to_text(obj, out);
    // Plain bytes stay refused as before; a path object may give bytes.
    const int path_like = PyBytes_Check(obj) ? 0 : PyObject_HasAttrStringWithError(obj, "__fspath__");
    if (path_like < 0) return false;
    if (path_like == 0) return cannot_convert(obj, "str");
    Ref path = Ref::steal(PyOS_FSPath(obj));
    if (!path) return false;
    if (PyUnicode_Check(path.get())) return to_text(path.get(), out);
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(path.get(), &bytes, &size) < 0) return false;
    out.assign(bytes, static_cast<std::size_t>(size));
    return true;
}

bool to_f32_array(PyObject* obj, std::span<float> out) {
    if (!PySequence_Check(obj)) return cannot_convert(obj, "Sequence");
    const Py_ssize_t length = PySequence_Size(obj);
    if (length < 0) return false;
    if (static_cast<std::size_t>(length) != out.size()) {
        PyErr_Format(PyExc_ValueError, "expected a sequence of length %zu (got %zd)", out.size(), length);
        return false;
    }
    for (Py_ssize_t i = 0; i < length; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(obj, i));
        if (!item || !to_f32(item.get(), out[static_cast<std::size_t>(i)])) return false;
    }
    return true;
}

bool require_finite(const char* name, std::span<const float> values) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (std::isfinite(values[i])) continue;
        PyErr_Format(PyExc_ValueError, "%s must hold finite numbers (item %zu is not finite as a 32-bit float)", name,
                     i);
        return false;
    }
    return true;
}

bool to_byte_vector(PyObject* obj, std::vector<std::uint8_t>& out) {
    if (PyBytes_Check(obj)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj));
        out.assign(data, data + PyBytes_GET_SIZE(obj));
        return true;
    }
    if (PyByteArray_Check(obj)) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(obj));
        out.assign(data, data + PyByteArray_GET_SIZE(obj));
        return true;
    }
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "a str cannot be taken as a byte sequence");
        return false;
    }
    if (!PySequence_Check(obj)) return cannot_convert(obj, "Sequence");
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) return false;
    out.clear();
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        std::uint8_t byte = 0;
        if (!to_u8(item.get(), byte)) return false;
        out.push_back(byte);
    }
    return !PyErr_Occurred();
}

bool cannot_convert(PyObject* obj, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%T' object cannot be converted to '%s'", obj, target);
    return false;
}

}  // namespace vyre::py
