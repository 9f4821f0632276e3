// Methods of VYREClient that hand work to background threads: mock log
// streaming and the magnetometer calibration run. They join the class through
// client_extension_methods(); __exit__ ends a running stream through
// stop_mock_stream_for_exit().

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "arguments.hpp"
#include "client_method.hpp"
#include "client_object.hpp"
#include "internal_fault.hpp"
#include "py_ref.hpp"
#include "py_values.hpp"

namespace vyre::py {
namespace {

using Use = ClientAccess::Use;

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

constexpr double kDefaultSpeed = 1.0;
constexpr double kDefaultStartTimeout = 5.0;
constexpr double kDefaultApplyTimeout = 5.0;

constexpr const char* kStartNames[] = {"log_path",   "realtime",           "speed",
                                       "chunk_size", "start_timeout_seconds", "cancel_on_finish"};
constexpr Parameters kStart{"VYREClient.start_mock_log_stream", kStartNames, 1};
constexpr const char* kStopNames[] = {"cancel_device", "block"};
constexpr Parameters kStop{"VYREClient.stop_mock_log_stream", kStopNames, 0};
constexpr const char* kCalibrationNames[] = {"collection_duration_seconds", "apply_timeout_seconds"};
constexpr Parameters kCalibration{"VYREClient.run_and_apply_magnetometer_calibration", kCalibrationNames, 1};

// Optional arguments keep the default already in `out` when absent.
bool optional_bool(const char* name, PyObject* value, bool& out) {
    return !value || named(name, to_bool_strict(value, out));
}

bool optional_double(const char* name, PyObject* value, double& out) {
    return !value || named(name, to_double(value, out));
}

// A byte count through the integer protocol. Negative values and values beyond
// 64 bits are the same OverflowError as every other out-of-range integer.
bool optional_chunk_size(PyObject* value, std::uint64_t& out) {
    if (!value) return true;
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!named("chunk_size", static_cast<bool>(index))) return false;
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (small == -1 && PyErr_Occurred()) return false;
    if (overflow == 0 && small >= 0) {
        out = static_cast<std::uint64_t>(small);
        return true;
    }
    if (overflow > 0) {
        const unsigned long long large = PyLong_AsUnsignedLongLong(index.get());
        if (!(large == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            out = large;
            return true;
        }
    }
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return false;
}

PyObject* client_start_mock_log_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string log_path;
    bool realtime = true;
    double speed = kDefaultSpeed;
    std::uint64_t chunk_size = vyre::DEFAULT_MOCK_CHUNK_SIZE;
    double start_timeout = kDefaultStartTimeout;
    bool cancel_on_finish = true;
    auto convert = [&] {
        std::array<PyObject*, 6> values{};
        return parse_fastcall(kStart, args, nargs, kwnames, values) &&
               named("log_path", to_path(values[0], log_path)) && optional_bool("realtime", values[1], realtime) &&
               optional_double("speed", values[2], speed) && optional_chunk_size(values[3], chunk_size) &&
               optional_double("start_timeout_seconds", values[4], start_timeout) &&
               optional_bool("cancel_on_finish", values[5], cancel_on_finish);
    };
    return waiting_method(
        self, convert,
        [&](auto& r, const auto& check) {
            return r.start_mock_log_stream(log_path, realtime, speed, chunk_size, start_timeout, cancel_on_finish,
                                           check);
        },
        [](const vyre::Status& started) -> PyObject* {
            if (!started) {
                raise_error(started.error());
                return nullptr;
            }
            Py_RETURN_NONE;
        });
}

PyObject* client_stop_mock_log_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bool cancel_device = true;
    bool block = true;
    auto convert = [&] {
        std::array<PyObject*, 2> values{};
        return parse_fastcall(kStop, args, nargs, kwnames, values) &&
               optional_bool("cancel_device", values[0], cancel_device) && optional_bool("block", values[1], block);
    };
    return waiting_method(
        self, convert, [&](auto& r, const auto&) { return r.stop_mock_log_stream(cancel_device, block); },
        [](const auto& stopped) -> PyObject* {
            if (!stopped) {
                raise_error(stopped.error());
                return nullptr;
            }
            if (!stopped.value()) Py_RETURN_NONE;
            return PyLong_FromUnsignedLongLong(*stopped.value());
        });
}

PyObject* client_is_mock_log_streaming(PyObject* self, PyObject*) {
    return client_method(self, Use::Shared, [](ClientAccess& access) {
        return PyBool_FromLong(access.runtime().is_mock_log_streaming());
    });
}

