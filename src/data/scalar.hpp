#pragma once
// Values of the data types as plain numbers (bool, integer or float), with the numeric equality
// and the conversions of the host's objects, so that the common cases never make a host object.
#include "data/data_type.hpp"

#include <cstdint>
#include <limits>
#include <optional>

namespace tamsel::data {

struct Scalar {
    enum class Kind : uint8_t { boolean, integer, real };
    Kind kind = Kind::integer;
    int64_t integer = 0;  // boolean and integer
    double real = 0.0;    // real

    static constexpr Scalar from_bool(bool value) noexcept { return {Kind::boolean, value ? 1 : 0, 0.0}; }
    static constexpr Scalar from_integer(int64_t value) noexcept { return {Kind::integer, value, 0.0}; }
    static constexpr Scalar from_real(double value) noexcept { return {Kind::real, 0, value}; }

    constexpr bool is_real() const noexcept { return kind == Kind::real; }
    // The value as a double, rounded to nearest like the host's int-to-float conversion.
    constexpr double as_double() const noexcept { return is_real() ? real : static_cast<double>(integer); }
};

constexpr bool is_infinite(double value) noexcept {
    return value == std::numeric_limits<double>::infinity() || value == -std::numeric_limits<double>::infinity();
}

namespace detail {
// Exact comparison of an integer with a double (no rounding of either side).
constexpr bool integer_equals_real(int64_t integer, double real) noexcept {
    if (!(real >= -0x1p63 && real < 0x1p63)) return false;  // also false for NaN
    auto truncated = static_cast<int64_t>(real);
    return static_cast<double>(truncated) == real && truncated == integer;
}
}  // namespace detail

// The host's `==` between two numbers: bool counts as the integer 0 or 1, an integer equals a
// float only when the float has exactly its value, NaN equals nothing.
constexpr bool numerically_equal(const Scalar& a, const Scalar& b) noexcept {
    if (a.is_real() && b.is_real()) return a.real == b.real;
    if (a.is_real()) return detail::integer_equals_real(b.integer, a.real);
    if (b.is_real()) return detail::integer_equals_real(a.integer, b.real);
    return a.integer == b.integer;
}

// The value an integer form stands for, or nothing when the number is outside what the core
// represents (FLOAT above 32 bits, integers of 2^62 and more): the host path handles those.
constexpr std::optional<Scalar> unserialize(DataType type, uint64_t raw) noexcept {
    switch (type) {
        case DataType::BOOL: return Scalar::from_bool(unserialize_bool(raw));
        case DataType::FLOAT:
            if (raw > UINT32_MAX) return std::nullopt;
            return Scalar::from_real(widen_float(unserialize_float(static_cast<uint32_t>(raw))));
        default:
            if (raw >= static_cast<uint64_t>(unserialize_integer_limit)) return std::nullopt;
            return Scalar::from_integer(unserialize_integer(type, static_cast<int64_t>(raw)));
    }
}

enum class FormComparison : uint8_t { equal, different, unknown };

// The host's `==` between the values two integer forms of `type` stand for, told from the forms
// (different forms of an integer type stand for different values); unknown when unserialize
// gives nothing for either.
constexpr FormComparison compare_forms(DataType type, uint64_t a, uint64_t b) noexcept {
    auto told = [](bool equal) { return equal ? FormComparison::equal : FormComparison::different; };
    switch (type) {
        case DataType::BOOL: return told(unserialize_bool(a) == unserialize_bool(b));
        case DataType::FLOAT:
            if (a > UINT32_MAX || b > UINT32_MAX) return FormComparison::unknown;
            return told(unserialize_float(static_cast<uint32_t>(a)) == unserialize_float(static_cast<uint32_t>(b)));
        default:
            if (a >= static_cast<uint64_t>(unserialize_integer_limit) ||
                b >= static_cast<uint64_t>(unserialize_integer_limit))
                return FormComparison::unknown;
            return told(a == b);
    }
}

// Whether an integer form of `type` stands for a NaN, which equals nothing, not even itself.
constexpr bool is_nan_form(DataType type, uint64_t form) noexcept {
    if (type != DataType::FLOAT) return false;
    float value = unserialize_float(static_cast<uint32_t>(form));
    return form <= UINT32_MAX && value != value;
}

enum class SerializeStatus : uint8_t {
    ok,
    out_of_range,    // integer types: below min_value or above max_value
    invalid_bool,    // BOOL: neither 0 nor 1
    not_integer,     // integer types: the value passed the range checks but is a bool or a float
    float_overflow,  // FLOAT: a finite value beyond the single-precision range
};

struct SerializeResult {
    SerializeStatus status = SerializeStatus::ok;
    uint32_t raw = 0;
};

// Integer form of a value. An integer type checks the range first and the kind of number
// second, so 300.0 for UINT8 is out of range while 3.0 is not an integer.
constexpr SerializeResult serialize(DataType type, const Scalar& value) noexcept {
    switch (type) {
        case DataType::BOOL:
            if (numerically_equal(value, Scalar::from_integer(1))) return {SerializeStatus::ok, 1};
            if (numerically_equal(value, Scalar::from_integer(0))) return {SerializeStatus::ok, 0};
            return {SerializeStatus::invalid_bool, 0};
        case DataType::FLOAT: {
            double wide = value.as_double();
            float narrow = narrow_to_float(wide);
            if (is_infinite(narrow) && !is_infinite(wide)) return {SerializeStatus::float_overflow, 0};
            return {SerializeStatus::ok, serialize_float(narrow)};
        }
        default: break;
    }
    if (value.is_real()) {
        double lowest = static_cast<double>(min_value(type));
        double highest = static_cast<double>(max_value(type));
        if (value.real < lowest || value.real > highest) return {SerializeStatus::out_of_range, 0};
        return {SerializeStatus::not_integer, 0};
    }
    std::optional<uint32_t> raw = serialize_integer(type, value.integer);
    if (!raw) return {SerializeStatus::out_of_range, 0};
    if (value.kind == Scalar::Kind::boolean) return {SerializeStatus::not_integer, 0};
    return {SerializeStatus::ok, *raw};
}

}  // namespace tamsel::data
