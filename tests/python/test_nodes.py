import pytest

import tamsel.tamsel as ts

DT = ts.DataType
Param = ts.ApplicationParameter


class StandIn:
    """The part of a handler a parameter looks at."""

    def __init__(self, running=False):
        self.running = running


def dictionary():
    return ts.Dictionary([
        ts.DictionaryItemOutput(1, "out16", DT.UINT16),
        ts.DictionaryItemOutput(2, "out32", DT.UINT32),
        ts.DictionaryItemInput(3, "in8", DT.UINT8, 0),
    ])


OUTPUTS = {ts.DictionaryItemOutput, ts.DictionaryItemInputOutput}


def node(editable=True, parameters=None, d=None):
    return ts.Node(1, 2, 100, [] if parameters is None else parameters, d or dictionary(), set(OUTPUTS),
                   dictionary_map_is_editable=editable)


# ---- ApplicationParameter ----

@pytest.mark.parametrize(
    "kwargs, data_type",
    [
        ({"n_bytes": 1}, DT.UINT8),
        ({"n_bytes": 2}, DT.UINT16),
        ({"n_bytes": 4}, DT.UINT32),
        ({"data_type": DT.INT16}, DT.INT16),
        ({"data_type": DT.BOOL, "n_bytes": 1}, DT.BOOL),
        ({"data_type": DT.FLOAT, "n_bytes": 4}, DT.FLOAT),
    ],
)
def test_parameter_data_type(kwargs, data_type):
    p = Param("p", 1, **kwargs)
    assert (p.name, p.data_type, p.n_bytes, p.value) == ("p", data_type, data_type.bytes, 1)
    assert isinstance(p, ts.DynamicMappableItem)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({}, "data type or number of bytes for application parameter must be specified"),
        ({"n_bytes": None, "data_type": None},
         "data type or number of bytes for application parameter must be specified"),
        ({"n_bytes": 3}, "n_bytes must be 1, 2 or 4, or type be specified"),
        ({"n_bytes": 0}, "n_bytes must be 1, 2 or 4, or type be specified"),
        ({"n_bytes": -1}, "n_bytes must be 1, 2 or 4, or type be specified"),
        ({"n_bytes": 2**70}, "n_bytes must be 1, 2 or 4, or type be specified"),
        ({"data_type": DT.INT16, "n_bytes": 4}, "n_bytes must be equal to the number of bytes of the data type"),
        ({"data_type": DT.BOOL, "n_bytes": 2}, "n_bytes must be equal to the number of bytes of the data type"),
    ],
)
def test_parameter_construction_errors(kwargs, message):
    with pytest.raises(ValueError) as info:
        Param("p", 5, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((b"p", 1, 1), {}, "Argument 'name' has incorrect type (expected str, got bytes)"),
        (("p", 1, 1.0), {}, "Argument 'n_bytes' has incorrect type (expected int, got float)"),
        (("p", 1, True), {}, "Argument 'n_bytes' has incorrect type (expected int, got bool)"),
        (("p",), {}, "__init__() takes at least 2 positional arguments (1 given)"),
        (("p", 1, 1, DT.UINT8, 5), {}, "__init__() takes at most 4 positional arguments (5 given)"),
    ],
)
def test_parameter_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Param(*args, **kwargs)
    assert str(info.value) == message


def test_parameter_binds_once():
    p = Param("p", 1, n_bytes=2)
    first, second = StandIn(), StandIn()
    p._set_use_by_master(first)
    for master in (first, second):
        with pytest.raises(PermissionError, match="Application parameter already used by a master"):
            p._set_use_by_master(master)
    assert p._ApplicationParameter__used_by_master is first
    with pytest.raises(AttributeError):
        p._ApplicationParameter__used_by_master = None
    p.__init__("again", 2, n_bytes=2)  # a second construction does not undo the binding
    assert p._ApplicationParameter__used_by_master is first


