#pragma once
// What the data subsystem's files contribute to the module body (see register.cpp).
#include "binding/ref.hpp"

namespace tamsel::data {

// The DataType enumeration class (new reference); also fills the state's member tuple.
PyObject* make_data_type_enum(PyObject* module);

// The published `align_bits` function (new reference).
PyObject* make_align_bits(PyObject* module);

// Ready and publish the four item types and Dictionary.
bool add_item_types(PyObject* module);
bool add_dictionary_type(PyObject* module);

}  // namespace tamsel::data
