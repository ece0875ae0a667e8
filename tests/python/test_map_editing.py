import pytest

import tamsel.tamsel as ts
from map_fixtures import layout, output, output_map

DT = ts.DataType


@pytest.fixture
def items():
    return {name: output(key, name, data_type) for key, (name, data_type) in enumerate(
        [("a", DT.BOOL), ("b", DT.UINT8), ("z", DT.UINT8), ("w", DT.UINT16), ("door", DT.BOOL),
         ("speed", DT.UINT16), ("long_item_name", DT.UINT8)], start=1)}


@pytest.fixture
def dmap(items):
    return output_map(*items.values())


def build(dmap, items, pieces):
    """Entries from (name or None, bits) pairs, without alignment rules."""
    for name, bits in pieces:
        dmap.insert(len(dmap), items[name] if name else None, bits)
    return dmap


@pytest.mark.parametrize(
    "pieces, name, align, expected",
    [
        # the first gap that fits, split around the item
        ([("a", None), (None, 15), ("b", None)], "z", 1,
         [("a", 0, 1), ("z", 1, 8), (None, 9, 7), ("b", 16, 8)]),
        ([("a", None), (None, 15), ("b", None)], "z", 8,
         [("a", 0, 1), (None, 1, 7), ("z", 8, 8), ("b", 16, 8)]),
        # the whole padding is used and the empty padding removed
        ([(None, 8), ("a", None)], "z", 1, [("z", 0, 8), ("a", 8, 1)]),
        # neighbouring paddings are merged first, and the earlier of two gaps wins
        ([("a", None), (None, 4), (None, 4), ("b", None), (None, 8)], "z", 1,
         [("a", 0, 1), ("z", 1, 8), ("b", 9, 8), (None, 17, 8)]),
        # with the default alignment a 16-bit item may land on any bit of a gap
        ([("a", None), (None, 20)], "w", 1, [("a", 0, 1), ("w", 1, 16), (None, 17, 4)]),
        # no gap wide enough: the trailing padding is dropped and the item appended
        ([("b", None), (None, 4)], "z", 1, [("b", 0, 8), ("z", 8, 8)]),
        ([("a", None), (None, 4)], "z", 8, [("a", 0, 1), (None, 1, 7), ("z", 8, 8)]),
        ([], "w", 1, [("w", 0, 16)]),
    ],
)
def test_insert_in_best_position(dmap, items, pieces, name, align, expected):
    build(dmap, items, pieces)
    entry = dmap.insert_in_best_position(items[name], align_to_bits=align)
    assert entry.item is items[name] and entry in dmap
    assert layout(dmap) == expected


def test_insert_in_best_position_fallback_applies_the_alignment_rule(dmap, items):
    build(dmap, items, [("a", None), (None, 2)])
    with pytest.raises(IndexError):
        dmap.insert_in_best_position(items["w"])
    assert layout(dmap) == [("a", 0, 1)]  # the trailing padding stays dropped


@pytest.mark.parametrize("refusal", ["mapped", "class", "locked"])
def test_insert_in_best_position_refusal_leaves_the_layout(dmap, items, refusal):
    build(dmap, items, [("a", None), (None, 4), (None, 11), ("b", None)])
    before = layout(dmap)
    entries = list(dmap)
    item = items["z"]
    expected = {"mapped": ts.FSoEAlreadyMappedException, "class": PermissionError,
                "locked": ts.TamselMappingLockedException}[refusal]
    if refusal == "mapped":
        item = items["b"]
    elif refusal == "class":
        item = ts.DictionaryItemInput(99, "in", DT.UINT8, 0)
    else:
        dmap._lock()
    with pytest.raises(expected):
        dmap.insert_in_best_position(item)
    assert layout(dmap) == before and list(dmap) == entries


def test_insert_in_best_position_alignment_failures(dmap, items):
    build(dmap, items, [(None, 4), (None, 4), ("b", None)])
    with pytest.raises(ZeroDivisionError):
        dmap.insert_in_best_position(items["a"], align_to_bits=0)
    assert layout(dmap) == [(None, 0, 8), ("b", 8, 8)]  # paddings merged, nothing else
    dmap.clear()
    build(dmap, items, [("b", None), (None, 100), (None, 100)])
    with pytest.raises(OverflowError) as error:
        dmap.insert_in_best_position(items["a"], align_to_bits=256)
    assert str(error.value) == "value too large to convert to uint8_t"
    assert layout(dmap) == [("b", 0, 8), (None, 8, 200)]
    with pytest.raises(TypeError):
        dmap.insert_in_best_position(None)


