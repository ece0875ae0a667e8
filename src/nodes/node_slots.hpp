#pragma once
// Shared by the Session and Node classes: the 16-bit number conversion of their constructors.
#include "binding/convert.hpp"
#include "binding/ref.hpp"

#include <cstdint>

namespace tamsel::master {

// The parameter conversion of an unsigned 16-bit number; a float is first truncated toward zero.
struct truncated_u16 {
    using type = std::uint16_t;
    static bool convert(PyObject* obj, const char*, type& out) {
        if (PyFloat_Check(obj)) {
            binding::Ref truncated = binding::Ref::steal(PyNumber_Long(obj));
            return truncated && binding::to_unsigned(truncated.get(), out);
        }
        return binding::to_unsigned(obj, out);
    }
};

}  // namespace tamsel::master