PyObject* client_mock_frames_waiting(PyObject* self, PyObject*) {
    return client_method(self, Use::Shared, [](ClientAccess& access) {
        return PyLong_FromUnsignedLongLong(access.runtime().mock_frames_waiting());
    });
}

// Prints the report after whatever the script has written to sys.stdout, so the
// two stay in order also when standard output is a pipe or a file. A flush that
// fails still lets the report out. Only a signal handler's exception (Ctrl-C's
// KeyboardInterrupt, anything not an Exception) is kept, in `deferred`, to be
// raised once the run is over; the run itself goes on as without it.
class OrderedReport {
public:
    void operator()(const vyre::MagnetometerFit& fit) {
        flush_python_stdout();
        vyre::print_calibration_report(fit);
    }

    // Sets the kept exception, if any; true when it did.
    bool raise_deferred() {
        if (!deferred_) return false;
        PyErr_SetRaisedException(deferred_.release());
        return true;
    }

private:
    void flush_python_stdout() {
        PyObject* out = PySys_GetObject("stdout");  // borrowed
        if (!out || out == Py_None) return;
        Ref flushed = Ref::steal(PyObject_CallMethod(out, "flush", nullptr));
        if (flushed) return;
        Ref raised = Ref::steal(PyErr_GetRaisedException());
        if (raised && !PyErr_GivenExceptionMatches(raised.get(), PyExc_Exception) && !deferred_) {
            deferred_ = std::move(raised);
        }
    }

    Ref deferred_;
};

// The last run as a dict; a new one on each read, so changing it changes nothing.
// `applied` is the run's result (None when nothing computed was written).
PyObject* calibration_summary(const vyre::CalibrationOutcome& outcome, std::optional<bool> applied) {
    Ref offsets = Ref::borrow(Py_None);
    Ref matrix = Ref::borrow(Py_None);
    Ref rms = Ref::borrow(Py_None);
    Ref largest = Ref::borrow(Py_None);
    if (outcome.fit) {
        offsets = Ref::steal(f32_list(outcome.fit->offsets));
        matrix = Ref::steal(f32_list(outcome.fit->scale_matrix));
        rms = Ref::steal(PyFloat_FromDouble(outcome.residuals.rms));
        largest = Ref::steal(PyFloat_FromDouble(outcome.residuals.max));
        if (!offsets || !matrix || !rms || !largest) return nullptr;
    }
    return Py_BuildValue("{s:n,s:O,s:O,s:O,s:O,s:O}", "samples", static_cast<Py_ssize_t>(outcome.samples),
                         "offsets", offsets.get(), "scale_matrix", matrix.get(), "rms_residual_microteslas",
                         rms.get(), "max_residual_microteslas", largest.get(), "applied",
                         applied.value_or(false) ? Py_True : Py_False);
}

PyObject* client_run_and_apply_magnetometer_calibration(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                        PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        std::array<PyObject*, 2> values{};
        if (!parse_fastcall(kCalibration, args, nargs, kwnames, values)) return nullptr;
        if (!check_client_thread(self)) return nullptr;
        ClientAccess access(self, Use::Exclusive);
        if (!access) return nullptr;
        double collection = 0.0;
        double apply_timeout = kDefaultApplyTimeout;
        if (!named("collection_duration_seconds", to_double(values[0], collection)) ||
            !optional_double("apply_timeout_seconds", values[1], apply_timeout)) {
            return nullptr;
        }
        OrderedReport report;
        ClientState& state = client_object(self)->state;
        state.last_calibration.reset();
        const bool print = state.print_calibration_report;
        std::optional<vyre::CalibrationOutcome> outcome;
        // The report flushes sys.stdout first: it takes the lock back for that.
        WaitScope scope = access.wait_scope();
        const vyre::InterruptCheck check = scope.interrupt_check();
        const auto applied = scope.run([&] {
            vyre::CalibrationReportSink sink;
            if (print) sink = [&](const vyre::MagnetometerFit& fit) { scope.locked([&] { report(fit); }); };
            return access.runtime().run_magnetometer_calibration(collection, apply_timeout, check, sink, &outcome);
        });
        // Recorded whatever happens next: a run that collected but then failed
        // to write still tells what it fitted.
        if (outcome) {
            state.last_calibration =
                Ref::steal(calibration_summary(*outcome, applied ? applied.value() : std::optional<bool>()));
            if (!state.last_calibration) return nullptr;
        }
        // A kept signal exception outranks an ordinary failure; one raised by a
        // later signal handler (an interrupted wait) is already set and stays.
        if (!applied) {
            if (!applied.error().is_interrupted() && report.raise_deferred()) return nullptr;
            raise_error(applied.error());
            return nullptr;
        }
        if (report.raise_deferred()) return nullptr;
        if (!applied.value()) Py_RETURN_NONE;
        return PyBool_FromLong(*applied.value());
    });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

