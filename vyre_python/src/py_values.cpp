#include "py_values.hpp"

#include "py_ref.hpp"

namespace vyre::py {

PyObject* text_to_python(std::string_view utf8) {
    return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
}

PyObject* f32_list(std::span<const float> values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    Py_ssize_t index = 0;
    for (float value : values) {
        PyObject* item = PyFloat_FromDouble(static_cast<double>(value));
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), index++, item);
    }
    return list.release();
}

}  // namespace vyre::py
