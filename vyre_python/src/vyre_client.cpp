// VYREClient: the Python class around one ClientRuntime. Each method checks the
// calling thread, converts its arguments, borrows the instance and calls the
// runtime; runtime errors become Python exceptions through raise_error.
//
// Waits keep the interpreter lock unless the client's `release_gil` is set;
// either way they poll for pending signals, so Ctrl-C still ends them
// (wait_scope.hpp).

#include <Python.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "calibration_values.hpp"
#include "client_method.hpp"
#include "client_object.hpp"
#include "data_packet.hpp"
#include "device_config.hpp"
#include "device_info.hpp"
#include "device_protocol.hpp"
#include "internal_fault.hpp"
#include "interpreter_exit.hpp"
#include "link_statistics.hpp"
#include "mock_device_handle.hpp"
#include "once_cell.hpp"
#include "packet_array.hpp"
#include "py_ref.hpp"
#include "sync/durations.hpp"
#include "wait_settings.hpp"

namespace vyre::py {
namespace {

static_assert(std::is_standard_layout_v<ClientObject>);

using Use = ClientAccess::Use;

constexpr std::uint32_t kDefaultBaudRate = 2'000'000;
constexpr double kDefaultTimeout = 0.1;
constexpr double kDefaultTransactionTimeout = 5.0;

constexpr const char* kChannelTimedOut = "timed out waiting on channel";
constexpr const char* kChannelClosed = "channel is empty and sending half is closed";

OnceCell type_cell;

constexpr const char* kConstructorNames[] = {"port_name", "baud_rate", "timeout"};
constexpr Parameters kConstructor{"VYREClient", kConstructorNames, 1};
constexpr const char* kExitNames[] = {"_exc_type", "_exc_value", "_traceback"};
constexpr Parameters kExit{"VYREClient.__exit__", kExitNames, 3};
constexpr const char* kBlockNames[] = {"block"};
constexpr Parameters kGetDataPackets{"VYREClient.get_data_packets", kBlockNames, 0};
constexpr Parameters kGetDataArray{"VYREClient.get_data_array", kBlockNames, 0};
constexpr const char* kTimeoutNames[] = {"timeout_seconds"};
constexpr Parameters kGetDeviceInfo{"VYREClient.get_device_info", kTimeoutNames, 0};
constexpr Parameters kGetDeviceConfig{"VYREClient.get_device_config", kTimeoutNames, 0};
constexpr Parameters kGetCalibration{"VYREClient.get_calibration", kTimeoutNames, 0};
constexpr Parameters kCancel{"VYREClient.cancel", kTimeoutNames, 0};
constexpr const char* kSetDeviceConfigNames[] = {"name", "frequency", "protocol", "timeout_seconds"};
constexpr Parameters kSetDeviceConfig{"VYREClient.set_device_config", kSetDeviceConfigNames, 3};
constexpr const char* kSetImuNames[] = {"accel_offsets", "accel_scale_matrix", "gyro_offsets", "gyro_scale_matrix",
                                        "timeout_seconds"};
constexpr Parameters kSetImuCalibration{"VYREClient.set_imu_calibration", kSetImuNames, 4};
constexpr const char* kSetMagnetometerNames[] = {"offsets", "scale_matrix", "timeout_seconds"};
constexpr Parameters kSetMagnetometerCalibration{"VYREClient.set_magnetometer_calibration", kSetMagnetometerNames,
                                                 2};

// ---- conversions shared by the methods

PyObject* none_or_raise(const vyre::Status& status) {
    if (!status) {
        raise_error(status.error());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* bool_or_raise(const vyre::Result<bool>& result) {
    if (!result) {
        raise_error(result.error());
        return nullptr;
    }
    return PyBool_FromLong(result.value());
}

template <class T>
PyObject* value_or_raise(const vyre::Result<std::optional<T>>& result, PyObject* (*to_python)(const T&)) {
    if (!result) {
        raise_error(result.error());
        return nullptr;
    }
    if (!result.value()) Py_RETURN_NONE;
    return to_python(*result.value());
}

// An optional `timeout_seconds` (float or int; absent gives 5 s).
bool timeout_argument(PyObject* value, double& out) {
    out = kDefaultTransactionTimeout;
    return !value || named("timeout_seconds", to_double(value, out));
}

// A transaction whose only parameter is `timeout_seconds`: `call(runtime,
// timeout, check)`, its result handed to `finish`.
template <class Call, class Finish>
PyObject* timed_transaction(PyObject* self, const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames, Call&& call, Finish&& finish) {
    double timeout = 0.0;
    auto convert = [&] {
        std::array<PyObject*, 1> values{};
        return parse_fastcall(params, args, nargs, kwnames, values) && timeout_argument(values[0], timeout);
    };
    return waiting_method(
        self, convert, [&](auto& r, const auto& check) { return call(r, timeout, check); }, finish);
}

// Builds the list of packet objects straight from the records leaving the
// queue (drain_into's target), so a burst is never copied on the way. After a
// failure the rest of the burst is dropped, as a failed list would drop it.
class PacketListBuilder {
public:
    PacketListBuilder() : list_(Ref::steal(PyList_New(0))) {}

    void push_back(const vyre::DataPacket& record) {
        if (!list_) return;
        Ref packet = Ref::steal(new_data_packet(record));
        if (!packet || PyList_Append(list_.get(), packet.get()) < 0) list_ = Ref();
    }

    PyObject* release() { return list_.release(); }

private:
    Ref list_;
};

// Waits up to `timeout_seconds` until a packet is queued, leaving it there for
// the caller to take with the rest. A link failure ends the wait at once with
// the failure's text. Touches no Python object: it may run without the lock.
vyre::Status wait_for_packet(vyre::ClientRuntime& runtime, double timeout_seconds,
                             const vyre::InterruptCheck& interrupted) {
    vyre::Receiver<vyre::DataPacket>& packets = runtime.packets();
    auto timeout = vyre::duration_from_secs_f64(timeout_seconds);
    if (!timeout) return timeout.take_error();
    auto deadline = vyre::Instant::now().checked_add(timeout.value());
    if (!deadline) return deadline.take_error();
    for (;;) {
        const auto slice = vyre::Instant::now().until(deadline.value()).capped(vyre::INTERRUPT_POLL_INTERVAL);
        switch (packets.wait_until(std::chrono::steady_clock::now() + slice)) {
            case vyre::RecvStatus::Ok:
                return vyre::ok_status();
            case vyre::RecvStatus::Failed:
                if (auto error = runtime.take_failure()) return std::move(*error);
                return vyre::Error::link_lost(kChannelClosed);
            case vyre::RecvStatus::Disconnected:
                return vyre::Error::link_lost(kChannelClosed);
            case vyre::RecvStatus::Timeout:
                break;
        }
        if (vyre::Instant::now() >= deadline.value()) return vyre::Error::timed_out(kChannelTimedOut);
        if (interrupted()) return vyre::Error::interrupted();
    }
}

// The packet calls' only argument: `block`, a Python bool (absent: False).
bool block_argument(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    bool& block) {
    std::array<PyObject*, 1> values{};
    if (!parse_fastcall(params, args, nargs, kwnames, values)) return false;
    return !values[0] || named("block", to_bool_strict(values[0], block));
}

// False with the oldest background error raised, if there is one.
bool no_pending_error(vyre::ClientRuntime& runtime) {
    auto error = runtime.take_failure();
    if (!error) return true;
    raise_error(*error);
    return false;
}

// Before taking packets: with `block`, waits for one as above, the reader
// reading as data comes meanwhile; otherwise catches a reader that lets the
// line fill up, so the caller gets what has arrived by now.
bool wait_or_catch_up(ClientAccess& access, bool block) {
    vyre::ClientRuntime& runtime = access.runtime();
    if (!block) {
        runtime.catch_up_reader();
        return true;
    }
    const vyre::CallerWaiting waiting = runtime.caller_waiting();
    const double timeout = access.state().timeout;
    const vyre::Status waited = run_waiting(access, [timeout](auto& r, const auto& check) {
        return wait_for_packet(r, timeout, check);
    });
    if (waited) return true;
    raise_error(waited.error());
    return false;
}

// ---- construction and destruction

// The interpreter lock released for its scope, whichever way that ends.
class LockReleased {
public:
    LockReleased() : saved_(PyEval_SaveThread()) {}
    ~LockReleased() { take_lock_back(saved_); }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

private:
    PyThreadState* saved_;
};

// After a failed open: when a client of this process holds the port, a note on
// the raised exception says which and how to let go (the text stays as it is).
void note_holder(const std::string& port_name) {
    const std::optional<std::string> holder = port_holder(port_name);
    if (!holder) return;
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "VYREClient('%s') of this process holds this port: a stopped client keeps its port until close() "
        "(or until it is garbage-collected); close() it before opening the port again",
        holder->c_str()));
    if (note) {
        Ref added = Ref::steal(PyObject_CallMethod(raised.get(), "add_note", "O", note.get()));
        if (!added) PyErr_Clear();  // the open's own failure is what to report
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(raised.release());
}

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_guard([&]() -> PyObject* {
        std::array<PyObject*, 3> values{};
        if (!parse_tuple_dict(kConstructor, args, kwargs, values)) return nullptr;
        std::string port_name;
        std::uint32_t baud_rate = kDefaultBaudRate;
        double timeout = kDefaultTimeout;
        if (!named("port_name", to_path(values[0], port_name))) return nullptr;
        if (values[1] && values[1] != Py_None && !named("baud_rate", to_u32(values[1], baud_rate))) return nullptr;
        if (values[2] && values[2] != Py_None && !named("timeout", to_double(values[2], timeout))) return nullptr;
        // Opening takes the port's 50 ms settle time (and more on a slow device):
        // other threads and event loops run meanwhile. Only C++ values are used.
        vyre::Result<std::unique_ptr<vyre::ClientRuntime>> runtime = [&] {
            const LockReleased released;
            return vyre::ClientRuntime::open(port_name, baud_rate, timeout);
        }();
        if (!runtime) {
            raise_error(runtime.error());
            note_holder(port_name);
            return nullptr;
        }
        return wrap_client(type, std::move(runtime).value(), timeout, std::move(port_name));
    });
}

// Runs on whichever thread drops the last reference. Nothing can reach the
// object any more, so the runtime is stopped and released there too: its reader
// thread is joined and the port closed instead of living on unowned.
void client_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    PyTypeObject* type = Py_TYPE(self);
    ClientObject* obj = client_object(self);
    obj->state.~ClientState();
    obj->borrow.~BorrowFlag();
    type->tp_free(self);
    Py_DECREF(type);
}

// The interrupt hook and the last calibration's dict are the Python objects a
// client holds.
int client_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(client_object(self)->state.interrupt_hook.get());
    Py_VISIT(client_object(self)->state.last_calibration.get());
    return 0;
}

