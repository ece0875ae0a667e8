// tamsel._FrameRing: the frames a handler sent and accepted while a recorder was attached, and
// the faults it reported and the state changes it made meanwhile.
#include "recorder/frame_ring_type.hpp"

#include "binding/fields.hpp"
#include "binding/method.hpp"
#include "binding/types.hpp"
#include "handler/handler_diagnostics.hpp"

#include <chrono>
#include <deque>
#include <memory>
#include <new>

namespace tamsel::master::diagnostics {

namespace {

using binding::Ref;

// What a recorder keeps: the frames, and as many events as frames, each a tuple
// (time_ns, frames recorded before it, kind, first, second) made when it happened. Events
// are rare (a fault, a change of state), so they are host objects from the start.
struct Recording {
    explicit Recording(std::size_t capacity) : frames(capacity) {}
    FrameRing frames;
    std::deque<Ref> events;
};

struct FrameRingObject {
    PyObject_HEAD std::unique_ptr<Recording> ring;
};

FrameRingObject* R(PyObject* obj) { return reinterpret_cast<FrameRingObject*>(obj); }

int64_t monotonic_ns() {
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

// The `id` of a state class among the five states (subclasses count).
uint8_t class_code(PyObject* cls) {
    if (!cls || !PyType_Check(cls)) return unknown_state;
    binding::ModuleState& st = binding::state();
    const Ref* classes[] = {&st.StateReset, &st.StateSession, &st.StateConnection, &st.StateParameter, &st.StateData};
    for (uint8_t code = 0; code < 5; ++code)
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), binding::as_type(*classes[code]))) return code;
    return unknown_state;
}

uint8_t state_code(PyObject* state) {
    return state ? class_code(reinterpret_cast<PyObject*>(Py_TYPE(state))) : unknown_state;
}

// Keeps (time_ns, frames so far, kind, first, second); the oldest event goes once there are
// as many as the ring holds frames. What fails is reported as unraisable: recording never
// stops the master's reaction.
void record_event(HandlerObject* self, const char* kind, PyObject* first, PyObject* second) {
    Recording& recording = *R(self->recorder)->ring;
    Ref event = Ref::steal(Py_BuildValue("(LKsOO)", static_cast<long long>(monotonic_ns()),
                                         static_cast<unsigned long long>(recording.frames.recorded()), kind, first,
                                         second));
    if (!event) return PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(self));
    try {
        recording.events.push_back(std::move(event));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(self));
    }
    if (recording.events.size() > recording.frames.capacity()) recording.events.pop_front();
}

PyObject* frame_tuple(const CapturedFrame& f) {
    return Py_BuildValue("(LiiN)", static_cast<long long>(f.time_ns), static_cast<int>(f.direction),
                         static_cast<int>(f.state),
                         PyBytes_FromStringAndSize(reinterpret_cast<const char*>(f.bytes.data()), f.length));
}

PyObject* m_frames(PyObject* obj) {
    const FrameRing& ring = R(obj)->ring->frames;
    Ref frames = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ring.size())));
    if (!frames) return nullptr;
    for (std::size_t i = 0; i < ring.size(); ++i) {
        PyObject* entry = frame_tuple(ring[i]);
        if (!entry) return nullptr;
        PyList_SET_ITEM(frames.get(), static_cast<Py_ssize_t>(i), entry);
    }
    return frames.release();
}

PyObject* m_events(PyObject* obj) {
    const std::deque<Ref>& events = R(obj)->ring->events;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(events.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const Ref& event : events) PyList_SET_ITEM(list.get(), i++, event.new_ref());
    return list.release();
}

PyObject* m_clear(PyObject* obj) {
    R(obj)->ring->frames.clear();
    // Dropping an event frees only its tuple of ints and strings.
    R(obj)->ring->events.clear();
    Py_RETURN_NONE;
}

PyObject* get_capacity(PyObject* obj, void*) { return PyLong_FromSize_t(R(obj)->ring->frames.capacity()); }
PyObject* get_recorded(PyObject* obj, void*) { return PyLong_FromUnsignedLongLong(R(obj)->ring->frames.recorded()); }
Py_ssize_t ring_length(PyObject* obj) { return static_cast<Py_ssize_t>(R(obj)->ring->frames.size()); }

