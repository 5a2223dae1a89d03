#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace quorlinth {

// Why an account or service call failed. `message` and `sessionExpired` are the account
// subsystem's own failures; `other` carries a transport, JSON or storage error unchanged (its
// text is what the user sees); `cancelled` means the active account changed while the call
// was in flight, and callers drop it silently.
class MacFailure {
public:
    enum class Kind { message, sessionExpired, other, cancelled };

    static MacFailure message(std::string text) { return MacFailure(Kind::message, std::move(text)); }
    static MacFailure sessionExpired() { return MacFailure(Kind::sessionExpired, {}); }
    static MacFailure other(std::string description) {
        return MacFailure(Kind::other, std::move(description));
    }
    static MacFailure cancelled() { return MacFailure(Kind::cancelled, {}); }

    Kind kind() const { return type; }
    bool isSessionExpired() const { return type == Kind::sessionExpired; }
    bool isCancelled() const { return type == Kind::cancelled; }
    std::string localizedDescription() const;

    bool operator==(const MacFailure&) const = default;

private:
    MacFailure(Kind kind, std::string text) : type(kind), text(std::move(text)) {}
    Kind type;
    std::string text;
};

// The value of an account or service call, or its failure.
template <class T> class [[nodiscard]] MacResult {
public:
    MacResult(T value) : state(std::in_place_index<0>, std::move(value)) {}
    MacResult(MacFailure failure) : state(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return state.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return checked(); }
    const T& value() const { return const_cast<MacResult*>(this)->checked(); }
    const MacFailure& failure() const {
        if (ok()) throw std::logic_error("MacResult holds a value");
        return std::get<1>(state);
    }

private:
    T& checked() {
        if (!ok()) throw std::logic_error("MacResult holds a failure: " + failure().localizedDescription());
        return std::get<0>(state);
    }
    std::variant<T, MacFailure> state;
};

template <> class [[nodiscard]] MacResult<void> {
public:
    MacResult() = default;
    MacResult(MacFailure failure) : state(std::move(failure)) {}

    bool ok() const { return !state.has_value(); }
    explicit operator bool() const { return ok(); }
    const MacFailure& failure() const {
        if (ok()) throw std::logic_error("MacResult holds no failure");
        return *state;
    }

private:
    std::optional<MacFailure> state;
};

} // namespace quorlinth
