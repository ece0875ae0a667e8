
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tamsel.tamsel as ts
from map_fixtures import INPUTS, OUTPUTS, make_dictionary

DT = ts.DataType
TOO_BIG = "Frame structure cannot handle more than 16 bytes"


def oracle_words(entries):
    """Safe-data words for (position, bits, integer form) entries, built as one big integer."""
    stream = 0
    for position, bits, value in entries:
        stream |= (value & ((1 << bits) - 1)) << position
    return [(stream >> (16 * k)) & 0xFFFF for k in range(8)]


def oracle_value(words, position, bits):
    stream = sum(word << (16 * k) for k, word in enumerate(words))
    return (stream >> position) & ((1 << bits) - 1)


def frame_with(words):
    frame = ts.FSOEFrame()
    for k, word in enumerate(words):
        frame.safe_data[k] = word
    return frame


def place(dmap, item, position, bits=None):
    """Maps `item` at `position`, with paddings in front and no alignment rule."""
    gap = position - dmap.safety_bits
    if gap:
        dmap.add_padding(gap)
    return dmap.insert(len(dmap), item, bits)


def outputs_map(*items):
    return ts.DictionaryMap(make_dictionary(*items), set(OUTPUTS))


def inputs_map(*items):
    return ts.DictionaryMap(make_dictionary(*items), set(INPUTS))


@pytest.mark.parametrize(
    "layout, words",
    [
        ([], []),
        ([(DT.BOOL, 0, True)], [0x0001]),
        ([(DT.BOOL, 0, True), (DT.UINT8, 1, 0xFF)], [0x01FF]),
        ([(DT.UINT16, 8, 0xABCD)], [0xCD00, 0x00AB]),
        ([(DT.UINT8, 12, 0xA5)], [0x5000, 0x000A]),
        ([(DT.UINT32, 16, 0x12345678)], [0, 0x5678, 0x1234]),
        ([(DT.INT32, 8, -2)], [0xFE00, 0xFFFF, 0x00FF]),
        ([(DT.FLOAT, 96, 1.0)], [0, 0, 0, 0, 0, 0, 0, 0x3F80]),
        ([(DT.INT8, 120, -1)], [0, 0, 0, 0, 0, 0, 0, 0xFF00]),
    ],
)
def test_known_layouts_both_ways(layout, words):
    words = words + [0] * (8 - len(words))
    outs = [ts.DictionaryItemOutput(k, f"o{k}", dt) for k, (dt, _, _) in enumerate(layout)]
    ins = [ts.DictionaryItemInput(k, f"i{k}", dt, dt.get_initial_value()) for k, (dt, _, _) in enumerate(layout)]
    out_map, in_map = outputs_map(*outs), inputs_map(*ins)
    for item, (_, position, value) in zip(outs, layout):
        item.set(value)
        place(out_map, item, position)
    for item, (_, position, _) in zip(ins, layout):
        place(in_map, item, position)
    frame = frame_with([0xFFFF] * 8)  # every bit no entry covers is sent as 0
    out_map._set_data_to_frame(frame)
    assert list(frame.safe_data) == words
    in_map._get_data_from_frame(frame)
    assert [item.get() for item in ins] == [value for _, _, value in layout]


def test_unpacking_notifies_once_and_ignores_padding_bits():
    a = ts.DictionaryItemInput(1, "a", DT.UINT8, 0)
    b = ts.DictionaryItemInputOutput(2, "b", DT.UINT8, 0)
    calls = []
    a.subscribe_changed(lambda: calls.append(("a", a.get())))
    b.subscribe_input_changed(lambda: calls.append(("b", b.get())))
    dmap = inputs_map(a, b)
    dmap.add(a)
    dmap.add_padding(4)
    dmap.add(b)
    frame = frame_with([0x0F07, 0x0009])  # padding bits 8-11 set
    dmap._get_data_from_frame(frame)
    dmap._get_data_from_frame(frame)
    assert calls == [("a", 7), ("b", 0x90)]
    assert b.value_output == 0


