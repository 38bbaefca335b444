#pragma once
// The one way an expected failure travels: a Result holds either the value or
// an Error whose message is shown to the user as is (after "failed: " in a
// reply). Exceptions are left for what cannot happen (a broken invariant, no
// memory). Header-only and free of Asio, so every module can use it. Plain
// values, handed between threads like any other.
#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace tavlo {

struct Error {
  std::string message;
  bool operator==(const Error&) const = default;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

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
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const {
    assert(!ok());
    return std::get<1>(state_);
  }
  // The error's message, or "" for a value.
  std::string message() const { return ok() ? std::string() : error().message; }

 private:
  std::variant<T, Error> state_;
};

// Success without a value.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const {
    assert(failed_);
    return error_;
  }
  std::string message() const { return failed_ ? error_.message : std::string(); }

 private:
  Error error_;
  bool failed_ = false;
};

inline Error fail(std::string message) { return Error{std::move(message)}; }

namespace detail {
template <class T>
T takeValue(Result<T>&& result) {
  return std::move(result).value();
}
inline void takeValue(Result<void>&&) {}
}  // namespace detail

}  // namespace tavlo

// TRY(expression): the value of the Result the expression makes (moved out;
// nothing for Result<void>), or the calling function returns its Error at once.
// The caller returns some Result<U>; coroutines co_return and cannot use it.
// A GNU statement expression, as g++ and clang accept; __extension__ keeps
// -Wpedantic quiet about it.
#define TRY(...)                                                 \
  __extension__({                                                \
    auto tryResult_ = (__VA_ARGS__);                             \
    if (!tryResult_) return tryResult_.error();                  \
    ::tavlo::detail::takeValue(std::move(tryResult_));           \
  })
