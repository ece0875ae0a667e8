import math

import pytest
from hypothesis import given, strategies as st

import tamsel.tamsel as ts

DT = ts.DataType
Input, Output, InOut = ts.DictionaryItemInput, ts.DictionaryItemOutput, ts.DictionaryItemInputOutput
Base = ts.DictionaryItem


class Recorder:
    def __init__(self, item):
        self.item = item
        self.seen = []

    def __call__(self):
        self.seen.append(self.item.get())


def test_class_tree_and_fixed_layout():
    assert all(kind.__bases__ == (Base,) and kind.__doc__ is None for kind in (Input, Output, InOut))
    assert Base.__doc__ == "Dictionary Item" and Base.key.__doc__ == "Unique integer key that identifies the item"
    item = Output(1, "a", DT.UINT8)
    for name in ("extra", "key", "_value"):
        with pytest.raises(AttributeError):
            setattr(item, name, 1)


def test_fields_and_initial_values():
    fail_safe = object()
    item = Input(7, "door", DT.BOOL, fail_safe)
    assert (item.key, item.name, item.data_type) == (7, "door", DT.BOOL)
    assert item.get() is fail_safe and item._value is fail_safe and item.fail_safe_value is fail_safe
    assert item._DictionaryItemInput__changed_subscribers == []
    out = Output(8, "speed", DT.FLOAT)
    assert out.get() == 0.0 and type(out._value) is float
    both = InOut(key=9, name="io", data_type=DT.INT16, fail_safe_input_value=-3)
    assert both.get() == -3 and both.value_input == -3 and both.fail_safe_input_value == -3
    assert both.value_output == 0 and type(both.value_output) is int
    assert both._DictionaryItemInputOutput__changed_input_subscribers == []


@pytest.mark.parametrize(
    "args,error,message",
    [
        ((True, "a", DT.BOOL), TypeError, "Argument 'key' has incorrect type (expected int, got bool)"),
        (("1", "a", DT.BOOL), TypeError, "Argument 'key' has incorrect type (expected int, got str)"),
        ((1, b"a", DT.BOOL), TypeError, "Argument 'name' has incorrect type (expected str, got bytes)"),
        ((2**31, "a", DT.BOOL), OverflowError, "value too large to convert to int32_t"),
        ((-(2**31) - 1, "a", DT.BOOL), OverflowError, "value too large to convert to int32_t"),
        ((1, "a"), TypeError, "__init__() takes exactly 3 positional arguments (2 given)"),
    ],
)
def test_constructor_checks(args, error, message):
    with pytest.raises(error) as info:
        Output(*args)
    assert str(info.value) == message


def test_kinds_refuse_what_they_do_not_have():
    item = Base(1, "a", DT.UINT8)
    for call in (item.get, lambda: item.set(1), item._read, lambda: item._write(1),
                 Input(1, "a", DT.UINT8, 0)._read, lambda: Output(1, "a", DT.UINT8)._write(1)):
        with pytest.raises(NotImplementedError):
            call()
    with pytest.raises(TypeError, match="Argument 'value' has incorrect type"):
        item._write("1")  # the check comes first
    out = Output(1, "a", DT.UINT8)
    out.set(4)
    assert item._set_fail_safe() is None and out._set_fail_safe() is None and out.get() == 4


def test_set_on_input_is_refused_and_changes_nothing():
    item = Input(1, "door", DT.BOOL, False)
    with pytest.raises(PermissionError) as info:
        item.set(True)
    assert str(info.value) == "Cannot set safe input item door"
    assert item.get() is False


def test_output_stores_the_object_unchecked_and_read_converts():
    out = Output(1, "a", DT.UINT8)
    out.set(1_000_000_000)
    assert out.get() == 1_000_000_000
    with pytest.raises(ValueError):
        out._read()
    marker = [1]
    out.set(marker)
    assert out.get() is marker
    out.set(200)
    assert out._read() == 200


def test_input_output_set_leaves_the_input_side_alone():
    item = InOut(1, "io", DT.UINT8, 9)
    rec = Recorder(item)
    item.subscribe_input_changed(rec)
    item.set(5)
    assert (item.value_output, item.value_input, item.get(), item._read()) == (5, 9, 9, 5)
    item._write(6)
    assert (item.value_output, item.value_input, rec.seen) == (5, 6, [6])


