// What a file operation that gives something back answers: that thing, or what went wrong instead.
#pragma once

#include <optional>
#include <utility>

#include "io_error.hpp"

namespace brel {

template <typename T>
class [[nodiscard]] io_result {
public:
    io_result(T value) : value_(std::move(value)) {}
    // An error that says something went wrong: never io_error().
    io_result(io_error error) : error_(error) {}
    io_result(io_error::kind error) : error_(error) {}

    explicit operator bool() const { return value_.has_value(); }
    // What went wrong; io_error() when the value is there.
    const io_error& error() const { return error_; }

    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }

private:
    std::optional<T> value_;
    io_error error_;
};

}  // namespace brel
