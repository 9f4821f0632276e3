#pragma once
// get_data_array's result: the telemetry records taken from the packet queue in
// one step, as a numpy structured array over the very block that queued them.
// A record's bytes are its row (the packet's 23 values, then the host receive
// time), so nothing is copied. numpy is imported at the first use: the module
// neither needs it to import nor is built against its headers.

#include <Python.h>

#include "sync/channel.hpp"
#include "telemetry.hpp"

namespace vyre::py {

// Imports numpy and builds the row dtype, once per interpreter lifetime. False
// with ImportError set ("get_data_array needs numpy: pip install numpy") when
// numpy cannot be imported, or with the failure's exception otherwise.
bool load_numpy_for_packet_arrays();

// A new array over `rows`, whose block it takes over (also on failure, when it
// is released and null returned with an exception set). Needs
// load_numpy_for_packet_arrays() first.
PyObject* new_packet_array(vyre::ItemBlock<vyre::DataPacket> rows);

}  // namespace vyre::py
