#pragma once
// What a platform boundary returns: a value, or why there is none. A small
// stand-in for std::expected with a plain-text error, which is all any caller
// here does with one (log it, show it).
#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace tovrelle {

// The failure side, so `return Unexpected{"why"};` converts to any Result<T>.
struct Unexpected {
  std::string message;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Unexpected error) : state_(std::in_place_index<1>, std::move(error)) {}

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

  // Empty when ok().
  const std::string& error() const {
    static const std::string none;
    return ok() ? none : std::get<1>(state_).message;
  }

 private:
  std::variant<T, Unexpected> state_;
};

// Success or why not, for operations without a value.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Unexpected error) : error_(std::move(error.message)), ok_(false) {}

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const std::string& error() const { return error_; }

 private:
  std::string error_;
  bool ok_ = true;
};

}  // namespace tovrelle