@settings(max_examples=150, deadline=None)
@given(st.data())
def test_random_layouts_match_the_oracle(data):
    """Items of every type at every position the rules allow, with random values."""
    outs, ins, entries = [], [], []
    position = 0
    while True:
        dt = data.draw(st.sampled_from(list(DT)))
        gap = data.draw(st.integers(0, 9))
        start = position + gap
        if dt.bits > 8:
            start = -(-start // 8) * 8
        if start + dt.bits > 128:
            break
        if dt is DT.FLOAT:
            value = data.draw(st.floats(width=32, allow_nan=False))
        elif dt is DT.BOOL:
            value = data.draw(st.booleans())
        else:
            value = data.draw(st.integers(dt.min_value, dt.max_value))
        k = len(outs)
        outs.append((start, ts.DictionaryItemOutput(k, f"o{k}", dt), value))
        ins.append((start, ts.DictionaryItemInput(k, f"i{k}", dt, dt.get_initial_value())))
        entries.append((start, dt.bits, dt.serialize_value(value)))
        position = start + dt.bits
    out_map = outputs_map(*[item for _, item, _ in outs])
    in_map = inputs_map(*[item for _, item in ins])
    for start, item, value in outs:
        item.set(value)
        if start > out_map.safety_bits:
            out_map.add_padding(start - out_map.safety_bits)
        out_map.add(item)  # add's own alignment rule accepts every position chosen above
    for start, item in ins:
        place(in_map, item, start)
    frame = ts.FSOEFrame()
    out_map._set_data_to_frame(frame)
    assert list(frame.safe_data) == oracle_words(entries)

    noise = data.draw(st.lists(st.integers(0, 0xFFFF), min_size=8, max_size=8))
    in_map._get_data_from_frame(frame_with(noise))
    for start, item in ins:
        expected = oracle_value(noise, start, item.data_type.bits)
        assert item.data_type.serialize_value(item.get()) == expected


def test_value_wider_than_its_entry_is_cut():
    wide = ts.DictionaryItemOutput(1, "wide", DT.UINT8)
    flag = ts.DictionaryItemOutput(2, "flag", DT.BOOL)
    dmap = outputs_map(wide, flag)
    dmap.add(wide, bits=4)
    dmap.add(flag)
    wide.set(0xFF)
    frame = ts.FSOEFrame()
    dmap._set_data_to_frame(frame)
    assert frame.safe_data[0] == 0x000F  # flag (bit 4) stays False


def test_width_zero_entries_move_nothing():
    out = ts.DictionaryItemOutput(1, "out", DT.UINT8)
    follow = ts.DictionaryItemOutput(2, "follow", DT.UINT8)
    dmap = outputs_map(out, follow)
    dmap.add(out, bits=0)
    dmap.add_padding(0)
    dmap.add(follow)
    out.set(0xFF)
    follow.set(0x12)
    frame = ts.FSOEFrame()
    dmap._set_data_to_frame(frame)
    assert list(frame.safe_data) == [0x12] + [0] * 7

    sensor = ts.DictionaryItemInput(1, "sensor", DT.UINT8, 9)
    after = ts.DictionaryItemInput(2, "after", DT.UINT8, 0)
    in_map = inputs_map(sensor, after)
    in_map.add(sensor, bits=0)
    in_map.add(after)
    in_map._get_data_from_frame(frame_with([0xFF12]))
    assert (sensor.get(), after.get()) == (0, 0x12)


def test_entries_wider_than_64_bits():
    item = ts.DictionaryItemInput(1, "big", DT.UINT8, 0)
    dmap = inputs_map(item)
    entry = dmap.add(item)
    dmap.set_bits(entry, 100)
    words = [0xFFFF] * 7 + [0]
    dmap._get_data_from_frame(frame_with(words))
    assert item.get() == (1 << 100) - 1

    out = ts.DictionaryItemOutput(1, "out", DT.UINT32)
    out_map = outputs_map(out)
    out_map.set_bits(out_map.add(out), 128)
    out.set(0xDEADBEEF)
    frame = ts.FSOEFrame()
    out_map._set_data_to_frame(frame)
    assert list(frame.safe_data) == [0xBEEF, 0xDEAD, 0, 0, 0, 0, 0, 0]


@pytest.mark.parametrize("direction", ["pack", "unpack"])
def test_maps_beyond_the_safe_data_are_refused(direction):
    items = [ts.DictionaryItemInputOutput(k, f"x{k}", DT.UINT32, 7) for k in range(5)]
    dmap = ts.DictionaryMap(make_dictionary(*items), set(OUTPUTS))
    for item in items[:4]:
        dmap.add(item)
    dmap.add_padding(1)
    frame = frame_with([0x5555] * 8)
    with pytest.raises(ValueError) as error:
        if direction == "pack":
            dmap._set_data_to_frame(frame)
        else:
            dmap._get_data_from_frame(frame)
    assert str(error.value) == TOO_BIG
    assert list(frame.safe_data) == [0x5555] * 8 and all(item.get() == 7 for item in items)
    dmap.remove(dmap[-1])  # exactly 16 bytes again
    dmap._get_data_from_frame(frame)
    assert items[0].get() == 0x55555555


def test_read_failure_keeps_the_entries_before_it():
    items = [ts.DictionaryItemOutput(k, f"o{k}", DT.UINT8) for k in range(3)]
    dmap = outputs_map(*items)
    for k, item in enumerate(items):
        dmap.add(item)
        item.set(k + 1)
    items[1].set(1000)
    frame = frame_with([0xFFFF] * 8)
    with pytest.raises(ValueError):
        dmap._set_data_to_frame(frame)
    assert list(frame.safe_data) == [0x0001] + [0] * 7


def test_write_failure_keeps_the_entries_after_it():
    items = [ts.DictionaryItemInput(k, f"i{k}", DT.UINT8, 0) for k in range(3)]
    dmap = inputs_map(*items)
    for item in items:
        dmap.add(item)

    def boom():
        raise RuntimeError("subscriber")

    items[1].subscribe_changed(boom)
    with pytest.raises(RuntimeError):
        dmap._get_data_from_frame(frame_with([0x0201, 0x0003]))
    assert [item.get() for item in items] == [1, 2, 0]


def test_host_subclasses_of_items_are_called():
    class Doubled(ts.DictionaryItemOutput):
        def _read(self):
            return 2 * super()._read()

    class Recorder(ts.DictionaryItemInput):
        def _write(self, value):
            written.append(value)

    class NotAnInt(ts.DictionaryItemOutput):
        def _read(self):
            return "7"

    written = []
    out, rec, bad = Doubled(1, "out", DT.UINT8), Recorder(2, "rec", DT.UINT8, 0), NotAnInt(3, "bad", DT.UINT8)
    out_map = ts.DictionaryMap(make_dictionary(out, bad), {Doubled, NotAnInt})
    in_map = ts.DictionaryMap(make_dictionary(rec), {Recorder})
    out_map.add(out, bits=4)
    out.set(5)
    frame = ts.FSOEFrame()
    out_map._set_data_to_frame(frame)
    assert frame.safe_data[0] == 10
    in_map.add(rec)
    in_map._get_data_from_frame(frame)
    assert written == [10]
    out_map.add(bad)
    with pytest.raises(TypeError) as error:
        out_map._set_data_to_frame(frame)
    assert str(error.value) == "Expected int, got str"


def test_layout_edits_between_transfers_are_seen():
    a = ts.DictionaryItemOutput(1, "a", DT.UINT8)
    b = ts.DictionaryItemOutput(2, "b", DT.UINT8)
    dmap = outputs_map(a, b)
    ea = dmap.add(a)
    dmap.add(b)
    a.set(0x11)
    b.set(0x22)
    frame = ts.FSOEFrame()
    dmap._set_data_to_frame(frame)
    assert frame.safe_data[0] == 0x2211
    dmap.move_item_down(ea)
    dmap._set_data_to_frame(frame)
    assert frame.safe_data[0] == 0x1122
    dmap[1]._set_position_bits(12)  # the host moving an entry by hand
    dmap._set_data_to_frame(frame)
    assert (frame.safe_data[0], frame.safe_data[1]) == (0x1022, 0x0001)


def test_subscriber_editing_the_map_during_unpacking():
    a = ts.DictionaryItemInput(1, "a", DT.UINT8, 0)
    b = ts.DictionaryItemInput(2, "b", DT.UINT8, 0)
    dmap = inputs_map(a, b)
    dmap.add(a)
    dmap.add(b)
    a.subscribe_changed(dmap.clear)
    dmap._get_data_from_frame(frame_with([0x0201]))
    assert (a.get(), b.get(), len(dmap)) == (1, 2, 0)


@pytest.mark.parametrize("method", ["_set_data_to_frame", "_get_data_from_frame"])
def test_frame_argument_type(method):
    dmap = outputs_map()
    with pytest.raises(TypeError) as error:
        getattr(dmap, method)(None)
    assert str(error.value) == "Argument 'frame' has incorrect type (expected tamsel.tamsel.FSOEFrame, got NoneType)"

    class MyFrame(ts.FSOEFrame):
        pass

    getattr(dmap, method)(MyFrame())


def test_transfer_does_not_leak(no_leak):
    outs = [ts.DictionaryItemOutput(k, f"o{k}", DT.UINT8) for k in range(16)]
    ins = [ts.DictionaryItemInput(k, f"i{k}", DT.UINT8, 0) for k in range(16)]
    out_map, in_map = outputs_map(*outs), inputs_map(*ins)
    for item in outs:
        out_map.add(item)
    for item in ins:
        in_map.add(item)
    frame = ts.FSOEFrame()
    counter = iter(range(10**9))

    def cycle():
        n = next(counter)
        outs[n % 16].set(n % 256)
        out_map._set_data_to_frame(frame)
        in_map._get_data_from_frame(frame)

    no_leak(cycle)


def test_packing_follows_every_value_and_type_change():
    item = ts.DictionaryItemOutput(1, "x", DT.UINT8)
    dmap = outputs_map(item)
    dmap.add(item, bits=16)
    dmap._lock()  # the transfer works on locked maps
    frame = ts.FSOEFrame()
    for value, expected in [(3, 3), (3, 3), (0, 0), (1000, ValueError), (1000, ValueError), (True, TypeError), (7, 7),
                            (255, 255)]:
        item.set(value)
        if isinstance(expected, int):
            dmap._set_data_to_frame(frame)
            assert frame.safe_data[0] == expected
        else:
            with pytest.raises(expected):
                dmap._set_data_to_frame(frame)
    minus_one = -1
    item.__init__(1, "x", DT.INT16)  # the same item, now signed
    item.set(minus_one)
    dmap._set_data_to_frame(frame)
    assert frame.safe_data[0] == 0xFFFF
    item.__init__(1, "x", DT.INT8)
    item.set(minus_one)
    dmap._set_data_to_frame(frame)
    assert frame.safe_data[0] == 0x00FF


def test_a_map_in_a_reference_cycle_is_collected():
    import gc

    collected = []

    class Holder(ts.DictionaryItemOutput):
        def __del__(self):
            collected.append(True)

    item = Holder(1, "h", DT.UINT8)
    dmap = ts.DictionaryMap(make_dictionary(item), {Holder})
    dmap.add(item)
    dmap._set_data_to_frame(ts.FSOEFrame())  # the transfer view refers to the item as well
    item.owner = dmap
    del item, dmap
    gc.collect()
    assert collected == [True]


def test_unpacking_the_same_data_follows_every_other_change_of_the_input():
    sensor = ts.DictionaryItemInput(1, "sensor", DT.UINT8, 0)
    level = ts.DictionaryItemInput(2, "level", DT.FLOAT, 0.0)
    calls = []
    sensor.subscribe_changed(lambda: calls.append(("sensor", sensor.get())))
    level.subscribe_changed(lambda: calls.append(("level", level.get())))
    dictionary = make_dictionary(sensor, level)
    dmap = ts.DictionaryMap(dictionary, set(INPUTS))
    dmap.add(sensor)
    dmap.add(level, align_to_bits=16)
    frame = frame_with([0x0007, 0x0000, 0x3F80])  # 7, then 1.0
    dmap._get_data_from_frame(frame)
    sensor._write(9)  # another writer between two frames
    dmap._get_data_from_frame(frame)
    dictionary._set_inputs_to_failsafe()
    dmap._get_data_from_frame(frame)
    assert calls == [("sensor", 7), ("level", 1.0), ("sensor", 9), ("sensor", 7), ("sensor", 0), ("level", 0.0),
                     ("sensor", 7), ("level", 1.0)]
    calls.clear()
    nan = frame_with([0x0007, 0x0000, 0x7FC0])  # a NaN never equals the value it replaces
    dmap._get_data_from_frame(nan)
    dmap._get_data_from_frame(nan)
    assert [name for name, _ in calls] == ["level", "level"]


def test_an_item_given_another_class_between_transfers_is_read_and_written_as_that_class():
    class Doubled(ts.DictionaryItemOutput):
        __slots__ = ()  # the same layout, so an item may take this class

        def _read(self):
            return 2 * super()._read()

    class Recorder(ts.DictionaryItemInput):
        __slots__ = ()

        def _write(self, value):
            written.append(value)

    written = []
    out = ts.DictionaryItemOutput(1, "out", DT.UINT8)
    sensor = ts.DictionaryItemInput(2, "sensor", DT.UINT8, 0)
    out_map = ts.DictionaryMap(make_dictionary(out), {ts.DictionaryItemOutput, Doubled})
    in_map = ts.DictionaryMap(make_dictionary(sensor), {ts.DictionaryItemInput, Recorder})
    out_map.add(out)
    in_map.add(sensor)
    out.set(5)
    frame = frame_with([0x0003])
    packed = []
    for cls_out, cls_in in [(None, None), (Doubled, Recorder), (ts.DictionaryItemOutput, ts.DictionaryItemInput)]:
        if cls_out:
            out.__class__, sensor.__class__ = cls_out, cls_in
        for _ in range(2):  # the second transfer of the same values as well
            out_map._set_data_to_frame(frame)
            packed.append(frame.safe_data[0])
            frame.safe_data[0] = 3
            in_map._get_data_from_frame(frame)
    assert packed == [5, 5, 10, 10, 5, 5]
    assert written == [3, 3] and sensor.get() == 3


def test_host_code_editing_the_map_during_packing():
    class Clearing(ts.DictionaryItemOutput):
        def _read(self):
            dmap.clear()
            dmap._set_data_to_frame(ts.FSOEFrame())  # the map prepares its new layout
            return super()._read()

    items = [ts.DictionaryItemOutput(k, f"o{k}", DT.UINT8) for k in range(3)]
    clearing = Clearing(9, "clearing", DT.UINT8)
    dmap = ts.DictionaryMap(make_dictionary(*items, clearing), {ts.DictionaryItemOutput, Clearing})
    for k, item in enumerate(items):
        item.set(k + 1)
        dmap.add(item)
    dmap.insert(1, clearing)
    clearing.set(0x44)
    frame = ts.FSOEFrame()
    dmap._set_data_to_frame(frame)  # the transfer goes on over the layout it started with
    assert (frame.safe_data[0], frame.safe_data[1], len(dmap)) == (0x4401, 0x0302, 0)


def two_inputs(maps=1):
    """Two UINT8 inputs mapped in this order into `maps` maps of their own dictionary."""
    first = ts.DictionaryItemInput(1, "first", DT.UINT8, 0)
    second = ts.DictionaryItemInput(2, "second", DT.UINT8, 0)
    made = [inputs_map(first, second) for _ in range(maps)]
    for dmap in made:
        dmap.add(first)
        dmap.add(second)
    return first, second, made


def _remap_reversed(dmap, first, second):
    dmap.clear()
    dmap.add(second)
    dmap.add(first)


@pytest.mark.parametrize(
    "disturb, expected",
    [
        (lambda first, second, maps: first._write(99), (3, 4)),
        (lambda first, second, maps: second._set_fail_safe(), (3, 4)),
        (lambda first, second, maps: first.__init__(1, "first", DT.INT8, -1), (3, 4)),
        (lambda first, second, maps: maps[1]._get_data_from_frame(frame_with([0x0505])), (3, 4)),
        (lambda first, second, maps: _remap_reversed(maps[0], first, second), (4, 3)),
    ],
    ids=["write", "fail-safe", "init", "other-map", "layout"],
)
def test_unpacking_the_same_frame_again_restores_whatever_changed_in_between(disturb, expected):
    first, second, maps = two_inputs(maps=2)
    frame = frame_with([0x0403])
    maps[0]._get_data_from_frame(frame)
    maps[0]._get_data_from_frame(frame)
    disturb(first, second, maps)
    maps[0]._get_data_from_frame(frame)
    assert (first.get(), second.get()) == expected


def test_a_subscriber_changing_an_input_during_unpacking_is_undone_by_the_next_frame():
    first, second, (dmap,) = two_inputs()
    second.subscribe_changed(lambda: first._write(200))
    frame = frame_with([0x0403])
    dmap._get_data_from_frame(frame)
    assert first.get() == 200
    dmap._get_data_from_frame(frame)
    assert (first.get(), second.get()) == (3, 4)


def _as_output(item):
    item.__class__ = ts.DictionaryItemOutput
    return item.get()


def _retyped(item):
    ts.DictionaryItem.__init__(item, 1, "in", DT.INT8)  # the value stays what it was
    return item.get()


@pytest.mark.parametrize(
    "data_type, words, value",
    [(DT.BOOL, [1], True), (DT.UINT8, [0xFE], 254), (DT.INT16, [0xFFFE], -2), (DT.FLOAT, [0, 0x3FC0], 1.5)],
)
@pytest.mark.parametrize(
    "read",
    [lambda item: item.get(), lambda item: item._value, _as_output, _retyped],
    ids=["get", "slot", "as-output", "retyped"],
)
def test_a_value_unpacked_into_a_known_input_reads_back_as_its_type(data_type, words, value, read):
    item = ts.DictionaryItemInput(1, "in", data_type, data_type.get_initial_value())
    dmap = inputs_map(item)
    dmap.add(item)
    dmap._get_data_from_frame(frame_with([0] * len(words)))  # the map now knows the input
    dmap._get_data_from_frame(frame_with(words))
    got = read(item)
    assert (type(got), got) == (type(value), value)
    assert item.get() is got  # the same object on every read


@pytest.mark.parametrize("warm", [False, True], ids=["first-frame", "known-inputs"])
def test_a_subscriber_changing_its_own_input_is_undone_by_the_next_frame(warm):
    first, second, (dmap,) = two_inputs()
    if warm:
        dmap._get_data_from_frame(frame_with([0x0201]))
    pending = [200]
    second.subscribe_changed(lambda: pending and second._write(pending.pop()))
    frame = frame_with([0x0403])
    dmap._get_data_from_frame(frame)
    assert second.get() == 200
    dmap._get_data_from_frame(frame)
    assert (first.get(), second.get()) == (3, 4)


class Recording(ts.DictionaryItemInput):
    __slots__ = ()
    written = []

    def _write(self, value):
        Recording.written.append(value)


@pytest.mark.parametrize(
    "disturb, expected",
    [
        (lambda item: item._write(9), (2, [])),
        (lambda item: setattr(item, "__class__", Recording), (2, [2])),
    ],
    ids=["value", "class"],
)
def test_a_subscriber_changing_a_later_input_during_unpacking_has_it_written_as_the_frame_says(disturb, expected):
    first, second, (dmap,) = two_inputs()
    dmap._get_data_from_frame(frame_with([0x0201]))
    Recording.written = []
    first.subscribe_changed(lambda: disturb(second))
    dmap._get_data_from_frame(frame_with([0x0203]))  # only the first input changes
    assert (second.get(), Recording.written) == expected


@pytest.mark.parametrize(
    "change",
    [
        lambda item: item.set(9),
        lambda item: item.__init__(1, "out", DT.INT8),
        lambda item: setattr(item, "__class__", Tripled),
    ],
    ids=["set", "init", "class"],
)
def test_packing_again_follows_a_change_between_transfers(change):
    item = ts.DictionaryItemOutput(1, "out", DT.UINT8)
    dmap = ts.DictionaryMap(make_dictionary(item), {ts.DictionaryItemOutput, Tripled})
    dmap.add(item)
    item.set(2)
    frame = ts.FSOEFrame()
    dmap._set_data_to_frame(frame)
    dmap._set_data_to_frame(frame)
    change(item)
    dmap._set_data_to_frame(frame)
    assert frame.safe_data[0] == item._read()


class Tripled(ts.DictionaryItemOutput):
    __slots__ = ()

    def _read(self):
        return 3 * super()._read()


def _class_behind_the_stamp(item, cls):
    object.__dict__["__class__"].__set__(item, cls)  # object's own setter: the item's stamp stays


@pytest.mark.parametrize("assign", [_class_behind_the_stamp, lambda item, cls: setattr(item, "__class__", cls)],
                         ids=["same-stamp", "item-setter"])
def test_an_input_given_another_class_between_frames_takes_that_class_s_write(assign):
    first, second, (dmap,) = two_inputs()
    dmap._get_data_from_frame(frame_with([0x0201]))
    dmap._get_data_from_frame(frame_with([0x0201]))  # the map knows both inputs
    Recording.written = []
    assign(second, Recording)
    dmap._get_data_from_frame(frame_with([0x0203]))  # the second input's form stays 2
    assert Recording.written == [2]
    assign(second, ts.DictionaryItemInput)
    dmap._get_data_from_frame(frame_with([0x0204]))
    assert (first.get(), second.get(), Recording.written) == (4, 2, [2])
