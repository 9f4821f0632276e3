#pragma once
// The VYREClient object and what every one of its methods needs, shared by the
// files that define methods of the class: the thread check, the borrow of the
// instance and access to its runtime, and the extension points through which
// methods defined in other files join the class.

#include <Python.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "borrow_flag.hpp"
#include "port_claims.hpp"
#include "py_ref.hpp"
#include "runtime/client_runtime.hpp"
#include "thread_binding.hpp"
#include "wait_scope.hpp"

namespace vyre::py {

// The C++ part of a client, constructed in place after allocation and destroyed
// in the object's deallocation, on whichever thread that happens. Members are
// destroyed in reverse order, so anything added after `runtime` is gone before
// the runtime stops its reader and closes the port.
struct ClientState {
    ClientState(std::unique_ptr<vyre::ClientRuntime> runtime_in, double timeout_in, std::string port_name_in)
        : runtime(std::move(runtime_in)),
          timeout(timeout_in),
          port_name(std::move(port_name_in)),
          claim(port_name.empty() ? PortClaim() : PortClaim(port_name)) {}

    std::unique_ptr<vyre::ClientRuntime> runtime;  // never null
    // Seconds as given at construction: the port's read time-out and the wait
    // of get_data_packets(block=True).
    double timeout;
    ThreadBinding thread;
    // Whether waits run with the interpreter lock released (wait_scope.hpp).
    bool release_gil = release_gil_by_default.load(std::memory_order_relaxed);
    // None or a callable polled during waits; held strongly, visited by the collector.
    Ref interrupt_hook;
    // The port as opened (empty for a mock device), and this process's record
    // that the client holds it, released when the port closes.
    std::string port_name;
    PortClaim claim;
    // Set by close(): the port is gone and only stop, close and the queries work.
    bool closed = false;
    // Whether a calibration run prints its report, and what the last run gave
    // (null before a run or when it ended before its fit; a dict otherwise).
    bool print_calibration_report = true;
    Ref last_calibration;
};

struct ClientObject {
    PyObject_HEAD
    BorrowFlag borrow;
    ClientState state;
};

// The VYREClient class (borrowed; built on first use, lives for the interpreter),
// or null with an exception set.
PyTypeObject* client_type();

// A new VYREClient of `type` around `runtime`, bound to the calling thread;
// `port_name` is empty for a mock device.
PyObject* wrap_client(PyTypeObject* type, std::unique_ptr<vyre::ClientRuntime> runtime, double timeout,
                      std::string port_name = {});

// Sets ValueError naming the closed client.
void raise_closed(const ClientState& state);

inline ClientObject* client_object(PyObject* self) noexcept { return reinterpret_cast<ClientObject*>(self); }

// First step of every method: true on the creating thread, otherwise false with
// InternalFaultError set.
inline bool check_client_thread(PyObject* self) { return client_object(self)->state.thread.check(CLIENT_CLASS_PATH); }

// The instance for the length of one method call, after the thread check and
// the argument conversion. Test it after construction: when false, the borrow
// failed (a signal handler re-entered a method that was waiting) and
// RuntimeError is set. ensure_ok and is_running take shared use, every other
// method exclusive use. On a closed client it fails with ValueError, unless the
// method works there too (`closed_ok`).
class ClientAccess {
public:
    enum class Use : unsigned char { Shared, Exclusive };

    ClientAccess(PyObject* self, Use use, bool closed_ok = false) : object_(client_object(self)), use_(use) {
        if (object_->state.closed && !closed_ok) {
            raise_closed(object_->state);
            return;
        }
        ok_ = use == Use::Shared ? object_->borrow.try_share() : object_->borrow.try_exclusive();
        if (!ok_) {
            PyErr_SetString(PyExc_RuntimeError, use == Use::Shared ? "Already mutably borrowed" : "Already borrowed");
        }
    }
    // Settles the client's ready descriptor: the call may have taken the last
    // of what was waiting.
    ~ClientAccess() {
        if (!ok_) return;
        object_->state.runtime->settle_ready();
        if (use_ == Use::Shared) {
            object_->borrow.unshare();
        } else {
            object_->borrow.unexclusive();
        }
    }
    ClientAccess(const ClientAccess&) = delete;
    ClientAccess& operator=(const ClientAccess&) = delete;

    explicit operator bool() const noexcept { return ok_; }
    ClientState& state() const noexcept { return object_->state; }
    vyre::ClientRuntime& runtime() const noexcept { return *object_->state.runtime; }
    // How this call waits, as the client's settings say.
    WaitScope wait_scope() const { return WaitScope(object_->state.release_gil, object_->state.interrupt_hook.get()); }

private:
    ClientObject* object_;
    Use use_;
    bool ok_ = false;
};

// Runs one runtime call that may wait, as the client's settings say: `call`
// gets the runtime and the poll hook, and must not touch Python objects
// except through the scope's locked().
template <class Call>
auto run_waiting(ClientAccess& access, Call&& call) {
    WaitScope scope = access.wait_scope();
    const vyre::InterruptCheck check = scope.interrupt_check();
    return scope.run([&] { return call(access.runtime(), check); });
}

// Extension points, defined in client_streaming.cpp.
//
// Methods of VYREClient defined outside vyre_client.cpp, appended to the class's
// own when the type is built (no sentinel; the entries must live for the process).
std::span<const PyMethodDef> client_extension_methods();
// Attributes of VYREClient defined outside vyre_client.cpp, appended like the
// methods above.
std::span<const PyGetSetDef> client_extension_attributes();
// Called by __exit__, inside its wait, before it stops the client: ends a
// running mock log stream. It may run without the interpreter lock, so it
// touches no Python object and cannot raise; runtime failures are ignored.
void stop_mock_stream_for_exit(ClientAccess& access);

}  // namespace vyre::py
