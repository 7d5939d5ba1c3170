#pragma once

#include <optional>
#include <string>
#include <type_traits>
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
    // A value, or anything a value is made from (a pointer to a derived class, say). The value
    // is made in place, so that an empty value of an optional type (std::nullopt for a
    // Result<std::optional<std::string>>) is that value, not an empty result.
    template <typename U = T>
    requires std::is_constructible_v<T, U&&> &&(!std::is_same_v<std::remove_cvref_t<U>, Result>)&&(
        !std::is_same_v<std::remove_cvref_t<U>, Failure>)Result(U&& value)
        : value_(std::in_place, std::forward<U>(value)) {}  // NOLINT(google-explicit-constructor)
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

// A step that gives nothing but its success, or why it failed.
template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Failure failure) : failed_(true), reason_(std::move(failure.reason)) {}  // NOLINT

    explicit operator bool() const { return !failed_; }
    const std::string& reason() const { return reason_; }

  private:
    bool failed_ = false;
    std::string reason_;
};

}  // namespace vantor
