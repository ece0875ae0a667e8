#pragma once
// Where an event of a state object picks its port: the native one when the object and
// everything behind its handler are the module's own, the host one otherwise.
#include "ports/host_port.hpp"
#include "ports/native_port.hpp"
#include "states/state_object.hpp"

namespace tamsel::states {

// Runs `body(port)` for the state object `self` (kept alive by the caller) and returns its
// result; `failed` when the handler cannot be read.
template <typename Result, typename Body>
Result with_port(PyObject* self, Result failed, Body&& body) {
    Ref context = state_context(self);
    if (!context) return failed;
    if (ports::NativePort::serves(self, context.get())) {
        ports::NativePort port(self, context.get());
        return body(port);
    }
    ports::HostPort port(self, context.get());
    return body(port);
}

}  // namespace tamsel::states
