// FSOECommand: the command codes as a host enumeration.
#include "binding/method.hpp"
#include "binding/convert.hpp"
#include "binding/enums.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "frame/frame_object.hpp"
#include "frame/views.hpp"

namespace tamsel::frame {

namespace {

using binding::Ref;

PyObject* value_to_member_map(PyObject* enumeration) {
    return PyObject_GetAttrString(enumeration, "_value2member_map_");
}

PyObject* has_value(PyObject* cls, PyObject* value) {
    Ref members = Ref::steal(value_to_member_map(cls));
    if (!members) return nullptr;
    int found = PySequence_Contains(members.get(), value);
    return found < 0 ? nullptr : PyBool_FromLong(found);
}

PyMethodDef has_value_def =
    binding::class_method<"has_value", "Checks if the value is in one of the members of the enum", has_value,
                          binding::param<"value", binding::exact_int>>::entry();

}  // namespace

PyObject* make_command_enum() {
    binding::EnumMembers members;
    for (const CommandCode& entry : command_codes) members.emplace_back(entry.name, entry.code);
    Ref enumeration = Ref::steal(binding::make_enum(binding::state().Enum.get(), "FSOECommand", members, nullptr));
    if (!enumeration) return nullptr;
    Ref method = Ref::steal(PyDescr_NewClassMethod(reinterpret_cast<PyTypeObject*>(enumeration.get()), &has_value_def));
    if (!method || PyObject_SetAttrString(enumeration.get(), "has_value", method.get()) < 0) return nullptr;
    return enumeration.release();
}

PyObject* command_member(uint16_t code) {
    PyObject* enumeration = binding::state().FSOECommand.get();
    Ref key = Ref::steal(PyLong_FromLong(code));
    Ref members = Ref::steal(value_to_member_map(enumeration));
    if (!key || !members) return nullptr;
    if (PyDict_CheckExact(members.get())) {
        PyObject* member = PyDict_GetItemWithError(members.get(), key.get());
        if (member) return Py_NewRef(member);
        if (PyErr_Occurred()) return nullptr;
    }
    // Not a member: the enumeration raises its own ValueError.
    return PyObject_CallOneArg(enumeration, key.get());
}

bool command_code(PyObject* member, uint16_t& code) {
    Ref value = Ref::steal(PyObject_GetAttrString(member, "value"));
    return value && binding::to_unsigned(value.get(), code);
}

}  // namespace tamsel::frame
