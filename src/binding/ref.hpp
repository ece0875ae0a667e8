#pragma once
// Owning reference to a Python object.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <utility>

namespace tamsel::binding {

// Set once the interpreter begins to end, before it ends its daemon threads. Such a thread is
// ended when it tries to take the interpreter lock back: its stack is unwound without that
// lock, and the references its frames hold must then be left alone (the process is ending).
inline std::atomic<bool> interpreter_ending{false};

// drop_reference once the interpreter is ending.
[[gnu::cold, gnu::noinline]] inline void drop_reference_while_ending(PyObject* obj) {
    if (PyGILState_Check()) Py_DECREF(obj);
}

// Drops one reference, unless the calling thread may not touch objects (see above).
// Not noexcept: freeing the object may run Python code, which may end the thread.
[[gnu::always_inline]] inline void drop_reference(PyObject* obj) {
    if (interpreter_ending.load(std::memory_order_relaxed)) [[unlikely]] {
        drop_reference_while_ending(obj);
        return;
    }
    Py_DECREF(obj);
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : obj_(Py_XNewRef(other.obj_)) {}
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    // Destructors run Python code when they free an object; a thread the interpreter ends
    // there unwinds through them, so they must not be noexcept.
    [[gnu::always_inline]] ~Ref() noexcept(false) {
        if (obj_) drop_reference(obj_);
    }

    Ref& operator=(Ref other) {
        std::swap(obj_, other.obj_);
        return *this;
    }

    // Takes over a new reference (the result of most C API calls); null is allowed.
    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference to a borrowed object; null is allowed.
    static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    // A new reference for the caller, keeping ours.
    PyObject* new_ref() const noexcept { return Py_XNewRef(obj_); }
    void reset(PyObject* stolen = nullptr) {
        PyObject* old = std::exchange(obj_, stolen);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Stores `value` (borrowed) into an owned slot, releasing the old object last.
inline void assign(PyObject*& slot, PyObject* value) {
    PyObject* old = slot;
    slot = Py_XNewRef(value);
    Py_XDECREF(old);
}

}  // namespace tamsel::binding
