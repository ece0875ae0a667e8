// The standard-library names bound in the module namespace, imported in this order.
#include "binding/module_state.hpp"
#include "binding/registry.hpp"

namespace tamsel::binding {

namespace {

struct Import {
    const char* module;
    const char* name;  // null: bind the module itself
    Ref ModuleState::* slot;
};

constexpr Import imports[] = {
    {"struct", nullptr, &ModuleState::struct_module},
    {"os", nullptr, &ModuleState::os_module},
    {"logging", nullptr, &ModuleState::logging_module},
    {"abc", "ABC", &ModuleState::ABC},
    {"abc", "abstractmethod", &ModuleState::abstractmethod},
    {"typing", "Dict", nullptr},
    {"typing", "Union", nullptr},
    {"typing", "List", nullptr},
    {"typing", "Optional", nullptr},
    {"typing", "Type", nullptr},
    {"typing", "Callable", nullptr},
    {"typing", "Set", nullptr},
    {"typing", "Iterator", nullptr},
    {"threading", nullptr, &ModuleState::threading_module},
    {"queue", "Queue", &ModuleState::Queue},
    {"queue", "Empty", &ModuleState::Empty},
    {"enum", "Enum", &ModuleState::Enum},
    {"enum", "auto", &ModuleState::auto_},
    {"enum", "IntEnum", &ModuleState::IntEnum},
    {"random", "randint", &ModuleState::randint},
    {"functools", "cached_property", &ModuleState::cached_property},
};

}  // namespace

int add_standard_names(PyObject* module) {
    ModuleState& st = state();
    for (const Import& entry : imports) {
        Ref imported = Ref::steal(PyImport_ImportModule(entry.module));
        if (!imported) return -1;
        Ref value = entry.name ? Ref::steal(PyObject_GetAttrString(imported.get(), entry.name)) : imported;
        if (!value) return -1;
        if (PyModule_AddObjectRef(module, entry.name ? entry.name : entry.module, value.get()) < 0) return -1;
        if (entry.slot) st.*entry.slot = std::move(value);
    }
    st.Thread = Ref::steal(PyObject_GetAttrString(st.threading_module.get(), "Thread"));
    return st.Thread ? 0 : -1;
}

}  // namespace tamsel::binding
