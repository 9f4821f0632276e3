#pragma once
// Python values built from C++ values. Each returns a new reference, or null
// with an exception set.

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vyre::py {

// A str from UTF-8 bytes; an invalid sequence becomes U+FFFD, so texts read from
// a device or the operating system always convert.
PyObject* text_to_python(std::string_view utf8);

// A new list of Python floats, each f32 widened to double.
PyObject* f32_list(std::span<const float> values);

// Adapters taking the field by reference, for the record getters.
inline PyObject* text_value(const std::string& text) { return text_to_python(text); }
inline PyObject* u16_value(const std::uint16_t& value) { return PyLong_FromLong(value); }
inline PyObject* u64_value(const std::uint64_t& value) { return PyLong_FromUnsignedLongLong(value); }
template <std::size_t N>
PyObject* f32_list_value(const std::array<float, N>& values) {
    return f32_list(values);
}

}  // namespace vyre::py
