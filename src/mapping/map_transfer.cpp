// DictionaryMap: values of the mapped items into and out of the safe-data words.
#include "binding/args.hpp"
#include "data/item_object.hpp"
#include "data/item_values.hpp"
#include "mapping/bit_stream.hpp"
#include "mapping/layout_view.hpp"
#include "mapping/map_internal.hpp"

#include <algorithm>
#include <new>
#include <optional>

namespace tamsel::mapping {

using binding::Ref;

namespace {

bool build_view(const MapObject& map, LayoutView& view) {
    try {
        view.entries.reserve(static_cast<std::size_t>(length(&map)));
        for (Py_ssize_t i = 0; i < length(&map); ++i) {
            MappedItemObject* entry = entry_of(&map, i);
            ViewEntry& added = view.entries.emplace_back();
            added.item = Ref::borrow(entry->item);
            added.position_bits = entry->position_bits;
            added.bits = entry->bits;
            view.end_bits = std::max(view.end_bits, unsigned{entry->position_bits} + entry->bits);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

bool check_fits(const LayoutView& view) {
    if (view.end_bits <= kStreamBits) return true;
    PyErr_Format(PyExc_ValueError, "Frame structure cannot handle more than %u bytes", kStreamBits / 8);
    return false;
}

// A host int as the `bits`-wide value that travels: its low bits in two's complement.
bool to_wide(PyObject* value, unsigned bits, WideValue& out) {
    if (!binding::check_int_result(value)) return false;
    if (value == Py_None) return binding::raise_expected("int", value);
    out.low = PyLong_AsUnsignedLongLongMask(value);
    if (out.low == static_cast<uint64_t>(-1) && PyErr_Occurred()) return false;
    if (bits > 64) {
        Ref shift = Ref::steal(PyLong_FromLong(64));
        Ref high = Ref::steal(shift ? PyNumber_Rshift(value, shift.get()) : nullptr);
        if (!high) return false;
        out.high = PyLong_AsUnsignedLongLongMask(high.get());
        if (out.high == static_cast<uint64_t>(-1) && PyErr_Occurred()) return false;
    }
    return true;
}

PyObject* from_wide(WideValue value, unsigned bits) {
    if (bits <= 64) return PyLong_FromUnsignedLongLong(value.low);
    Ref low = Ref::steal(PyLong_FromUnsignedLongLong(value.low));
    Ref high = Ref::steal(PyLong_FromUnsignedLongLong(value.high));
    Ref shift = Ref::steal(PyLong_FromLong(64));
    if (!low || !high || !shift) return nullptr;
    Ref shifted = Ref::steal(PyNumber_Lshift(high.get(), shift.get()));
    if (!shifted) return nullptr;
    return PyNumber_Or(shifted.get(), low.get());
}

// The value slot of a module item whose output's integer form depends on nothing but that
// slot's value and the item's data type; null for anything else.
PyObject* data::ItemObject::*plain_output_slot(PyObject* item) {
    std::optional<data::ItemKind> kind = data::exact_item_kind(item);
    if (!kind || !data::as_item(item)->has_known_type) return nullptr;
    PyObject* data::ItemObject::*slot = *kind == data::ItemKind::output         ? &data::ItemObject::value
                                        : *kind == data::ItemKind::input_output ? &data::ItemObject::value_output
                                                                                : nullptr;
    if (!slot) return nullptr;
    PyObject* value = data::as_item(item)->*slot;
    bool immutable = value && (PyLong_CheckExact(value) || PyFloat_CheckExact(value) || PyBool_Check(value));
    return immutable ? slot : nullptr;
}

// Whether the item still holds, in the same slot of an item of the same type under the same
// data type, the very object last packed.
bool packed_form_holds(const ViewEntry& e) {
    PyObject* item = e.item.get();
    if (e.bits > 64 || !e.packed_value || Py_TYPE(item) != e.packed_item_type) return false;
    const data::ItemObject* object = data::as_item(item);
    return object->*e.packed_slot == e.packed_value.get() && object->has_known_type &&
           object->known_type == e.packed_type;
}

// The output's value when packed_form_holds does not answer.
bool read_value(const ViewEntry& e, WideValue& out) {
    if (e.bits <= 64) {
        if (PyObject* data::ItemObject::*slot = plain_output_slot(e.item.get())) {
            data::ItemObject* object = data::as_item(e.item.get());
            PyObject* value = object->*slot;
            e.packed_value.reset();
            if (data::read_integer(e.item.get(), e.packed_form) != data::ReadStatus::value) return false;
            e.packed_value = binding::Ref::borrow(value);
            e.packed_type = object->known_type;
            e.packed_item_type = Py_TYPE(e.item.get());
            e.packed_slot = slot;
            out.low = e.packed_form;
            return true;
        }
        switch (data::read_integer(e.item.get(), out.low)) {
            case data::ReadStatus::value: return true;
            case data::ReadStatus::none: return binding::raise_expected("int", Py_None);
            case data::ReadStatus::error: return false;
        }
    }
    Ref value = Ref::steal(data::read_object(e.item.get()));
    return value && to_wide(value.get(), e.bits, out);
}

// A host number that equals itself (a NaN never does, so it is written every time).
PyObject* plain_number(PyObject* value) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value) == PyFloat_AS_DOUBLE(value) ? value : nullptr;
    return PyLong_CheckExact(value) || PyBool_Check(value) ? value : nullptr;
}

// The input value of a module item when writing a form equal to it is sure to change nothing.
PyObject* plain_input_value(PyObject* item) {
    std::optional<data::ItemKind> kind = data::exact_item_kind(item);
    if (!kind || (*kind != data::ItemKind::input && *kind != data::ItemKind::input_output)) return nullptr;
    data::ItemObject* object = data::as_item(item);
    PyObject* value = object->value;
    if (!object->has_known_type || !value) return nullptr;
    return plain_number(value);
}

// Whether the input still holds, in an item of the same type under the same data type, the
// very value the form last unpacked left: the item is then one of the module's own inputs.
bool unpacked_value_holds(const ViewEntry& e) {
    PyObject* item = e.item.get();
    if (e.bits > 64 || !e.unpacked_value || Py_TYPE(item) != e.unpacked_item_type) return false;
    const data::ItemObject* object = data::as_item(item);
    return object->value == e.unpacked_value.get() && object->has_known_type &&
           object->known_type == e.unpacked_type;
}

// Whether `form` is also the form last unpacked.
bool unpacked_form_holds(const ViewEntry& e, uint64_t form) {
    return form == e.unpacked_form && unpacked_value_holds(e);
}

// Stores an input's value when unpacked_form_holds does not answer.
bool write_value(const ViewEntry& e, WideValue value) {
    if (e.bits <= 64) {
        // An item still holding the value of the last unpack is one of the module's own inputs:
        // written without finding out its kind again.
        if (unpacked_value_holds(e)) {
            e.unpacked_value.reset();
            data::ItemObject* object = data::as_item(e.item.get());
            if (!data::write_input_integer(object, value.low)) return false;
            if (PyObject* stored = plain_number(object->value)) {
                e.unpacked_value = Ref::borrow(stored);
                e.unpacked_form = value.low;
            }
            return true;
        }
        e.unpacked_value.reset();
        if (!data::write_integer(e.item.get(), value.low)) return false;
        if (PyObject* stored = plain_input_value(e.item.get())) {
            e.unpacked_value = Ref::borrow(stored);
            e.unpacked_form = value.low;
            e.unpacked_type = data::as_item(e.item.get())->known_type;
            e.unpacked_item_type = Py_TYPE(e.item.get());
        }
        return true;
    }
    Ref number = Ref::steal(from_wide(value, e.bits));
    return number && data::write_object(e.item.get(), number.get());
}

// Whether the memo stands for the words a transfer at `epoch` would give or take: a class
// assignment is the one change of an item that no epoch counts.
bool memo_holds(const TransferMemo& memo, uint64_t epoch) {
    if (!memo.valid || memo.epoch != epoch) return false;
    for (const auto& [item, type] : memo.classes)
        if (Py_TYPE(item) != type) return false;
    return true;
}

// Remembers `words` as the outcome of a transfer at `epoch` (out of memory: nothing is
// remembered, and the next transfer goes entry by entry again).
void remember(TransferMemo& memo, const LayoutView& view, std::span<const uint16_t, 8> words, uint64_t epoch) {
    try {
        memo.classes.clear();
        for (const ViewEntry& e : view.entries)
            if (e.item) memo.classes.emplace_back(e.item.get(), Py_TYPE(e.item.get()));
    } catch (const std::bad_alloc&) {
        return;
    }
    std::copy(words.begin(), words.end(), memo.words.begin());
    memo.epoch = epoch;
    memo.valid = true;
}

}  // namespace

const LayoutView* current_view(MapObject& map) {
    if (map.view && map.view_epoch == layout_epoch()) return map.view.get();
    std::shared_ptr<LayoutView> view;
    try {
        view = std::make_shared<LayoutView>();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (!build_view(map, *view)) return nullptr;
    map.view = view;
    map.view_epoch = layout_epoch();
    return view.get();
}

int traverse_view(const MapObject* map, visitproc visit, void* arg) {
    if (!map->view) return 0;
    for (const ViewEntry& e : map->view->entries) {
        Py_VISIT(e.item.get());
        Py_VISIT(e.packed_value.get());
        Py_VISIT(e.unpacked_value.get());
    }
    return 0;
}

bool pack_outputs(MapObject& map, std::span<uint16_t, 8> words) {
    const LayoutView* view = current_view(map);
    if (!view || !check_fits(*view)) return false;
    TransferMemo& memo = view->packed;
    const uint64_t epoch = data::output_epoch();
    if (memo_holds(memo, epoch)) {
        std::copy(memo.words.begin(), memo.words.end(), words.begin());
        return true;
    }
    memo.valid = false;
    // Host code run for an item may replace the map's view: from the first item that may run
    // any, the view is kept alive here.
    std::shared_ptr<const LayoutView> keep;
    BitStream stream;
    bool ok = true;
    bool remembered = true;  // every entry packed a value it remembers
    for (const ViewEntry& e : view->entries) {
        if (!e.item) continue;
        WideValue value{e.packed_form, 0};
        if (!packed_form_holds(e)) {
            if (!keep) keep = map.view;
            if (!read_value(e, value)) {
                ok = false;
                break;
            }
            remembered = remembered && packed_form_holds(e);
        }
        stream.put_wide(e.position_bits, e.bits, value);
    }
    stream.to_words(words);
    if (ok && remembered && epoch == data::output_epoch()) remember(memo, *view, words, epoch);
    return ok;
}

bool unpack_inputs(MapObject& map, std::span<const uint16_t, 8> words) {
    const LayoutView* view = current_view(map);
    if (!view || !check_fits(*view)) return false;
    TransferMemo& memo = view->unpacked;
    if (memo_holds(memo, data::input_epoch()) && std::equal(words.begin(), words.end(), memo.words.begin())) return true;
    memo.valid = false;
    std::shared_ptr<const LayoutView> keep;  // as in pack_outputs
    const BitStream stream = BitStream::from_words(words);
    // Every entry holds the form it took, and storing them ran no host code that changed an
    // input (a subscriber, a finalizer): each store advances the input epoch by one.
    bool remembered = true;
    for (const ViewEntry& e : view->entries) {
        if (!e.item) continue;
        const WideValue value = stream.get_wide(e.position_bits, e.bits);
        if (unpacked_form_holds(e, value.low)) continue;
        if (!keep) keep = map.view;
        const uint64_t before = data::input_epoch();
        if (!write_value(e, value)) return false;
        remembered = remembered && e.unpacked_value && data::input_epoch() - before <= 1;
    }
    if (remembered) remember(memo, *view, words, data::input_epoch());
    return true;
}

}  // namespace tamsel::mapping
