import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tamsel.tamsel as ts

DT = ts.DataType
Item = ts.DynamicMappableItem


def frame(size):
    f = ts.FSOEFrame()
    f.safe_data_size_bytes = size
    return f


def dynamic_map(*items):
    m = ts.FSOEDynamicMap()
    for item in items:
        m.add(item)
    return m


def counters(m):
    return (m.total_bytes, m.bytes_processed, m.items_processed, m.current_processed_item,
            m.current_processed_item_byte)


class FakeType:
    """A data type stand-in whose conversions return whatever the test wants."""

    def __init__(self, n_bytes=2, serialized=None):
        self.bytes = n_bytes
        self.serialized = serialized

    def serialize_value(self, value):
        return value if self.serialized is None else self.serialized

    def unserialize_value(self, value):
        return value


# ---- DynamicMappableItem ----

@pytest.mark.parametrize(
    "initial, data_type, raw, value",
    [
        (-1, DT.INT16, 0xFFFF, -1),
        (0x1234, DT.UINT16, 0x1234, 0x1234),
        (1.0, DT.FLOAT, 0x3F800000, 1.0),
        (True, DT.BOOL, 1, True),
        (-2, DT.INT8, 0xFE, -2),
        (0xFFFFFFFF, DT.UINT32, 0xFFFFFFFF, 0xFFFFFFFF),
        (-(2**31), DT.INT32, 0x80000000, -(2**31)),
    ],
)
def test_item_holds_the_integer_form(initial, data_type, raw, value):
    item = Item(initial, data_type)
    assert (item.raw_value, item._raw_value, item.n_bytes, item.data_type) == (raw, raw, data_type.bytes, data_type)
    assert item.value == value and item.get() == value
    assert type(item.value) is type(value)


@pytest.mark.parametrize(
    "value, data_type, error, message",
    [
        (256, DT.UINT8, ValueError, ""),
        (-129, DT.INT8, ValueError, ""),
        (2, DT.BOOL, ValueError, "Invalid value for BOOL type"),
        (3.0, DT.UINT8, TypeError, "Expected int, got float"),
        (True, DT.UINT16, TypeError, "Expected int, got bool"),
        ("x", DT.FLOAT, struct.error, None),
    ],
)
def test_item_conversion_errors_pass_through_and_change_nothing(value, data_type, error, message):
    with pytest.raises(error) as info:
        Item(value, data_type)
    if message is not None:
        assert str(info.value) == message
    item = Item(data_type.get_initial_value(), data_type)
    with pytest.raises(error):
        item.set(value)
    with pytest.raises(error):
        item.value = value
    assert item.raw_value == 0


@pytest.mark.parametrize(
    "data_type, error, message, stored",
    [
        (FakeType(serialized=-1), OverflowError, "can't convert negative value to uint32_t", 0),
        (FakeType(serialized=2**32), OverflowError, "value too large to convert to uint32_t", 0),
        (FakeType(n_bytes=5), NotImplementedError, "Cannot handle more than 4 bytes", 7),
    ],
)
def test_item_refuses_what_the_integer_form_cannot_hold(data_type, error, message, stored):
    item = Item.__new__(Item)
    with pytest.raises(error, match=message):
        item.__init__(7, data_type)
    assert item.raw_value == stored


def test_value_goes_through_a_subclass_get_and_set():
    class Doubled(Item):
        def get(self):
            return 2 * super().get()

        def set(self, value):
            super().set(value + 1)

    item = Doubled(5, DT.UINT8)
    assert item.value == 10
    item.value = 7
    assert item.raw_value == 8 and item.value == 16
    assert isinstance(dynamic_map(item)._items[0], Item)


def test_two_items_sent_two_bytes_per_frame():
    m = dynamic_map(Item(0x1234, DT.UINT16), Item(0x56, DT.UINT8))
    f = frame(2)
    m.set_data_to_frame(f, 2)
    assert f.get_safe_data_bytes()[:2] == b"\x34\x12"
    assert (m.items_processed, m.current_processed_item, m.bytes_processed, m.pending()) == (1, 1, 2, True)
    m.set_data_to_frame(f, 2)
    assert f.get_safe_data_bytes() == b"\x56" + bytes(15)
    assert (m.items_processed, m.pending(), m.pending_items(), m.total_items()) == (2, False, 0, 2)
    done = counters(m)
    f.set_safe_data_bytes(b"\x01\x02")
    m.set_data_to_frame(f, 2)
    assert f.get_safe_data_bytes() == bytes(16)
    assert counters(m) == done


def test_two_frames_received_and_surplus_bytes_ignored():
    received = dynamic_map(Item(0, DT.UINT16), Item(0, DT.UINT8))
    f = frame(2)
    for data in (b"\x34\x12", b"\x56\x00"):
        f.set_safe_data_bytes(data)
        received.get_data_from_frame(f, 2)
    assert [i.raw_value for i in received._items] == [0x1234, 0x56]
    assert counters(received) == (3, 3, 2, 2, 0)
    assert not received.pending()
    f.set_safe_data_bytes(b"\x77\x77")
    received.get_data_from_frame(f, 2)
    assert counters(received) == (3, 3, 2, 2, 0)


