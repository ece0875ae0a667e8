import pytest

import tamsel.tamsel as ts

DT = ts.DataType


def make_items():
    return [
        ts.DictionaryItemInput(1, "door", DT.BOOL, False),
        ts.DictionaryItemOutput(2, "speed", DT.UINT16),
        ts.DictionaryItemInputOutput(3, "torque", DT.INT16, -1),
    ]


def test_maps_in_construction_order_share_the_items():
    items = make_items()
    d = ts.Dictionary(items)
    assert list(d.key_map) == [1, 2, 3] and list(d.name_map) == ["door", "speed", "torque"]
    assert all(d.key_map[i.key] is i is d.name_map[i.name] for i in items)
    assert d.key_map is d.key_map
    assert ts.Dictionary.__doc__ == "Dictionary of safe items of a slave"
    empty = ts.Dictionary([])
    assert empty.key_map == {} and empty.name_map == {}
    empty._set_inputs_to_failsafe()


class Plain:
    """Anything with a key and a name is accepted."""

    def __init__(self, key, name):
        self.key, self.name = key, name


@pytest.mark.parametrize(
    "items,message",
    [
        ([Plain(5, "a"), Plain(5, "b")], "Duplicated Key 5"),
        ([Plain(1, "speed"), Plain(2, "speed")], "Duplicated name speed"),
        ([Plain(1, "x"), Plain(2, "y"), Plain(1, "y")], "Duplicated Key 1"),
        # the key is checked before the name is read
        ([Plain(5, "a"), type("KeyOnly", (), {"key": 5})()], "Duplicated Key 5"),
    ],
)
def test_duplicates(items, message):
    with pytest.raises(ValueError) as info:
        ts.Dictionary(items)
    assert str(info.value) == message


@pytest.mark.parametrize("items", [tuple(make_items()), None, type("L", (list,), {})()])
def test_items_must_be_a_list(items):
    with pytest.raises(TypeError) as info:
        ts.Dictionary(items)
    assert str(info.value) == f"Argument 'items' has incorrect type (expected list, got {type(items).__name__})"


def test_failed_reconstruction_keeps_the_old_maps():
    d = ts.Dictionary(make_items())
    with pytest.raises(ValueError):
        d.__init__([Plain(1, "a"), Plain(1, "b")])
    assert list(d.key_map) == [1, 2, 3]


def test_get_and_set_by_name():
    items = make_items()
    d = ts.Dictionary(items)
    assert d.get("speed") == 0
    d.set("speed", 1234)
    assert d.get("speed") == 1234 and items[1].get() == 1234
    d.set("torque", 7)
    assert items[2].value_output == 7 and d.get("torque") == -1
    with pytest.raises(PermissionError) as info:
        d.set("door", True)
    assert str(info.value) == "Cannot set safe input item door"
    assert d.get("door") is False


def test_integer_form_by_key():
    items = make_items()
    d = ts.Dictionary(items)
    d.set("speed", 0xBEEF)
    assert d._read(2) == 0xBEEF
    d._write(3, 0xFFFE)
    assert items[2].get() == -2
    with pytest.raises(NotImplementedError):
        d._read(1)
    with pytest.raises(NotImplementedError):
        d._write(2, 1)
    with pytest.raises(TypeError, match=r"^Argument 'value' has incorrect type \(expected int, got str\)$"):
        d._write(1, "1")


@pytest.mark.parametrize(
    "call,missing",
    [(lambda d: d.get("nope"), "nope"), (lambda d: d.set("nope", 1), "nope"), (lambda d: d._read(99), 99),
     (lambda d: d._write(99, 1), 99)],
)
def test_unknown_names_and_keys(call, missing):
    with pytest.raises(KeyError) as info:
        call(ts.Dictionary(make_items()))
    assert info.value.args == (missing,)


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda d: d.get(b"door"), "Argument 'name' has incorrect type (expected str, got bytes)"),
        (lambda d: d.set(1, 1), "Argument 'name' has incorrect type (expected str, got int)"),
        (lambda d: d._read(True), "Argument 'key' has incorrect type (expected int, got bool)"),
        (lambda d: d._write(2.0, 1), "Argument 'key' has incorrect type (expected int, got float)"),
        (lambda d: d.get(), "get() takes exactly 1 positional argument (0 given)"),
        (lambda d: d._set_inputs_to_failsafe(1),
         "_set_inputs_to_failsafe() takes exactly 0 positional arguments (1 given)"),
    ],
)
def test_argument_types(call, message):
    with pytest.raises(TypeError) as info:
        call(ts.Dictionary(make_items()))
    assert str(info.value) == message


