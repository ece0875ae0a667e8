#pragma once
// What the data subsystem's files contribute to the module body (see register.cpp).
#include "binding/ref.hpp"
#include "data/data_type.hpp"

namespace tamsel::data {

// The DataType enumeration class (new reference); also records its members for data_type_of.
PyObject* make_data_type_enum(PyObject* module);
void set_data_type_members(PyObject* const (&members)[data_type_count]);

// The published `align_bits` function (new reference).
PyObject* make_align_bits(PyObject* module);

// Ready and publish the four item types and Dictionary.
bool add_item_types(PyObject* module);
bool add_dictionary_type(PyObject* module);

}  // namespace tamsel::data
