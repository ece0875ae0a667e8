import pytest

import tamsel.tamsel as ts
from map_fixtures import INPUTS, OUTPUTS, layout, make_dictionary, output, output_map

DT = ts.DataType
LOCKED = "Mapping is locked, cannot be modified"
ALIGN = "Variables with more than 8 bits must be aligned in 8-bit safe-data slots"


@pytest.fixture
def items():
    return {
        "door": output(1, "door", DT.BOOL),
        "speed": output(2, "speed", DT.UINT16),
        "level": output(3, "level", DT.UINT8),
        "torque": ts.DictionaryItemInputOutput(4, "torque", DT.INT32, 0),
        "sensor": ts.DictionaryItemInput(5, "sensor", DT.BOOL, False),
    }


@pytest.fixture
def dmap(items):
    return output_map(*items.values())


def test_empty_map():
    accepted = set(OUTPUTS)
    dictionary = make_dictionary()
    dmap = ts.DictionaryMap(dictionary, accepted)
    assert dmap.item_types_accepted is accepted and dmap.dictionary is dictionary
    assert (dmap.safety_bits, dmap.safety_bytes, len(dmap), dmap.locked, dmap._locked) == (0, 0, 0, False, False)
    assert list(dmap) == [] and dmap._items == []


@pytest.mark.parametrize(
    "args, message",
    [
        ((None, set()), "Argument 'dictionary' has incorrect type (expected tamsel.tamsel.Dictionary, got NoneType)"),
        ((make_dictionary(), frozenset()),
         "Argument 'item_types_accepted' has incorrect type (expected set, got frozenset)"),
    ],
)
def test_constructor_argument_types(args, message):
    with pytest.raises(TypeError) as error:
        ts.DictionaryMap(*args)
    assert str(error.value) == message


def test_alignment_rule_and_align_to_bits(dmap, items):
    door = dmap.add(items["door"])
    with pytest.raises(IndexError) as error:
        dmap.add(items["speed"])
    assert str(error.value) == ALIGN
    assert list(dmap) == [door]
    speed = dmap.add(items["speed"], align_to_bits=8)
    assert layout(dmap) == [("door", 0, 1), (None, 1, 7), ("speed", 8, 16)]
    assert speed is dmap[2] and speed.item is items["speed"]
    assert (dmap.safety_bits, dmap.safety_bytes) == (24, 3)


def test_small_items_need_no_alignment_and_explicit_bits_are_kept(dmap, items):
    dmap.add(items["door"])
    dmap.add(items["level"])
    with pytest.raises(IndexError):  # the rule looks at the data type, not the mapped width
        dmap.add(items["torque"], bits=3, align_to_bits=1)
    dmap.add(items["torque"], bits=3, align_to_bits=8)
    assert layout(dmap) == [("door", 0, 1), ("level", 1, 8), (None, 9, 7), ("torque", 16, 3)]


def test_alignment_padding_stays_when_the_item_is_refused(dmap, items):
    dmap.add_padding(3)
    with pytest.raises(PermissionError):
        dmap.add(items["sensor"], align_to_bits=8)
    assert layout(dmap) == [(None, 0, 3), (None, 3, 5)]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda m: m.add(None), ValueError, "Cannot add padding without indicating bits"),
        (lambda m: m.add_padding(300), OverflowError, "value too large to convert to uint8_t"),
        (lambda m: m.add_padding(70000), OverflowError, "value too large to convert to uint16_t"),
        (lambda m: m.add_padding(-1), OverflowError, "can't convert negative value to uint16_t"),
        (lambda m: m.add(None, -1), OverflowError, "can't convert negative value to uint8_t"),
        (lambda m: m.add(None, 8, align_to_bits=0), ZeroDivisionError, None),
        (lambda m: m.add_by_key(99), KeyError, "99"),
        (lambda m: m.add("door"), TypeError,
         "Argument 'dict_item' has incorrect type (expected tamsel.tamsel.DictionaryItem, got str)"),
        (lambda m: m.add(None, True), TypeError, "Argument 'bits' has incorrect type (expected int, got bool)"),
        (lambda m: m.add(None, 8, 1.0), TypeError,
         "Argument 'align_to_bits' has incorrect type (expected int, got float)"),
        (lambda m: m.insert("0", None, 8), TypeError, "Argument 'index' has incorrect type (expected int, got str)"),
        (lambda m: m.add_by_key(True), TypeError, "Argument 'key' has incorrect type (expected int, got bool)"),
        (lambda m: m["0"], TypeError, "Argument 'index' has incorrect type (expected int, got str)"),
        (lambda m: 5 in m, TypeError,
         "Argument 'item' has incorrect type (expected tamsel.tamsel.DictionaryMappedItem, got int)"),
        (lambda m: m[0], IndexError, "list index out of range"),
        (lambda m: m.add(None, 8, 1, 4), TypeError, "add() takes at most 3 positional arguments (4 given)"),
    ],
)
def test_refused_arguments_change_nothing(dmap, call, error, message):
    with pytest.raises(error) as raised:
        call(dmap)
    if message is not None:
        assert str(raised.value).strip("'") == message
    assert len(dmap) == 0


