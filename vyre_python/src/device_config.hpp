#pragma once
// DeviceConfig: the device's settings (name, frequency, protocol) as a mutable
// Python value built from a device-config response.

#include <Python.h>

#include "responses.hpp"

namespace vyre::py {

PyTypeObject* device_config_type();

// A new DeviceConfig holding a copy of `config`.
PyObject* new_device_config(const vyre::DeviceConfig& config);

}  // namespace vyre::py
