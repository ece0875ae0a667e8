#pragma once
// DictionaryMap as the rest of the module reaches it: the map object and the operations the
// nodes and the handler call every cycle without going through the host's attribute lookup.
#include "binding/ref.hpp"
#include "mapping/mapped_item.hpp"

#include <cstdint>
#include <memory>
#include <span>

namespace tamsel::mapping {

struct LayoutView;  // the entries' bits and value access, prepared for the transfer

struct MapObject {
    PyObject_HEAD PyObject* dictionary;  // the Dictionary whose items may be mapped
    PyObject* accepted;                  // the set of accepted item classes, as given to the constructor
    PyObject* entries;                   // list of DictionaryMappedItem in layout order; never handed out
    bool locked;
    // Rebuilt on the first transfer after the layout changed; a transfer in progress keeps
    // its own reference, so host code it calls may edit the map safely.
    std::shared_ptr<const LayoutView> view;
    uint64_t view_epoch;
    // `safety_bits` as of layout_epoch() `bits_epoch`: read every cycle, so it is kept here
    // rather than found through the entry list and its last entry.
    mutable uint64_t bits_epoch;
    mutable unsigned bits;
};

// A DictionaryMap or an instance of a host subclass.
bool is_map(PyObject* obj);
// Exactly a DictionaryMap: no host subclass that could override the transfer.
bool is_exact_map(PyObject* obj);
inline MapObject* as_map(PyObject* obj) { return reinterpret_cast<MapObject*>(obj); }

// DictionaryMap(dictionary, item_types_accepted), with the constructor's argument checks.
PyObject* new_map(PyObject* dictionary, PyObject* item_types_accepted);

// Bits and bytes mapped (the last entry's end; 0 for an empty map).
unsigned measure_safety_bits(const MapObject& map);  // from the entries, kept in the map
inline unsigned safety_bits(const MapObject& map) {
    return map.bits_epoch == layout_epoch() ? map.bits : measure_safety_bits(map);
}
inline uint16_t safety_bytes(const MapObject& map) { return static_cast<uint16_t>((safety_bits(map) + 7) / 8); }

inline void lock(MapObject& map, bool active = true) { map.locked = active; }

// The entries: DictionaryMappedItem objects, borrowed from the map.
Py_ssize_t entry_count(const MapObject& map);
PyObject* entry_at(const MapObject& map, Py_ssize_t index);

// Called once, before a transfer first runs host code (an item's value, a subscriber): the
// caller may then secure what it works on. Nothing by default.
struct BeforeHostCode {
    void (*call)(void* context) = nullptr;
    void* context = nullptr;
    void operator()() const {
        if (call) call(context);
    }
};

// Packs the integer form of every mapped item into the 8 safe-data words, after setting them
// all to 0. A map reaching beyond the 8 words raises ValueError and leaves `words` untouched;
// an item whose _read fails leaves the entries before it packed and the rest 0.
bool pack_outputs(MapObject& map, std::span<uint16_t, 8> words, BeforeHostCode before_host_code = {});
// Unpacks the 8 safe-data words into the mapped items, entry by entry in layout order. A map
// reaching beyond the 8 words raises ValueError before any item is written.
bool unpack_inputs(MapObject& map, std::span<const uint16_t, 8> words, BeforeHostCode before_host_code = {});

}  // namespace tamsel::mapping
