#pragma once
// Interned attribute names listed by an X-macro `LIST(X)`: one process-wide `PyObject*` per
// name (immortal once interned) and `bool intern_all()`, which interns the missing ones and
// returns false with an exception set on failure. Both macros go inside the namespace that
// owns the names.
#include "binding/ref.hpp"

#define TAMSEL_INTERNED_NAME_DECLARATION(name) extern PyObject* name;
#define TAMSEL_INTERNED_NAME_DEFINITION(name) PyObject* name = nullptr;
#define TAMSEL_INTERNED_NAME_INTERN(name) \
    if (!name && !(name = PyUnicode_InternFromString(#name))) return false;

// In the header: declares the names and intern_all.
#define TAMSEL_DECLARE_INTERNED_NAMES(LIST)   \
    LIST(TAMSEL_INTERNED_NAME_DECLARATION)    \
    bool intern_all();

// In one source file: defines the names and intern_all.
#define TAMSEL_DEFINE_INTERNED_NAMES(LIST)    \
    LIST(TAMSEL_INTERNED_NAME_DEFINITION)     \
    bool intern_all() {                       \
        LIST(TAMSEL_INTERNED_NAME_INTERN)     \
        return true;                          \
    }