def test_fail_safe_pass_in_insertion_order():
    calls = []
    items = [
        ts.DictionaryItemInput(1, "a", DT.UINT8, 0),
        ts.DictionaryItemOutput(2, "b", DT.UINT8),
        ts.DictionaryItemInputOutput(3, "c", DT.UINT8, 5),
        ts.DictionaryItemInput(4, "d", DT.UINT8, 0),
    ]
    items[0].subscribe_changed(lambda: calls.append("a"))
    items[2].subscribe_input_changed(lambda: calls.append("c"))
    items[3].subscribe_changed(lambda: calls.append("d"))
    d = ts.Dictionary(items)
    d.set("b", 9)
    for key in (1, 3, 4):
        d._write(key, 8)
    calls.clear()
    d._set_inputs_to_failsafe()
    assert calls == ["a", "c", "d"]
    assert [i.get() for i in items] == [0, 9, 5, 0]
    d._set_inputs_to_failsafe()
    assert calls == ["a", "c", "d"]


def test_fail_safe_pass_stops_at_a_raising_subscriber():
    items = [ts.DictionaryItemInput(k, str(k), DT.UINT8, 0) for k in range(3)]
    d = ts.Dictionary(items)
    for item in items:
        item._write(1)

    def boom():
        raise RuntimeError("boom")

    items[1].subscribe_changed(boom)
    with pytest.raises(RuntimeError, match="boom"):
        d._set_inputs_to_failsafe()
    assert [i.get() for i in items] == [0, 0, 1]


def test_fail_safe_pass_refuses_a_map_that_changes_size():
    items = [ts.DictionaryItemInput(k, str(k), DT.UINT8, 0) for k in range(2)]
    d = ts.Dictionary(items)
    items[0]._write(1)
    items[0].subscribe_changed(lambda: d.key_map.pop(1))
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        d._set_inputs_to_failsafe()


def test_host_overrides_are_called():
    log = []

    class Custom(ts.DictionaryItemInputOutput):
        def _read(self):
            log.append("read")
            return 42

        def _write(self, value):
            log.append(("write", value))

        def _set_fail_safe(self):
            log.append("fail_safe")

        def get(self):
            return "custom"

    class Ducky(Plain):
        def _set_fail_safe(self):
            log.append("duck")

    d = ts.Dictionary([Custom(1, "c", DT.UINT8, 0), Ducky(2, "duck")])
    assert d._read(1) == 42 and d.get("c") == "custom"
    d._write(1, 5)
    d._set_inputs_to_failsafe()
    assert log == ["read", ("write", 5), "fail_safe", "duck"]

    class BadRead(ts.DictionaryItemOutput):
        def _read(self):
            return 1.5

    with pytest.raises(TypeError, match="^Expected int, got float$"):
        ts.Dictionary([BadRead(1, "b", DT.UINT8)])._read(1)


def test_dictionary_does_not_leak(no_leak):
    def cycle():
        items = make_items()
        d = ts.Dictionary(items)
        items[0].subscribe_changed(lambda: d.get("door"))  # a cycle through the dictionary
        d._write(1, 1)
        d.set("speed", 3)
        d._read(2)
        d._set_inputs_to_failsafe()
        try:
            d.get("missing")
        except KeyError:
            pass
        try:
            ts.Dictionary([items[0], items[0]])
        except ValueError:
            pass

    no_leak(cycle)