int client_clear(PyObject* self) {
    client_object(self)->state.interrupt_hook.reset();
    client_object(self)->state.last_calibration.reset();
    return 0;
}

// ---- lifecycle

PyObject* client_start(PyObject* self, PyObject*) {
    return client_method(self, Use::Exclusive,
                         [](ClientAccess& access) { return none_or_raise(access.runtime().start()); });
}

PyObject* client_stop(PyObject* self, PyObject*) {
    return client_method(
        self, Use::Exclusive, kNoArguments,
        [](ClientAccess& access) { return none_or_raise(run_waiting(access, [](auto& r, const auto&) { return r.stop(); })); },
        kWorksWhenClosed);
}

// Stops as stop() does, then closes the port at once, so that another client
// can open it. Closing twice does nothing.
PyObject* client_close(PyObject* self, PyObject*) {
    return client_method(
        self, Use::Exclusive, kNoArguments,
        [](ClientAccess& access) -> PyObject* {
            ClientState& state = access.state();
            if (state.closed) Py_RETURN_NONE;
            const vyre::Status stopped = run_waiting(access, [](auto& r, const auto&) { return r.close(); });
            state.closed = true;
            state.claim.release();
            return none_or_raise(stopped);
        },
        kWorksWhenClosed);
}

PyObject* client_get_closed(PyObject* self, void*) {
    if (!check_client_thread(self)) return nullptr;
    return PyBool_FromLong(client_object(self)->state.closed);
}

