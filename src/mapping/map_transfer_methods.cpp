// DictionaryMap: the host-facing frame transfer.
#include "binding/module_state.hpp"
#include "frame/frame_object.hpp"
#include "mapping/map_internal.hpp"

namespace tamsel::mapping {

namespace {

// An FSOEFrame (subclasses too), as its frame.
struct frame_argument {
    using type = frame::Frame*;
    static bool convert(PyObject* obj, const char* argname, type& out) {
        if (!binding::check_type(obj, binding::as_type(binding::state().FSOEFrame), argname, false)) return false;
        out = frame::frame_of(obj);
        return out != nullptr;
    }
};

bool map_set_data_to_frame(MapObject* map, frame::Frame* target) { return pack_outputs(*map, target->safe_data); }

bool map_get_data_from_frame(MapObject* map, frame::Frame* source) {
    // The words are taken as they are when the transfer starts.
    const frame::DataWords words = source->safe_data;
    return unpack_inputs(*map, words);
}

using Frame = binding::param<"frame", frame_argument>;

}  // namespace

PyMethodDef* const map_transfer_methods = binding::methods<
    binding::method<"_set_data_to_frame",
                    "Set data from the map dictionary items to the frame\n\nArgs:\n    frame: Frame to fill with data",
                    map_set_data_to_frame, Frame>,
    binding::method<"_get_data_from_frame",
                    "Get data from frame and save it to the mapped dictionary items\n\nArgs:\n    frame: Frame to get "
                    "the data from",
                    map_get_data_from_frame, Frame>>::table;

}  // namespace tamsel::mapping