def test_item_split_over_frames_is_compared_by_its_transferred_bytes():
    sent = dynamic_map(Item(0x1234, DT.UINT16))
    received = dynamic_map(Item(0, DT.UINT16))
    f = frame(2)
    sent.set_data_to_frame(f, 1)
    assert f.get_safe_data_bytes()[:2] == b"\x34\x00"
    received.get_data_from_frame(f, 1)
    assert (received.current_processed_item_byte, received.items_processed) == (1, 0)
    assert received.is_safedata_correct(sent)
    assert received.is_safedata_correct(dynamic_map(Item(0xFF34, DT.UINT16)))
    assert not received.is_safedata_correct(dynamic_map(Item(0x1233, DT.UINT16)))


@pytest.mark.parametrize("size", [0, 1, 3])
def test_more_valid_bytes_than_the_frame_holds(size):
    m = dynamic_map(Item(0x1234, DT.UINT16))
    f = frame(size)
    f.set_safe_data_bytes(b"\x09" * 16)
    m.set_data_to_frame(f, size + 1)
    assert f.get_safe_data_bytes() == bytes(16)
    assert counters(m) == (2, 0, 0, 0, 0)
    f.set_safe_data_bytes(b"\x09" * 16)
    m.get_data_from_frame(f, size + 1)
    assert counters(m) == (2, 0, 0, 0, 0) and m._items[0].raw_value == 0x1234


def test_clear_keeps_the_list_object():
    m = dynamic_map(Item(1, DT.UINT32), Item(2, DT.UINT8))
    items = m._items
    m.set_data_to_frame(frame(2), 2)
    m.clear()
    assert m._items is items and items == []
    assert counters(m) == (0, 0, 0, 0, 0)


def test_completed_items_are_compared_by_value():
    nan = Item(math.nan, DT.FLOAT)
    f = frame(4)
    sent = dynamic_map(nan)
    received = dynamic_map(Item(0.0, DT.FLOAT))
    sent.set_data_to_frame(f, 4)
    received.get_data_from_frame(f, 4)
    assert received._items[0].raw_value == nan.raw_value
    assert not received.is_safedata_correct(sent)

    received = dynamic_map(Item(False, DT.BOOL))
    f.set_safe_data_bytes(b"\x02")
    received.get_data_from_frame(f, 1)
    assert received._items[0].raw_value == 2
    assert received.is_safedata_correct(dynamic_map(Item(True, DT.BOOL)))
    assert not received.is_safedata_correct(dynamic_map(Item(False, DT.BOOL)))


def test_expected_map_with_fewer_items_raises_index_error():
    received = dynamic_map(Item(0, DT.UINT8), Item(0, DT.UINT8))
    f = frame(2)
    received.get_data_from_frame(f, 2)
    with pytest.raises(IndexError):
        received.is_safedata_correct(dynamic_map(Item(0, DT.UINT8)))
    assert dynamic_map().is_safedata_correct(dynamic_map())


VALUES = {
    DT.BOOL: st.booleans(),
    DT.FLOAT: st.floats(width=32, allow_nan=False),
    DT.UINT8: st.integers(0, 0xFF),
    DT.INT8: st.integers(-0x80, 0x7F),
    DT.UINT16: st.integers(0, 0xFFFF),
    DT.INT16: st.integers(-0x8000, 0x7FFF),
    DT.UINT32: st.integers(0, 0xFFFFFFFF),
    DT.INT32: st.integers(-(2**31), 2**31 - 1),
}
typed_values = st.sampled_from(list(VALUES)).flatmap(lambda t: st.tuples(st.just(t), VALUES[t]))


