// The `DataType` enumeration: a class of the host's enum module whose methods and cached
// properties run the native conversions.
#include "binding/types.hpp"
#include "data/hooks.hpp"

#include "binding/args.hpp"
#include "binding/module_state.hpp"
#include "data/data_type_object.hpp"

namespace tamsel::data {

using binding::Ref;

namespace {

constexpr const char* member_names[] = {"BOOL", "FLOAT", "UINT8", "INT8", "UINT16", "INT16", "UINT32", "INT32"};
static_assert(std::size(member_names) == data_type_count);

// The member a method or property was called on.
std::optional<DataType> member_type(PyObject* self) {
    std::optional<DataType> type = data_type_of(self);
    if (!type) binding::raise_wrong_type(self, "DataType", "self");
    return type;
}

PyObject* not_implemented() {
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
}

// Cached properties: called with the member.

PyObject* property_bits(PyObject*, PyObject* self) {
    auto type = member_type(self);
    return type ? PyLong_FromLong(bits(*type)) : nullptr;
}

PyObject* property_bytes(PyObject*, PyObject* self) {
    auto type = member_type(self);
    return type ? PyLong_FromLong(bytes(*type)) : nullptr;
}

PyObject* property_is_integer(PyObject*, PyObject* self) {
    auto type = member_type(self);
    return type ? PyBool_FromLong(is_integer(*type)) : nullptr;
}

PyObject* property_is_signed(PyObject*, PyObject* self) {
    auto type = member_type(self);
    return type ? PyBool_FromLong(is_signed(*type)) : nullptr;
}

PyObject* property_max_value(PyObject*, PyObject* self) {
    auto type = member_type(self);
    if (!type) return nullptr;
    return is_integer(*type) ? PyLong_FromLongLong(max_value(*type)) : not_implemented();
}

PyObject* property_min_value(PyObject*, PyObject* self) {
    auto type = member_type(self);
    if (!type) return nullptr;
    return is_integer(*type) ? PyLong_FromLongLong(min_value(*type)) : not_implemented();
}

// Methods: `self` arrives as the first positional argument.

PyObject* method_get_initial_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* self;
    if (!binding::parse_fastcall("get_initial_value", args, nargs, kwnames, {"self"}, 1, &self)) return nullptr;
    auto type = member_type(self);
    return type ? initial_value(*type) : nullptr;
}

PyObject* method_serialize_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* parsed[2];
    if (!binding::parse_fastcall("serialize_value", args, nargs, kwnames, {"self", "value"}, 2, parsed))
        return nullptr;
    auto type = member_type(parsed[0]);
    return type ? serialize_value(*type, parsed[1]) : nullptr;
}

PyObject* method_serialize_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* parsed[2];
    if (!binding::parse_fastcall("serialize_bytes", args, nargs, kwnames, {"self", "value"}, 2, parsed))
        return nullptr;
    auto type = member_type(parsed[0]);
    if (!type) return nullptr;
    Ref int_value = Ref::steal(serialize_value(*type, parsed[1]));
    if (!int_value) return nullptr;
    if (!PyLong_Check(int_value.get())) {
        // Only an exotic value's arithmetic gets here; fail as the host's to_bytes would.
        return PyObject_GetAttrString(int_value.get(), "to_bytes");
    }
    unsigned char buffer[4];
    const size_t size = bytes(*type);
    uint64_t raw = 0;
    if (!unsigned_within(int_value.get(), size, raw)) return nullptr;
    for (size_t i = 0; i < size; ++i) buffer[i] = static_cast<unsigned char>(raw >> (8 * i));
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffer), static_cast<Py_ssize_t>(size));
}

PyObject* method_unserialize_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* parsed[2];
    if (!binding::parse_fastcall("unserialize_value", args, nargs, kwnames, {"self", "value"}, 2, parsed))
        return nullptr;
    auto type = member_type(parsed[0]);
    if (!type || !binding::check_type(parsed[1], &PyLong_Type, "value", true)) return nullptr;
    return unserialize_value(*type, parsed[1]);
}

#define TAMSEL_FASTCALL(fn) binding::as_method(fn)

PyMethodDef property_defs[] = {
    {"bits", property_bits, METH_O, "Get number of bits necessary to represent a value with the datatype"},
    {"bytes", property_bytes, METH_O, "Get number of bytes necessary to represent a value with the datatype"},
    {"is_integer", property_is_integer, METH_O, nullptr},
    {"is_signed", property_is_signed, METH_O, nullptr},
    {"max_value", property_max_value, METH_O, nullptr},
    {"min_value", property_min_value, METH_O, nullptr},
};

PyMethodDef method_defs[] = {
    {"get_initial_value", TAMSEL_FASTCALL(method_get_initial_value), METH_FASTCALL | METH_KEYWORDS,
     "get_initial_value($module, self)\n--\n\nGet default initial value for the data type"},
    {"serialize_value", TAMSEL_FASTCALL(method_serialize_value), METH_FASTCALL | METH_KEYWORDS,
     "serialize_value($module, self, value)\n--\n\nConvert value to integer representation"},
    {"serialize_bytes", TAMSEL_FASTCALL(method_serialize_bytes), METH_FASTCALL | METH_KEYWORDS,
     "serialize_bytes($module, self, value)\n--\n\nConvert value to bytes representation"},
    {"unserialize_value", TAMSEL_FASTCALL(method_unserialize_value), METH_FASTCALL | METH_KEYWORDS,
     "unserialize_value($module, self, value)\n--\n\nConvert integer representation to value"},
};

#undef TAMSEL_FASTCALL

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
    for (PyMethodDef& def : method_defs) {
        Ref function = Ref::steal(PyCFunction_NewEx(&def, module, nullptr));
        if (!function || !set_in(ns, def.ml_name, PyInstanceMethod_New(function.get()))) return nullptr;
    }
    for (PyMethodDef& def : property_defs) {
        Ref function = Ref::steal(PyCFunction_NewEx(&def, module, nullptr));
        if (!function || !set_in(ns, def.ml_name, PyObject_CallOneArg(st.cached_property.get(), function.get())))
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