PyObject* client_is_running(PyObject* self, PyObject*) {
    return client_method(
        self, Use::Shared, kNoArguments,
        [](ClientAccess& access) { return PyBool_FromLong(access.runtime().is_running()); }, kWorksWhenClosed);
}

PyObject* client_ensure_ok(PyObject* self, PyObject*) {
    return client_method(self, Use::Shared, [](ClientAccess& access) -> PyObject* {
        if (!no_pending_error(access.runtime())) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* client_enter(PyObject* self, PyObject*) {
    return client_method(self, Use::Exclusive, [self](ClientAccess& access) -> PyObject* {
        const vyre::Status started = access.runtime().start();
        if (!started) {
            raise_error(started.error());
            return nullptr;
        }
        return Py_NewRef(self);
    });
}

// Returns None, so an exception raised in the `with` block propagates after the
// client has been stopped.
PyObject* client_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto convert = [&] {
        std::array<PyObject*, 3> values{};
        return parse_fastcall(kExit, args, nargs, kwnames, values);
    };
    // A block that closed the client leaves it as it is.
    return client_method(
        self, Use::Exclusive, convert,
        [](ClientAccess& access) -> PyObject* {
            if (access.state().closed) Py_RETURN_NONE;
            return none_or_raise(run_waiting(access, [&](auto& r, const auto&) {
                stop_mock_stream_for_exit(access);
                return r.stop();
            }));
        },
        kWorksWhenClosed);
}

// ---- telemetry

PyObject* client_get_data_packets(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bool block = false;
    auto convert = [&] { return block_argument(kGetDataPackets, args, nargs, kwnames, block); };
    return client_method(self, Use::Exclusive, convert, [&](ClientAccess& access) -> PyObject* {
        vyre::ClientRuntime& runtime = access.runtime();
        if (!no_pending_error(runtime)) return nullptr;

        if (!wait_or_catch_up(access, block)) return nullptr;
        PacketListBuilder list;  // after the wait, which may outlive the interpreter
        runtime.packets().drain_into(list);
        return list.release();
    });
}

PyObject* client_fileno(PyObject* self, PyObject*) {
    return client_method(self, Use::Shared, [](ClientAccess& access) -> PyObject* {
        const vyre::Result<int> fd = access.runtime().ready_descriptor();
        if (!fd) {
            raise_error(fd.error());
            return nullptr;
        }
        return PyLong_FromLong(fd.value());
    });
}

PyObject* client_discard_backlog(PyObject* self, PyObject*) {
    return client_method(self, Use::Exclusive, [](ClientAccess& access) -> PyObject* {
        access.runtime().discard_backlog();
        Py_RETURN_NONE;
    });
}

// Shared use, as it only reads: cheap enough to call every few milliseconds.
PyObject* client_link_statistics(PyObject* self, PyObject*) {
    return client_method(
        self, Use::Shared, kNoArguments,
        [](ClientAccess& access) { return new_link_statistics(access.runtime().link_statistics()); },
        kWorksWhenClosed);
}

// Shared use, as link_statistics.
PyObject* client_clock_sync(PyObject* self, PyObject*) {
    return client_method(self, Use::Shared,
                         [](ClientAccess& access) { return new_clock_sync(access.runtime().clock_sync()); });
}

// get_data_packets' packets as one numpy structured array over the block that
// queued them. numpy is looked for after the pending error and before anything
// leaves the queue, so without it the packets stay for get_data_packets.
PyObject* client_get_data_array(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    bool block = false;
    auto convert = [&] { return block_argument(kGetDataArray, args, nargs, kwnames, block); };
    return client_method(self, Use::Exclusive, convert, [&](ClientAccess& access) -> PyObject* {
        vyre::ClientRuntime& runtime = access.runtime();
        if (!no_pending_error(runtime)) return nullptr;

        if (!load_numpy_for_packet_arrays()) return nullptr;
        if (!wait_or_catch_up(access, block)) return nullptr;
        return new_packet_array(runtime.packets().take_all());
    });
}

// ---- command transactions

PyObject* client_get_device_info(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return timed_transaction(
        self, kGetDeviceInfo, args, nargs, kwnames,
        [](auto& r, double timeout, const auto& check) { return r.get_device_info(timeout, check); },
        [](const auto& result) { return value_or_raise(result, new_device_info); });
}

PyObject* client_get_device_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return timed_transaction(
        self, kGetDeviceConfig, args, nargs, kwnames,
        [](auto& r, double timeout, const auto& check) { return r.get_device_config(timeout, check); },
        [](const auto& result) { return value_or_raise(result, new_device_config); });
}

// The device's name ends at its first zero byte: a NUL would cut it short
// while the device acknowledges, so it is refused before anything is sent.
bool device_name(const std::string& name) {
    if (name.find('\0') == std::string::npos) return true;
    PyErr_SetString(PyExc_ValueError, "name must not contain a NUL character (the device's name ends at its first)");
    return false;
}

PyObject* client_set_device_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::string name;
    std::uint16_t frequency = 0;
    vyre::DeviceProtocol protocol{};
    double timeout = 0.0;
    auto convert = [&] {
        std::array<PyObject*, 4> values{};
        return parse_fastcall(kSetDeviceConfig, args, nargs, kwnames, values) &&
               named("name", to_text(values[0], name)) && device_name(name) &&
               named("frequency", to_u16(values[1], frequency)) &&
               named("protocol", to_device_protocol(values[2], protocol)) && timeout_argument(values[3], timeout);
    };
    return waiting_method(
        self, convert,
        [&](auto& r, const auto& check) { return r.set_device_config(name, frequency, protocol, timeout, check); },
        bool_or_raise);
}

