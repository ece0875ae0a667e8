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
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function, more_or_less,
                 expected, (expected == 1) ? "" : "s", given);
}

namespace {

// Interns the parameter names once per process; the strings live as long as the process
// (the modules load into one interpreter only), so the table keeps its references.
bool intern_keywords(const Signature& signature) {
    if (signature.total == 0 || signature.keywords[0] != nullptr) return true;
    for (Py_ssize_t i = 0; i < signature.total; ++i) {
        PyObject* name = PyUnicode_InternFromString(signature.names[i]);
        if (!name) return false;
        signature.keywords[i] = name;
    }
    return true;
}

Py_ssize_t keyword_index(const Signature& signature, PyObject* key) {
    for (Py_ssize_t i = 0; i < signature.total; ++i)
        if (signature.keywords[i] == key) return i;
    for (Py_ssize_t i = 0; i < signature.total; ++i)
        if (PyUnicode_CompareWithASCIIString(key, signature.names[i]) == 0) return i;
    return -1;
}

// The free slot of `out` the keyword `key` fills, or -1 with the TypeError set. The caller
// reads the keyword's value only once a slot was found.
Py_ssize_t keyword_slot(const Signature& signature, PyObject* key, PyObject* const* out) {
    const char* function = signature.function;
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function);
        return -1;
    }
    Py_ssize_t index = keyword_index(signature, key);
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

// Places the positional arguments; false with the count error when there are too many.
bool place_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject** out) {
    for (Py_ssize_t i = 0; i < signature.total; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (nargs <= signature.total) return true;
    raise_argument_count(signature.function, signature.required == signature.total, signature.required, signature.total,
                         nargs);
    return false;
}

bool check_required(const Signature& signature, PyObject** out) {
    for (Py_ssize_t i = 0; i < signature.required; ++i) {
        if (out[i] == nullptr) {
            raise_argument_count(signature.function, signature.required == signature.total, signature.required,
                                 signature.total, i);
            return false;
        }
    }
    return true;
}

}  // namespace

bool parse_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) {
    if (!place_positional(signature, args, nargs, out)) return false;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        if (!intern_keywords(signature)) return false;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            Py_ssize_t slot = keyword_slot(signature, PyTuple_GET_ITEM(kwnames, k), out);
            if (slot < 0) return false;
            out[slot] = args[nargs + k];
        }
    }
    return check_required(signature, out);
}

bool parse_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (!place_positional(signature, nargs ? &PyTuple_GET_ITEM(args, 0) : nullptr, nargs, out)) return false;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        if (!intern_keywords(signature)) return false;
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_ssize_t slot = keyword_slot(signature, key, out);
            if (slot < 0) return false;
            out[slot] = value;
        }
    }
    return check_required(signature, out);
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

bool raise_expected(const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, Py_TYPE(got)->tp_name);
    return false;
}

bool check_int_result(PyObject* result) {
    return result == Py_None || PyLong_CheckExact(result) || raise_expected("int", result);
}

int refuse_delete(const char* name, PyObject* type) {
    if (name) PyErr_Format(type, "can't delete attribute '%s'", name);
    else PyErr_SetString(type, "can't delete attribute");
    return -1;
}

}  // namespace tamsel::binding
