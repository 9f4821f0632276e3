#include "link_statistics.hpp"

#include <cstdint>
#include <utility>

#include "py_ref.hpp"

namespace vyre::py {

PyObject* new_link_statistics(const vyre::LinkStatistics& s) {
    const vyre::FramerCounts& f = s.link.framer;
    // The order the stubs document them in: bytes, frames, refused candidates, the caller's side.
    const std::pair<const char*, std::uint64_t> items[] = {
        {"bytes_received", f.bytes},
        {"frame_bytes", f.frame_bytes},
        {"noise_bytes", f.noise_bytes},
        {"buffered_bytes", s.link.buffered_bytes},
        {"telemetry_frames", f.telemetry_frames},
        {"response_frames", f.response_frames},
        {"short_frames", f.short_frames},
        {"unknown_responses", f.unknown_responses},
        {"crc_rejected", f.crc_rejected},
        {"length_rejected", f.length_rejected},
        {"given_up", f.given_up},
        {"answers_dropped", s.answers_dropped},
        {"packets_delivered", s.packets_delivered},
        {"packets_waiting", s.packets_waiting},
        {"read_errors", s.link.read_errors},
        {"packets_discarded", s.link.packets_discarded},
    };
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& [name, value] : items) {
        Ref number = Ref::steal(PyLong_FromUnsignedLongLong(value));
        if (!number || PyDict_SetItemString(dict.get(), name, number.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* new_clock_sync(const vyre::ClockSync& s) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    const auto set = [&](const char* name, PyObject* value) {
        Ref held = Ref::steal(value);
        return held && PyDict_SetItemString(dict.get(), name, held.get()) == 0;
    };
    if (!set("synced", PyBool_FromLong(s.synced != 0)) || !set("offset_seconds", PyFloat_FromDouble(s.offset_seconds)) ||
        !set("drift_ppm", PyFloat_FromDouble(s.drift_ppm)) || !set("pairs", PyLong_FromUnsignedLongLong(s.pairs)) ||
        !set("resets", PyLong_FromUnsignedLongLong(s.resets)) ||
        !set("jitter_seconds", PyFloat_FromDouble(s.jitter_seconds)) ||
        !set("drift_uncertainty_ppm", PyFloat_FromDouble(s.drift_uncertainty_ppm))) {
        return nullptr;
    }
    return dict.release();
}

}  // namespace vyre::py
