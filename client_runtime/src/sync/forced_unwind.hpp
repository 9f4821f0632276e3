#pragma once
// pthread_exit (and CPython's exit ending a thread that asks for its lock)
// unwinds through our frames with a forced unwind, which a catch (...) must let
// pass. libstdc++ gives it a type to catch first and rethrow. libc++ (the
// wheels' C++ runtime) has none: there the type below is never thrown, and a
// forced unwind that meets a catch (...) still ends the process, as it did
// everywhere before; waits park their thread before asking for the lock, so
// that takes an exit starting between the look and the request.

#include <cxxabi.h>

namespace vyre {

#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
#else
struct ForcedUnwind {};
#endif

}  // namespace vyre
