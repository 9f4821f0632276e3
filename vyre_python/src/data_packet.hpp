#pragma once
// VYREDataPacket: one telemetry sample with its derived values, as an immutable
// Python object that is the record's bare 96 bytes of values behind the object
// header.

#include <Python.h>

#include <cstddef>
#include <span>

#include "telemetry.hpp"

namespace vyre::py {

// One value of the record: attribute order, __struct_fields__, as_dict and the
// columns of get_data_array all come from one table of these.
struct PacketField {
    const char* name;
    std::size_t offset;  // in vyre::DataPacket
    bool is_double;      // else a float
};

// The 23 values in declaration order, front to back with no gap.
std::span<const PacketField> data_packet_fields();

PyTypeObject* data_packet_type();

// A new VYREDataPacket holding `record` (taken from the free list when it can).
PyObject* new_data_packet(const vyre::DataPacket& record);

}  // namespace vyre::py
