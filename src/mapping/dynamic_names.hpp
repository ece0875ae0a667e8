#pragma once
// Interned attribute names the dynamic map uses on items, data types and frame subclasses
// (immortal once interned).
#include "binding/interned_names.hpp"

namespace tamsel::mapping::dynamic_names {

#define TAMSEL_DYNAMIC_NAMES(X) \
    X(get) X(set) X(value) X(bytes) X(safe_data_size_bytes) X(set_safe_data_bytes) X(get_safe_data_bytes)

// intern_all() interns every name once; false with an exception set on failure.
TAMSEL_DECLARE_INTERNED_NAMES(TAMSEL_DYNAMIC_NAMES)

}  // namespace tamsel::mapping::dynamic_names
