// Errors as values: a function that can fail returns Result<T, E>, holding
// either the value or the error. Only the top of each phase of the program
// turns an error into output and an exit status.
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace kelvane {

// Wraps an error so that Result<T, E> can be built from it even when T and E
// are the same type.
template <class E>
struct Failure {
  E error;
};

template <class E>
Failure<std::decay_t<E>> fail(E&& error) {
  return Failure<std::decay_t<E>>{std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  template <class U = T>
  requires std::is_constructible_v<T, U&&> Result(U&& value)
      : state_(std::in_place_index<0>, std::forward<U>(value)) {}

  template <class F>
  requires std::is_constructible_v<E, F&&> Result(Failure<F>&& failure)
      : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  // Each requires the matching state (asserted).
  T& value() & {
    assert(ok());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }

  E& error() & {
    assert(!ok());
    return std::get<1>(state_);
  }
  const E& error() const& {
    assert(!ok());
    return std::get<1>(state_);
  }
  E&& error() && {
    assert(!ok());
    return std::get<1>(std::move(state_));
  }

 private:
  std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;

  template <class F>
  requires std::is_constructible_v<E, F&&> Result(Failure<F>&& failure)
      : error_(std::move(failure.error)) {}

  bool ok() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return ok(); }

  // Requires an error (asserted).
  E& error() & {
    assert(!ok());
    return *error_;
  }
  const E& error() const& {
    assert(!ok());
    return *error_;
  }
  E&& error() && {
    assert(!ok());
    return *std::move(error_);
  }

 private:
  std::optional<E> error_;
};

}  // namespace kelvane