PyObject* client_get_calibration(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return timed_transaction(
        self, kGetCalibration, args, nargs, kwnames,
        [](auto& r, double timeout, const auto& check) { return r.get_calibration(timeout, check); },
        [](const auto& result) { return value_or_raise(result, new_calibration_values); });
}

// The calibration setters refuse NaN and infinities (also numbers beyond the
// single-precision range) that the device would otherwise take and apply to
// every reading. That check comes after every conversion, so a malformed
// argument is reported as it always was.
PyObject* client_set_imu_calibration(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<float, 3> accel_offsets{};
    std::array<float, 9> accel_scale_matrix{};
    std::array<float, 3> gyro_offsets{};
    std::array<float, 9> gyro_scale_matrix{};
    double timeout = 0.0;
    auto convert = [&] {
        std::array<PyObject*, 5> values{};
        return parse_fastcall(kSetImuCalibration, args, nargs, kwnames, values) &&
               named("accel_offsets", to_f32_array(values[0], accel_offsets)) &&
               named("accel_scale_matrix", to_f32_array(values[1], accel_scale_matrix)) &&
               named("gyro_offsets", to_f32_array(values[2], gyro_offsets)) &&
               named("gyro_scale_matrix", to_f32_array(values[3], gyro_scale_matrix)) &&
               timeout_argument(values[4], timeout) && require_finite("accel_offsets", accel_offsets) &&
               require_finite("accel_scale_matrix", accel_scale_matrix) &&
               require_finite("gyro_offsets", gyro_offsets) && require_finite("gyro_scale_matrix", gyro_scale_matrix);
    };
    return waiting_method(
        self, convert,
        [&](auto& r, const auto& check) {
            return r.set_imu_calibration(accel_offsets, accel_scale_matrix, gyro_offsets, gyro_scale_matrix, timeout,
                                         check);
        },
        bool_or_raise);
}

