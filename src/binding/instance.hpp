#pragma once
// The conversion of a parameter that takes an instance of one of the module's own types.
#include "binding/conversions.hpp"
#include "binding/module_state.hpp"

namespace tamsel::binding {

// An instance of the type in state slot `Slot` or of a subclass, optionally None:
// "Argument 'dictionary' has incorrect type (expected tamsel.tamsel.Dictionary, got int)".
template <Ref ModuleState::* Slot, bool NoneOk = false>
struct instance_of {
    using type = PyObject*;
    static bool convert(PyObject* obj, const char* argname, type& out) {
        out = obj;
        return check_type(obj, as_type(state().*Slot), argname, false, NoneOk);
    }
};

}  // namespace tamsel::binding