def test_set_refused_while_the_bound_handler_runs():
    p = Param("p", 1, n_bytes=2)
    p.set(2)
    handler = StandIn(running=False)
    p._set_use_by_master(handler)
    p.set(3)
    handler.running = True
    for change in (lambda: p.set(4), lambda: setattr(p, "value", 4)):
        with pytest.raises(ts.TamselRunningException,
                           match="Application parameters cannot be changed while the master is running"):
            change()
    assert p.value == 3
    handler.running = False
    p.value = 5
    assert p.value == 5 and p.raw_value == 5


def test_set_follows_a_real_handler_running_state():
    p = Param("p", 1, n_bytes=2)
    handler = ts.MasterHandler(dictionary=dictionary(), slave_address=1, connection_id=2, watchdog_timeout_s=5.0,
                               application_parameters=[p])
    try:
        p.set(2)
        handler.start()
        with pytest.raises(ts.TamselRunningException):
            p.value = 3
        handler.stop()
        p.value = 4
    finally:
        handler.delete()
    assert p.value == 4 and p._ApplicationParameter__used_by_master is handler


def test_new_session():
    s = ts.Session(1, 2, 100)
    assert [getattr(s, n).value for n in ("slave_address", "session_id", "error_id", "connection_id",
                                         "comm_parameter_size_bytes", "watchdog_ms", "app_parameter_size_bytes")] \
        == [1, 0, 0, 2, 0, 100, 0]
    assert all(getattr(s, n).data_type is DT.UINT16 for n in ("slave_address", "error_id", "watchdog_ms"))
    assert type(s.session_id) is ts.DynamicMappableItem
    assert s.error is ts.FSOEError.RESET


def test_session_error_is_stored_as_its_code():
    s = ts.Session(1, 2, 100)
    for error, code in ((ts.BaseError.WD_EXPIRED, 5), (ts.FSOEError.INVALID_CRC, 4), (ts.FSOEError(200), 200)):
        s.error = error
        assert s.error_id.value == code and s.error is ts.FSOEError(code)
    s.error_id.value = 12
    with pytest.raises(ValueError):
        s.error
    with pytest.raises(TypeError, match="Argument 'error' has incorrect type"):
        s.error = 5
    assert s.error_id.value == 12


@pytest.mark.parametrize(
    "args, values",
    [((0, 65535, 65535.9), (0, 65535, 65535)), ((1.9, -0.5, 100.0), (1, 0, 100)), ((True, 2, 3), (1, 2, 3))],
)
def test_session_numbers_truncate_floats(args, values):
    s = ts.Session(*args)
    assert (s.slave_address.value, s.connection_id.value, s.watchdog_ms.value) == values


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((-1, 0, 0), OverflowError, "can't convert negative value to uint16_t"),
        ((0, 65536, 0), OverflowError, "value too large to convert to uint16_t"),
        ((0, 0, 65536.0), OverflowError, "value too large to convert to uint16_t"),
        ((0, 0, -1.0), OverflowError, "can't convert negative value to uint16_t"),
        ((0, 0, float("nan")), ValueError, None),
        ((0, "1", 0), TypeError, None),
        ((0, 0), TypeError, r"__init__() takes exactly 3 positional arguments (2 given)"),
    ],
)
def test_session_argument_errors(args, error, message):
    with pytest.raises(error) as info:
        ts.Session(*args)
    if message is not None:
        assert str(info.value) == message


def test_new_node():
    parameters = [Param("p", 1, n_bytes=2)]
    n = node(parameters=parameters)
    assert isinstance(n.frame, ts.FSOEFrame) and n.frame.safe_data_size_bytes == 0
    assert (n.session.slave_address.value, n.session.connection_id.value, n.session.watchdog_ms.value) == (1, 2, 100)
    assert isinstance(n.dictionary_map, ts.DictionaryMap) and n.dictionary_map.item_types_accepted == OUTPUTS
    assert isinstance(n._dynamic_map, ts.FSOEDynamicMap) and n._dynamic_map.total_items() == 0
    assert n.application_parameters is parameters
    assert n._last_crc0_sent is None
    assert n._Node__dictionary_map_is_editable is True
    assert not n.dictionary_map.locked


