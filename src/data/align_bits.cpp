// The published `align_bits` function.
#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/types.hpp"
#include "data/data_type.hpp"
#include "data/hooks.hpp"

namespace tamsel::data {

namespace {

PyObject* align_bits_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* parsed[2];
    if (!binding::parse_fastcall("align_bits", args, nargs, kwnames, {"number", "boundary"}, 2, parsed))
        return nullptr;
    uint16_t number = 0, boundary = 0;
    if (!binding::to_unsigned(parsed[0], number) || !binding::to_unsigned(parsed[1], boundary)) return nullptr;
    if (boundary == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
        return nullptr;
    }
    return PyLong_FromUnsignedLong(align_bits(number, boundary));
}

PyMethodDef align_bits_def = {
    "align_bits", binding::as_method(align_bits_function),
    METH_FASTCALL | METH_KEYWORDS,
    "align_bits(number, boundary)\n--\n\n"
    "Align number of bits to a boundaries.\n\n"
    "Args:\n    number: Number to align\n    boundary: Boundary of bits\n\n"
    "Returns:\n    Aligned number of bits"};

}  // namespace

PyObject* make_align_bits(PyObject* module) {
    binding::Ref name = binding::Ref::steal(PyModule_GetNameObject(module));
    if (!name) return nullptr;
    return PyCFunction_NewEx(&align_bits_def, module, name.get());
}

}  // namespace tamsel::data
