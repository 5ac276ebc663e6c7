// Errors as values: a function that can fail returns Result<T, E>, holding
// either the value or the error. Only the top of each phase of the program
// turns an error into output and an exit status.
//
// Asking a result for the state it does not hold is a fault in the program:
// it stops the program with a message in every build, never reads what is
// not there.
#pragma once

#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace kelvane {

// Wraps an error so that Result<T, E> can be built from it even when T and E
// are the same type.
namespace detail {

// Writes "internal error: `what`" to standard error and aborts.
[[noreturn, gnu::cold]] void stop_on_wrong_access(std::string_view what) noexcept;

}  // namespace detail

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

  // Each requires the matching state (checked; see above).
  T& value() & { return *held<0>(state_); }
  const T& value() const& { return *held<0>(state_); }
  T&& value() && { return std::move(*held<0>(state_)); }

  E& error() & { return *held<1>(state_); }
  const E& error() const& { return *held<1>(state_); }
  E&& error() && { return std::move(*held<1>(state_)); }

 private:
  // The alternative `I` of `state`, never null: the one test of the state
  // is also the test for null.
  template <std::size_t I, class State>
  static auto* held(State& state) noexcept {
    auto* held = std::get_if<I>(&state);
    if (held == nullptr) [[unlikely]]
      detail::stop_on_wrong_access(I == 0 ? "value() of a Result holding an error"
                                          : "error() of a Result holding a value");
    return held;
  }

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

  // Requires an error (checked).
  E& error() & {
    check();
    return *error_;
  }
  const E& error() const& {
    check();
    return *error_;
  }
  E&& error() && {
    check();
    return std::move(*error_);
  }

 private:
  void check() const noexcept {
    if (ok()) [[unlikely]]
      detail::stop_on_wrong_access("error() of a Result holding no error");
  }

  std::optional<E> error_;
};

}  // namespace kelvane

// Passes the error of `expr` (a Result) up to the caller of the enclosing
// function, which returns a Result whose error type can be built from it;
// otherwise declares `var` holding the value:
//   KOA_TRY(stream, connect_unix_stream(path));
#define KOA_TRY(var, expr)                                                             \
  auto var##_or_error = (expr);                                                        \
  if (!var##_or_error.ok()) return ::kelvane::fail(std::move(var##_or_error).error()); \
  auto var = std::move(var##_or_error).value()

// The same for a Result<void, E>, or a result whose value is not needed.
#define KOA_TRY_VOID(expr)                                       \
  do {                                                           \
    if (auto koa_try_result = (expr); !koa_try_result.ok())      \
      return ::kelvane::fail(std::move(koa_try_result).error()); \
  } while (false)
