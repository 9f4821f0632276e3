#pragma once
// VYREClient.link_statistics(): the runtime's link counts as a dict of ints.

#include <Python.h>

#include "sync/link_counters.hpp"

namespace vyre::py {

// A new dict with one int per count, or null with an exception set.
PyObject* new_link_statistics(const vyre::LinkStatistics& statistics);

}  // namespace vyre::py
