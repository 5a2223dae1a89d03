#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace quorlinth {

// A failure text carried by Result; Chinese user-facing text or a technical description.
struct Error {
    std::string message;
};

// The value of an operation that may fail, passed across queues instead of exceptions.
template <class T> class [[nodiscard]] Result {
public:
    Result(T value) : state(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : state(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return checkedValue(); }
    const T& value() const& { return const_cast<Result*>(this)->checkedValue(); }
    T&& value() && { return std::move(checkedValue()); }
    T valueOr(T fallback) const { return ok() ? std::get<0>(state) : std::move(fallback); }

    const std::string& error() const {
        if (ok()) throw std::logic_error("Result holds a value, not an error");
        return std::get<1>(state).message;
    }

private:
    T& checkedValue() {
        if (!ok()) throw std::logic_error("Result holds an error: " + std::get<1>(state).message);
        return std::get<0>(state);
    }
    std::variant<T, Error> state;
};

template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : failure(std::move(error)) {}

    bool ok() const { return !failure; }
    explicit operator bool() const { return ok(); }
    const std::string& error() const {
        if (ok()) throw std::logic_error("Result holds no error");
        return failure->message;
    }

private:
    std::optional<Error> failure;
};

} // namespace quorlinth