@pytest.mark.parametrize("kind", ["input", "subclass"])
def test_accepted_classes_are_matched_exactly(dmap, items, kind):
    class MyOutput(ts.DictionaryItemOutput):
        pass

    item = items["sensor"] if kind == "input" else MyOutput(9, "mine", DT.UINT8)
    with pytest.raises(PermissionError) as error:
        dmap.add(item)
    assert str(error.value) == "" and len(dmap) == 0
    if kind == "subclass":
        dmap.item_types_accepted.add(MyOutput)  # the map reads the very set it was given
        assert dmap.add(item).item is item


def test_already_mapped(dmap, items):
    dmap.add(items["door"])
    for call in (lambda: dmap.add(items["door"]), lambda: dmap.insert(0, items["door"])):
        with pytest.raises(ts.FSoEAlreadyMappedException) as error:
            call()
        assert str(error.value) == "Item door is already mapped in the dictionary map"
    dmap._lock()
    with pytest.raises(ts.FSoEAlreadyMappedException):  # checked before the lock
        dmap.add(items["door"])
    dmap._lock(False)
    dmap.remove(items["door"])
    assert dmap.add(items["door"]).position_bits == 0


def test_insert_positions(dmap, items):
    dmap.add(items["door"])
    dmap.add_padding(7)
    dmap.add(items["level"])
    first = dmap.insert(0, items["speed"])
    assert first is dmap[0]
    assert layout(dmap) == [("speed", 0, 16), ("door", 16, 1), (None, 17, 7), ("level", 24, 8)]
    dmap.insert(99, None, 4)
    dmap.insert(-99, None, 2)
    assert layout(dmap)[0] == (None, 0, 2) and layout(dmap)[-1] == (None, 34, 4)
    dmap.insert(-1, items["torque"], 32)  # before the last entry, and no alignment check
    assert layout(dmap)[-2:] == [("torque", 34, 32), (None, 66, 4)]


def test_remove(dmap, items):
    other = output_map(items["door"])
    foreign = other.add(items["door"])
    door = dmap.add(items["door"])
    dmap.add_padding(3)
    dmap.add(items["level"])
    with pytest.raises(ValueError) as error:
        dmap.remove(foreign)
    assert str(error.value) == "list.remove(x): x not in list"
    dmap.remove(items["speed"])  # not mapped: no error
    dmap.remove("anything")
    assert len(dmap) == 3
    dmap.remove(door)
    assert layout(dmap) == [(None, 0, 3), ("level", 3, 8)]
    dmap.remove(items["level"])
    assert layout(dmap) == [(None, 0, 3)]


def test_lock(dmap, items):
    entry = dmap.add(items["door"])
    dmap._lock()
    assert dmap.locked and dmap._locked
    for call in (lambda: dmap.add(items["level"]), lambda: dmap.add_padding(3), dmap.clear,
                 lambda: dmap.insert(0, None, 3), lambda: dmap.add_by_key(3),
                 lambda: dmap.add(None, 3, align_to_bits=8)):
        with pytest.raises(ts.TamselMappingLockedException) as error:
            call()
        assert str(error.value) == LOCKED
        assert list(dmap) == [entry]
    dmap.remove(entry)
    assert len(dmap) == 0
    dmap._lock(0)
    assert not dmap.locked
    dmap.add(items["door"])
    dmap.clear()
    assert len(dmap) == 0


def test_copy(dmap, items):
    dmap.add(items["door"])
    dmap.add_padding(7)
    dmap._lock()
    copy = dmap.copy()
    assert type(copy) is ts.DictionaryMap and copy.locked
    assert copy.dictionary is dmap.dictionary and copy.item_types_accepted is dmap.item_types_accepted
    assert layout(copy) == layout(dmap)
    assert all(entry not in copy for entry in dmap)
    assert copy[0].item is items["door"]
    copy._lock(False)
    copy.add(items["level"])
    assert len(dmap) == 2


def test_mapped_and_unmapped_items(items):
    dictionary = make_dictionary(*items.values())
    master = ts.DictionaryMap(dictionary, set(OUTPUTS))
    slave = ts.DictionaryMap(dictionary, set(INPUTS))
    master.add(items["speed"])
    master.add_padding(4)
    master.add(items["door"])
    assert master.mapped_dictionary_items() == [items["speed"], items["door"]]
    assert master.unmapped_dictionary_items() == [items["level"], items["torque"]]
    assert slave.unmapped_dictionary_items() == [items["torque"], items["sensor"]]
    slave.add(items["torque"])  # an input-output item goes into both maps
    assert slave.mapped_dictionary_items() == [items["torque"]]


def test_container_behaviour(dmap, items):
    door = dmap.add(items["door"])
    pad = dmap.add_padding(7)
    assert dmap[-1] is pad and dmap[-2] is door and dmap[1] is pad
    assert door in dmap and door.copy() not in dmap
    with pytest.raises(IndexError):
        dmap[-3]
    with pytest.raises(IndexError):
        dmap[10**30]
    seen = []
    for entry in dmap:  # the iterator walks the live list
        seen.append(entry)
        if entry is door:
            dmap.add_padding(1)
    assert len(seen) == 3
    assert list(reversed(dmap)) == seen[::-1]
    backwards = reversed(dmap)
    next(backwards)
    dmap.clear()  # an entry list that shrank ends the walk
    assert list(backwards) == []
    for entry in seen:
        dmap.insert(len(dmap), entry.item, entry.bits)
    items_copy = dmap._items
    items_copy.clear()
    assert len(dmap) == 3