@settings(max_examples=150, deadline=None)
@given(values=st.lists(typed_values, max_size=12), rate=st.integers(1, 16), spare=st.integers(0, 15))
def test_random_streams_arrive_with_matching_counters(values, rate, spare):
    sent = dynamic_map(*(Item(v, t) for t, v in values))
    received = dynamic_map(*(Item(t.get_initial_value(), t) for t, _ in values))
    size = min(16, rate + spare)
    tx, rx = frame(size), frame(size)
    total = sum(t.bytes for t, _ in values)
    frames = 0
    while sent.pending():
        sent.set_data_to_frame(tx, rate)
        rx.set_safe_data_bytes(tx.get_safe_data_bytes()[:rate] + b"\xEE" * (16 - rate))
        received.get_data_from_frame(rx, rate)
        frames += 1
        assert counters(received) == counters(sent)
        assert 0 <= sent.current_processed_item_byte < 4
        assert received.is_safedata_correct(sent)
    assert frames == -(-total // rate)
    assert not received.pending() and received.items_processed == len(values)
    assert [i.value for i in received._items] == [v for _, v in values]


# ---- FSOEDynamicMap: arguments and the item list ----

def test_argument_errors_change_nothing():
    m = dynamic_map(Item(1, DT.UINT16))
    f = frame(2)
    before = counters(m)
    with pytest.raises(TypeError, match=r"Argument 'item' has incorrect type \(expected tamsel\.tamsel\."
                                        r"DynamicMappableItem, got int\)"):
        m.add(5)
    with pytest.raises(TypeError, match=r"Argument 'frame' has incorrect type \(expected tamsel\.tamsel\."
                                        r"FSOEFrame, got bytes\)"):
        m.set_data_to_frame(b"", 2)
    with pytest.raises(TypeError, match="Argument 'frame'"):
        m.get_data_from_frame(None, 2)
    with pytest.raises(OverflowError, match="can't convert negative value to uint16_t"):
        m.set_data_to_frame(f, -1)
    with pytest.raises(OverflowError, match="value too large to convert to uint16_t"):
        m.get_data_from_frame(f, 65536)
    with pytest.raises(TypeError, match=r"Argument 'expected_map' has incorrect type \(expected tamsel\.tamsel\."
                                        r"FSOEDynamicMap, got list\)"):
        m.is_safedata_correct([])
    with pytest.raises(TypeError, match=r"set_data_to_frame\(\) takes exactly 2 positional arguments \(1 given\)"):
        m.set_data_to_frame(f)
    with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 0 positional arguments \(1 given\)$"):
        ts.FSOEDynamicMap(m)
    assert counters(m) == before and len(m._items) == 1


def test_items_is_a_list_or_none():
    m = dynamic_map(Item(1, DT.UINT8))
    for value in ((), "abc", type("L", (list,), {})()):
        with pytest.raises(TypeError, match=f"Expected list, got {type(value).__name__}"):
            m._items = value
    assert len(m._items) == 1
    m._items = None
    assert m._items is None and m.total_bytes == 1
    with pytest.raises(TypeError, match="has no len"):
        m.total_items()
    with pytest.raises(TypeError):
        m.set_data_to_frame(frame(2), 2)
    with pytest.raises(AttributeError):
        m.add(Item(1, DT.UINT8))
    with pytest.raises(AttributeError):
        m.clear()
    replacement = [Item(7, DT.UINT8)]
    m._items = replacement
    assert m._items is replacement
    m.set_data_to_frame(f := frame(1), 1)
    assert f.get_safe_data_bytes()[0] == 7


class Unequal:
    def __ne__(self, other):
        raise ArithmeticError("compare")


@pytest.mark.parametrize(
    "hostile, error",
    [
        (lambda maps: Unequal(), ArithmeticError),                        # a value that cannot be compared
        (lambda maps: maps[0]._items.clear(), IndexError),                # the list shrinks during the walk
        (lambda maps: setattr(maps[0], "_items", None), TypeError),       # the list goes away
        (lambda maps: setattr(maps[1], "_items", None), TypeError),       # the expected list goes away
    ],
)
def test_host_code_during_a_comparison_cannot_break_it(hostile, error):
    maps = []

    class Hostile(Item):
        def get(self):
            result = hostile(maps)
            return super().get() if result is None else result

    received = dynamic_map(Hostile(1, DT.UINT8), Hostile(2, DT.UINT8))
    expected = dynamic_map(Item(1, DT.UINT8), Item(2, DT.UINT8))
    f = frame(2)
    f.set_safe_data_bytes(b"\x01\x02")
    received.get_data_from_frame(f, 2)
    maps.extend((received, expected))
    before = counters(received)
    with pytest.raises(error):
        received.is_safedata_correct(expected)
    assert counters(received) == before


def test_a_foreign_object_in_the_list_stops_the_transfer_where_it_is():
    m = dynamic_map(Item(0x0102, DT.UINT16))
    m._items.append("not an item")
    f = frame(4)
    f.set_safe_data_bytes(b"\x09")
    with pytest.raises(TypeError, match="Expected DynamicMappableItem, got str"):
        m.set_data_to_frame(f, 4)
    assert counters(m) == (2, 2, 1, 1, 0)
    assert f.get_safe_data_bytes()[0] == 9  # the frame is not written


def test_a_frame_subclass_is_used_through_its_methods():
    calls = []

    class Recording(ts.FSOEFrame):
        def set_safe_data_bytes(self, data):
            calls.append(data)
            super().set_safe_data_bytes(data)

        def get_safe_data_bytes(self):
            return b"\xAB" * 16

    f = Recording()
    f.safe_data_size_bytes = 2
    sent = dynamic_map(Item(0x1234, DT.UINT16))
    sent.set_data_to_frame(f, 2)
    assert calls == [b"\x34\x12"]
    received = dynamic_map(Item(0, DT.UINT16))
    received.get_data_from_frame(f, 2)
    assert received._items[0].raw_value == 0xABAB


def test_transfers_do_not_leak(no_leak):
    sent = dynamic_map(*(Item(i, DT.UINT32) for i in range(4)))
    received = dynamic_map(*(Item(0, DT.UINT32) for _ in range(4)))
    f = frame(16)

    def cycle():
        sent.set_data_to_frame(f, 16)
        received.get_data_from_frame(f, 16)
        received.is_safedata_correct(sent)
        sent.clear()
        received.clear()
        for i in range(4):
            sent.add(Item(i, DT.UINT32))
            received.add(Item(0, DT.UINT32))

    no_leak(cycle)
