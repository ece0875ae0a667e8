// DictionaryMap: the host-facing frame transfer.
#include "binding/args.hpp"
#include "binding/module_state.hpp"
#include "frame/frame_object.hpp"
#include "mapping/map_internal.hpp"

namespace tamsel::mapping {

namespace {

frame::Frame* frame_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* function) {
    PyObject* obj;
    if (!binding::parse_fastcall(function, args, nargs, kwnames, {"frame"}, 1, &obj) ||
        !binding::check_type(obj, binding::as_type(binding::state().FSOEFrame), "frame", false))
        return nullptr;
    return frame::frame_of(obj);
}

PyObject* map_set_data_to_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    frame::Frame* target = frame_argument(args, nargs, kwnames, "_set_data_to_frame");
    if (!target || !pack_outputs(*as_map(self), target->safe_data)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* map_get_data_from_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    frame::Frame* source = frame_argument(args, nargs, kwnames, "_get_data_from_frame");
    if (!source) return nullptr;
    // The words are taken as they are when the transfer starts.
    const frame::DataWords words = source->safe_data;
    if (!unpack_inputs(*as_map(self), words)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef map_transfer_methods[] = {
    {"_set_data_to_frame", TAMSEL_FASTCALL_KW(map_set_data_to_frame),
     "Set data from the map dictionary items to the frame\n\nArgs:\n    frame: Frame to fill with data"},
    {"_get_data_from_frame", TAMSEL_FASTCALL_KW(map_get_data_from_frame),
     "Get data from frame and save it to the mapped dictionary items\n\nArgs:\n    frame: Frame to get the data from"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::mapping