def test_recalculation_overflow_keeps_the_positions_before_it(dmap):
    for _ in range(3):
        dmap.add_padding(100)
    with pytest.raises(OverflowError):
        dmap.add_padding(100)  # would start at 300
    with pytest.raises(OverflowError) as error:
        dmap.insert(0, None, 100)
    assert str(error.value) == "value too large to convert to uint8_t"
    assert layout(dmap) == [(None, 0, 100), (None, 100, 100), (None, 200, 100), (None, 200, 100)]


def test_entry_basics(items):
    entry = ts.DictionaryMappedItem(items["speed"], 32, 13)
    assert (entry.item, entry.bits, entry.position_bits) == (items["speed"], 32, 13)
    assert entry.position_byte_bits() == (1, 5) and entry.size_bytes_bits() == (4, 0)
    copy = entry.copy()
    assert copy is not entry and (copy.item, copy.bits, copy.position_bits) == (items["speed"], 32, 13)
    padding = entry.copy_as_padding()
    assert (padding.item, padding.bits, padding.position_bits) == (None, 32, 13)
    assert padding._read() == 0
    padding._write(7)
    items["speed"].set(0xABCD)
    assert entry._read() == 0xABCD
    entry._set_bits(3)
    entry._set_position_bits(255)
    assert (entry.bits, entry.position_bits) == (3, 255)
    for attribute in ("item", "bits", "position_bits"):
        with pytest.raises(AttributeError):
            setattr(entry, attribute, None)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: ts.DictionaryMappedItem(5, 1, 0), TypeError,
         "Argument 'item' has incorrect type (expected tamsel.tamsel.DictionaryItem, got int)"),
        (lambda: ts.DictionaryMappedItem(None, 256, 0), OverflowError, "value too large to convert to uint8_t"),
        (lambda: ts.DictionaryMappedItem(None, 1, -1), OverflowError, "can't convert negative value to uint8_t"),
        (lambda: ts.DictionaryMappedItem(None, 1, 0)._write(1.0), TypeError,
         "Argument 'value' has incorrect type (expected int, got float)"),
        (lambda: ts.DictionaryMappedItem(None, 1, 0)._set_bits(256), OverflowError,
         "value too large to convert to uint8_t"),
    ],
)
def test_entry_refusals(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message


def test_entry_read_write_go_to_the_item(items):
    sensor = items["sensor"]
    calls = []
    sensor.subscribe_changed(lambda: calls.append(sensor.get()))
    entry = ts.DictionaryMappedItem(sensor, 1, 0)
    entry._write(1)
    assert sensor.get() is True and calls == [True]
    with pytest.raises(NotImplementedError):
        entry._read()


def test_private_operations(dmap, items):
    entry = dmap._DictionaryMap__create_mapped_item(5, items["door"])
    assert (entry.bits, entry.position_bits) == (1, 5) and entry not in dmap
    dmap.add(items["door"])
    with pytest.raises(ts.FSoEAlreadyMappedException):
        dmap._DictionaryMap__check_not_already_mapped(items["door"])
    with pytest.raises(ValueError) as error:
        dmap._DictionaryMap__check_item_belongs(entry)
    assert str(error.value) == "The item does not belong to this map"
    dmap[0]._set_position_bits(9)
    dmap._DictionaryMap__recalculate_position_bits()
    assert dmap[0].position_bits == 0
    dmap._lock()
    with pytest.raises(ts.TamselMappingLockedException):
        dmap._DictionaryMap__check_not_locked()


def test_no_leak_when_editing(no_leak, items):
    dmap = output_map(*items.values())

    def cycle():
        dmap.add(items["door"])
        dmap.add(items["speed"], align_to_bits=8)
        try:
            dmap.add(items["door"])
        except ts.FSoEAlreadyMappedException:
            pass
        dmap.copy()
        dmap.unmapped_dictionary_items()
        dmap.clear()

    no_leak(cycle)


@pytest.mark.parametrize(
    "name, section",
    [
        ("add", "    dict_item: If None the entry map will be a padding\n"),
        ("remove", "Args:\n    item: Can be a DictionaryMappedItem or a DictionaryItem."),
        ("move_item_up", "Returns:\n    True when operation is executed, False when item is already on top."),
        ("move_item_down", "Returns:\n    True when operation is executed, False when item is already at the bottom."),
        ("_set_data_to_frame", "Args:\n    frame: Frame to fill with data"),
        ("_get_data_from_frame", "Args:\n    frame: Frame to get the data from"),
    ],
)
def test_argument_and_result_docs(name, section):
    doc = getattr(ts.DictionaryMap, name).__doc__
    assert section in doc and "\n\n" in doc
