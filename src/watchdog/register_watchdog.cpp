// WatchdogCommand and Watchdog.
#include "binding/enums.hpp"
#include "binding/module_state.hpp"
#include "binding/registry.hpp"
#include "binding/types.hpp"
#include "watchdog/process_guard.hpp"
#include "watchdog/watchdog_object.hpp"

namespace tamsel::master {

int add_watchdog(PyObject* module) {
    binding::ModuleState& st = binding::state();
    const binding::EnumMembers members = {{"ACTIVATE", 1}, {"DEACTIVATE", 2}, {"RESET", 3}, {"STOP", 4}};
    if (!binding::add_object(module, "WatchdogCommand",
                             binding::make_enum(st.Enum.get(), "WatchdogCommand", members, nullptr),
                             &st.WatchdogCommand))
        return -1;
    return add_watchdog_type(module) && end_watchdogs_at_shutdown() && install_fork_handler() ? 0 : -1;
}

}  // namespace tamsel::master
