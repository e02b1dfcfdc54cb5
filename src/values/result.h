// Result<T>: a value or one failure message. The core never throws; every
// fallible operation that has something to tell the user returns one of these.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace kelvane {

struct Failure {
    std::string message;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }

    const std::string& message() const { return std::get<1>(state_).message; }
    Failure& failure() { return std::get<1>(state_); }

private:
    std::variant<T, Failure> state_;
};

// Result of an operation that yields nothing on success.
struct Ok {};
using Status = Result<Ok>;

}  // namespace kelvane
