// What a fork leaves to the child: handlers refused, watchdogs ended.
#include "watchdog/process_guard.hpp"
#include "watchdog/watchdog_object.hpp"

#include <pthread.h>

#include <cerrno>
#include <cstring>

namespace tamsel::master {

namespace {

// Runs in the child, inside fork(), before any other code of the child: only the forking
// thread exists, the interpreter lock is held by it.
void after_fork_in_child() noexcept {
    process_generation.fetch_add(1, std::memory_order_relaxed);
    for_each_watchdog([](PyObject* watchdog) { as_watchdog(watchdog)->core.after_fork_in_child(); });
}

}  // namespace

void raise_forked_handler() {
    PyErr_SetString(PyExc_RuntimeError,
                    "MasterHandler was created in the parent of this process (os.fork()): its watchdog thread "
                    "did not come along and a safety connection cannot be shared by two processes; "
                    "only delete() is possible here");
}

bool install_fork_handler() {
    static bool installed = false;
    if (installed) return true;
    if (const int error = pthread_atfork(nullptr, nullptr, after_fork_in_child); error != 0) {
        PyErr_Format(PyExc_OSError, "cannot install the fork handler: %s", std::strerror(error));
        return false;
    }
    installed = true;
    return true;
}

}  // namespace tamsel::master
