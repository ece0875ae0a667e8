#pragma once
// Argument parsing with the module's exact error texts.
#include "binding/ref.hpp"

#include <cstdint>
#include <initializer_list>

namespace tamsel::binding {

// Parses positional-or-keyword arguments of a METH_FASTCALL | METH_KEYWORDS call.
// `out[i]` receives a borrowed reference to the argument named `names[i]`, or stays
// nullptr when an optional argument (index >= `required`) was not given.
// Errors: "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
// "%s() got an unexpected keyword argument '%U'",
// "%s() got multiple values for keyword argument '%U'".
bool parse_fastcall(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::initializer_list<const char*> names, Py_ssize_t required, PyObject** out);

// The same for a tuple and a keyword dict (tp_init, tp_new, tp_call).
bool parse_tuple(const char* function, PyObject* args, PyObject* kwargs,
                 std::initializer_list<const char*> names, Py_ssize_t required, PyObject** out);

// The positional-count TypeError.
void raise_argument_count(const char* function, bool exact, Py_ssize_t min, Py_ssize_t max,
                          Py_ssize_t given);

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
// `exact`: built-in types (int, str, bytes, list, set) accept only themselves; the
// module's classes accept subclasses. `none_ok` lets None through.
bool check_type(PyObject* obj, PyTypeObject* type, const char* argname, bool exact, bool none_ok = false);
void raise_wrong_type(PyObject* obj, const char* expected, const char* argname);

// "Expected %s, got %.200s" for a result declared int that is not (None is let through).
bool check_int_result(PyObject* result);

}  // namespace tamsel::binding
