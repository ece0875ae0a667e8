// The module tamsel._core: the master's rules over plain frames, for tamsel._replay.
#include "binding/private_module.hpp"
#include "replay/replay_object.hpp"

PyMODINIT_FUNC PyInit__core() {
    return tamsel::binding::init_private_module<tamsel::replay::add_replay_type>(
        "tamsel._core", "The master's rules over plain frames, for the recorder's replay; use tamsel.trace.");
}
