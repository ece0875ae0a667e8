#pragma once
// A map's entries prepared for the frame transfer: each entry's bits and how its value is
// reached, built once per layout instead of read from the host objects per frame.
#include "binding/ref.hpp"
#include "data/data_type.hpp"
#include "data/item_object.hpp"
#include "mapping/bit_stream.hpp"
#include "mapping/map_object.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace tamsel::mapping {

// The map creates its entries itself, so they are all of the module's own entry type: an
// entry's value is its item's integer form (natively for the module's own item types).
// Paddings pack 0 and take nothing, so the view leaves them out.
struct ViewEntry {
    binding::Ref item;
    uint8_t position_bits;
    uint8_t bits;
    // The data type of the packed value below, kept here where it fills padding.
    mutable data::DataType packed_type = data::DataType::BOOL;
    Field low;  // the entry's first 64 bits (all of it, mostly)
    // The output value last packed, its integer form, and the item's type and value slot it
    // was read from. Values of the module's own items are host numbers, which never change, so
    // the same object in the same slot of the same type under the same data type always packs
    // to the same form.
    mutable binding::Ref packed_value;
    mutable uint64_t packed_form = 0;
    mutable PyTypeObject* packed_item_type = nullptr;
    mutable PyObject* data::ItemObject::* packed_slot = nullptr;
    // The integer form an input's value equals, with the item's stamp and type then (entries of
    // up to 32 bits whose item is one of the module's own inputs holding a plain number): while
    // the item shows that stamp and type, its value is known from the form alone.
    mutable uint64_t unpacked_form = 0;
    mutable uint64_t unpacked_stamp = 0;
    mutable PyTypeObject* unpacked_item_type = nullptr;  // null: nothing remembered
};

// The safe-data words of the last transfer that went entry by entry, when every entry of it
// was a module item whose value the entry remembers (see ViewEntry): while no item changed on
// that side since (`epoch`; assigning an item's class counts as a change), the next transfer
// would do exactly the same, so it can take or compare the words as a whole.
struct TransferMemo {
    std::array<uint16_t, 8> words{};
    uint64_t epoch = 0;
    bool valid = false;
};

struct LayoutView {
    std::vector<ViewEntry> entries;  // the items in layout order
    unsigned end_bits = 0;           // the end of the entry (padding or item) reaching furthest into the stream
    mutable TransferMemo packed;     // outputs, against data::output_epoch()
    mutable TransferMemo unpacked;   // inputs, against data::input_epoch()
};

// The map's view for its current layout, or null with an exception set. The map owns it: a
// caller that runs host code while using it keeps a copy of `map.view`.
const LayoutView* current_view(MapObject& map);

}  // namespace tamsel::mapping
