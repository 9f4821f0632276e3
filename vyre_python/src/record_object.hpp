#pragma once
// Python objects that hold a mutable core record by value (DeviceInfo,
// DeviceConfig, CalibrationValues), and the generic getter and setter of one
// record field. Getters hand out new Python objects, so a script never holds a
// view into the record; setters convert first and store only on success.

#include <Python.h>

#include <new>
#include <type_traits>
#include <utility>

#include "arguments.hpp"
#include "borrow_flag.hpp"
#include "internal_fault.hpp"

namespace vyre::py {

template <class Record>
struct RecordObject {
    PyObject ob_base;
    BorrowFlag borrow;
    Record record;
};

template <class Record>
RecordObject<Record>* record_object(PyObject* self) noexcept {
    static_assert(std::is_standard_layout_v<RecordObject<Record>>);
    return reinterpret_cast<RecordObject<Record>*>(self);
}

// A new instance of `type` holding a copy of `record`; null with an exception set
// on failure.
template <class Record>
PyObject* wrap_record(PyTypeObject* type, const Record& record) {
    return call_guard([&]() -> PyObject* {
        Record copy(record);  // the only step that can throw, done before allocating
        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        RecordObject<Record>* obj = record_object<Record>(self);
        new (&obj->borrow) BorrowFlag();
        new (&obj->record) Record(std::move(copy));
        return self;
    });
}

template <class Record>
void record_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    record_object<Record>(self)->record.~Record();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

template <class Record, class T, T Record::*Field, PyObject* (*ToPython)(const T&)>
PyObject* get_field(PyObject* self, void*) {
    RecordObject<Record>* obj = record_object<Record>(self);
    SharedBorrow borrow(obj->borrow);
    if (!borrow) return nullptr;
    return ToPython(obj->record.*Field);
}

// The value is converted before the record is borrowed: a conversion may run
// Python code (__index__, __float__, a sequence's __getitem__) that reads this
// very object. `closure` is the attribute name that prefixes rewritten TypeErrors.
template <class Record, class T, T Record::*Field, bool (*FromPython)(PyObject*, T&)>
int set_field(PyObject* self, PyObject* value, void* closure) {
    if (!value) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    return call_guard([&]() -> int {
        T converted{};
        if (!named(static_cast<const char*>(closure), FromPython(value, converted))) return -1;
        RecordObject<Record>* obj = record_object<Record>(self);
        ExclusiveBorrow borrow(obj->borrow);
        if (!borrow) return -1;
        obj->record.*Field = std::move(converted);
        return 0;
    });
}

// The getset entry of one read-write field.
template <class Record, class T, T Record::*Field, PyObject* (*ToPython)(const T&),
          bool (*FromPython)(PyObject*, T&)>
PyGetSetDef field_entry(const char* name) {
    return PyGetSetDef{name, get_field<Record, T, Field, ToPython>, set_field<Record, T, Field, FromPython>,
                       nullptr, const_cast<char*>(name)};
}

}  // namespace vyre::py
