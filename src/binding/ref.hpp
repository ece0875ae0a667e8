#pragma once
// Owning reference to a Python object.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tamsel::binding {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : obj_(Py_XNewRef(other.obj_)) {}
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    ~Ref() { Py_XDECREF(obj_); }

    Ref& operator=(Ref other) noexcept {
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
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = std::exchange(obj_, stolen);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Stores `value` (borrowed) into an owned slot, releasing the old object last.
inline void assign(PyObject*& slot, PyObject* value) noexcept {
    PyObject* old = slot;
    slot = Py_XNewRef(value);
    Py_XDECREF(old);
}

}  // namespace tamsel::binding
