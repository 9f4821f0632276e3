#pragma once
// VYREDataPacket: one telemetry sample with its derived values, as an immutable
// Python object that is the bare 96-byte record behind the object header.

#include <Python.h>


#include "vyre_packets.hpp"

namespace vyre::py {

PyTypeObject* data_packet_type();

// A new VYREDataPacket holding `record` (taken from the free list when it can).
PyObject* new_data_packet(const vyre::DataPacket& record);

}  // namespace vyre::py
