#pragma once
// Results of core and runtime operations: a value, or an error carrying text.
// Internal faults (impossible durations, failed thread creation) are a kind of
// their own so the binding can raise them differently from ordinary errors.

#include <string>
#include <utility>
#include <variant>

namespace vyre {

struct Error {
    // Interrupted: a wait was ended early by its caller's poll hook (a pending signal).
    enum class Kind : unsigned char { Message, InternalFault, Interrupted };
    Kind kind = Kind::Message;
    std::string text;

    static Error message(std::string text) { return {Kind::Message, std::move(text)}; }
    static Error internal(std::string text) { return {Kind::InternalFault, std::move(text)}; }
    static Error interrupted() { return {Kind::Interrupted, "interrupted"}; }
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
