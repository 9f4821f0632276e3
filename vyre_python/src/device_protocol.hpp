#pragma once
// DeviceProtocol: the device's communication setting as a Python enumeration
// with members USB, UART, I2C and SPI.

#include <Python.h>

#include "responses.hpp"

namespace vyre::py {

// The class (borrowed; built on first use, lives for the interpreter), or null
// with an exception set.
PyTypeObject* device_protocol_type();

// A new DeviceProtocol object for `protocol`.
PyObject* new_device_protocol(vyre::DeviceProtocol protocol);
inline PyObject* device_protocol_value(const vyre::DeviceProtocol& protocol) { return new_device_protocol(protocol); }

// Reads a DeviceProtocol member; anything else (integers included) raises
// TypeError "'<type>' object cannot be converted to 'DeviceProtocol'".
bool to_device_protocol(PyObject* obj, vyre::DeviceProtocol& out);

}  // namespace vyre::py
