// The `DataType` enumeration: a class of the host's enum module whose methods and cached
// properties run the native conversions.
#include "binding/types.hpp"
#include "data/hooks.hpp"

#include "binding/method.hpp"
#include "binding/module_state.hpp"
#include "data/data_type_object.hpp"

namespace tamsel::data {

using binding::Ref;

namespace {

constexpr const char* member_names[] = {"BOOL", "FLOAT", "UINT8", "INT8", "UINT16", "INT16", "UINT32", "INT32"};
static_assert(std::size(member_names) == data_type_count);

// The member a method or property was called on:
// "Argument 'self' has incorrect type (expected DataType, got int)".
struct member {
    using type = DataType;
    static bool convert(PyObject* obj, const char* argname, type& out) {
        std::optional<DataType> type = data_type_of(obj);
        if (!type) binding::raise_wrong_type(obj, "DataType", argname);
        out = type.value_or(DataType::BOOL);
        return type.has_value();
    }
};

PyObject* not_implemented() {
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
}

// Cached properties: called with the member.

PyObject* property_bits(PyObject*, DataType type) { return PyLong_FromLong(bits(type)); }
PyObject* property_bytes(PyObject*, DataType type) { return PyLong_FromLong(bytes(type)); }
PyObject* property_is_integer(PyObject*, DataType type) { return PyBool_FromLong(is_integer(type)); }
PyObject* property_is_signed(PyObject*, DataType type) { return PyBool_FromLong(is_signed(type)); }

PyObject* property_max_value(PyObject*, DataType type) {
    return is_integer(type) ? PyLong_FromLongLong(max_value(type)) : not_implemented();
}

PyObject* property_min_value(PyObject*, DataType type) {
    return is_integer(type) ? PyLong_FromLongLong(min_value(type)) : not_implemented();
}

// Methods: `self` arrives as the first positional argument.

PyObject* method_get_initial_value(PyObject*, DataType type) { return initial_value(type); }

PyObject* method_serialize_value(PyObject*, DataType type, PyObject* value) { return serialize_value(type, value); }

// The integer form as `bytes(type)` little-endian bytes, with the errors of the host's
// int.to_bytes for a value outside them.
PyObject* method_serialize_bytes(PyObject*, DataType type, PyObject* value) {
    Ref int_value = Ref::steal(serialize_value(type, value));
    if (!int_value) return nullptr;
    if (!PyLong_Check(int_value.get())) {
        // Only an exotic value's arithmetic gets here; fail as the host's to_bytes would.
        return PyObject_GetAttrString(int_value.get(), "to_bytes");
    }
    const size_t size = bytes(type);
    uint64_t raw = 0;
    if (!unsigned_within(int_value.get(), size, raw)) return nullptr;
    unsigned char buffer[sizeof raw];
    for (size_t i = 0; i < size; ++i) buffer[i] = static_cast<unsigned char>(raw >> (8 * i));
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer), static_cast<Py_ssize_t>(size));
}

PyObject* method_unserialize_value(PyObject*, DataType type, PyObject* value) { return unserialize_value(type, value); }

using binding::function;
using binding::param;
using binding::unary_function;
using Self = param<"self", member>;

using property_defs = binding::methods<
    unary_function<"bits", "Get number of bits necessary to represent a value with the datatype", property_bits, Self>,
    unary_function<"bytes", "Get number of bytes necessary to represent a value with the datatype", property_bytes,
                   Self>,
    unary_function<"is_integer", "", property_is_integer, Self>,
    unary_function<"is_signed", "", property_is_signed, Self>,
    unary_function<"max_value", "", property_max_value, Self>,
    unary_function<"min_value", "", property_min_value, Self>>;

using method_defs = binding::methods<
    function<"get_initial_value", "Get default initial value for the data type", method_get_initial_value, Self>,
    function<"serialize_value", "Convert value to integer representation", method_serialize_value, Self,
             param<"value", binding::any_object>>,
    function<"serialize_bytes", "Convert value to bytes representation", method_serialize_bytes, Self,
             param<"value", binding::any_object>>,
    function<"unserialize_value", "Convert integer representation to value", method_unserialize_value, Self,
             param<"value", binding::exact_int>>>;

bool set_in(PyObject* namespace_, const char* key, PyObject* value) {
    Ref owned = Ref::steal(value);
    return owned && PyMapping_SetItemString(namespace_, key, owned.get()) == 0;
}

}  // namespace

PyObject* make_data_type_enum(PyObject* module) {
    binding::ModuleState& st = binding::state();
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(st.Enum.get()));
    Ref name = Ref::steal(PyUnicode_FromString("DataType"));
    Ref bases = Ref::steal(PyTuple_Pack(1, st.Enum.get()));
    if (!name || !bases) return nullptr;
    Ref namespace_ = Ref::steal(PyObject_CallMethod(metaclass, "__prepare__", "OO", name.get(), bases.get()));
    if (!namespace_) return nullptr;
    PyObject* ns = namespace_.get();
    if (!set_in(ns, "__module__", PyUnicode_FromString("tamsel.tamsel")) ||
        !set_in(ns, "__qualname__", Py_NewRef(name.get())) ||
        !set_in(ns, "__doc__", PyUnicode_FromString("Type of dictionary item")))
        return nullptr;
    for (int i = 0; i < data_type_count; ++i)
        if (!set_in(ns, member_names[i], PyLong_FromLong(data_type_number(all_data_types[i])))) return nullptr;
    for (PyMethodDef* def = method_defs::table; def->ml_name; ++def) {
        Ref function = Ref::steal(PyCFunction_NewEx(def, module, nullptr));
        if (!function || !set_in(ns, def->ml_name, PyInstanceMethod_New(function.get()))) return nullptr;
    }
    for (PyMethodDef* def = property_defs::table; def->ml_name; ++def) {
        Ref function = Ref::steal(PyCFunction_NewEx(def, module, nullptr));
        if (!function || !set_in(ns, def->ml_name, PyObject_CallOneArg(st.cached_property.get(), function.get())))
            return nullptr;
    }
    Ref cls = Ref::steal(PyObject_CallFunctionObjArgs(metaclass, name.get(), bases.get(), ns, nullptr));
    if (!cls) return nullptr;

    PyObject* members[data_type_count];
    for (int i = 0; i < data_type_count; ++i) {
        Ref member = Ref::steal(PyObject_GetAttrString(cls.get(), member_names[i]));
        if (!member) return nullptr;
        members[i] = member.get();  // the class keeps it
    }
    set_data_type_members(members);
    return cls.release();
}

}  // namespace tamsel::data