const PyMethodDef kStreamingMethods[] = {
    {"start_mock_log_stream", as_method(client_start_mock_log_stream), kFastcall,
     "start_mock_log_stream($self, log_path, realtime=True, speed=1.0, chunk_size=8192, "
     "start_timeout_seconds=5.0, cancel_on_finish=True)\n--\n\n"
     "Start streaming a mock log file in the background."},
    {"stop_mock_log_stream", as_method(client_stop_mock_log_stream), kFastcall,
     "stop_mock_log_stream($self, cancel_device=True, block=True)\n--\n\n"},
    {"is_mock_log_streaming", client_is_mock_log_streaming, METH_NOARGS, "is_mock_log_streaming($self)\n--\n\n"},
    {"mock_frames_waiting", client_mock_frames_waiting, METH_NOARGS,
     "mock_frames_waiting($self)\n--\n\n"
     "Mock-log frames queued and not yet written to the port (commands overtake them)."},
    {"run_and_apply_magnetometer_calibration", as_method(client_run_and_apply_magnetometer_calibration), kFastcall,
     "run_and_apply_magnetometer_calibration($self, collection_duration_seconds, apply_timeout_seconds=5.0)\n--\n\n"
     "Runs a blocking magnetometer calibration sequence.\n"
     "\n"
     "This function will:\n"
     "1. Start the calibration listener.\n"
     "2. Sleep for `collection_duration_seconds` (blocking the script).\n"
     "3. Stop the listener and calculate the result.\n"
     "4. Apply the result to the device if successful."},
};

PyObject* client_get_print_calibration_report(PyObject* self, void*) {
    if (!check_client_thread(self)) return nullptr;
    return PyBool_FromLong(client_object(self)->state.print_calibration_report);
}

int client_set_print_calibration_report(PyObject* self, PyObject* value, void*) {
    if (!check_client_thread(self)) return -1;
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "print_calibration_report cannot be deleted");
        return -1;
    }
    bool print = true;
    if (!named("print_calibration_report", to_bool_strict(value, print))) return -1;
    client_object(self)->state.print_calibration_report = print;
    return 0;
}

PyObject* client_get_last_calibration(PyObject* self, void*) {
    if (!check_client_thread(self)) return nullptr;
    PyObject* last = client_object(self)->state.last_calibration.get();
    if (!last) Py_RETURN_NONE;
    return call_guard([&]() -> PyObject* {
        Ref copy = Ref::steal(PyDict_Copy(last));
        if (!copy) return nullptr;
        // the lists too, so that the stored ones stay as they were
        for (const char* key : {"offsets", "scale_matrix"}) {
            PyObject* list = PyDict_GetItemString(copy.get(), key);  // borrowed
            if (!list || !PyList_Check(list)) continue;
            Ref fresh = Ref::steal(PyList_GetSlice(list, 0, PyList_GET_SIZE(list)));
            if (!fresh || PyDict_SetItemString(copy.get(), key, fresh.get()) < 0) return nullptr;
        }
        return copy.release();
    });
}

const PyGetSetDef kStreamingAttributes[] = {
    {"print_calibration_report", client_get_print_calibration_report, client_set_print_calibration_report,
     "Whether run_and_apply_magnetometer_calibration prints its three-line report\n"
     "(True by default).",
     nullptr},
    {"last_magnetometer_calibration", client_get_last_calibration, nullptr,
     "What the last run_and_apply_magnetometer_calibration collected and fitted,\n"
     "as a new dict on each read; None before a run or when a run ended before\n"
     "its collection did.",
     nullptr},
};

}  // namespace

std::span<const PyMethodDef> client_extension_methods() { return kStreamingMethods; }

std::span<const PyGetSetDef> client_extension_attributes() { return kStreamingAttributes; }

// The wait for the streaming thread cannot be interrupted, but it is short: the
// thread tests the stop flag at least every 10 ms and after every file read.
void stop_mock_stream_for_exit(ClientAccess& access) {
    // the stream's failure stays on the error queue for the next call
    (void)access.runtime().stop_mock_log_stream(/*cancel_device=*/true, /*block=*/true, /*report=*/false);
}

}  // namespace vyre::py
