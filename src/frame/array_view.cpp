// U16Array: a view of a run of 16-bit words inside a frame.
#include "binding/method.hpp"
#include "binding/convert.hpp"
#include "binding/fields.hpp"
#include "binding/lifecycle.hpp"
#include "binding/module_state.hpp"
#include "binding/types.hpp"
#include "frame/views.hpp"

#include <algorithm>
#include <new>

namespace tamsel::frame {

namespace {

using binding::Ref;

struct WordView {
    PyObject_HEAD uint16_t* words;  // inside `owner`; null for a view bound to nothing
    uint32_t word_count;
    Ref owner;
};

WordView* as_view(PyObject* self) { return reinterpret_cast<WordView*>(self); }

PyObject* create(PyTypeObject* type) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&as_view(self)->owner) Ref();
    as_view(self)->words = nullptr;
    as_view(self)->word_count = 0;
    return self;
}

// A view made by the host is bound to no words.
using factory = binding::factory<"U16Array", "U16Array", "Uint16 Representation class", create>;

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_view(self)->owner.get());
    return 0;
}

int clear(PyObject* self) {
    as_view(self)->words = nullptr;
    as_view(self)->word_count = 0;
    as_view(self)->owner.reset();
    return 0;
}

void dealloc(PyObject* self) {
    binding::gc_dealloc(self, [](PyObject* self) {
        clear(self);
        as_view(self)->owner.~Ref();
    });
}

bool in_range(PyObject* self, uint16_t index) {
    if (index < as_view(self)->word_count) return true;
    PyErr_SetNone(PyExc_IndexError);
    return false;
}

PyObject* get_item(PyObject* self, PyObject* key) {
    uint16_t index = 0;
    if (!binding::to_unsigned(key, index) || !in_range(self, index)) return nullptr;
    return PyLong_FromLong(as_view(self)->words[index]);
}

// Iteration goes through the sequence protocol and stops at the first IndexError.
PyObject* iter_item(PyObject* self, Py_ssize_t index) {
    if (index < 0 || index >= as_view(self)->word_count) {
        PyErr_SetNone(PyExc_IndexError);
        return nullptr;
    }
    return PyLong_FromLong(as_view(self)->words[index]);
}

int set_item(PyObject* self, PyObject* key, PyObject* value) {
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "Subscript deletion not supported by U16Array");
        return -1;
    }
    uint16_t index = 0;
    uint16_t word = 0;
    if (!binding::to_unsigned(key, index) || !binding::to_unsigned(value, word) || !in_range(self, index)) return -1;
    as_view(self)->words[index] = word;
    return 0;
}

bool clear_words(WordView* self) {
    std::fill_n(self->words, self->word_count, uint16_t{0});
    return true;
}

using methods = binding::methods<binding::method<"clear", "", clear_words>>;

using fields = binding::fields<binding::readonly<"word_count", &WordView::word_count, binding::u32>>;

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(factory::doc.data())},
    {Py_tp_new, reinterpret_cast<void*>(factory::create)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_mp_subscript, reinterpret_cast<void*>(get_item)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(set_item)},
    {Py_sq_item, reinterpret_cast<void*>(iter_item)},
    {Py_tp_methods, methods::table},
    {Py_tp_getset, fields::getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "tamsel.tamsel.U16Array",
    sizeof(WordView),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyType_Spec& word_view_spec() { return spec; }

PyObject* new_word_view(PyObject* owner, uint16_t* words, uint32_t count) {
    PyObject* self = create(binding::as_type(binding::state().U16Array));
    if (!self) return nullptr;
    as_view(self)->owner = Ref::borrow(owner);
    as_view(self)->words = words;
    as_view(self)->word_count = count;
    return self;
}

}  // namespace tamsel::frame
