#include "master/handler_fast.hpp"

#include "master/handler_generic.hpp"

namespace tamsel::master::fast {

bool applies(HandlerObject*, PyObject*, PyObject*, PyObject*) { return false; }

PyObject* compute_request(HandlerObject* self, PyObject* state, PyObject* master, PyObject* slave) {
    return generic::compute_request(self, state, master, slave);
}

PyObject* process_frame(HandlerObject* self, PyObject* state, PyObject* master, PyObject* slave, PyObject* data) {
    return generic::process_frame(self, state, master, slave, data);
}

bool is_own_state(PyObject*) { return false; }
PyObject* reset_connection_event(PyObject*) { return nullptr; }
PyObject* watchdog_expired_event(PyObject*) { return nullptr; }

bool expiry_is_current(HandlerObject*) { return true; }

}  // namespace tamsel::master::fast
