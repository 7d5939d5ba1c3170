#pragma once

#include <optional>
#include <string>
#include <utility>

namespace vantor {

// Why a step gave nothing, in words fit for the operator.
struct Failure {
    std::string reason;
};

// What a step gave, or why it gave nothing: the one way a layer reports a failure. A step
// returns its value or `Failure{"why"}`; the caller asks the result, reads `reason()` when it
// failed and takes the value when it did not.
template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : value_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
    Result(Failure failure) : reason_(std::move(failure.reason)) {}  // NOLINT

    explicit operator bool() const { return value_.has_value(); }
    const std::string& reason() const { return reason_; }

    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }

    // The value, or `fallback` for a failure whose reason the caller has no use for.
    T ValueOr(T fallback) && { return value_ ? std::move(*value_) : std::move(fallback); }

  private:
    std::optional<T> value_;
    std::string reason_;
};

}  // namespace vantor
