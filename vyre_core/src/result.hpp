#pragma once
// Results of core and runtime operations: a value, or an error carrying text
// (and the system's error number when there is one).
// Internal faults (impossible durations, failed thread creation) are a kind of
// their own so the binding can raise them differently from ordinary errors.

#include <string>
#include <utility>
#include <variant>

namespace vyre {

struct Error {
    // Interrupted: a wait was ended early by its caller's poll hook (a pending signal).
    // TimedOut: a wait that had to succeed ran out of time. LinkLost: the link to
    // the device failed, or the reader ended by such a failure.
    enum class Kind : unsigned char { Message, InternalFault, Interrupted, TimedOut, LinkLost };
    Kind kind = Kind::Message;
    std::string text;
    // The system's error number behind the failure, 0 when there is none.
    int error_number = 0;

    static Error message(std::string text) { return {Kind::Message, std::move(text)}; }
    static Error system(std::string text, int error_number) { return {Kind::Message, std::move(text), error_number}; }
    static Error internal(std::string text) { return {Kind::InternalFault, std::move(text)}; }
    static Error interrupted() { return {Kind::Interrupted, "interrupted"}; }
    static Error timed_out(std::string text) { return {Kind::TimedOut, std::move(text)}; }
    static Error link_lost(std::string text, int error_number = 0) {
        return {Kind::LinkLost, std::move(text), error_number};
    }
    bool is_internal() const { return kind == Kind::InternalFault; }
    bool is_interrupted() const { return kind == Kind::Interrupted; }
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const Error& error() const { return std::get<1>(state_); }
    Error&& take_error() { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, Error> state_;
};

// Result of an operation that gives nothing back on success.
using Status = Result<std::monostate>;
inline Status ok_status() { return Status(std::monostate{}); }

}  // namespace vyre