def test_editable_node_locks_while_started():
    n = node()
    n.dictionary_map.add_by_key(1)
    n.dictionary_map.add_by_key(2)
    n.start()
    assert n.dictionary_map.locked
    assert n.frame.safe_data_size_bytes == n.dictionary_map.safety_bytes == 6
    n.stop()
    assert not n.dictionary_map.locked and n.frame.safe_data_size_bytes == 6
    n.dictionary_map.remove(n.dictionary_map[1])
    n.start()
    assert n.frame.safe_data_size_bytes == 2


def test_non_editable_node_stays_locked():
    n = node(editable=False)
    assert n.dictionary_map.locked
    n.start()
    n.stop()
    assert n.dictionary_map.locked
    assert n.frame.safe_data_size_bytes == 0


def test_start_with_an_oversized_map_fails_after_locking():
    items = [ts.DictionaryItemOutput(k, f"o{k}", DT.UINT32) for k in range(5)]
    n = node(d=ts.Dictionary(items))
    for k in range(5):
        n.dictionary_map.add_by_key(k)
    with pytest.raises(ValueError, match="^Frame structure cannot handle more than 16 bytes$"):
        n.start()
    assert n.dictionary_map.locked and n.frame.safe_data_size_bytes == 0


@pytest.mark.parametrize(
    "change, error, message",
    [
        ({"application_parameters": ()}, TypeError,
         "Argument 'application_parameters' has incorrect type (expected list, got tuple)"),
        ({"dictionary": {}}, TypeError,
         "Argument 'dictionary' has incorrect type (expected tamsel.tamsel.Dictionary, got dict)"),
        ({"item_types_accepted": frozenset()}, TypeError,
         "Argument 'item_types_accepted' has incorrect type (expected set, got frozenset)"),
        ({"slave_address": 70000}, OverflowError, "value too large to convert to uint16_t"),
        ({"watchdog_ms": -1}, OverflowError, "can't convert negative value to uint16_t"),
    ],
)
def test_node_argument_errors(change, error, message):
    kwargs = dict(slave_address=1, connection_id=2, watchdog_ms=3, application_parameters=[],
                  dictionary=dictionary(), item_types_accepted=set(OUTPUTS))
    kwargs.update(change)
    with pytest.raises(error) as info:
        ts.Node(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("value, error", [(0, None), (0xFFFF, None), (None, None), (-1, OverflowError),
                                          (0x10000, OverflowError), ("1", TypeError)])
def test_last_crc0_sent_holds_a_crc_word_or_none(value, error):
    n = node()
    n._last_crc0_sent = 7
    if error is None:
        n._last_crc0_sent = value
        assert n._last_crc0_sent == value
    else:
        with pytest.raises(error):
            n._last_crc0_sent = value
        assert n._last_crc0_sent == 7


def test_plain_classes():
    class Custom(ts.Node):
        def start(self):
            self.started = True
            super().start()

    n = Custom(1, 2, 3, [], dictionary(), set(OUTPUTS))
    n.start()
    assert n.started and n.dictionary_map.locked
    for obj, field in ((n, "frame"), (n.session, "session_id"), (Param("p", 1, n_bytes=1), "name")):
        replacement = ts.DynamicMappableItem(9, DT.UINT16)
        setattr(obj, field, replacement)
        assert getattr(obj, field) is replacement
        with pytest.raises(AttributeError):
            delattr(obj, field)
        obj.extra = 1
        assert obj.__dict__["extra"] == 1


def test_construction_does_not_leak(no_leak):
    d = dictionary()

    def build():
        ts.Node(1, 2, 3, [Param("p", 1, n_bytes=1)], d, set(OUTPUTS)).start()
        ts.Session(1, 2, 3)

    no_leak(build)
