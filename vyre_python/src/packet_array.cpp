#include "packet_array.hpp"

#include <cstddef>
#include <cstdlib>

#include "data_packet.hpp"
#include "internal_fault.hpp"
#include "once_cell.hpp"
#include "py_ref.hpp"

namespace vyre::py {
namespace {

using vyre::DataPacket;

constexpr const char* kNeedsNumpy = "get_data_array needs numpy: pip install numpy";

// The owner of a block of records, exporting it as a writable buffer: the
// array's memory, released when the last array over it goes.
struct PacketRowsObject {
    PyObject_HEAD
    void* block;
    DataPacket* rows;
    Py_ssize_t count;
};

OnceCell rows_type_cell;
OnceCell numpy_parts_cell;  // (numpy.frombuffer, numpy.empty, the row dtype)

int rows_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto* obj = reinterpret_cast<PacketRowsObject*>(self);
    return PyBuffer_FillInfo(view, self, obj->rows, obj->count * static_cast<Py_ssize_t>(sizeof(DataPacket)), 0,
                             flags);
}

void rows_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::free(reinterpret_cast<PacketRowsObject*>(self)->block);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* build_rows_type() {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Telemetry records behind an array from VYREClient.get_data_array.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(rows_dealloc)},
        {Py_bf_getbuffer, reinterpret_cast<void*>(rows_getbuffer)},
        {0, nullptr},
    };
    PyType_Spec spec = {"builtins.PacketRows", sizeof(PacketRowsObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    return PyType_FromSpec(&spec);
}

// ImportError with `text`, caused by the exception set now.
void raise_import_error_from_current(const char* text) {
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_ImportError, text);
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, cause);  // takes `cause`
    PyErr_SetRaisedException(error);
}

// Appends to `names`, `formats` and `offsets` one column of the record.
bool add_column(PyObject* names, PyObject* formats, PyObject* offsets, const char* name, std::size_t offset,
                bool is_double) {
    Ref text = Ref::steal(PyUnicode_FromString(name));
    Ref format = Ref::steal(PyUnicode_FromString(is_double ? "f8" : "f4"));
    Ref at = Ref::steal(PyLong_FromSize_t(offset));
    return text && format && at && PyList_Append(names, text.get()) == 0 &&
           PyList_Append(formats, format.get()) == 0 && PyList_Append(offsets, at.get()) == 0;
}

// The record's layout as a dtype: the packet's values in attribute order at
// their offsets, then host_time_seconds and synced_time_seconds, in native byte
// order.
Ref record_dtype(PyObject* numpy) {
    Ref names = Ref::steal(PyList_New(0));
    Ref formats = Ref::steal(PyList_New(0));
    Ref offsets = Ref::steal(PyList_New(0));
    if (!names || !formats || !offsets) return Ref();
    for (const PacketField& field : data_packet_fields()) {
        if (!add_column(names.get(), formats.get(), offsets.get(), field.name, field.offset, field.is_double)) {
            return Ref();
        }
    }
    if (!add_column(names.get(), formats.get(), offsets.get(), "host_time_seconds",
                    offsetof(DataPacket, host_time_seconds), true) ||
        !add_column(names.get(), formats.get(), offsets.get(), "synced_time_seconds",
                    offsetof(DataPacket, synced_time_seconds), true)) {
        return Ref();
    }
    Ref itemsize = Ref::steal(PyLong_FromSize_t(sizeof(DataPacket)));
    Ref spec = Ref::steal(PyDict_New());
    if (!itemsize || !spec || PyDict_SetItemString(spec.get(), "names", names.get()) < 0 ||
        PyDict_SetItemString(spec.get(), "formats", formats.get()) < 0 ||
        PyDict_SetItemString(spec.get(), "offsets", offsets.get()) < 0 ||
        PyDict_SetItemString(spec.get(), "itemsize", itemsize.get()) < 0) {
        return Ref();
    }
    return Ref::steal(PyObject_CallMethod(numpy, "dtype", "O", spec.get()));
}

PyObject* build_numpy_parts() {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) raise_import_error_from_current(kNeedsNumpy);
        return nullptr;
    }
    Ref frombuffer = Ref::steal(PyObject_GetAttrString(numpy.get(), "frombuffer"));
    Ref empty = Ref::steal(PyObject_GetAttrString(numpy.get(), "empty"));
    Ref dtype = record_dtype(numpy.get());
    if (!frombuffer || !empty || !dtype) return nullptr;
    return PyTuple_Pack(3, frombuffer.get(), empty.get(), dtype.get());
}

// numpy.<function>(first, dtype)
PyObject* call_with_dtype(PyObject* parts, Py_ssize_t function, PyObject* first) {
    PyObject* args[] = {first, PyTuple_GET_ITEM(parts, 2)};
    return PyObject_Vectorcall(PyTuple_GET_ITEM(parts, function), args, 2, nullptr);
}

}  // namespace

bool load_numpy_for_packet_arrays() { return numpy_parts_cell.get_or_init(build_numpy_parts) != nullptr; }

PyObject* new_packet_array(vyre::ItemBlock<DataPacket> rows) {
    // The block belongs to a rows object from here on, or is released at once.
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(rows_type_cell.get_or_init(build_rows_type));
    PyObject* parts = numpy_parts_cell.peek();
    Ref owner = Ref::steal(type ? type->tp_alloc(type, 0) : nullptr);
    if (!owner) {
        std::free(rows.block);
        return nullptr;
    }
    auto* obj = reinterpret_cast<PacketRowsObject*>(owner.get());
    obj->block = rows.block;
    obj->rows = rows.data;
    obj->count = static_cast<Py_ssize_t>(rows.count);
    if (!parts) {
        raise_internal_fault("numpy not loaded for get_data_array");
        return nullptr;
    }
    if (rows.count == 0) {  // no block to look into
        Ref zero = Ref::steal(PyLong_FromLong(0));
        return zero ? call_with_dtype(parts, 1, zero.get()) : nullptr;
    }
    return call_with_dtype(parts, 0, owner.get());
}

}  // namespace vyre::py
