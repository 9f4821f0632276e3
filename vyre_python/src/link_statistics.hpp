#pragma once
// VYREClient.link_statistics(): the runtime's link counts as a dict of ints;
// VYREClient.clock_sync(): the clock model's state as a dict.

#include <Python.h>

#include "reader/clock_model.hpp"
#include "sync/link_counters.hpp"

namespace vyre::py {

// A new dict with one int per count, or null with an exception set.
PyObject* new_link_statistics(const vyre::LinkStatistics& statistics);
// A new dict: synced (bool), offset_seconds, drift_ppm (floats), pairs, resets
// (ints), jitter_seconds (float).
PyObject* new_clock_sync(const vyre::ClockSync& sync);

}  // namespace vyre::py
