#include "binding/args.hpp"

#include <cstring>

namespace tamsel::binding {

void raise_argument_count(const char* function, bool exact, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) {
    const char* more_or_less;
    Py_ssize_t expected;
    if (given < min) {
        expected = min;
        more_or_less = "at least";
    } else {
        expected = max;
        more_or_less = "at most";
    }
    if (exact) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function,
                 more_or_less, expected, (expected == 1) ? "" : "s", given);
}

namespace {

// Index of the keyword `key` among `names`, or -1.
Py_ssize_t keyword_index(PyObject* key, std::initializer_list<const char*> names) {
    Py_ssize_t index = 0;
    for (const char* name : names) {
        if (PyUnicode_CompareWithASCIIString(key, name) == 0) return index;
        ++index;
    }
    return -1;
}

// The free slot of `out` the keyword `key` fills, or -1 with the TypeError set. The caller
// reads the keyword's value only once a slot was found, so a function without parameters
// never touches its argument vector.
Py_ssize_t keyword_slot(const char* function, PyObject* key, std::initializer_list<const char*> names,
                        PyObject* const* out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
        return -1;
    }
    Py_ssize_t index = keyword_index(key, names);
    if (index < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, key);
        return -1;
    }
    if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function, key);
        return -1;
    }
    return index;
}

bool check_missing(const char* function, std::initializer_list<const char*> names, Py_ssize_t required,
                   PyObject** out) {
    Py_ssize_t total = static_cast<Py_ssize_t>(names.size());
    for (Py_ssize_t i = 0; i < required; ++i) {
        if (out[i] == nullptr) {
            raise_argument_count(function, required == total, required, total, i);
            return false;
        }
    }
    return true;
}

}  // namespace

bool parse_fastcall(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::initializer_list<const char*> names, Py_ssize_t required, PyObject** out) {
    Py_ssize_t total = static_cast<Py_ssize_t>(names.size());
    for (Py_ssize_t i = 0; i < total; ++i) out[i] = nullptr;
    if (nargs > total) {
        raise_argument_count(function, required == total, required, total, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            Py_ssize_t slot = keyword_slot(function, PyTuple_GET_ITEM(kwnames, k), names, out);
            if (slot < 0) return false;
            out[slot] = args[nargs + k];
        }
    }
    return check_missing(function, names, required, out);
}

bool parse_tuple(const char* function, PyObject* args, PyObject* kwargs, std::initializer_list<const char*> names,
                 Py_ssize_t required, PyObject** out) {
    Py_ssize_t total = static_cast<Py_ssize_t>(names.size());
    for (Py_ssize_t i = 0; i < total; ++i) out[i] = nullptr;
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (nargs > total) {
        raise_argument_count(function, required == total, required, total, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_ssize_t slot = keyword_slot(function, key, names, out);
            if (slot < 0) return false;
            out[slot] = value;
        }
    }
    return check_missing(function, names, required, out);
}

void raise_wrong_type(PyObject* obj, const char* expected, const char* argname) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname,
                 expected, Py_TYPE(obj)->tp_name);
}

bool check_type(PyObject* obj, PyTypeObject* type, const char* argname, bool exact, bool none_ok) {
    if (none_ok && obj == Py_None) return true;
    if (exact ? Py_IS_TYPE(obj, type) : PyObject_TypeCheck(obj, type)) return true;
    raise_wrong_type(obj, type->tp_name, argname);
    return false;
}

bool check_int_result(PyObject* result) {
    if (result == Py_None || PyLong_CheckExact(result)) return true;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "int", Py_TYPE(result)->tp_name);
    return false;
}

}  // namespace tamsel::binding
