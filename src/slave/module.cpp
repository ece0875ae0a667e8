// The module tamsel._slave: the simulated slave's protocol core for tamsel.slave.
#include "binding/private_module.hpp"
#include "slave/slave_object.hpp"

PyMODINIT_FUNC PyInit__slave() {
    return tamsel::binding::init_private_module<tamsel::slave::add_slave_type>(
        "tamsel._slave", "Protocol core of the simulated FSoE slave; use tamsel.slave.");
}