def test_insert_before_and_after(dmap, items):
    a = dmap.add(items["a"])
    b = dmap.add(items["b"])
    dmap.insert_before(b, None, 7)
    z = dmap.insert_after(a, items["z"])
    assert layout(dmap) == [("a", 0, 1), ("z", 1, 8), (None, 9, 7), ("b", 16, 8)]
    assert dmap.insert_after(b, items["w"], 4) is dmap[-1]
    foreign = z.copy()
    with pytest.raises(ValueError) as error:
        dmap.insert_before(foreign, None, 1)
    assert str(error.value).endswith(" is not in list")
    with pytest.raises(ts.FSoEAlreadyMappedException):
        dmap.insert_after(a, items["a"])
    with pytest.raises(TypeError) as error:
        dmap.insert_before(None, None, 1)
    assert str(error.value) == ("Argument 'before_dictionary_mapped_item' has incorrect type "
                                "(expected tamsel.tamsel.DictionaryMappedItem, got NoneType)")
    dmap._lock()
    with pytest.raises(ts.TamselMappingLockedException):
        dmap.insert_before(a, None, 1)
    assert len(dmap) == 5


def test_set_bits(dmap, items):
    a = dmap.add(items["a"])
    b = dmap.add(items["b"])
    dmap.set_bits(a, 0)
    assert layout(dmap) == [("a", 0, 0), ("b", 0, 8)]
    dmap.set_bits(b, 255)
    with pytest.raises(OverflowError):
        dmap.set_bits(a, 3)
    assert layout(dmap) == [("a", 0, 3), ("b", 3, 255)]  # overflow after the last entry
    with pytest.raises(ValueError) as error:
        dmap.set_bits(a.copy(), 2)
    assert str(error.value) == "The item does not belong to this map"
    with pytest.raises(OverflowError):
        dmap.set_bits(a, 256)
    with pytest.raises(TypeError):
        dmap.set_bits(a, None)
    assert a.bits == 3


def test_set_bits_overflow_keeps_the_change(dmap, items):
    a = dmap.add(items["a"])
    dmap.add_padding(200)
    dmap.add_padding(50)
    with pytest.raises(OverflowError):
        dmap.set_bits(a, 100)
    assert layout(dmap) == [("a", 0, 100), (None, 100, 200), (None, 201, 50)]


def test_moves(dmap, items):
    a = dmap.add(items["a"])
    b = dmap.add(items["b"])
    w = dmap.add(items["w"], align_to_bits=8)
    assert dmap.move_item_up(a) is False and dmap.move_item_down(w) is False
    assert layout(dmap) == [("a", 0, 1), ("b", 1, 8), (None, 9, 7), ("w", 16, 16)]
    assert dmap.move_item_up(b) is True
    assert dmap.move_item_down(a) is True
    assert layout(dmap) == [("b", 0, 8), (None, 8, 7), ("a", 15, 1), ("w", 16, 16)]
    assert dmap.move_item_up(w) is True  # no alignment rule
    assert layout(dmap)[2] == ("w", 15, 16)
    with pytest.raises(ValueError):
        dmap.move_item_up(a.copy())
    dmap._lock()
    with pytest.raises(ts.TamselMappingLockedException):
        dmap.move_item_down(a)


def test_transform_to_padding(dmap, items):
    a = dmap.add(items["a"])
    b = dmap.add(items["b"])
    dmap._lock()  # works on a locked map
    dmap.transform_to_padding(b)
    assert b not in dmap and layout(dmap) == [("a", 0, 1), (None, 1, 8)] and dmap.safety_bits == 9
    dmap.transform_to_padding(items["a"])
    assert a not in dmap and layout(dmap) == [(None, 0, 1), (None, 1, 8)]
    dmap.transform_to_padding(items["w"])
    dmap.transform_to_padding("anything")
    with pytest.raises(ValueError):
        dmap.transform_to_padding(a)
    dmap._lock(False)
    assert items["b"] in dmap.unmapped_dictionary_items()
    dmap.add(items["b"])


def test_merge_adjacent_paddings(dmap, items):
    build(dmap, items, [(None, 3), (None, 5), ("a", None), (None, 2), (None, 2)])
    dmap.merge_adjacent_paddings()
    assert layout(dmap) == [(None, 0, 8), ("a", 8, 1), (None, 9, 4)]


def test_merge_overflow_keeps_the_earlier_merges(dmap, items):
    build(dmap, items, [(None, 2), (None, 2), ("a", None)])
    dmap.add_padding(200)
    dmap.add_padding(56)
    with pytest.raises(OverflowError):
        dmap.merge_adjacent_paddings()
    assert [e.bits for e in dmap] == [4, 1, 200, 56]


