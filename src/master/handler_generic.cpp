// The cycle over published attribute names and method calls: works for any node, frame, map
// or state the host substituted or subclassed.
#include "master/handler_generic.hpp"
#include "binding/module_state.hpp"

#include "binding/host_calls.hpp"
#include "states/state_object.hpp"

namespace tamsel::master::generic {

namespace {

using binding::Ref;

Ref long_ref(long value) { return Ref::steal(PyLong_FromLong(value)); }

// obj.<chain>.<last> = value
bool set_path(PyObject* obj, std::initializer_list<PyObject*> chain, PyObject* last, PyObject* value) {
    Ref target = py::path(obj, chain);
    return target && py::set(target.get(), last, value);
}

// obj.<chain>[0]
Ref first_word(PyObject* obj, std::initializer_list<PyObject*> chain) {
    Ref words = py::path(obj, chain);
    return words ? Ref::steal(PySequence_GetItem(words.get(), 0)) : Ref{};
}

bool fill_master_frame(HandlerObject* self, PyObject* state, StateKind kind, PyObject* master, PyObject* frame) {
    if (kind == StateKind::data) return states::map_frame(state) == 0;
    Ref map = py::get(master, binding::names()._dynamic_map);
    Ref count = long_ref(self->initialization_data_bytes);
    return map && count &&
           py::call_kw2(map.get(), binding::names().set_data_to_frame, binding::names().frame, frame,
                        binding::names().valid_data_bytes, count.get());
}

bool stamp_connection_id(PyObject* master, PyObject* control, StateKind kind) {
    if (kind == StateKind::reset || kind == StateKind::session) {
        Ref zero = long_ref(0);
        return zero && py::set(control, binding::names().connection_id, zero.get());
    }
    Ref id = py::path(master, {binding::names().session, binding::names().connection_id, binding::names().value});
    return id && py::set(control, binding::names().connection_id, id.get());
}

bool protect_master_frame(HandlerObject* self, PyObject* master, PyObject* frame) {
    if (!self->generate_crcs_cyclic_for_next_frame)
        return static_cast<bool>(py::call(frame, binding::names().generate_crcs));
    Ref last = py::get(master, binding::names()._last_crc0_sent);
    if (!last) return false;
    if (last.get() == Py_None) {
        PyErr_SetString(PyExc_ValueError, "Cannot generate cyclic CRCs without a last CRC sent");
        return false;
    }
    return static_cast<bool>(py::call(frame, binding::names().generate_crcs_cyclic, {last.get()}));
}

}  // namespace

StateKind classify(PyObject* state) {
    binding::ModuleState& st = binding::state();
    if (PyObject_TypeCheck(state, binding::as_type(st.StateData))) return StateKind::data;
    if (PyObject_TypeCheck(state, binding::as_type(st.StateReset))) return StateKind::reset;
    if (PyObject_TypeCheck(state, binding::as_type(st.StateSession))) return StateKind::session;
    return StateKind::other;
}

PyObject* compute_request(HandlerObject* self, PyObject* state, PyObject* master, PyObject* slave) {
    const StateKind kind = classify(state);
    Ref frame = py::get(master, binding::names().frame);
    if (!frame || !fill_master_frame(self, state, kind, master, frame.get())) return nullptr;

    Ref control = py::get(frame.get(), binding::names().control);
    if (!control || !stamp_connection_id(master, control.get(), kind)) return nullptr;
    if (!protect_master_frame(self, master, frame.get())) return nullptr;

    Ref crc0 = first_word(frame.get(), {binding::names().crcs});
    if (!crc0 || !py::set(master, binding::names()._last_crc0_sent, crc0.get())) return nullptr;

    if (self->reset_slave_sequence_number_after_frame) {
        Ref one = long_ref(1);
        if (!one || !set_path(slave, {binding::names().frame, binding::names().control},
                              binding::names().sequence_number, one.get()))
            return nullptr;
        self->reset_slave_sequence_number_after_frame = false;
    }
    if (kind != StateKind::reset) {
        Ref sent = first_word(frame.get(), {binding::names().crcs});
        if (!sent ||
            !set_path(slave, {binding::names().frame, binding::names().control}, binding::names().crc0, sent.get()))
            return nullptr;
        if (!py::call(control.get(), binding::names().increment_sequence_number)) return nullptr;
    }
    return py::call(frame.get(), binding::names().frame_to_array).release();
}

PyObject* process_frame(HandlerObject* self, PyObject* state, PyObject* master, PyObject* slave, PyObject* data) {
    const StateKind kind = classify(state);
    Ref frame = py::get(slave, binding::names().frame);
    self->reply_oversized = PyBytes_GET_SIZE(data) > longest_reply;
    Ref image = self->reply_oversized ? Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(data), longest_reply))
                                      : Ref::borrow(data);
    if (!frame || !image || !py::call(frame.get(), binding::names()._frame_from_array, {image.get()})) return nullptr;

    if (kind != StateKind::reset) {
        Ref crc0 = first_word(frame.get(), {binding::names().crcs});
        if (!crc0 ||
            !set_path(master, {binding::names().frame, binding::names().control}, binding::names().crc0, crc0.get()))
            return nullptr;
    }

    Ref control = py::get(frame.get(), binding::names().control);
    Ref map = py::get(slave, binding::names()._dynamic_map);
    if (!control || !map) return nullptr;
    int valid = py::truth(py::call(control.get(), binding::names().command_is_valid));
    if (valid < 0) return nullptr;
    if (valid) {
        Ref command = py::get(control.get(), binding::names().command);
        if (!command) return nullptr;
        PyObject* reset = PyObject_GetAttrString(binding::state().FSOECommand.get(), "RESET");
        Ref reset_member = Ref::steal(reset);
        if (!reset_member) return nullptr;
        int is_reset = PyObject_RichCompareBool(command.get(), reset_member.get(), Py_EQ);
        if (is_reset < 0) return nullptr;
        if (is_reset) {
            Ref error_id = py::path(slave, {binding::names().session, binding::names().error_id});
            if (!error_id || !py::call(map.get(), binding::names().clear) ||
                !py::call(map.get(), binding::names().add, {error_id.get()}))
                return nullptr;
        }
    }
    Ref count = long_ref(self->initialization_data_bytes);
    if (!count || !py::call_kw2(map.get(), binding::names().get_data_from_frame, binding::names().frame, frame.get(),
                                binding::names().valid_data_bytes, count.get()))
        return nullptr;

    Ref next_state = Ref::steal(states::process_frame_received(state));
    if (!next_state) return nullptr;

    if (kind != StateKind::reset && !py::call(control.get(), binding::names().increment_sequence_number))
        return nullptr;
    Ref crc0 = first_word(frame.get(), {binding::names().crcs});
    if (!crc0 || !py::set(slave, binding::names()._last_crc0_sent, crc0.get())) return nullptr;
    return next_state.release();
}

}  // namespace tamsel::master::generic
