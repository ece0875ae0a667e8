// The module definition: creation from the host's module spec, the body, and the state's life.
#include "binding/module_state.hpp"
#include "binding/module_state_access.hpp"
#include "binding/registry.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace tamsel::binding {

namespace {

PyObject* loaded_module = nullptr;  // borrowed; set once the body has run
std::unique_ptr<ModuleState> owned_state;
int64_t main_interpreter_id = -1;

bool check_single_interpreter() {
    int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (main_interpreter_id == -1) {
        main_interpreter_id = current;
        return current != -1;
    }
    if (main_interpreter_id != current) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return false;
    }
    return true;
}

bool copy_spec_attribute(PyObject* spec, PyObject* dict, const char* from, const char* to, bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!allow_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(dict, to, value.get()) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (!check_single_interpreter()) return nullptr;
    if (loaded_module) return Py_NewRef(loaded_module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, dict, "loader", "__loader__", true) ||
        !copy_spec_attribute(spec, dict, "origin", "__file__", true) ||
        !copy_spec_attribute(spec, dict, "parent", "__package__", true) ||
        !copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false))
        return nullptr;
    return module.release();
}

bool register_in_module_table(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    Ref key = Ref::steal(PyUnicode_FromString("tamsel.tamsel"));
    if (!key) return false;
    int present = PyDict_Contains(modules, key.get());
    if (present < 0) return false;
    return present || PyDict_SetItem(modules, key.get(), module) == 0;
}

int run_body(PyObject* module) {
    using Step = int (*)(PyObject*);
    // The native types first, then the standard names, then the definitions in source order.
    static constexpr Step steps[] = {
        frame::add_native_types,
        data::add_native_types,
        mapping::add_map_types,
        mapping::add_dynamic_map_types,
        add_standard_names,
        frame::add_constants,
        data::add_align_bits,
        frame::add_command_enum,
        add_errors,
        data::add_definitions,
        master::add_watchdog,
        master::add_node_classes,
        states::add_states,
        master::add_handler,
        frame::add_sra_crc,
        trace::add_trace,
    };
    if (!state().names.intern_all() || !register_in_module_table(module)) return -1;
    for (Step step : steps)
        if (step(module) < 0) return -1;
    return 0;
}

int exec_module(PyObject* module) {
    if (loaded_module) {
        if (loaded_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'tamsel' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    auto fresh = std::make_unique<ModuleState>();
    fresh->module = module;
    install_state(fresh.get());
    owned_state = std::move(fresh);
    // When the module outlives the interpreter (a handler whose watchdog thread was never
    // deleted keeps it alive), its references must not be released after finalization.
    Py_AtExit([] { static_cast<void>(owned_state.release()); });
    loaded_module = module;
    if (run_body(module) < 0) {
        // The module is not usable; a later attempt starts again from scratch.
        loaded_module = nullptr;
        owned_state->clear();
        return -1;
    }
    return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    if (owned_state && module == loaded_module) return owned_state->traverse(visit, arg);
    return 0;
}

int clear_module(PyObject* module) {
    if (owned_state && module == loaded_module) owned_state->clear();
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    // Lets every interpreter reach create_module, which refuses all but the first with its
    // own message.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tamsel",    "FSoE master for one safety slave", 0, nullptr, module_slots, traverse_module,
    clear_module,          free_module,
};

bool check_binary_version() {
    int runtime_major = 0, runtime_minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", &runtime_major, &runtime_minor) != 2) return true;
    if (runtime_major == PY_MAJOR_VERSION && runtime_minor == PY_MINOR_VERSION) return true;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION, "tamsel.tamsel", "does not match", runtime_major, runtime_minor);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

}  // namespace

}  // namespace tamsel::binding

PyMODINIT_FUNC PyInit_tamsel() {
    if (!tamsel::binding::check_binary_version()) return nullptr;
    return PyModuleDef_Init(&tamsel::binding::module_def);
}
