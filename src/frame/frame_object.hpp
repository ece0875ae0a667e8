#pragma once
// C++ access to FSOEFrame objects and FSOECommand members for the rest of the module.
//
// The traced operations below are what the FSOEFrame methods do natively (core work plus the
// diagnostic trace). A host subclass may override those methods; code that must honour such
// overrides checks is_exact_frame() and otherwise calls the methods by name.
#include "binding/module_state.hpp"
#include "binding/ref.hpp"
#include "frame/frame.hpp"

namespace tamsel::frame {

struct FrameObject {
    PyObject_HEAD Frame frame;
    binding::Ref control;    // FSOEFrameControl over frame.control
    binding::Ref safe_data;  // U16Array over frame.safe_data
    binding::Ref crcs;       // U16Array over frame.crcs
};

// The object as an FSOEFrame (or subclass instance), else null. Sets no exception.
inline FrameObject* as_frame_object(PyObject* obj) noexcept {
    return PyObject_TypeCheck(obj, binding::as_type(binding::state().FSOEFrame)) ? reinterpret_cast<FrameObject*>(obj)
                                                                                 : nullptr;
}

// The core frame of an FSOEFrame object, else null. Sets no exception.
inline Frame* frame_of(PyObject* obj) noexcept {
    FrameObject* self = as_frame_object(obj);
    return self ? &self->frame : nullptr;
}

// True for an FSOEFrame that is not a host subclass instance.
inline bool is_exact_frame(PyObject* obj) noexcept {
    return Py_IS_TYPE(obj, binding::as_type(binding::state().FSOEFrame));
}

// The frame's byte image as a new bytes object.
PyObject* image_bytes(const Frame& frame);

// Parses `data` (any length) into the frame; false with the frame untouched when the image
// implies more than MAX_DATA_BYTES of safe data. Sets no exception.
inline bool parse_bytes(Frame& frame, const char* data, Py_ssize_t length) noexcept {
    return parse_image(frame, reinterpret_cast<const uint8_t*>(data), static_cast<std::size_t>(length));
}

// ValueError "Frame structure cannot handle more than 16 bytes".
void raise_too_many_bytes();

// The traced CRC operations; false / -1 with an exception set when a trace function raised.
bool generate_crcs(FrameObject& self);
int check_crcs(FrameObject& self);  // 1 valid, 0 invalid, -1 error
bool generate_crcs_cyclic(FrameObject& self, uint16_t last_sent_crc0);
int check_crcs_cyclic(FrameObject& self, uint16_t last_sent_crc0);

// FSOECommand(code): the member, or null with the enumeration's ValueError.
PyObject* command_member(uint16_t code);
// `member.value` as an unsigned 16-bit code (AttributeError / OverflowError / TypeError).
bool command_code(PyObject* member, uint16_t& code);

}  // namespace tamsel::frame
