#pragma once
#include <cassert>
#include <concepts>
#include <type_traits>
#include <utility>
#include <variant>

#include "runtime/error.h"

namespace lumivane {

// The error of a failed Result, for when the value and error types could be
// mistaken for each other (a Result<std::string, std::string>, say).
template <typename E>
struct Failure {
    E error;
};
template <typename E>
Failure<std::decay_t<E>> failure(E&& error) {
    return {std::forward<E>(error)};
}

template <typename U>
inline constexpr bool isFailure = false;
template <typename G>
inline constexpr bool isFailure<Failure<G>> = true;

// A value, or the error that prevented it (an Error unless said). Errors
// travel as values between layers and queues; they become channel errors only
// at the channel edge.
// Result<void, E> is a success with no value. Plain values: moved between
// threads, never shared.
template <typename T, typename E = Error>
class [[nodiscard]] Result {
    using Stored = std::conditional_t<std::is_void_v<T>, std::monostate, T>;

public:
    using Value = Stored;
    using Error = E;

    // Success with no value, for Result<void, E>.
    Result() requires std::is_void_v<T> : state_(std::in_place_index<0>) {}

    template <typename U>
    requires std::constructible_from<Stored, U&&> &&
        (!isFailure<std::decay_t<U>>)&&(!std::same_as<std::decay_t<U>, Result>)Result(U&& value)
        : state_(std::in_place_index<0>, std::forward<U>(value)) {}

    // An error converts by itself when it cannot be taken for a value.
    template <typename G>
    requires std::constructible_from<E, G&&> &&
        (!std::constructible_from<Stored, G&&>)&&(!isFailure<std::decay_t<G>>)&&(!std::same_as<std::decay_t<G>, Result>)
            Result(G&& error)
        : state_(std::in_place_index<1>, std::forward<G>(error)) {}

    template <typename G>
    requires std::constructible_from<E, G&&> Result(Failure<G> failed)
        : state_(std::in_place_index<1>, std::move(failed.error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    Stored& value() & {
        assert(ok());
        return std::get<0>(state_);
    }
    const Stored& value() const& {
        assert(ok());
        return std::get<0>(state_);
    }
    Stored&& value() && {
        assert(ok());
        return std::get<0>(std::move(state_));
    }
    // As std::optional and std::expected read: the value, when ok().
    Stored& operator*() & { return value(); }
    const Stored& operator*() const& { return value(); }
    Stored&& operator*() && { return std::move(*this).value(); }
    Stored* operator->() { return &value(); }
    const Stored* operator->() const { return &value(); }

    const E& error() const& {
        assert(!ok());
        return std::get<1>(state_);
    }
    E&& error() && {
        assert(!ok());
        return std::get<1>(std::move(state_));
    }

    // As std::expected compares: equal to a value when it holds an equal one.
    template <typename U>
    requires(!std::same_as<std::decay_t<U>, Result>) friend bool operator==(const Result& result, const U& value) {
        return result.ok() && result.value() == value;
    }

private:
    std::variant<Stored, E> state_;
};

}  // namespace lumivane
