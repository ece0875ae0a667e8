#include "states/names.hpp"

namespace tamsel::states {

namespace names {
#define TAMSEL_DEFINE_NAME(n) PyObject* n = nullptr;
TAMSEL_STATE_ATTRIBUTE_NAMES(TAMSEL_DEFINE_NAME)
#undef TAMSEL_DEFINE_NAME
}  // namespace names

bool intern_names() {
#define TAMSEL_INTERN_NAME(n) \
    if (!names::n && !(names::n = PyUnicode_InternFromString(#n))) return false;
    TAMSEL_STATE_ATTRIBUTE_NAMES(TAMSEL_INTERN_NAME)
#undef TAMSEL_INTERN_NAME
    return true;
}

}  // namespace tamsel::states
