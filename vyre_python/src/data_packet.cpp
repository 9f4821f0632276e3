#include "data_packet.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "arguments.hpp"
#include "internal_fault.hpp"
#include "interpreter_lifetime.hpp"
#include "once_cell.hpp"
#include "pickling.hpp"
#include "py_ref.hpp"

namespace vyre::py {
namespace {

using vyre::DataPacket;
using vyre::TelemetryFields;

// The record's 23 values without its host time, which only get_data_array
// hands out: a packet stays 112 bytes.
struct DataPacketObject {
    PyObject ob_base;
    alignas(DataPacket) std::uint8_t record[vyre::PACKET_VALUES_SIZE];
};
static_assert(std::is_standard_layout_v<DataPacketObject>);
static_assert(offsetof(DataPacketObject, record) == sizeof(PyObject));
static_assert(sizeof(DataPacketObject) == sizeof(PyObject) + vyre::PACKET_VALUES_SIZE);

#define VYRE_PACKET_FIELD(f) \
    PacketField { #f, offsetof(DataPacket, f), std::is_same_v<decltype(DataPacket::f), double> }

constexpr std::array<PacketField, 23> kFields = {
    VYRE_PACKET_FIELD(timestamp_seconds),
    VYRE_PACKET_FIELD(temperature_celsius),
    VYRE_PACKET_FIELD(pressure_pascals),
    VYRE_PACKET_FIELD(raw_acceleration_x_gs),
    VYRE_PACKET_FIELD(raw_acceleration_y_gs),
    VYRE_PACKET_FIELD(raw_acceleration_z_gs),
    VYRE_PACKET_FIELD(raw_rotated_acceleration_x_gs),
    VYRE_PACKET_FIELD(raw_rotated_acceleration_y_gs),
    VYRE_PACKET_FIELD(raw_rotated_acceleration_z_gs),
    VYRE_PACKET_FIELD(est_tilt_angle_degrees),
    VYRE_PACKET_FIELD(raw_angular_rate_x_deg_per_s),
    VYRE_PACKET_FIELD(raw_angular_rate_y_deg_per_s),
    VYRE_PACKET_FIELD(raw_angular_rate_z_deg_per_s),
    VYRE_PACKET_FIELD(magnetic_field_x_microteslas),
    VYRE_PACKET_FIELD(magnetic_field_y_microteslas),
    VYRE_PACKET_FIELD(magnetic_field_z_microteslas),
    VYRE_PACKET_FIELD(est_position_z_meters),
    VYRE_PACKET_FIELD(est_velocity_z_meters_per_s),
    VYRE_PACKET_FIELD(est_mach_number),
    VYRE_PACKET_FIELD(est_quaternion_w),
    VYRE_PACKET_FIELD(est_quaternion_x),
    VYRE_PACKET_FIELD(est_quaternion_y),
    VYRE_PACKET_FIELD(est_quaternion_z),
};
#undef VYRE_PACKET_FIELD

// The table must walk the values front to back with no gap, so that it lists
// every field in declaration order.
constexpr bool fields_cover_record() {
    std::size_t expected = 0;
    for (const PacketField& f : kFields) {
        if (f.offset != expected) return false;
        expected += f.is_double ? sizeof(double) : sizeof(float);
    }
    return expected == vyre::PACKET_VALUES_SIZE;
}
static_assert(fields_cover_record());

// The 17 single-precision constructor inputs after the timestamp, in payload order.
struct FloatInput {
    const char* name;
    float TelemetryFields::*member;
};

#define VYRE_FLOAT_INPUT(f) \
    FloatInput { #f, &TelemetryFields::f }

constexpr std::array<FloatInput, 17> kFloatInputs = {
    VYRE_FLOAT_INPUT(temperature_celsius),
    VYRE_FLOAT_INPUT(pressure_pascals),
    VYRE_FLOAT_INPUT(raw_acceleration_x_gs),
    VYRE_FLOAT_INPUT(raw_acceleration_y_gs),
    VYRE_FLOAT_INPUT(raw_acceleration_z_gs),
    VYRE_FLOAT_INPUT(raw_angular_rate_x_deg_per_s),
    VYRE_FLOAT_INPUT(raw_angular_rate_y_deg_per_s),
    VYRE_FLOAT_INPUT(raw_angular_rate_z_deg_per_s),
    VYRE_FLOAT_INPUT(magnetic_field_x_microteslas),
    VYRE_FLOAT_INPUT(magnetic_field_y_microteslas),
    VYRE_FLOAT_INPUT(magnetic_field_z_microteslas),
    VYRE_FLOAT_INPUT(est_position_z_meters),
    VYRE_FLOAT_INPUT(est_velocity_z_meters_per_s),
    VYRE_FLOAT_INPUT(est_quaternion_w),
    VYRE_FLOAT_INPUT(est_quaternion_x),
    VYRE_FLOAT_INPUT(est_quaternion_y),
    VYRE_FLOAT_INPUT(est_quaternion_z),
};
#undef VYRE_FLOAT_INPUT

constexpr std::array<const char*, 18> kInputNames = [] {
    std::array<const char*, 18> names{};
    names[0] = "timestamp_seconds";
    for (std::size_t i = 0; i < kFloatInputs.size(); ++i) names[i + 1] = kFloatInputs[i].name;
    return names;
}();

constexpr Parameters kConstructor{"VYREDataPacket", kInputNames, kInputNames.size()};

constexpr std::array<PyMemberDef, kFields.size() + 1> kMembers = [] {
    std::array<PyMemberDef, kFields.size() + 1> members{};
    for (std::size_t i = 0; i < kFields.size(); ++i) {
        members[i] = PyMemberDef{kFields[i].name, kFields[i].is_double ? Py_T_DOUBLE : Py_T_FLOAT,
                                 static_cast<Py_ssize_t>(offsetof(DataPacketObject, record) + kFields[i].offset),
                                 Py_READONLY, nullptr};
    }
    return members;
}();
PyMemberDef members[kMembers.size()] = {};

// Packets arrive at the telemetry rate; recycling the last few released ones
// saves an allocation per packet. The interpreter lock guards the list.
#ifdef Py_GIL_DISABLED
constexpr std::size_t kFreeListCapacity = 0;
#else
constexpr std::size_t kFreeListCapacity = 20;
#endif
std::array<PyObject*, 20> free_list{};
std::size_t free_count = 0;
std::uint64_t free_list_lifetime = 0;

// Forgets blocks released in a finished interpreter lifetime: their memory went
// with that interpreter, so they are neither reused nor freed.
void forget_stale_free_list() {
    const std::uint64_t now = interpreter_lifetime();
    if (free_list_lifetime == now) return;
    free_count = 0;
    free_list_lifetime = now;
}

OnceCell type_cell;
// as_dict's keys: the texts of __struct_fields__, held here as well so that a
// script changing that list cannot pull them away
std::array<PyObject*, kFields.size()> field_keys{};

PyObject* allocate(PyTypeObject* type, const DataPacket& record) {
    PyObject* self = nullptr;
    forget_stale_free_list();
    if (free_count > 0) {
        self = free_list[--free_count];
        PyObject_Init(self, type);  // also takes the type reference an instance owns
    } else {
        self = reinterpret_cast<PyObject*>(PyObject_New(DataPacketObject, type));
        if (!self) return nullptr;
    }
    std::memcpy(reinterpret_cast<DataPacketObject*>(self)->record, &record, vyre::PACKET_VALUES_SIZE);
    return self;
}

void packet_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    forget_stale_free_list();
    if (type == reinterpret_cast<PyTypeObject*>(type_cell.peek()) && free_count < kFreeListCapacity) {
        free_list[free_count++] = self;
    } else {
        type->tp_free(self);
    }
    Py_DECREF(type);
}

PyObject* packet_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_guard([&]() -> PyObject* {
        std::array<PyObject*, kInputNames.size()> values{};
        if (!parse_tuple_dict(kConstructor, args, kwargs, values)) return nullptr;
        TelemetryFields fields;
        if (!named(kInputNames[0], to_double(values[0], fields.timestamp_seconds))) return nullptr;
        for (std::size_t i = 0; i < kFloatInputs.size(); ++i) {
            if (!named(kFloatInputs[i].name, to_f32(values[i + 1], fields.*kFloatInputs[i].member))) {
                return nullptr;
            }
        }
        // every packet built from Python chooses its up axis from its own sample
        vyre::UpAxis axis = vyre::UpAxis::Undetermined;
        return allocate(type, vyre::derive_packet(fields, axis));
    });
}

PyObject* packet_default_zero(PyObject*, PyObject*) { return new_data_packet(vyre::default_zero_packet()); }

PyObject* serialize_failure() {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    PyErr_Format(PyExc_ValueError, "Failed to serialize packet: %S", error.get());
    return nullptr;
}

PyObject* packet_as_dict(PyObject* self, PyObject*) {
    const std::uint8_t* bytes = reinterpret_cast<DataPacketObject*>(self)->record;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return serialize_failure();
    for (std::size_t i = 0; i < kFields.size(); ++i) {
        const PacketField& field = kFields[i];
        double value = 0.0;
        if (field.is_double) {
            value = *reinterpret_cast<const double*>(bytes + field.offset);
        } else {
            value = static_cast<double>(*reinterpret_cast<const float*>(bytes + field.offset));
        }
        Ref item = Ref::steal(PyFloat_FromDouble(value));
        if (!item) return serialize_failure();
        if (PyDict_SetItem(dict.get(), field_keys[i], item.get()) < 0) return serialize_failure();
    }
    return dict.release();
}

// The state is the stored record's bytes: the derived values come back as they
// were computed for their stream (a rebuilt packet would choose its own up
// axis), and every NaN keeps its payload.
PyObject* packet_reduce(PyObject* self, PyObject*) {
    return reduce_through_restore("VYREDataPacket",
                                  bytes_of(reinterpret_cast<DataPacketObject*>(self)->record, vyre::PACKET_VALUES_SIZE));
}

PyObject* packet_restore(PyObject* type, PyObject* state) {
    DataPacket record{};
    if (!bytes_into(state, &record, vyre::PACKET_VALUES_SIZE, "VYREDataPacket")) return nullptr;
    return allocate(reinterpret_cast<PyTypeObject*>(type), record);
}

// Packets are immutable: a copy may be the packet itself.
PyObject* packet_copy(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyMethodDef methods[] = {
    {"default_zero", packet_default_zero, METH_NOARGS | METH_STATIC, "default_zero()\n--\n\n"},
    {"as_dict", packet_as_dict, METH_NOARGS, "as_dict($self)\n--\n\n"},
    {"__reduce__", packet_reduce, METH_NOARGS, VYRE_REDUCE_DOC},
    {"__copy__", packet_copy, METH_NOARGS, VYRE_COPY_DOC},
    {"__deepcopy__", packet_copy, METH_O, VYRE_DEEPCOPY_DOC},
    {"_restore", packet_restore, METH_O | METH_CLASS, VYRE_RESTORE_DOC},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "VYREDataPacket(timestamp_seconds, temperature_celsius, pressure_pascals, raw_acceleration_x_gs, "
         "raw_acceleration_y_gs, raw_acceleration_z_gs, raw_angular_rate_x_deg_per_s, "
         "raw_angular_rate_y_deg_per_s, raw_angular_rate_z_deg_per_s, magnetic_field_x_microteslas, "
         "magnetic_field_y_microteslas, magnetic_field_z_microteslas, est_position_z_meters, "
         "est_velocity_z_meters_per_s, est_quaternion_w, est_quaternion_x, est_quaternion_y, "
         "est_quaternion_z)\n--\n\nRepresents processed telemetry with derived fields included.")},
    {Py_tp_new, reinterpret_cast<void*>(packet_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(packet_dealloc)},
    {Py_tp_members, members},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.VYREDataPacket",
    sizeof(DataPacketObject),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

PyObject* build_type() {
    std::copy(kMembers.begin(), kMembers.end(), members);
    Ref fields = Ref::steal(PyList_New(static_cast<Py_ssize_t>(kFields.size())));
    if (!fields) return nullptr;
    for (std::size_t i = 0; i < kFields.size(); ++i) {
        PyObject* name = PyUnicode_InternFromString(kFields[i].name);
        if (!name) return nullptr;
        PyList_SET_ITEM(fields.get(), static_cast<Py_ssize_t>(i), name);
    }
    Ref type = Ref::steal(PyType_FromSpec(&spec));
    if (!type || PyObject_SetAttrString(type.get(), "__struct_fields__", fields.get()) < 0) return nullptr;
    for (std::size_t i = 0; i < kFields.size(); ++i) {
        field_keys[i] = Py_NewRef(PyList_GET_ITEM(fields.get(), static_cast<Py_ssize_t>(i)));
    }
    return type.release();
}

}  // namespace

std::span<const PacketField> data_packet_fields() { return kFields; }

PyTypeObject* data_packet_type() { return reinterpret_cast<PyTypeObject*>(type_cell.get_or_init(build_type)); }

PyObject* new_data_packet(const vyre::DataPacket& record) {
    PyTypeObject* type = data_packet_type();
    return type ? allocate(type, record) : nullptr;
}

}  // namespace vyre::py
