#include "master/handler_names.hpp"

namespace tamsel::master::names {

// Interned strings live as long as the process, like the module itself.
TAMSEL_DEFINE_INTERNED_NAMES(TAMSEL_HANDLER_NAMES)

}  // namespace tamsel::master::names
