// The module functions _log_transition, _log_generate_crc and _log_check_crc: console lines
// written with the host's print while the module attribute TAMSEL_LOGGING is true.
#include "binding/method.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "trace/trace_functions.hpp"

namespace tamsel::trace {

using binding::Ref;

namespace {

// The module attribute TAMSEL_LOGGING as a truth value; -1 with an exception.
int logging_enabled() {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(binding::state().module),
                                              binding::names().TAMSEL_LOGGING);
    if (!value) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", binding::names().TAMSEL_LOGGING);
        return -1;
    }
    return PyObject_IsTrue(value);
}

// Writes one line (a new reference, null on error) through the host's print.
bool print_line(PyObject* line) {
    Ref text = Ref::steal(line);
    if (!text) return false;
    PyObject* print = PyDict_GetItemString(PyEval_GetBuiltins(), "print");
    if (!print) {
        PyErr_SetString(PyExc_NameError, "name 'print' is not defined");
        return false;
    }
    return static_cast<bool>(Ref::steal(PyObject_CallOneArg(print, text.get())));
}

bool print_text(const char* text) { return print_line(PyUnicode_FromString(text)); }

// `label` followed by the value in lowercase hex without leading zeros.
bool print_hex(const char* label, PyObject* value) {
    if (!value) return false;
    Ref owned = Ref::steal(value);
    Ref spec = Ref::steal(PyUnicode_FromString("x"));
    if (!spec) return false;
    Ref digits = Ref::steal(PyObject_Format(owned.get(), spec.get()));
    if (!digits) return false;
    return print_line(PyUnicode_FromFormat("%s0x%U", label, digits.get()));
}

// `label` followed by every word of `words` as four uppercase hex digits and a space.
bool print_words(const char* label, PyObject* words) {
    if (!words) return false;
    Ref owned = Ref::steal(words);
    Ref iterator = Ref::steal(PyObject_GetIter(owned.get()));
    Ref format = Ref::steal(PyUnicode_FromString("%04X "));
    Ref line = Ref::steal(PyUnicode_FromString(label));
    if (!iterator || !format || !line) return false;
    while (Ref word = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref packed = Ref::steal(PyTuple_Pack(1, word.get()));
        if (!packed) return false;
        Ref piece = Ref::steal(PyUnicode_Format(format.get(), packed.get()));
        if (!piece) return false;
        Ref joined = Ref::steal(PyUnicode_Concat(line.get(), piece.get()));
        if (!joined) return false;
        line = std::move(joined);
    }
    if (PyErr_Occurred()) return false;
    return print_line(line.release());
}

PyObject* attribute(PyObject* obj, const char* name) { return obj ? PyObject_GetAttrString(obj, name) : nullptr; }

// The control-word lines shared by both CRC traces, read from the frame as they are now.
bool print_control(PyObject* frame) {
    Ref control = Ref::steal(PyObject_GetAttrString(frame, "control"));
    if (!control) return false;
    PyObject* c = control.get();
    if (!print_hex("Reference CRC0:    ", attribute(c, "crc0")) ||
        !print_hex("Connection ID:     ", attribute(c, "connection_id")) ||
        !print_hex("Sequence number:   ", attribute(c, "sequence_number")))
        return false;
    Ref command = Ref::steal(attribute(c, "command"));
    return print_hex("Command:           ", attribute(command.get(), "value"));
}

bool log_transition(PyObject*, PyObject* name) {
    int enabled = logging_enabled();
    if (enabled < 0) return false;
    return !enabled || print_line(PyUnicode_FromFormat("MASTER | TRANSITION | %S", name));
}

bool log_generate_crc(PyObject*, PyObject* frame) {
    int enabled = logging_enabled();
    if (enabled < 0) return false;
    if (!enabled) return true;
    if (!print_text("MASTER | CRC | Generating")) return false;
    Ref crcs = Ref::steal(attribute(frame, "crcs"));
    Ref first = Ref::steal(PyLong_FromLong(0));
    return crcs && first && print_hex("Calculated CRC[0]: ", PyObject_GetItem(crcs.get(), first.get())) &&
           print_control(frame);
}

bool log_check_crc(PyObject*, PyObject* calc_crc, PyObject* frame, PyObject* result) {
    int enabled = logging_enabled();
    if (enabled < 0) return false;
    if (!enabled) return true;
    if (!print_text("MASTER | CRC | Check") || !print_words("Calculated CRCs:   ", Py_NewRef(calc_crc)) ||
        !print_words("Received CRCs:     ", attribute(frame, "crcs")) || !print_control(frame))
        return false;
    int valid = PyObject_IsTrue(result);
    return valid >= 0 && print_text(valid ? "VALID" : "INVALID!");
}

using binding::function;
using Any = binding::any_object;
using Frame = binding::param<"frame", Any>;

using function_defs = binding::methods<function<"_log_transition", "", log_transition, binding::param<"name", Any>>,
                                       function<"_log_generate_crc", "", log_generate_crc, Frame>,
                                       function<"_log_check_crc", "", log_check_crc, binding::param<"calc_crc", Any>,
                                                Frame, binding::param<"result", Any>>>;

}  // namespace

PyCFunction log_transition_impl() { return function_defs::table[0].ml_meth; }
PyCFunction log_generate_crc_impl() { return function_defs::table[1].ml_meth; }
PyCFunction log_check_crc_impl() { return function_defs::table[2].ml_meth; }
PyMethodDef* trace_function_defs() { return function_defs::table; }

}  // namespace tamsel::trace
