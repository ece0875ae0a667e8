#pragma once
// Conversions between host integers and fixed-width unsigned integers.
#include "binding/ref.hpp"

#include <cstdint>
#include <limits>
#include <type_traits>

namespace tamsel::binding {

namespace detail {
// Converts an integer-like object (int or anything with __index__) to uint64 within `max`;
// `type_name` names the C type in the OverflowError texts.
bool to_unsigned(PyObject* obj, unsigned long long max, const char* type_name, unsigned long long& out);
}  // namespace detail

template <typename T>
constexpr const char* unsigned_name() {
    if constexpr (std::is_same_v<T, uint8_t>) return "uint8_t";
    else if constexpr (std::is_same_v<T, uint16_t>) return "uint16_t";
    else if constexpr (std::is_same_v<T, uint32_t>) return "uint32_t";
    else return "uint64_t";
}

// OverflowError "can't convert negative value to uint16_t" / "value too large to convert to
// uint16_t" (the name follows T); TypeError for objects that are not integers.
template <typename T>
bool to_unsigned(PyObject* obj, T& out) {
    static_assert(std::is_unsigned_v<T>);
    unsigned long long value = 0;
    if (!detail::to_unsigned(obj, std::numeric_limits<T>::max(), unsigned_name<T>(), value)) return false;
    out = static_cast<T>(value);
    return true;
}

inline PyObject* from_unsigned(unsigned long long value) { return PyLong_FromUnsignedLongLong(value); }

}  // namespace tamsel::binding
