// DictionaryMap: values of the mapped items into and out of the safe-data words.
#include "binding/args.hpp"
#include "data/item_object.hpp"
#include "data/item_subscribers.hpp"
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
            view.end_bits = std::max(view.end_bits, unsigned{entry->position_bits} + entry->bits);
            if (!entry->item) continue;
            ViewEntry& added = view.entries.emplace_back();
            added.item = Ref::borrow(entry->item);
            added.position_bits = entry->position_bits;
            added.bits = entry->bits;
            added.low = field(entry->position_bits, std::min(unsigned{entry->bits}, 64u));
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
PyObject* data::ItemObject::* plain_output_slot(PyObject* item) {
    std::optional<data::ItemKind> kind = data::exact_item_kind(item);
    if (!kind || !data::as_item(item)->has_known_type) return nullptr;
    PyObject* data::ItemObject::* slot = *kind == data::ItemKind::output         ? &data::ItemObject::value
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
        if (PyObject* data::ItemObject::* slot = plain_output_slot(e.item.get())) {
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

// A value an output cannot pack (out of its data type's range, say) raises in the cycle that
// packs it, far from where it was set: the exception gets a note naming the item, its data
// type and the value.
void note_output_failure(PyObject* item) {
    Ref exception = Ref::steal(PyErr_GetRaisedException());
    Ref name = Ref::steal(PyObject_GetAttrString(item, "name"));
    Ref data_type = name ? Ref::steal(PyObject_GetAttrString(item, "data_type")) : Ref{};
    std::optional<data::ItemKind> kind = data::exact_item_kind(item);
    PyObject* held = kind && data::has_output(*kind) ? data::output_value(data::as_item(item), *kind) : nullptr;
    Ref value = held ? Ref::borrow(held) : Ref::steal(PyObject_GetAttrString(item, "_value"));
    Ref note = value && data_type ? Ref::steal(PyUnicode_FromFormat("output item %R of data type %S holds %R, which it "
                                                                    "cannot carry",
                                                                    name.get(), data_type.get(), value.get()))
                                  : Ref{};
    Ref added = note ? Ref::steal(PyObject_CallMethod(exception.get(), "add_note", "O", note.get())) : Ref{};
    PyErr_Clear();  // a note that cannot be made leaves the exception as it was
    PyErr_SetRaisedException(exception.release());
}

// Whether a value object is a host number that equals itself (a NaN never does, so it is written
// every time).
bool plain_number(PyObject* value) {
    if (PyLong_CheckExact(value) || PyBool_Check(value)) return true;
    return PyFloat_CheckExact(value) && PyFloat_AS_DOUBLE(value) == PyFloat_AS_DOUBLE(value);
}

// Whether the item is one of the module's inputs holding a pending value or a plain number, so
// that writing a form equal to it is sure to change nothing.
bool holds_plain_input(PyObject* item) {
    std::optional<data::ItemKind> kind = data::exact_item_kind(item);
    if (!kind || (*kind != data::ItemKind::input && *kind != data::ItemKind::input_output)) return false;
    data::ItemObject* object = data::as_item(item);
    PyObject* value = data::input_slot(object);
    return object->has_known_type && (!value || plain_number(value));
}

// Whether the input is unchanged, in an item of the same type, since the entry remembered its
// value: the item is then one of the module's own inputs, and its value is that of
// `e.unpacked_form`.
bool unpacked_value_holds(const ViewEntry& e) {
    PyObject* item = e.item.get();
    return data::as_item(item)->inputs_stamp == e.unpacked_stamp && Py_TYPE(item) == e.unpacked_item_type;
}

// Stores an input's value, its first 64 bits being `low`, when the entry does not know the item.
bool write_value(const ViewEntry& e, const BitStream& stream, uint64_t low) {
    if (e.bits <= 64) return data::write_integer(e.item.get(), low);
    Ref number = Ref::steal(from_wide({low, stream.get(e.position_bits + 64u, e.bits - 64u)}, e.bits));
    return number && data::write_object(e.item.get(), number.get());
}

// Entries up to as wide as the widest data type are remembered: data::store_input_form takes
// any form they carry.
constexpr unsigned kRememberedBits = 32;

void forget_input(const ViewEntry& e) { e.unpacked_item_type = nullptr; }

// Remembers that the entry's input, of the item type the entry has noted, holds the value of
// `form` under `type` (see ViewEntry), unless that is a NaN, which equals nothing: such a form is
// written every time.
bool remember_input(const ViewEntry& e, uint64_t form, data::DataType type) {
    if (data::is_nan_form(type, form)) {
        forget_input(e);
        return false;
    }
    e.unpacked_form = form;
    e.unpacked_stamp = data::as_item(e.item.get())->inputs_stamp;
    return true;
}

// After `form` was written into an input the entry did not know, and no host code changed an
// input meanwhile (`alone`), the entry remembers the input if it is one of the module's own
// inputs holding a pending value or a plain number. An entry remembers nothing else: a value
// some other writer stored need not be the value of the form.
bool remember_written(const ViewEntry& e, uint64_t form, bool alone) {
    if (!alone || e.bits > kRememberedBits || !holds_plain_input(e.item.get())) {
        forget_input(e);
        return false;
    }
    e.unpacked_item_type = Py_TYPE(e.item.get());
    return remember_input(e, form, data::as_item(e.item.get())->known_type);
}

// Remembers `words` as the outcome of a transfer at `epoch`.
void remember(TransferMemo& memo, std::span<const uint16_t, 8> words, uint64_t epoch) {
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
    }
    return 0;
}

bool pack_outputs(MapObject& map, std::span<uint16_t, 8> words, BeforeHostCode before_host_code) {
    const LayoutView* view = current_view(map);
    if (!view || !check_fits(*view)) return false;
    TransferMemo& memo = view->packed;
    const uint64_t epoch = data::output_epoch();
    if (memo.valid && memo.epoch == epoch) {
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
        WideValue value{e.packed_form, 0};
        if (!packed_form_holds(e)) {
            if (!keep) {
                keep = map.view;
                before_host_code();
            }
            if (!read_value(e, value)) {
                note_output_failure(e.item.get());
                ok = false;
                break;
            }
            remembered = remembered && packed_form_holds(e);
        }
        stream.put_wide(e.position_bits, e.bits, value);
    }
    stream.to_words(words);
    if (ok && remembered && epoch == data::output_epoch()) remember(memo, words, epoch);
    return ok;
}

bool unpack_inputs(MapObject& map, std::span<const uint16_t, 8> words, BeforeHostCode before_host_code) {
    const LayoutView* view = current_view(map);
    if (!view || !check_fits(*view)) return false;
    TransferMemo& memo = view->unpacked;
    if (memo.valid && memo.epoch == data::input_epoch() && std::equal(words.begin(), words.end(), memo.words.begin()))
        return true;
    memo.valid = false;
    std::shared_ptr<const LayoutView> keep;  // as in pack_outputs
    const BitStream stream = BitStream::from_words(words);
    // Every entry holds the value it remembers, and storing them ran no host code that changed
    // an input (a subscriber, a finalizer): each store advances the input epoch by one.
    bool remembered = true;
    for (const ViewEntry& e : view->entries) {
        const uint64_t form = stream.get(e.low);
        if (!unpacked_value_holds(e)) {
            if (!keep) {
                keep = map.view;
                before_host_code();
            }
            const uint64_t before = data::input_epoch();
            if (!write_value(e, stream, form)) {
                forget_input(e);
                return false;
            }
            remembered = remember_written(e, form, data::input_epoch() - before <= 1) && remembered;
            continue;
        }
        if (form == e.unpacked_form) continue;
        // A known input takes the new form without running host code; a later change of the item
        // (by its subscribers) changes its stamp.
        data::ItemObject* object = data::as_item(e.item.get());
        const data::DataType type = object->known_type;
        if (!data::store_input_form(object, static_cast<uint32_t>(form), static_cast<uint32_t>(e.unpacked_form))) {
            e.unpacked_form = form;  // an equal value: nothing was stored
            continue;
        }
        remembered = remember_input(e, form, type) && remembered;
        if (!data::has_subscribers(object)) continue;
        if (!keep) {
            keep = map.view;
            before_host_code();
        }
        const uint64_t before = data::input_epoch();
        if (!data::notify_each_subscriber(object)) return false;
        remembered = remembered && data::input_epoch() == before;
    }
    if (remembered) remember(memo, words, data::input_epoch());
    return true;
}

}  // namespace tamsel::mapping
