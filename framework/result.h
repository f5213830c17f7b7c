// A value or the reason there is none: the one shape in which our functions report failure
// without throwing. Header-only, so that the renderer uses it without linking framework.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace quillamar {

/// The reason a Result holds no value; made by Fail() and turned into any Result whose error
/// type can be built from it.
template <typename E>
struct Failure {
  E error;
};

/// Marks error as a failure: `return Fail("cannot open " + path);`.
template <typename E>
Failure<std::decay_t<E>> Fail(E&& error) {
  return {std::forward<E>(error)};
}

/// Holds either a value of T or an error of E (by default one line of text, without the
/// program's name). A result converts to true when it holds a value; asking a result for what it
/// does not hold throws std::bad_variant_access.
template <typename T, typename E = std::string>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <typename F>
  requires std::is_constructible_v<E, F&&> Result(Failure<F> failure)
      : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool Ok() const { return state_.index() == 0; }
  explicit operator bool() const { return Ok(); }

  T& Value() & { return std::get<0>(state_); }
  const T& Value() const& { return std::get<0>(state_); }
  T&& Value() && { return std::get<0>(std::move(state_)); }
  T& operator*() & { return Value(); }
  const T& operator*() const& { return Value(); }
  T* operator->() { return &Value(); }
  const T* operator->() const { return &Value(); }

  const E& Error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

/// Success with nothing to hand back (`return {};`), or an error.
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <typename F>
  requires std::is_constructible_v<E, F&&> Result(Failure<F> failure)
      : error_(std::in_place_index<1>, std::move(failure.error)) {}

  bool Ok() const { return error_.index() == 0; }
  explicit operator bool() const { return Ok(); }

  const E& Error() const { return std::get<1>(error_); }

 private:
  std::variant<std::monostate, E> error_;
};

/// Success or one line saying why not.
using Status = Result<void>;

}  // namespace quillamar
