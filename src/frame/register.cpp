// The frame layer's part of the module body.
#include "binding/module_state.hpp"
#include "binding/registry.hpp"
#include "binding/types.hpp"
#include "frame/frame.hpp"
#include "frame/views.hpp"

namespace tamsel::frame {

int add_native_types(PyObject* module) {
    binding::ModuleState& st = binding::state();
    return binding::add_type(module, &control_view_spec(), nullptr, st.FSOEFrameControl) &&
                   binding::add_type(module, &word_view_spec(), nullptr, st.U16Array) &&
                   binding::add_type(module, &frame_spec(), nullptr, st.FSOEFrame)
               ? 0
               : -1;
}

int add_constants(PyObject* module) {
    const std::pair<const char*, std::size_t> constants[] = {
        {"BYTES_PER_WORD", BYTES_PER_WORD},
        {"MAX_DATA_WORDS", MAX_DATA_WORDS},
        {"MAX_DATA_BYTES", MAX_DATA_BYTES},
        {"MAX_CRC_WORDS", MAX_CRC_WORDS},
    };
    for (const auto& [name, value] : constants)
        if (!binding::add_object(module, name, PyLong_FromSize_t(value))) return -1;
    return 0;
}

int add_command_enum(PyObject* module) {
    binding::ModuleState& st = binding::state();
    if (!binding::add_object(module, "FSOECommand", make_command_enum(), &st.FSOECommand)) return -1;
    st.process_data = binding::Ref::steal(PyObject_GetAttrString(st.FSOECommand.get(), "PROCESS_DATA"));
    st.failsafe_data = binding::Ref::steal(PyObject_GetAttrString(st.FSOECommand.get(), "FAILSAFE_DATA"));
    return st.process_data && st.failsafe_data ? 0 : -1;
}

}  // namespace tamsel::frame
