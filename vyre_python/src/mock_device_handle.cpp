#include "mock_device_handle.hpp"

#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "borrow_flag.hpp"
#include "client_object.hpp"
#include "internal_fault.hpp"
#include "once_cell.hpp"
#include "port/mock_serial.hpp"
#include "py_ref.hpp"
#include "sync/durations.hpp"
#include "thread_binding.hpp"
#include "wait_scope.hpp"
#include "wait_settings.hpp"

namespace vyre::py {
namespace {

// The handle shares the device with the client's port. Its one piece of state
// that a call can find busy is the buffer of frames the client wrote: a wait for
// a command holds it exclusively, so a signal handler that waits again during
// that wait gets RuntimeError "Already borrowed". Injecting a response touches
// only the queue towards the client and takes no borrow, so handlers may still
// answer a waiting client.
struct MockHandleObject {
    PyObject_HEAD
    vyre::MockDevice device;
    ThreadBinding thread;
    BorrowFlag borrow;
    bool release_gil;  // waits let other threads run (wait_scope.hpp)
};
static_assert(std::is_standard_layout_v<MockHandleObject>);

MockHandleObject* handle_object(PyObject* self) noexcept { return reinterpret_cast<MockHandleObject*>(self); }

OnceCell type_cell;

constexpr const char* kNewMockNames[] = {"timeout"};
constexpr Parameters kNewMock{"VYREClient.new_mock", kNewMockNames, 0};
constexpr const char* kInjectNames[] = {"identifier", "payload"};
constexpr Parameters kInject{"MockDeviceHandle.inject_response", kInjectNames, 2};
constexpr const char* kWaitNames[] = {"timeout_seconds"};
constexpr Parameters kWait{"MockDeviceHandle.wait_for_command_identifier", kWaitNames, 1};

PyObject* new_handle(const vyre::MockDevice& device) {
    PyTypeObject* type = mock_device_handle_type();
    if (!type) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    MockHandleObject* obj = handle_object(self);
    new (&obj->device) vyre::MockDevice(device);
    new (&obj->thread) ThreadBinding();
    new (&obj->borrow) BorrowFlag();
    obj->release_gil = release_gil_by_default.load(std::memory_order_relaxed);
    return self;
}

void handle_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    handle_object(self)->device.~MockDevice();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* handle_inject_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        MockHandleObject* obj = handle_object(self);
        if (!obj->thread.check(MOCK_HANDLE_CLASS_PATH)) return nullptr;
        std::array<PyObject*, 2> values{};
        if (!parse_fastcall(kInject, args, nargs, kwnames, values)) return nullptr;
        std::uint16_t identifier = 0;
        std::vector<std::uint8_t> payload;
        if (!named("identifier", to_u16(values[0], identifier))) return nullptr;
        if (!named("payload", to_byte_vector(values[1], payload))) return nullptr;
        obj->device.inject_response(identifier, payload);
        Py_RETURN_NONE;
    });
}

PyObject* handle_wait_for_command_identifier(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        MockHandleObject* obj = handle_object(self);
        if (!obj->thread.check(MOCK_HANDLE_CLASS_PATH)) return nullptr;
        std::array<PyObject*, 1> values{};
        if (!parse_fastcall(kWait, args, nargs, kwnames, values)) return nullptr;
        double seconds = 0.0;
        if (!named("timeout_seconds", to_double(values[0], seconds))) return nullptr;
        auto timeout = vyre::duration_from_secs_f64(seconds);
        if (!timeout) {
            raise_error(timeout.error());
            return nullptr;
        }
        ExclusiveBorrow borrow(obj->borrow);
        if (!borrow) return nullptr;
        WaitScope scope(obj->release_gil, nullptr);
        const vyre::InterruptCheck check = scope.interrupt_check();
        auto identifier =
            scope.run([&] { return obj->device.wait_for_command_identifier(timeout.value(), check); });
        if (!identifier) {
            raise_error(identifier.error());
            return nullptr;
        }
        if (!identifier.value()) Py_RETURN_NONE;
        return PyLong_FromLong(*identifier.value());
    });
}

PyObject* handle_get_release_gil(PyObject* self, void*) {
    MockHandleObject* obj = handle_object(self);
    if (!obj->thread.check(MOCK_HANDLE_CLASS_PATH)) return nullptr;
    return release_gil_value(obj->release_gil);
}

int handle_set_release_gil(PyObject* self, PyObject* value, void*) {
    MockHandleObject* obj = handle_object(self);
    if (!obj->thread.check(MOCK_HANDLE_CLASS_PATH)) return -1;
    return set_release_gil(value, obj->release_gil);
}

PyGetSetDef attributes[] = {
    {"release_gil", handle_get_release_gil, handle_set_release_gil,
     "Whether wait_for_command_identifier lets other threads run (released interpreter lock).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    {"inject_response", as_method(handle_inject_response),
     METH_FASTCALL | METH_KEYWORDS, "inject_response($self, identifier, payload)\n--\n\n"},
    {"wait_for_command_identifier", as_method(handle_wait_for_command_identifier),
     METH_FASTCALL | METH_KEYWORDS, "wait_for_command_identifier($self, timeout_seconds)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    {Py_tp_dealloc, reinterpret_cast<void*>(handle_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, attributes},
    {0, nullptr},
};

PyType_Spec spec = {
    "builtins.MockDeviceHandle",
    sizeof(MockHandleObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

PyTypeObject* mock_device_handle_type() {
    return reinterpret_cast<PyTypeObject*>(type_cell.get_or_init([] { return PyType_FromSpec(&spec); }));
}

PyObject* client_new_mock(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_guard([&]() -> PyObject* {
        std::array<PyObject*, 1> values{};
        if (!parse_fastcall(kNewMock, args, nargs, kwnames, values)) return nullptr;
        double seconds = 0.1;
        if (values[0] && !named("timeout", to_double(values[0], seconds))) return nullptr;
        auto read_timeout = vyre::duration_from_secs_f64(seconds);
        if (!read_timeout) {
            raise_error(read_timeout.error());
            return nullptr;
        }
        PyTypeObject* type = client_type();
        if (!type) return nullptr;
        vyre::MockDevice device(read_timeout.value());
        Ref client = Ref::steal(wrap_client(type, vyre::ClientRuntime::from_port(device.new_port()), seconds));
        if (!client) return nullptr;
        Ref handle = Ref::steal(new_handle(device));
        if (!handle) return nullptr;
        return PyTuple_Pack(2, client.get(), handle.get());
    });
}

}  // namespace vyre::py