@pytest.mark.parametrize(
    "pieces, expected_bits, trailing",
    [
        ([], 8, (None, 0, 8)),
        ([("a", 5)], 8, (None, 5, 3)),
        ([("a", 8)], 8, ("a", 0, 8)),
        ([("a", 9)], 16, (None, 9, 7)),
        ([("a", 16)], 16, ("a", 0, 16)),
        ([("a", 17)], 32, (None, 17, 15)),
        ([("a", 10), (None, 2)], 16, (None, 10, 6)),  # a trailing padding is widened
    ],
)
def test_complete_with_padding(dmap, items, pieces, expected_bits, trailing):
    build(dmap, items, pieces)
    count = len(dmap)
    dmap.complete_with_padding()
    assert dmap.safety_bits == expected_bits and layout(dmap)[-1] == trailing
    assert len(dmap) in (count, count + 1)


def test_trim_map(dmap, items):
    build(dmap, items, [("a", 20), (None, 10), (None, 18)])
    dmap.trim_map()
    assert layout(dmap) == [("a", 0, 20), (None, 20, 12)]
    dmap.clear()
    build(dmap, items, [(None, 30), (None, 30)])
    dmap.trim_map()
    assert layout(dmap) == [(None, 0, 8)]
    dmap.clear()
    dmap.trim_map()
    assert layout(dmap) == [(None, 0, 8)]


@pytest.mark.parametrize(
    "operation",
    ["set_bits", "move_item_up", "move_item_down", "merge_adjacent_paddings", "complete_with_padding",
     "trim_map", "insert_before", "insert_after", "insert_in_best_position"],
)
def test_locked_map_refuses_layout_changes(dmap, items, operation):
    a = dmap.add(items["a"])
    dmap.add_padding(3)
    dmap.add_padding(3)
    dmap._lock()
    before = layout(dmap)
    args = {"set_bits": (a, 4), "move_item_up": (a,), "move_item_down": (a,), "insert_before": (a, None, 1),
            "insert_after": (a, None, 1), "insert_in_best_position": (items["z"],)}.get(operation, ())
    with pytest.raises(ts.TamselMappingLockedException) as error:
        getattr(dmap, operation)(*args)
    assert str(error.value) == "Mapping is locked, cannot be modified"
    assert layout(dmap) == before


def test_text_representation(dmap, items):
    assert dmap.get_text_representation() == "Item" + " " * 36 + " | Position bytes..bits | Size bytes..bits    "
    dmap.add(items["door"])
    dmap.add(items["speed"], align_to_bits=8)
    expected = "\n".join([
        "Item" + " " * 36 + " | " + "Position bytes..bits" + " | " + "Size bytes..bits" + " " * 4,
        "door" + " " * 36 + " | " + "0..0" + " " * 16 + " | " + "0..1" + " " * 16,
        "Padding" + " " * 33 + " | " + "0..1" + " " * 16 + " | " + "0..7" + " " * 16,
        "speed" + " " * 35 + " | " + "1..0" + " " * 16 + " | " + "2..0" + " " * 16,
    ])
    assert dmap.get_text_representation() == expected
    dmap._lock()
    assert dmap.get_text_representation(40) == expected


def test_text_representation_keeps_long_names_whole(dmap, items):
    dmap.add(items["long_item_name"])
    lines = dmap.get_text_representation(item_space=10).split("\n")
    assert lines[0].startswith("Item       | Position")
    assert lines[1].startswith("long_item_name | 0..0 ")
    with pytest.raises(TypeError):
        dmap.get_text_representation("10")


class _SneakyText(str):
    """A str whose formatting methods give no text at all."""

    def ljust(self, *args):
        return 5

    __format__ = ljust


class _Shown:
    def __str__(self):
        return _SneakyText("zz")


@pytest.mark.parametrize("name, shown", [(_SneakyText("zz"), "zz"), (_Shown(), "zz"), (42, "42")])
def test_text_representation_of_host_names(name, shown):
    class Named(ts.DictionaryItemOutput):
        @property
        def name(self):
            return name

    item = Named(1, "n", DT.UINT8)
    dmap = ts.DictionaryMap(ts.Dictionary([item]), {Named})
    dmap.add(item)
    row = dmap.get_text_representation(4).split("\n")[1]
    assert row == shown.ljust(4) + " | 0..0" + " " * 16 + " | 1..0" + " " * 16
    with pytest.raises(ts.FSoEAlreadyMappedException, match=f"^Item {shown} is already mapped"):
        dmap.add(item)