void ring_dealloc(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    R(obj)->ring.~unique_ptr();
    type->tp_free(obj);
    Py_DECREF(type);
}

using ring_methods = binding::methods<
    binding::noargs_method<"frames", "The frames kept, oldest first, as (time_ns, direction, state, data) tuples",
                           m_frames>,
    binding::noargs_method<"events",
                           "The faults reported and state changes made, oldest first, as (time_ns, "
                           "frames recorded before it, kind, first, second) tuples: kind \"fault\" with "
                           "the transition name and message, kind \"state\" with the codes of the "
                           "previous and the new state",
                           m_events>,
    binding::noargs_method<"clear", "Forget every frame and event kept", m_clear>>;

using ring_fields =
    binding::fields<binding::property<"capacity", get_capacity, nullptr, "Number of frames the ring keeps">,
                    binding::property<"recorded", get_recorded, nullptr,
                                      "Frames recorded since the last clear, overwritten ones included">>;

PyType_Slot ring_slots[] = {
    {Py_tp_doc, const_cast<char*>("The frames a MasterHandler sent and accepted while it was attached")},
    {Py_tp_dealloc, reinterpret_cast<void*>(ring_dealloc)},
    {Py_tp_methods, ring_methods::table},
    {Py_tp_getset, ring_fields::getset},
    {Py_sq_length, reinterpret_cast<void*>(ring_length)},
    {0, nullptr},
};

PyType_Spec ring_spec = {
    "tamsel._FrameRing", sizeof(FrameRingObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, ring_slots,
};

Ref new_ring(std::size_t capacity) {
    PyTypeObject* type = binding::as_type(binding::state().FrameRing);
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    if (!obj) return {};
    new (&R(obj.get())->ring) std::unique_ptr<Recording>();
    try {
        R(obj.get())->ring = std::make_unique<Recording>(capacity);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return {};
    }
    return obj;
}

}  // namespace

void capture(HandlerObject* self, Direction direction, PyObject* image) {
    if (!PyBytes_Check(image)) return;  // an overriding _get_request may return anything
    R(self->recorder)
        ->ring->frames.record(monotonic_ns(), direction, state_code(self->state),
                              reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(image)),
                              static_cast<std::size_t>(PyBytes_GET_SIZE(image)));
}

void record_fault(HandlerObject* self, PyObject* transition_name, PyObject* message) {
    record_event(self, "fault", transition_name, message);
}

void record_state_change(HandlerObject* self, PyObject* previous, PyObject* next_state) {
    Ref from = Ref::steal(PyLong_FromLong(class_code(previous)));
    Ref to = from ? Ref::steal(PyLong_FromLong(class_code(next_state))) : Ref{};
    if (!to) return PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(self));
    record_event(self, "state", from.get(), to.get());
}

PyObject* attach_recorder(HandlerObject* self, PyObject* capacity) {
    if (!binding::check_type(capacity, &PyLong_Type, "capacity", true)) return nullptr;
    int overflow = 0;
    const long long frames = PyLong_AsLongLongAndOverflow(capacity, &overflow);
    if (frames == -1 && PyErr_Occurred()) return nullptr;
    if (overflow || frames < 1 || frames > static_cast<long long>(FrameRing::max_capacity)) {
        PyErr_Format(PyExc_ValueError, "capacity must be between 1 and %zu frames", FrameRing::max_capacity);
        return nullptr;
    }
    if (self->recorder) {
        PyErr_SetString(PyExc_RuntimeError, "A frame recorder is already attached to this handler");
        return nullptr;
    }
    Ref ring = new_ring(static_cast<std::size_t>(frames));
    if (!ring) return nullptr;
    binding::assign(self->recorder, ring.get());
    return ring.release();
}

void detach_recorder(HandlerObject* self, PyObject* ring) {
    if (self->recorder == ring) Py_CLEAR(self->recorder);
}

bool make_ring_type() {
    binding::ModuleState& st = binding::state();
    st.FrameRing = Ref::steal(PyType_FromModuleAndSpec(st.module, &ring_spec, nullptr));
    return static_cast<bool>(st.FrameRing);
}

}  // namespace tamsel::master::diagnostics
