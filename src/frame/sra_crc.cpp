// calculate_sra_crc: the SRA CRC over a list of 16-bit parameter words.
#include "binding/method.hpp"
#include "binding/convert.hpp"
#include "binding/registry.hpp"
#include "binding/types.hpp"
#include "frame/crc.hpp"

namespace tamsel::frame {

namespace {

PyObject* calculate_sra_crc(PyObject*, PyObject* params) {
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

using functions = binding::methods<binding::function<"calculate_sra_crc", "SRA CRC Calculation", calculate_sra_crc,
                                                     binding::param<"params", binding::exact_list>>>;

}  // namespace

int add_sra_crc(PyObject* module) { return PyModule_AddFunctions(module, functions::table); }

}  // namespace tamsel::frame
