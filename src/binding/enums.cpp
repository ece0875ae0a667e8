#include "binding/enums.hpp"

namespace tamsel::binding {

PyObject* make_enum(PyObject* base, const char* name, const EnumMembers& members, const char* doc,
                    PyObject* member_type) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& [member, value] : members) {
        Ref pair = Ref::steal(Py_BuildValue("(sl)", member.c_str(), value));
        if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
    }
    Ref args = Ref::steal(Py_BuildValue("(sO)", name, list.get()));
    Ref kwargs = Ref::steal(Py_BuildValue("{ssss}", "module", "tamsel.tamsel", "qualname", name));
    if (!args || !kwargs) return nullptr;
    if (member_type && PyDict_SetItemString(kwargs.get(), "type", member_type) < 0) return nullptr;
    Ref cls = Ref::steal(PyObject_Call(base, args.get(), kwargs.get()));
    if (!cls) return nullptr;
    if (doc) {
        Ref text = Ref::steal(PyUnicode_FromString(doc));
        if (!text || PyObject_SetAttrString(cls.get(), "__doc__", text.get()) < 0) return nullptr;
    }
    return cls.release();
}

}  // namespace tamsel::binding
