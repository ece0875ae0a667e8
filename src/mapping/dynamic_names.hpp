#pragma once
// Interned attribute names the dynamic map uses on items, data types and frame subclasses
// (immortal once interned).
#include "binding/ref.hpp"

namespace tamsel::mapping::dynamic_names {

#define TAMSEL_DYNAMIC_NAMES(X) \
    X(get) X(set) X(value) X(bytes) X(safe_data_size_bytes) X(set_safe_data_bytes) X(get_safe_data_bytes)

#define TAMSEL_DECLARE_NAME(name) extern PyObject* name;
TAMSEL_DYNAMIC_NAMES(TAMSEL_DECLARE_NAME)
#undef TAMSEL_DECLARE_NAME

// Interns every name once; false with an exception set on failure.
bool intern_all();

}  // namespace tamsel::mapping::dynamic_names