@pytest.mark.parametrize("kind", ["input", "inout"])
def test_notification_once_per_real_change(kind):
    item = Input(1, "a", DT.BOOL, False) if kind == "input" else InOut(1, "a", DT.BOOL, False)
    subscribe = item.subscribe_changed if kind == "input" else item.subscribe_input_changed
    first, second = Recorder(item), Recorder(item)
    order = []
    subscribe(first)
    subscribe(lambda: order.append("second"))
    subscribe(first)  # already there
    subscribe(second)
    item._write(1)
    assert item.get() is True
    item._write(1)
    item._write(7)  # still True
    assert first.seen == [True] and second.seen == [True] and order == ["second"]
    item._set_fail_safe()
    assert first.seen == [True, False] and item.get() is False
    item._set_fail_safe()
    assert len(first.seen) == 2


def test_subscription_order_and_unsubscribe():
    item = Input(1, "a", DT.UINT8, 0)
    calls = []
    callbacks = [lambda i=i: calls.append(i) for i in range(3)]
    for cb in callbacks:
        item.subscribe_changed(cb)
    item.unsubscribe_changed(callbacks[1])
    item.unsubscribe_changed(callbacks[1])  # unknown: nothing happens
    item.unsubscribe_changed(print)
    item._write(5)
    assert calls == [0, 2]
    assert item._DictionaryItemInput__changed_subscribers == [callbacks[0], callbacks[2]]


@pytest.mark.parametrize("kind", ["input", "inout"])
def test_the_subscriber_list_is_one_list_until_the_item_is_constructed_again(kind):
    item = Input(1, "a", DT.UINT8, 0) if kind == "input" else InOut(1, "a", DT.UINT8, 0)
    subscribe = item.subscribe_changed if kind == "input" else item.subscribe_input_changed
    private = ("_DictionaryItemInput__changed_subscribers" if kind == "input"
               else "_DictionaryItemInputOutput__changed_input_subscribers")
    calls = []
    listed = getattr(item, private)  # read before anybody subscribed
    assert listed == [] and getattr(item, private) is listed
    subscribe(lambda: calls.append("subscribed"))
    listed.append(lambda: calls.append("appended"))
    item._write(3)
    assert getattr(item, private) is listed and calls == ["subscribed", "appended"]
    item.__init__(1, "a", DT.UINT8, 0)
    fresh = getattr(item, private)
    assert fresh == [] and fresh is not listed and len(listed) == 2
    item._write(4)  # the old list is nobody's any more
    subscribe(lambda: calls.append("again"))
    item._write(5)
    assert getattr(item, private) is fresh and calls == ["subscribed", "appended", "again"]


def test_bound_methods_are_equal_subscribers():
    item = Input(1, "a", DT.UINT8, 0)
    rec = []
    listener = type("Listener", (), {"changed": lambda self: rec.append(1)})()
    item.subscribe_changed(listener.changed)
    item.subscribe_changed(listener.changed)
    item._write(3)
    item.unsubscribe_changed(listener.changed)
    item._write(4)
    assert rec == [1]


@pytest.mark.parametrize(
    "data_type,fail_safe,raw",
    [(DT.UINT8, 1, 1), (DT.UINT8, 1.0, 1), (DT.UINT8, True, 1), (DT.BOOL, 1, 1), (DT.BOOL, 1.0, 5),
     (DT.FLOAT, 1, 0x3F800000), (DT.FLOAT, True, 0x3F800000), (DT.INT8, -1.0, 0xFF)],
)
def test_equal_values_of_other_types_do_not_notify(data_type, fail_safe, raw):
    item = Input(1, "a", data_type, fail_safe)
    rec = Recorder(item)
    item.subscribe_changed(rec)
    item._write(raw)
    assert rec.seen == [] and item.get() is fail_safe


def test_values_are_compared_with_the_hosts_not_equal():
    class Value:
        def __init__(self, ne):
            self.ne = ne
            self.asked = 0

        def __ne__(self, other):
            self.asked += 1
            return self.ne

    same = Value(False)
    item = Input(1, "a", DT.UINT8, same)
    rec = Recorder(item)
    item.subscribe_changed(rec)
    item._write(3)
    assert same.asked == 1 and item.get() is same and rec.seen == []
    # int's != gives way to the reflected operation of the new value
    other = Input(2, "b", DT.UINT8, 0)
    other_rec = Recorder(other)
    other.subscribe_changed(other_rec)
    different = Value(True)
    other._DictionaryItemInput__set_value(different)
    assert other.get() is different and other_rec.seen == [different] and different.asked == 1
    # NaN differs from itself: every write stores and notifies
    nan_item = Input(3, "f", DT.FLOAT, math.nan)
    nan_rec = Recorder(nan_item)
    nan_item.subscribe_changed(nan_rec)
    nan_item._write(0x7FC00000)
    nan_item._write(0x7FC00000)
    assert len(nan_rec.seen) == 2


