#pragma once
// Waits keep the interpreter lock, so nothing else would run Python's signal
// handlers meanwhile. The runtime calls this hook every ~50 ms while it waits;
// a handler that raises (Ctrl-C's KeyboardInterrupt, for one) ends the wait with
// its exception set, leaving the state a time-out would have left.

#include <Python.h>

#include "interrupt.hpp"

namespace vyre::py {

// For use on the thread that holds the interpreter lock, for the length of one call.
inline vyre::InterruptCheck signal_check() {
    return [] { return PyErr_CheckSignals() < 0; };
}

}  // namespace vyre::py
