#include "packet_array.hpp"

#include <cstddef>
#include <cstring>

#include "data_packet.hpp"
#include "internal_fault.hpp"
#include "once_cell.hpp"

namespace vyre::py {
namespace {

constexpr const char* kNeedsNumpy = "get_data_array needs numpy: pip install numpy";

OnceCell numpy_parts_cell;

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
// their offsets, then host_time_seconds, in native byte order.
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
                    offsetof(vyre::DataPacket, host_time_seconds), true)) {
        return Ref();
    }
    Ref itemsize = Ref::steal(PyLong_FromSize_t(sizeof(vyre::DataPacket)));
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
    Ref empty = Ref::steal(PyObject_GetAttrString(numpy.get(), "empty"));
    Ref dtype = record_dtype(numpy.get());
    if (!empty || !dtype) return nullptr;
    return PyTuple_Pack(2, empty.get(), dtype.get());
}

}  // namespace

PacketArrayBuilder::PacketArrayBuilder() : numpy_parts_(numpy_parts_cell.get_or_init(build_numpy_parts)) {}

PacketArrayBuilder::~PacketArrayBuilder() { release_view(); }

void PacketArrayBuilder::reserve(std::size_t total) {
    if (!array_ && !failed_) allocate(total);
}

void PacketArrayBuilder::allocate(std::size_t rows) {
    Ref count = Ref::steal(PyLong_FromSize_t(rows));
    if (count) {
        PyObject* args[] = {count.get(), PyTuple_GET_ITEM(numpy_parts_, 1)};
        array_ = Ref::steal(PyObject_Vectorcall(PyTuple_GET_ITEM(numpy_parts_, 0), args, 2, nullptr));
    }
    has_view_ = array_ && PyObject_GetBuffer(array_.get(), &view_, PyBUF_WRITABLE) == 0;
    if (!has_view_ || static_cast<std::size_t>(view_.len) != rows * sizeof(vyre::DataPacket)) {
        if (has_view_) raise_internal_fault("numpy array of records has an unexpected size");
        release_view();
        array_ = Ref();
        failed_ = true;
        return;
    }
    next_ = static_cast<std::uint8_t*>(view_.buf);
    end_ = next_ + view_.len;
    if (count_ > 0) {  // the record a blocking wait took
        std::memcpy(next_, &waiting_, sizeof waiting_);
        next_ += sizeof waiting_;
    }
}

PyObject* PacketArrayBuilder::release() {
    if (!array_ && !failed_) allocate(count_);
    if (failed_) return nullptr;
    // Every row must have been written: numpy.empty leaves them as it found them.
    if (next_ != end_) {
        raise_internal_fault("numpy array of records not filled");
        return nullptr;
    }
    release_view();
    next_ = end_ = nullptr;
    return array_.release();
}

void PacketArrayBuilder::release_view() noexcept {
    if (has_view_) PyBuffer_Release(&view_);
    has_view_ = false;
}

}  // namespace vyre::py