PyObject* client_set_magnetometer_calibration(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
    std::array<float, 3> offsets{};
    std::array<float, 9> scale_matrix{};
    double timeout = 0.0;
    auto convert = [&] {
        std::array<PyObject*, 3> values{};
        return parse_fastcall(kSetMagnetometerCalibration, args, nargs, kwnames, values) &&
               named("offsets", to_f32_array(values[0], offsets)) &&
               named("scale_matrix", to_f32_array(values[1], scale_matrix)) && timeout_argument(values[2], timeout) &&
               require_finite("offsets", offsets) && require_finite("scale_matrix", scale_matrix);
    };
    return waiting_method(
        self, convert,
        [&](auto& r, const auto& check) { return r.set_magnetometer_calibration(offsets, scale_matrix, timeout, check); },
        bool_or_raise);
}

PyObject* client_reboot(PyObject* self, PyObject*) {
    return client_method(self, Use::Exclusive,
                         [](ClientAccess& access) { return none_or_raise(access.runtime().reboot()); });
}

PyObject* client_cancel(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return timed_transaction(
        self, kCancel, args, nargs, kwnames,
        [](auto& r, double timeout, const auto& check) { return r.cancel(timeout, check); }, bool_or_raise);
}

// ---- attributes

PyObject* client_get_keep_late_answers(PyObject* self, void*) {
    if (!check_client_thread(self)) return nullptr;
    return PyBool_FromLong(client_object(self)->state.runtime->keeps_late_answers());
}

