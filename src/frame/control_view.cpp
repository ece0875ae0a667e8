// FSOEFrameControl: a view of the four control words inside a frame.
#include "binding/method.hpp"
#include "binding/convert.hpp"
#include "binding/fields.hpp"
#include "binding/lifecycle.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "frame/frame_object.hpp"
#include "frame/views.hpp"

#include <new>

namespace tamsel::frame {

namespace {

using binding::Ref;

struct ControlView {
    PyObject_HEAD FrameControl* control;  // inside `owner`; null once the view was cleared
    Ref owner;
};

ControlView* as_view(PyObject* self) { return reinterpret_cast<ControlView*>(self); }

// The control words, or null with RuntimeError for a view cut off from its frame.
FrameControl* bound(PyObject* self) {
    FrameControl* control = as_view(self)->control;
    if (!control) PyErr_SetString(PyExc_RuntimeError, "FSOEFrameControl is not bound to a frame");
    return control;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_view(self)->owner.get());
    return 0;
}

int clear(PyObject* self) {
    as_view(self)->control = nullptr;
    as_view(self)->owner.reset();
    return 0;
}

void dealloc(PyObject* self) {
    binding::gc_dealloc(self, [](PyObject* self) {
        clear(self);
        as_view(self)->owner.~Ref();
    });
}

PyObject* get_command(PyObject* self, void*) {
    FrameControl* control = bound(self);
    return control ? command_member(control->command) : nullptr;
}

int set_command(PyObject* self, PyObject* value, void*) {
    if (!value) return refuse_delete();
    FrameControl* control = bound(self);
    uint16_t code = 0;
    if (!control || !command_code(value, code)) return -1;
    control->command = code;
    return 0;
}

PyObject* command_is_valid(PyObject* self) {
    FrameControl* control = bound(self);
    return control ? PyBool_FromLong(is_command(control->command)) : nullptr;
}

bool increment_sequence_number(PyObject* self) {
    FrameControl* control = bound(self);
    if (control) control->increment_sequence_number();
    return control != nullptr;
}

using methods = binding::methods<
    binding::method<"command_is_valid", "Indicates if the command on the structure is valid (a member of the enum)",
                    command_is_valid>,
    binding::method<"increment_sequence_number", "", increment_sequence_number>>;

// A word of the control structure, as a fixed structure field.
template <binding::Text Name, uint16_t FrameControl::* Word>
using word = binding::field<Name, binding::through<bound, Word>{}, binding::u16, "", binding::Deletion::type_error>;

using fields = binding::fields<
    binding::property<"command", get_command, set_command>, word<"connection_id", &FrameControl::connection_id>,
    word<"sequence_number", &FrameControl::sequence_number>, word<"crc0", &FrameControl::crc0>>;

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Control Parameters of FSoE Frame")},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_getset, fields::getset},
    {Py_tp_methods, methods::table},
    {0, nullptr},
};

PyType_Spec spec = {
    "tamsel.tamsel.FSOEFrameControl",
    sizeof(ControlView),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyType_Spec& control_view_spec() { return spec; }

PyObject* new_control_view(PyObject* owner, FrameControl* control) {
    PyTypeObject* type = binding::as_type(binding::state().FSOEFrameControl);
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&as_view(self)->owner) Ref(Ref::borrow(owner));
    as_view(self)->control = control;
    return self;
}

}  // namespace tamsel::frame
