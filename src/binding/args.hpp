#pragma once
// Argument parsing with the module's exact error texts.
#include "binding/ref.hpp"

#include <cstdint>

namespace tamsel::binding {

// What the parser needs to know of a declared function (binding/method.hpp builds it).
struct Signature {
    const char* function;      // the name in the error texts
    const char* const* names;  // parameter names, positional order
    PyObject** keywords;       // the same names interned, filled on first keyword use
    Py_ssize_t total;
    Py_ssize_t required;  // the first `required` parameters have no default
};

// Places the arguments of a METH_FASTCALL | METH_KEYWORDS call (`args` may be null when
// nothing is passed) into `out[0..total)`: a borrowed reference per given parameter, null
// for an optional one not given. Keywords are matched by identity with the interned names
// first, then by equality. Errors: the positional-count text,
// "%s() got an unexpected keyword argument '%U'",
// "%s() got multiple values for keyword argument '%U'".
bool parse_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out);

// The same for a tuple and a keyword dict (tp_init, tp_new, tp_call).
bool parse_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out);

// The positional-count TypeError.
void raise_argument_count(const char* function, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given);

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)".
// `exact`: built-in types (int, str, bytes, list, set) accept only themselves; the
// module's classes accept subclasses. `none_ok` lets None through.
bool check_type(PyObject* obj, PyTypeObject* type, const char* argname, bool exact, bool none_ok = false);
void raise_wrong_type(PyObject* obj, const char* expected, const char* argname);

// TypeError "Expected int, got str": a result or element of the wrong type. Returns false.
bool raise_expected(const char* expected, PyObject* got);

// "Expected int, got ..." for a result declared int that is not (None is let through).
bool check_int_result(PyObject* result);

// The setter result for `del obj.name` on an attribute that cannot be deleted:
// AttributeError "can't delete attribute 'name'" (TypeError without the name for the frame
// views, whose fields behave like fixed structure fields). Returns -1.
int refuse_delete(const char* name, PyObject* type = PyExc_AttributeError);

}  // namespace tamsel::binding
