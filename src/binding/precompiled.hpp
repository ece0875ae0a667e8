#pragma once
// What nearly every translation unit of the extensions includes, parsed once per target as a
// precompiled header: the interpreter's headers, the standard headers in common use and the
// binding layer's templates.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/method.hpp"
#include "binding/module_state.hpp"
