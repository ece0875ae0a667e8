#pragma once
// Enumerations as real classes of the host's enum module.
#include "binding/ref.hpp"

#include <string>
#include <utility>
#include <vector>

namespace tamsel::binding {

using EnumMembers = std::vector<std::pair<std::string, long>>;

// Calls the functional form `base(name, members, module="tamsel.tamsel", qualname=name
// [, type=member_type])` and sets the docstring when `doc` is given. New reference or null.
PyObject* make_enum(PyObject* base, const char* name, const EnumMembers& members, const char* doc,
                    PyObject* member_type = nullptr);

}  // namespace tamsel::binding
