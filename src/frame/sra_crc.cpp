// calculate_sra_crc: the SRA CRC over a list of 16-bit parameter words.
#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "binding/registry.hpp"
#include "binding/types.hpp"
#include "frame/crc.hpp"

namespace tamsel::frame {

namespace {

PyObject* calculate_sra_crc(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[1];
    if (!binding::parse_fastcall("calculate_sra_crc", args, nargs, kwnames, {"params"}, 1, argv) ||
        !binding::check_type(argv[0], &PyList_Type, "params", true))
        return nullptr;
    PyObject* params = argv[0];
    SraCrc crc;
    // The size is read on every step: converting an element may run host code that edits the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(params); ++i) {
        binding::Ref param = binding::Ref::borrow(PyList_GET_ITEM(params, i));
        uint16_t word = 0;
        if (!binding::to_unsigned(param.get(), word)) return nullptr;
        crc.add(word);
    }
    return PyLong_FromUnsignedLong(crc.value());
}

PyMethodDef functions[] = {
    {"calculate_sra_crc", binding::as_method(calculate_sra_crc),
     METH_FASTCALL | METH_KEYWORDS, "SRA CRC Calculation"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_sra_crc(PyObject* module) { return PyModule_AddFunctions(module, functions); }

}  // namespace tamsel::frame
