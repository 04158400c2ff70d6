// Result of an internal operation: a value or an error message.
//
// Internal code never raises Python exceptions and never prints. It returns a
// `Result<T>`; only the Python layer turns an error into an exception. The
// error kind says which exception class fits: bad input is a ValueError,
// exhausted memory a MemoryError, anything the caller could not have caused
// (entropy source failure, broken invariant) a RuntimeError. An interrupted
// run carries no exception of its own: the caller's interrupt hook decided to
// stop and knows why.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vantrel {

enum class ErrorKind { invalid_input, out_of_memory, internal, interrupted };

struct Error {
    ErrorKind kind = ErrorKind::invalid_input;
    std::string message;  // lower-case, no final full stop
};

inline Error invalid_input(std::string message) { return {ErrorKind::invalid_input, std::move(message)}; }
inline Error out_of_memory(std::string message) { return {ErrorKind::out_of_memory, std::move(message)}; }
inline Error internal_error(std::string message) { return {ErrorKind::internal, std::move(message)}; }
inline Error interrupted_error() { return {ErrorKind::interrupted, "interrupted"}; }

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
    const std::string& message() const { return std::get<1>(state_).message; }

private:
    std::variant<T, Error> state_;
};

struct Ok {};
using Status = Result<Ok>;
inline Status ok_status() { return Ok{}; }

}  // namespace vantrel
