#include "binding/types.hpp"

#include <cstring>

namespace tamsel::binding {

bool add_type(PyObject* module, PyType_Spec* spec, PyObject* bases, Ref& slot) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, spec, bases));
    if (!type) return false;
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) < 0) return false;
    slot = std::move(type);
    return true;
}

bool add_object(PyObject* module, const char* name, PyObject* value, Ref* slot) {
    Ref owned = Ref::steal(value);
    if (!owned) return false;
    if (PyModule_AddObjectRef(module, name, owned.get()) < 0) return false;
    if (slot) *slot = std::move(owned);
    return true;
}

}  // namespace tamsel::binding
