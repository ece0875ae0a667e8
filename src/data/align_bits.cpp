// The published `align_bits` function.
#include "binding/method.hpp"
#include "binding/convert.hpp"
#include "binding/types.hpp"
#include "data/data_type.hpp"
#include "data/hooks.hpp"

namespace tamsel::data {

namespace {

PyObject* align_bits_function(PyObject*, uint16_t number, uint16_t boundary) {
    if (boundary == 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
        return nullptr;
    }
    return PyLong_FromUnsignedLong(align_bits(number, boundary));
}

PyMethodDef align_bits_def = binding::function<"align_bits",
                                               "Align number of bits to a boundaries.\n\n"
                                               "Args:\n    number: Number to align\n    boundary: Boundary of bits\n\n"
                                               "Returns:\n    Aligned number of bits",
                                               align_bits_function, binding::param<"number", binding::u16>,
                                               binding::param<"boundary", binding::u16>>::entry();

}  // namespace

PyObject* make_align_bits(PyObject* module) {
    binding::Ref name = binding::Ref::steal(PyModule_GetNameObject(module));
    if (!name) return nullptr;
    return PyCFunction_NewEx(&align_bits_def, module, name.get());
}

}  // namespace tamsel::data
