#pragma once
// CalibrationValues: IMU and magnetometer calibration (offsets and row-major
// 3x3 scale matrices) as a mutable Python value built from a calibration response.

#include <Python.h>

#include "responses.hpp"

namespace vyre::py {

PyTypeObject* calibration_values_type();

// A new CalibrationValues holding a copy of `values`.
PyObject* new_calibration_values(const vyre::CalibrationValues& values);

}  // namespace vyre::py
