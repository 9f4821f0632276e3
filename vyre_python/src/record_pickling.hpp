#pragma once
// Pickling and copying of the mutable value classes (DeviceInfo, DeviceConfig,
// CalibrationValues). `Traits` names the class and turns its record into a
// state object and back:
//   using Record = ...; static constexpr const char* kName = "...";
//   static PyObject* state(const Record&);          new reference or null
//   static bool from_state(PyObject*, Record&);     false with an exception set
// A copy is a new, independent instance holding an equal record.

#include <Python.h>

#include "pickling.hpp"
#include "py_ref.hpp"
#include "record_object.hpp"

namespace vyre::py {

template <class Traits>
struct RecordPickling {
    using Record = typename Traits::Record;

    static PyObject* reduce(PyObject* self, PyObject*) {
        RecordObject<Record>* obj = record_object<Record>(self);
        Ref state;
        {
            SharedBorrow borrow(obj->borrow);
            if (!borrow) return nullptr;
            state = Ref::steal(Traits::state(obj->record));
        }
        return reduce_through_restore(Traits::kName, state.release());
    }

    static PyObject* copy(PyObject* self, PyObject*) {
        RecordObject<Record>* obj = record_object<Record>(self);
        SharedBorrow borrow(obj->borrow);
        if (!borrow) return nullptr;
        return wrap_record(Py_TYPE(self), obj->record);
    }

    // A record holds no Python objects, so a deep copy is a copy.
    static PyObject* deepcopy(PyObject* self, PyObject*) { return copy(self, nullptr); }

    static PyObject* restore(PyObject* type, PyObject* state) {
        return call_guard([&]() -> PyObject* {
            Record record{};
            if (!Traits::from_state(state, record)) return nullptr;
            return wrap_record(reinterpret_cast<PyTypeObject*>(type), record);
        });
    }

    static inline PyMethodDef methods[] = {
        {"__reduce__", reduce, METH_NOARGS, VYRE_REDUCE_DOC},
        {"__copy__", copy, METH_NOARGS, VYRE_COPY_DOC},
        {"__deepcopy__", deepcopy, METH_O, VYRE_DEEPCOPY_DOC},
        {"_restore", restore, METH_O | METH_CLASS, VYRE_RESTORE_DOC},
        {nullptr, nullptr, 0, nullptr},
    };
};

// A tuple state's items, checking its shape.
inline bool unpack_state(PyObject* state, Py_ssize_t size, const char* what, PyObject** items) {
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != size) {
        PyErr_Format(PyExc_ValueError, "%s state must be a tuple of %zd items", what, size);
        return false;
    }
    for (Py_ssize_t i = 0; i < size; ++i) items[i] = PyTuple_GET_ITEM(state, i);
    return true;
}

// Texts travel as their raw bytes: a device may send invalid UTF-8, which the
// getters show with replacement characters but the record keeps as it came.
inline bool text_from_state(PyObject* item, std::string& out, const char* what) {
    if (!PyBytes_Check(item)) {
        PyErr_Format(PyExc_ValueError, "%s state holds bytes for its text", what);
        return false;
    }
    out.assign(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
    return true;
}

}  // namespace vyre::py