int client_set_keep_late_answers(PyObject* self, PyObject* value, void*) {
    if (!check_client_thread(self)) return -1;
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "keep_late_answers cannot be deleted");
        return -1;
    }
    if (!PyBool_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "keep_late_answers must be a bool");
        return -1;
    }
    ClientAccess access(self, Use::Exclusive);
    if (!access) return -1;
    access.runtime().keep_late_answers(value == Py_True);
    return 0;
}

// Shared use, as it only reads: a consumer polling between takes pays a lock.
PyObject* client_get_link_failure(PyObject* self, void*) {
    return client_method(
        self, Use::Shared, kNoArguments,
        [](ClientAccess& access) -> PyObject* {
            const std::optional<vyre::Error> failure = access.runtime().link_failure();
            if (!failure) Py_RETURN_NONE;
            return os_error_for(*failure);
        },
        kWorksWhenClosed);
}

const PyGetSetDef kOwnAttributes[] = {
    {"link_failure", client_get_link_failure, nullptr,
     "The failure the reader ended on (the link lost), as the exception a call\n"
     "raises for it; None while the link works and after a plain stop. Kept until\n"
     "the next start, whichever call reported it.",
     nullptr},
    {"keep_late_answers", client_get_keep_late_answers, client_set_keep_late_answers,
     "Whether a command may return an answer that came before it was sent (a late\n"
     "answer to an earlier call of its kind). True by default.",
     nullptr},
};

// ---- the class

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

