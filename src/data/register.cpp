// The data subsystem's part of the module body.
#include "binding/module_state.hpp"
#include "binding/registry.hpp"
#include "binding/types.hpp"
#include "data/hooks.hpp"

namespace tamsel::data {

int add_native_types(PyObject* module) { return add_item_types(module) && add_dictionary_type(module) ? 0 : -1; }

namespace {

// Union[float, int, bool], from the module's own `Union`.
PyObject* make_value_types(PyObject* module) {
    binding::Ref union_ = binding::Ref::steal(PyObject_GetAttrString(module, "Union"));
    binding::Ref members = binding::Ref::steal(PyTuple_Pack(3, &PyFloat_Type, &PyLong_Type, &PyBool_Type));
    if (!union_ || !members) return nullptr;
    return PyObject_GetItem(union_.get(), members.get());
}

}  // namespace

int add_align_bits(PyObject* module) {
    return binding::add_object(module, "align_bits", make_align_bits(module)) ? 0 : -1;
}

int add_definitions(PyObject* module) {
    binding::ModuleState& st = binding::state();
    bool ok = binding::add_object(module, "DICTIONARY_VALUE_TYPES", make_value_types(module)) &&
              binding::add_object(module, "DataType", make_data_type_enum(module), &st.DataType);
    return ok ? 0 : -1;
}

}  // namespace tamsel::data
