// Operations on FSOEFrame objects shared by the frame's methods and the engine.
#include "frame/frame_object.hpp"
#include "trace/trace.hpp"

namespace tamsel::frame {

namespace {
PyObject* as_object(FrameObject& self) { return reinterpret_cast<PyObject*>(&self); }
}  // namespace

PyObject* image_bytes(const Frame& frame) {
    const std::size_t length = image_length(std::min<std::size_t>(frame.safe_data_size, MAX_DATA_BYTES));
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
    if (!bytes) return nullptr;
    uint8_t* image = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(bytes));
    build_image(frame, image);
    return bytes;
}

void raise_too_many_bytes() {
    PyErr_Format(PyExc_ValueError, "Frame structure cannot handle more than %zu bytes", MAX_DATA_BYTES);
}

bool generate_crcs(FrameObject& self) {
    generate_crcs(self.frame);
    return trace::generate_crc(as_object(self));
}

int check_crcs(FrameObject& self) {
    CrcWords calculated{};
    const bool valid = check_crcs(self.frame, calculated);
    if (!trace::check_crc(calculated, as_object(self), valid)) return -1;
    return valid ? 1 : 0;
}

bool generate_crcs_cyclic(FrameObject& self, uint16_t last_sent_crc0) {
    return generate_crcs_cyclic(self.frame, last_sent_crc0, [&self] { return trace::generate_crc(as_object(self)); });
}

int check_crcs_cyclic(FrameObject& self, uint16_t last_sent_crc0) {
    step_past_crc0(self.frame, last_sent_crc0);
    return check_crcs(self);
}

}  // namespace tamsel::frame
