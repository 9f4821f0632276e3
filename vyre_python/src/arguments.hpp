#pragma once
// Argument handling shared by every callable of the module: matching positional
// and keyword arguments to a parameter list, and converting Python values to
// the C++ types the core and the runtime take.
//
// Converters return true on success; on failure they return false with a
// Python exception set and leave `out` unspecified (convert into a temporary
// when a failure must leave stored state untouched). Their TypeErrors say what
// was wrong with the value, not which argument it was: wrap the call in
// `named()` to prefix the argument's name.

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vyre::py {

// The parameters of one callable, in signature order; the first `required`
// have no default. `callable` names it in error messages ("VYREDataPacket",
// "VYREClient.get_device_info").
struct Parameters {
    const char* callable;
    std::span<const char* const> names;
    std::size_t required;
};

// Matches the arguments of a METH_FASTCALL | METH_KEYWORDS call to `params`.
// `out` has one slot per parameter and receives borrowed references, null for
// an optional parameter that was not given. Too many positional arguments, an
// unknown or repeated keyword, or a missing required argument raise TypeError
// naming the callable and the argument.
bool parse_fastcall(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out);

// The same for an argument tuple and keyword dict (tp_new, METH_VARARGS | METH_KEYWORDS).
bool parse_tuple_dict(const Parameters& params, PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

// Passes `ok` through. When it is false and a TypeError is pending, that error
// becomes TypeError("argument '<name>': <message>") with the original's cause.
// Other exceptions (OverflowError, ValueError, ...) stay as they are.
bool named(const char* name, bool ok);

// The interpreter's float conversion: an exact float directly, anything else
// through its float conversion (int, objects with __float__ or __index__).
bool to_double(PyObject* obj, double& out);
// The float conversion, then rounded to single precision.
bool to_f32(PyObject* obj, float& out);

// Integer index conversion into an unsigned range. A value outside the type's
// range raises OverflowError "out of range integral type conversion attempted"
// (one outside the signed 64-bit range gets the interpreter's own overflow
// error first); a value without an index conversion raises TypeError.
bool to_u8(PyObject* obj, std::uint8_t& out);
bool to_u16(PyObject* obj, std::uint16_t& out);
bool to_u32(PyObject* obj, std::uint32_t& out);
// The interpreter's unsigned 64-bit conversion with its own overflow errors.
bool to_u64(PyObject* obj, std::uint64_t& out);

// True or False only (also NumPy's bool scalar); 0, 1 and other truthy values
// raise TypeError.
bool to_bool_strict(PyObject* obj, bool& out);

// A str, copied as UTF-8.
bool to_text(PyObject* obj, std::string& out);

// A file system path: a str (as to_text) or an os.PathLike (whose __fspath__
// gives a str or bytes). Anything else, plain bytes too, raises to_text's TypeError.
bool to_path(PyObject* obj, std::string& out);

// Any object with the sequence protocol holding exactly out.size() items, each
// fetched by index and converted with to_f32. Another length raises ValueError
// "expected a sequence of length {} (got {})"; a non-sequence or a
// non-numeric item raises TypeError.
bool to_f32_array(PyObject* obj, std::span<float> out);
template <std::size_t N>
bool to_f32_array(PyObject* obj, std::array<float, N>& out) {
    return to_f32_array(obj, std::span<float>(out));
}

// True when every value is finite. Otherwise false with ValueError "<name> must
// hold finite numbers (item <i> is not finite as a 32-bit float)", which also
// covers finite inputs beyond the single-precision range.
bool require_finite(const char* name, std::span<const float> values);

// bytes or bytearray (copied), or any other sequence of ints in 0 to 255 taken
// in iteration order. A str is refused with TypeError.
bool to_byte_vector(PyObject* obj, std::vector<std::uint8_t>& out);

// Sets TypeError "'<type>' object cannot be converted to '<target>'" and
// returns false.
bool cannot_convert(PyObject* obj, const char* target);

// A METH_FASTCALL | METH_KEYWORDS function as a method table stores it.
using FastcallKeywordsFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
inline PyCFunction as_method(FastcallKeywordsFunction function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace vyre::py
