#include "calibration_values.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#include "once_cell.hpp"
#include "py_values.hpp"
#include "record_object.hpp"
#include "record_pickling.hpp"

namespace vyre::py {
namespace {

using vyre::CalibrationValues;

OnceCell type_cell;

// The six arrays as one run of 36 floats, in declaration order.
struct CalibrationState {
    using Record = CalibrationValues;
    static constexpr const char* kName = "CalibrationValues";
    static constexpr std::size_t kSize = sizeof(float) * (3 + 9) * 3;
    static PyObject* state(const CalibrationValues& values) {
        std::array<std::uint8_t, kSize> bytes{};
        std::size_t at = 0;
        for_each_array(values, [&](const auto& array) {
            std::memcpy(bytes.data() + at, array.data(), sizeof(array));
            at += sizeof(array);
        });
        return bytes_of(bytes.data(), bytes.size());
    }
    static bool from_state(PyObject* state, CalibrationValues& values) {
        std::array<std::uint8_t, kSize> bytes{};
        if (!bytes_into(state, bytes.data(), bytes.size(), kName)) return false;
        std::size_t at = 0;
        for_each_array(values, [&](auto& array) {
            std::memcpy(array.data(), bytes.data() + at, sizeof(array));
            at += sizeof(array);
        });
        return true;
    }
    template <class Values, class F>
    static void for_each_array(Values& v, F&& f) {
        f(v.imu_accelerometer_offsets);
        f(v.imu_accelerometer_scale_matrix);
        f(v.imu_gyroscope_offsets);
        f(v.imu_gyroscope_scale_matrix);
        f(v.magnetometer_offsets);
        f(v.magnetometer_scale_matrix);
    }
};
using Pickling = RecordPickling<CalibrationState>;

template <std::size_t N, std::array<float, N> CalibrationValues::*Field>
PyGetSetDef float_array_entry(const char* name) {
    return field_entry<CalibrationValues, std::array<float, N>, Field, f32_list_value<N>, to_f32_array<N>>(name);
}

PyGetSetDef getset[] = {
    float_array_entry<3, &CalibrationValues::imu_accelerometer_offsets>("imu_accelerometer_offsets"),
    float_array_entry<9, &CalibrationValues::imu_accelerometer_scale_matrix>("imu_accelerometer_scale_matrix"),
    float_array_entry<3, &CalibrationValues::imu_gyroscope_offsets>("imu_gyroscope_offsets"),
    float_array_entry<9, &CalibrationValues::imu_gyroscope_scale_matrix>("imu_gyroscope_scale_matrix"),
    float_array_entry<3, &CalibrationValues::magnetometer_offsets>("magnetometer_offsets"),
    float_array_entry<9, &CalibrationValues::magnetometer_scale_matrix>("magnetometer_scale_matrix"),
    {},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Represents the calibration values for the VYRE device. All matrices\n"
                                  "are stored in row-major order.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<CalibrationValues>)},
    {Py_tp_getset, getset},
    {Py_tp_methods, Pickling::methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.CalibrationValues",
    sizeof(RecordObject<CalibrationValues>),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

PyTypeObject* calibration_values_type() {
    return reinterpret_cast<PyTypeObject*>(type_cell.get_or_init([] { return PyType_FromSpec(&spec); }));
}

PyObject* new_calibration_values(const vyre::CalibrationValues& values) {
    PyTypeObject* type = calibration_values_type();
    return type ? wrap_record(type, values) : nullptr;
}

}  // namespace vyre::py
