#include "binding/names.hpp"

namespace tamsel::binding {

bool Names::intern_all() {
#define TAMSEL_INTERN_NAME(name) \
    if (!name && !(name = PyUnicode_InternFromString(#name))) return false;
    TAMSEL_NAMES(TAMSEL_INTERN_NAME)
#undef TAMSEL_INTERN_NAME
    return true;
}

}  // namespace tamsel::binding
