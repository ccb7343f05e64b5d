#pragma once
// What a platform boundary returns: a value, or why there is none. A small
// stand-in for std::expected. The failure is plain text (Unexpected) for
// nearly every caller, who only logs or shows it; a boundary whose callers
// act on more than the text (an error code users quote, a refusal worth
// telling apart) names its own failure type, which carries a `message` too.
#include <cassert>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace tovrelle {

// The failure side, so `return Unexpected{"why"};` converts to any Result<T>.
struct Unexpected {
  std::string message;
};

template <typename T, typename E = Unexpected>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(E failure) : state_(std::in_place_index<1>, std::move(failure)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

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
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T valueOr(T fallback) const { return ok() ? std::get<0>(state_) : std::move(fallback); }

  // Why there is no value, as text; empty when ok().
  const std::string& error() const {
    static const std::string none;
    return ok() ? none : std::get<1>(state_).message;
  }
  // The whole failure; only when !ok().
  const E& failure() const {
    assert(!ok());
    return std::get<1>(state_);
  }

 private:
  std::variant<T, E> state_;
};

// Success or why not, for operations without a value.
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E failure) : failure_(std::move(failure)) {}

  bool ok() const { return !failure_; }
  explicit operator bool() const { return ok(); }
  const std::string& error() const {
    static const std::string none;
    return failure_ ? failure_->message : none;
  }
  const E& failure() const {
    assert(!ok());
    return *failure_;
  }

 private:
  std::optional<E> failure_;
};

}  // namespace tovrelle
