#pragma once
// The module's state: the host objects every subsystem reaches at run time, the names it
// looks up and the enumeration members it recognises, with one lifetime.
//
// The module refuses a second interpreter and a second execution of its body, so exactly
// one state exists per process; `state()` reaches it without a module lookup.
#include "binding/names.hpp"
#include "binding/ref.hpp"

namespace tamsel::binding {

// Every object the state owns. Add a line here to give a subsystem a new slot.
// clang-format off
#define TAMSEL_STATE_OBJECTS(X)                                                               \
    /* standard library */                                                                     \
    X(struct_module) X(os_module) X(logging_module) X(threading_module) X(Thread) X(Queue)     \
    X(Empty) X(Enum) X(IntEnum) X(auto_) X(randint) X(cached_property) X(ABC) X(abstractmethod) \
    /* enumerations */                                                                         \
    X(FSOECommand) X(DataType) X(WatchdogCommand) X(BaseError) X(FSOEError)                   \
    /* exceptions */                                                                           \
    X(TamselException) X(TamselRunningException) X(TamselMappingLockedException)              \
    X(FSoEAlreadyMappedException)                                                              \
    /* native types */                                                                         \
    X(FSOEFrameControl) X(U16Array) X(FSOEFrame) X(DictionaryItem) X(DictionaryItemInput)     \
    X(DictionaryItemOutput) X(DictionaryItemInputOutput) X(Dictionary) X(DictionaryMappedItem) \
    X(DictionaryMap) X(DynamicMappableItem) X(FSOEDynamicMap)                                  \
    /* types the module uses without publishing them */                                       \
    X(DictionaryMapIterator)                                                                   \
    /* plain classes */                                                                        \
    X(Watchdog) X(Session) X(Node) X(ApplicationParameter) X(State) X(StateReset)             \
    X(StateSession) X(StateConnection) X(StateParameter) X(StateData) X(MasterHandler)        \
    /* diagnostics: statistics snapshots, the `tamsel` logger, the frame capture ring */       \
    X(HandlerStatistics) X(HandlerFault) X(tamsel_logger) X(FrameRing)
// clang-format on

struct ModuleState {
#define TAMSEL_DECLARE_SLOT(name) Ref name;
    TAMSEL_STATE_OBJECTS(TAMSEL_DECLARE_SLOT)
#undef TAMSEL_DECLARE_SLOT
    PyObject* module = nullptr;  // borrowed: the module owns its state
    Names names;
    // DataType's members in the order of their values, and the two Data-state commands.
    Ref data_type_members[8];
    Ref process_data;
    Ref failsafe_data;

    int traverse(visitproc visit, void* arg) const;
    void clear();
};

namespace detail {
extern ModuleState* the_state;  // set by the module body (module_state_access.hpp)
}

// The loaded module's state; valid from the start of the module body until the module is freed.
inline ModuleState& state() { return *detail::the_state; }

// The interned names (valid while the module is loaded).
inline const Names& names() { return state().names; }

// The object in a state slot as a type (for the slots of types and classes).
inline PyTypeObject* as_type(const Ref& slot) { return reinterpret_cast<PyTypeObject*>(slot.get()); }

}  // namespace tamsel::binding