def test_subscriber_exception_propagates_after_the_store():
    item = Input(1, "a", DT.UINT8, 0)
    later = []

    def boom():
        raise RuntimeError("boom")

    item.subscribe_changed(boom)
    item.subscribe_changed(lambda: later.append(1))
    with pytest.raises(RuntimeError, match="boom"):
        item._write(9)
    assert item.get() == 9 and later == []
    item._write(9)  # unchanged now: nobody is called
    with pytest.raises(RuntimeError):
        item._set_fail_safe()
    assert item.get() == 0


def test_subscriber_may_unsubscribe_itself():
    item = Input(1, "a", DT.UINT8, 0)
    calls = []

    def once():
        calls.append("once")
        item.unsubscribe_changed(once)

    item.subscribe_changed(once)
    item.subscribe_changed(lambda: calls.append("other"))
    item._write(1)
    item._write(2)
    # the live list is walked: removing the current entry skips the next one this time
    assert calls == ["once", "other"]


@pytest.mark.parametrize(
    "value,message",
    [(True, "bool"), (1.0, "float"), ("1", "str"), (None, "NoneType")],
)
def test_write_wants_an_exact_int_and_changes_nothing(value, message):
    item = Input(1, "a", DT.UINT8, 0)
    rec = Recorder(item)
    item.subscribe_changed(rec)
    with pytest.raises(TypeError) as info:
        item._write(value)
    assert str(info.value) == f"Argument 'value' has incorrect type (expected int, got {message})"
    assert item.get() == 0 and rec.seen == []


def test_conversion_error_in_write_leaves_value_and_subscribers():
    item = InOut(1, "a", DT.FLOAT, 2.5)
    rec = Recorder(item)
    item.subscribe_input_changed(rec)
    with pytest.raises(OverflowError):
        item._write(1 << 32)
    assert item.get() == 2.5 and rec.seen == []


@pytest.mark.parametrize("data_type", list(DT))
@given(data=st.data())
def test_write_then_read_back_the_integer_form(data_type, data):
    raw = data.draw(st.integers(0, (1 << data_type.bits) - 1))
    item = InOut(1, "a", data_type, None)  # unequal to every value, so the first write stores
    item._write(raw)
    item.set(item.get())
    assert item._read() == raw


def test_read_checks_a_foreign_serializer_result():
    class FakeType:
        def __init__(self, result):
            self.result = result

        def serialize_value(self, value):
            return self.result

        def unserialize_value(self, value):
            return ("unserialized", value)

        def get_initial_value(self):
            return "initial"

    out = Output(1, "a", FakeType(5))
    assert out.get() == "initial" and out._read() == 5
    assert Output(1, "a", FakeType(None))._read() is None
    with pytest.raises(TypeError, match="^Expected int, got str$"):
        Output(1, "a", FakeType("5"))._read()
    item = Input(1, "a", FakeType(0), None)
    item._write(3)
    assert item.get() == ("unserialized", 3)


def test_host_subclasses():
    class Tracked(Input):
        def __init__(self, key, name):
            super().__init__(key, name, DT.UINT16, 0)
            self.note = "subclass instances take attributes"

    item = Tracked(3, "t")
    assert isinstance(item, Base) and item.note
    item._write(0xFFFF)
    assert item.get() == 0xFFFF
    with pytest.raises(PermissionError, match="^Cannot set safe input item t$"):
        item.set(1)


def test_uninitialised_instances_are_safe():
    item = Input.__new__(Input)
    assert item.name is None and item.get() is None
    item._set_fail_safe()
    item.subscribe_changed(print)
    with pytest.raises(PermissionError, match="^Cannot set safe input item None$"):
        item.set(1)


def test_items_do_not_leak(no_leak):
    def cycle():
        item = Input(1, "a", DT.UINT16, 0)
        item.subscribe_changed(lambda: item.get())  # a reference cycle through the subscriber
        item._write(5)
        item._write(5)
        item._set_fail_safe()
        both = InOut(2, "b", DT.FLOAT, 0.0)
        both._write(0x3F800000)
        both.set(2.5)
        both._read()
        out = Output(3, "c", DT.INT8)
        out.set(300)
        try:
            out._read()
        except ValueError:
            pass
        try:
            Output(True, "x", DT.BOOL)
        except TypeError:
            pass

    no_leak(cycle)
