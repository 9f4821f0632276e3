#pragma once
// DeviceInfo: the device's identity (firmware version and id) as a mutable
// Python value built from a device-info response.

#include <Python.h>

#include "responses.hpp"

namespace vyre::py {

PyTypeObject* device_info_type();

// A new DeviceInfo holding a copy of `info`.
PyObject* new_device_info(const vyre::DeviceInfo& info);

}  // namespace vyre::py
