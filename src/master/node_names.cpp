#include "master/node_names.hpp"

namespace tamsel::master::node_names {

#define TAMSEL_DEFINE_NAME(name) PyObject* name = nullptr;
TAMSEL_NODE_NAMES(TAMSEL_DEFINE_NAME)
#undef TAMSEL_DEFINE_NAME

bool intern_all() {
#define TAMSEL_INTERN_NAME(name) \
    if (!name && !(name = PyUnicode_InternFromString(#name))) return false;
    TAMSEL_NODE_NAMES(TAMSEL_INTERN_NAME)
#undef TAMSEL_INTERN_NAME
    return true;
}

}  // namespace tamsel::master::node_names