const PyMethodDef kOwnMethods[] = {
    {"new_mock", as_method(client_new_mock), kFastcall | METH_STATIC,
     "new_mock(timeout=0.1)\n--\n\n"},
    {"set_default_release_gil", as_method(client_set_default_release_gil), kFastcall | METH_STATIC,
     "set_default_release_gil(release)\n--\n\n"
     "Sets what release_gil starts as on clients and mock handles made from now on,\n"
     "process-wide; returns the previous setting."},
    {"start", client_start, METH_NOARGS, "start($self)\n--\n\nStarts the reader thread."},
    {"stop", client_stop, METH_NOARGS, "stop($self)\n--\n\nStops the reader thread and takes the port back."},
    {"close", client_close, METH_NOARGS,
     "close($self)\n--\n\n"
     "Stops the client as stop() does, then closes its port at once, so another\n"
     "client can open it. Later calls but stop(), close() and the queries raise\n"
     "ValueError; closing twice is harmless."},
    {"is_running", client_is_running, METH_NOARGS, "is_running($self)\n--\n\nWhether the reader thread runs."},
    {"ensure_ok", client_ensure_ok, METH_NOARGS,
     "ensure_ok($self)\n--\n\nRaises the oldest background error, if there is one."},
    {"__enter__", client_enter, METH_NOARGS, "__enter__($self)\n--\n\nStarts the client and returns it."},
    {"__exit__", as_method(client_exit), kFastcall,
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\nStops the client."},
    {"get_data_packets", as_method(client_get_data_packets), kFastcall,
     "get_data_packets($self, block=False)\n--\n\n"
     "Every telemetry packet received since the last call, oldest first. With\n"
     "block=True, waits up to the client's timeout for at least one."},
    {"fileno", client_fileno, METH_NOARGS,
     "fileno($self)\n--\n\n"
     "A descriptor that polls readable while a packet, a background error or a\n"
     "response not yet seen by a call waits; closed with the client."},
    {"discard_backlog", client_discard_backlog, METH_NOARGS,
     "discard_backlog($self)\n--\n\n"
     "Drops what the device sent before now: the port's input, then telemetry\n"
     "that comes in a burst ahead of the device's clock, until it keeps pace."},
    {"link_statistics", client_link_statistics, METH_NOARGS,
     "link_statistics($self)\n--\n\n"
     "Counts of what came over the link since the client was built, as a dict of\n"
     "ints; they go on across stop and start."},
    {"clock_sync", client_clock_sync, METH_NOARGS,
     "clock_sync($self)\n--\n\n"
     "The device clock's alignment to the host's, as a dict: synced, offset_seconds,\n"
     "drift_ppm, pairs, resets, jitter_seconds, drift_uncertainty_ppm."},
    {"get_data_array", as_method(client_get_data_array), kFastcall,
     "get_data_array($self, block=False)\n--\n\n"
     "The packets get_data_packets would return, as one numpy structured array:\n"
     "the packet fields, then host_time_seconds (the host's receive time) and\n"
     "synced_time_seconds (the sample's time on the host's clock, NaN until synced)."},
    {"get_device_info", as_method(client_get_device_info), kFastcall,
     "get_device_info($self, timeout_seconds=5.0)\n--\n\nThe device's identity, or None if it did not answer."},
    {"get_device_config", as_method(client_get_device_config), kFastcall,
     "get_device_config($self, timeout_seconds=5.0)\n--\n\n"
     "The device's configuration, or None if it did not answer."},
    {"set_device_config", as_method(client_set_device_config), kFastcall,
     "set_device_config($self, name, frequency, protocol, timeout_seconds=5.0)\n--\n\n"
     "Whether the device accepted the configuration in time."},
    {"get_calibration", as_method(client_get_calibration), kFastcall,
     "get_calibration($self, timeout_seconds=5.0)\n--\n\n"
     "The device's calibration values, or None if it did not answer."},
    {"set_imu_calibration", as_method(client_set_imu_calibration), kFastcall,
     "set_imu_calibration($self, accel_offsets, accel_scale_matrix, gyro_offsets, gyro_scale_matrix, "
     "timeout_seconds=5.0)\n--\n\n"
     "Whether the device accepted the IMU calibration in time. Matrices are flat\n"
     "sequences of nine numbers in row-major order."},
    {"set_magnetometer_calibration", as_method(client_set_magnetometer_calibration), kFastcall,
     "set_magnetometer_calibration($self, offsets, scale_matrix, timeout_seconds=5.0)\n--\n\n"
     "Whether the device accepted the magnetometer calibration in time."},
    {"reboot", client_reboot, METH_NOARGS, "reboot($self)\n--\n\nAsks the device to reboot; does not wait."},
    {"cancel", as_method(client_cancel), kFastcall,
     "cancel($self, timeout_seconds=5.0)\n--\n\nWhether the device acknowledged the cancel in time."},
};

PyObject* build_type() {
    // The type keeps pointers into its method table for the life of the process.
    static std::vector<PyMethodDef>* const methods = [] {
        auto* table = new std::vector<PyMethodDef>(std::begin(kOwnMethods), std::end(kOwnMethods));
        const std::span<const PyMethodDef> extra = client_extension_methods();
        table->insert(table->end(), extra.begin(), extra.end());
        table->push_back({nullptr, nullptr, 0, nullptr});
        return table;
    }();
    static std::vector<PyGetSetDef>* const attributes = [] {
        const std::span<const PyGetSetDef> own = client_wait_attributes();
        const std::span<const PyGetSetDef> extra = client_extension_attributes();
        auto* table = new std::vector<PyGetSetDef>(own.begin(), own.end());
        table->insert(table->end(), std::begin(kOwnAttributes), std::end(kOwnAttributes));
        table->push_back({"closed", client_get_closed, nullptr, "Whether close() was called.", nullptr});
        table->insert(table->end(), extra.begin(), extra.end());
        table->push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
        return table;
    }();
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("VYREClient(port_name, baud_rate=2000000, timeout=0.1)\n--\n\n")},
        {Py_tp_new, reinterpret_cast<void*>(client_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
        {Py_tp_methods, methods->data()},
        {Py_tp_getset, attributes->data()},
        {Py_tp_traverse, reinterpret_cast<void*>(client_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(client_clear)},
        {0, nullptr},
    };
    PyType_Spec spec = {"builtins.VYREClient", sizeof(ClientObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                        slots};
    return PyType_FromSpec(&spec);
}

}  // namespace

PyTypeObject* client_type() { return reinterpret_cast<PyTypeObject*>(type_cell.get_or_init(build_type)); }

void raise_closed(const ClientState& state) {
    if (state.port_name.empty()) {
        PyErr_SetString(PyExc_ValueError, "the VYREClient of a mock device is closed");
    } else {
        PyErr_Format(PyExc_ValueError, "VYREClient('%s') is closed", state.port_name.c_str());
    }
}

PyObject* wrap_client(PyTypeObject* type, std::unique_ptr<vyre::ClientRuntime> runtime, double timeout,
                      std::string port_name) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;  // `runtime` is stopped and released on the way out
    ClientObject* obj = client_object(self);
    new (&obj->borrow) BorrowFlag();
    new (&obj->state) ClientState(std::move(runtime), timeout, std::move(port_name));
    return self;
}

}  // namespace vyre::py
