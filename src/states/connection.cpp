// StateConnection: sends the connection id and slave address and checks the slave's echo.
#include "states/echo_state.hpp"
#include "binding/module_state.hpp"
#include "states/parameter.hpp"
#include "states/procedures.hpp"

namespace tamsel::states {

namespace {

constexpr EchoTransitions transitions = {
    Command::connection,    Transition::conn_fail5,         Transition::conn_fail3, Transition::conn_fail2,
    Transition::conn_fail1, Transition::conn_stay1,         Transition::conn_ok,    Transition::conn_reset1,
    Transition::conn_fail4, Message::session_data_mismatch,
};

PyObject* frame_received(PyObject* self, Context& ctx) { return echo_frame_received(self, ctx, transitions); }

// CONN_OK: the parameter transfer is prepared by a temporary StateParameter.
PyObject* perform(PyObject*, Context& ctx, Transition t) {
    if (!log_transition(t) || parameter_map_frame(nullptr, ctx) < 0 ||
        !ctx.set_flag(binding::names()._generate_crcs_cyclic_for_next_frame, true) || !ctx.activate_watchdog())
        return nullptr;
    return class_ref(StateId::parameter);
}

}  // namespace

const Behaviour connection_behaviour = {frame_received,          perform, nullptr, Transition::conn_wd,
                                        Transition::conn_reset2, nullptr};

}  // namespace tamsel::states
