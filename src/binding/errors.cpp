// Exception classes and the FSoE error enumerations.
#include "binding/enums.hpp"
#include "binding/module_state.hpp"
#include "binding/registry.hpp"
#include "binding/types.hpp"

#include <string>

namespace tamsel::binding {

namespace {

struct ExceptionSpec {
    const char* name;
    const char* doc;
    Ref ModuleState::* slot;
    Ref ModuleState::* base;  // null: the host's Exception
};

constexpr ExceptionSpec exception_specs[] = {
    {"TamselException", "Exception for FSoE Master", &ModuleState::TamselException, nullptr},
    {"TamselRunningException", "Exception for raised when the master is already running",
     &ModuleState::TamselRunningException, &ModuleState::TamselException},
    {"TamselMappingLockedException", "Exception raised when trying to map an item on a locked dictionary map",
     &ModuleState::TamselMappingLockedException, &ModuleState::TamselException},
    {"FSoEAlreadyMappedException", "Exception raised when trying to map an item that is already mapped",
     &ModuleState::FSoEAlreadyMappedException, &ModuleState::TamselException},
};

constexpr const char* base_error_names[] = {
    "RESET",           "INVALID_CMD",         "UNKNOWN_CMD",
    "INVALID_CONNID",  "INVALID_CRC",         "WD_EXPIRED",
    "INVALID_ADDRESS", "INVALID_DATA",        "INVALID_COMMPARALEN",
    "INVALID_COMPARA", "INVALID_USERPARALEN", "INVALID_USERPARA",
};

}  // namespace

int add_errors(PyObject* module) {
    ModuleState& st = state();
    for (const ExceptionSpec& spec : exception_specs) {
        std::string qualified = std::string("tamsel.tamsel.") + spec.name;
        PyObject* base = spec.base ? (st.*spec.base).get() : PyExc_Exception;
        if (!add_object(module, spec.name, PyErr_NewExceptionWithDoc(qualified.c_str(), spec.doc, base, nullptr),
                        &(st.*spec.slot)))
            return -1;
    }

    EnumMembers base_members;
    for (long value = 0; value < static_cast<long>(std::size(base_error_names)); ++value)
        base_members.emplace_back(base_error_names[value], value);
    if (!add_object(module, "BaseError", make_enum(st.IntEnum.get(), "BaseError", base_members, "Basic FSoE Error"),
                    &st.BaseError))
        return -1;

    EnumMembers fsoe_members = base_members;
    for (long value = 128; value <= 255; ++value)
        fsoe_members.emplace_back("INVALID_SAFEPARA_" + std::to_string(value), value);
    return add_object(module, "FSOEError",
                      make_enum(st.Enum.get(), "FSOEError", fsoe_members, nullptr,
                                reinterpret_cast<PyObject*>(&PyLong_Type)),
                      &st.FSOEError)
               ? 0
               : -1;
}

}  // namespace tamsel::binding
