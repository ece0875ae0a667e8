import math
import re

import pytest

import tamsel.tamsel as ts


def make_dictionary():
    return ts.Dictionary(
        [
            ts.DictionaryItemOutput(1, "out8", ts.DataType.UINT8),
            ts.DictionaryItemInput(2, "in8", ts.DataType.UINT8, 0),
            ts.DictionaryItemInputOutput(3, "both", ts.DataType.UINT16, 7),
        ]
    )


@pytest.fixture
def handlers():
    made = []

    def make(*args, **kwargs):
        kwargs.setdefault("dictionary", make_dictionary())
        kwargs.setdefault("slave_address", 3)
        kwargs.setdefault("connection_id", 9)
        kwargs.setdefault("watchdog_timeout_s", 5.0)
        handler = (kwargs.pop("cls", ts.MasterHandler))(*args, **kwargs)
        made.append(handler)
        return handler

    yield make
    for handler in made:
        handler.delete()


def wrong_type(arg, expected, got):
    return f"Argument '{arg}' has incorrect type (expected {expected}, got {got})"


@pytest.mark.parametrize(
    "change, error, message",
    [
        ({"dictionary": []}, TypeError, wrong_type("dictionary", "tamsel.tamsel.Dictionary", "list")),
        ({"slave_address": -1}, OverflowError, "can't convert negative value to uint16_t"),
        ({"slave_address": 65536}, OverflowError, "value too large to convert to uint16_t"),
        ({"connection_id": 65536}, OverflowError, "value too large to convert to uint16_t"),
        ({"connection_id": 0}, ValueError, "Connection ID = 0 is not permitted"),
        ({"application_parameters": ()}, TypeError, wrong_type("application_parameters", "list", "tuple")),
        ({"watchdog_timeout_s": 65.536}, OverflowError, "value too large to convert to uint16_t"),
    ],
)
def test_constructor_refuses(handlers, change, error, message):
    with pytest.raises(error) as raised:
        handlers(**change)
    assert str(raised.value) == message


@pytest.mark.parametrize("timeout", [0.0, -0.5, math.nan, math.inf, -math.inf])
def test_watchdog_timeout_must_be_positive_and_finite_before_anything_is_bound(handlers, timeout):
    param = ts.ApplicationParameter("p", 1, n_bytes=1)
    with pytest.raises(ValueError):
        handlers(watchdog_timeout_s=timeout, application_parameters=[param])
    handlers(application_parameters=[param])  # still free


def test_list_subclass_is_refused_for_application_parameters(handlers):
    class Params(list):
        pass

    with pytest.raises(TypeError, match="application_parameters"):
        handlers(application_parameters=Params())


def test_parameter_already_bound_keeps_earlier_ones_bound(handlers):
    first, second = ts.ApplicationParameter("a", 1, n_bytes=1), ts.ApplicationParameter("b", 1, n_bytes=2)
    handlers(application_parameters=[second])
    with pytest.raises(PermissionError, match="Application parameter already used by a master"):
        handlers(application_parameters=[first, second])
    with pytest.raises(PermissionError):
        first._set_use_by_master(object())


@pytest.mark.parametrize("timeout, ms", [(0.1, 100), (65.5356, 65535), (1, 1000), (0.001, 1), (0.0019, 1)])
def test_master_watchdog_time_is_truncated_milliseconds(handlers, timeout, ms):
    handler = handlers(watchdog_timeout_s=timeout)
    assert handler.master.session.watchdog_ms.value == ms
    assert handler.slave.session.watchdog_ms.value == 0


@pytest.mark.parametrize("timeout", [0.0009, 0.000999, 1e-12, 5e-324])
def test_a_watchdog_time_the_slave_would_receive_as_0_ms_is_refused(timeout):
    parameter = ts.ApplicationParameter("p", 1, n_bytes=1)
    with pytest.raises(ValueError, match=r"^watchdog_timeout_s must be at least 0\.001 seconds: the slave receives "
                                         r"the watchdog time in whole milliseconds, 1 to 65535 \(got "):
        ts.MasterHandler(make_dictionary(), 1, 7, timeout, application_parameters=[parameter])
    ts.MasterHandler(make_dictionary(), 1, 7, 0.001, application_parameters=[parameter]).delete()  # not bound before


def test_fields_after_construction(handlers):
    errors, changes = [], []
    d = make_dictionary()
    params = [ts.ApplicationParameter("p4", 7, n_bytes=4),
              ts.ApplicationParameter("i16", -2, data_type=ts.DataType.INT16)]
    handler = handlers(
        dictionary=d,
        slave_address=0x55,
        connection_id=0x1234,
        application_parameters=params,
        report_error_callback=errors.append,
        state_change_callback=changes.append,
    )
    assert handler.dictionary is d
    assert handler.master.application_parameters is params
    echoes = handler.slave.application_parameters
    assert [type(e) for e in echoes] == [ts.DynamicMappableItem] * 2
    assert [(e.value, e.data_type) for e in echoes] == [(0, ts.DataType.UINT32), (0, ts.DataType.INT16)]
    assert handler.master.session.slave_address.value == 0x55
    assert handler.master.session.connection_id.value == 0x1234
    assert (handler.slave.session.slave_address.value, handler.slave.session.connection_id.value) == (0, 0)
    assert handler._data_command is ts.FSOECommand.FAILSAFE_DATA
    assert type(handler._state) is ts.StateReset and handler._state.context is handler
    assert handler.state is ts.StateReset
    assert isinstance(handler._watchdog, ts.Watchdog)
    assert handler._watchdog.is_alive() and not handler._watchdog.active
    assert handler._MasterHandler__report_error_callback == errors.append
    assert handler._MasterHandler__state_change_callback == changes.append
    assert handler._MasterHandler__initialization_data_bytes == handler.initialization_data_bytes == 0
    assert handler._second_session_frame_sent is False
    assert handler._reset_slave_sequence_number_after_frame is False
    assert handler._generate_crcs_cyclic_for_next_frame is False
    assert handler._MasterHandler__current_request == b""
    assert handler._MasterHandler__last_reply == b""
    assert handler._MasterHandler__running is False and handler.running is False
    assert handler.get_request() == b""
    handler.note = "plain classes take new attributes"
    assert handler.__dict__["note"]


def test_node_maps_accept_only_their_direction(handlers):
    handler = handlers()
    out8, in8, both = (handler.dictionary.name_map[n] for n in ("out8", "in8", "both"))
    assert handler.master.dictionary_map.unmapped_dictionary_items() == [out8, both]
    assert handler.slave.dictionary_map.unmapped_dictionary_items() == [in8, both]


def test_not_editable_maps_are_locked_from_the_start(handlers):
    handler = handlers(dictionary_map_is_editable=False)
    with pytest.raises(ts.TamselMappingLockedException):
        handler.master.dictionary_map.add(handler.dictionary.name_map["out8"])


def test_set_reply_before_start_changes_nothing(handlers):
    handler = handlers()
    handler.set_reply(b"\x2a\x00\x00\x00\x00\x00")
    assert handler._MasterHandler__last_reply == b""
    assert handler.get_request() == b""
    with pytest.raises(TypeError, match=re.escape(wrong_type("data", "bytes", "bytearray"))):
        handler.set_reply(bytearray(6))


def started(handlers, out_items=("out8",), in_items=("in8",), **kwargs):
    """A started handler whose maps hold the named items (a number: a padding of that many bits)."""
    handler = handlers(**kwargs)
    for node, names in ((handler.master, out_items), (handler.slave, in_items)):
        for name in names:
            if isinstance(name, int):
                node.dictionary_map.add_padding(name)
            else:
                node.dictionary_map.add(handler.dictionary.name_map[name])
    handler.start()
    return handler


def test_start_computes_the_first_reset_request(handlers):
    handler = started(handlers, out_items=("out8", "both", 8), in_items=("in8",))
    assert handler.running
    assert handler.initialization_data_bytes == 1  # master 4 bytes, slave 1
    request = handler.get_request()
    assert request[0] == ts.FSOECommand.RESET.value
    assert handler.get_request() is request
    assert handler._watchdog.active


def test_initialization_bytes_is_the_smaller_frame(handlers):
    handler = started(handlers, out_items=("both",), in_items=("in8", "both", 8))
    assert handler.master.frame.safe_data_size_bytes == 2
    assert handler.slave.frame.safe_data_size_bytes == 4
    assert handler.initialization_data_bytes == 2


def test_same_reply_twice_reaches_the_state_machine_once(handlers):
    errors = []
    handler = started(handlers, report_error_callback=lambda *a: errors.append(a))
    reply = bytes([ts.FSOECommand.SESSION.value, 0, 0, 0, 0, 0])
    handler.set_reply(reply)
    assert errors == [("RESET_STAY1", "Invalid slave frame command")]
    request = handler.get_request()
    handler.set_reply(bytes(reply))
    assert errors == [("RESET_STAY1", "Invalid slave frame command")]
    assert handler.get_request() is request


def test_last_reply_survives_stop_and_start(handlers):
    errors = []
    handler = started(handlers, report_error_callback=lambda *a: errors.append(a))
    reply = bytes([0x99, 1, 2, 3, 4, 5])
    handler.set_reply(reply)
    handler.stop()
    handler.start()
    handler.set_reply(reply)
    assert len(errors) == 1
    assert handler._MasterHandler__last_reply == reply


def test_empty_first_reply_equals_the_initial_last_reply(handlers):
    errors = []
    handler = started(handlers, report_error_callback=lambda *a: errors.append(a))
    handler.set_reply(b"")
    assert errors == []


def test_stop_resets_deactivates_and_unlocks(handlers):
    changes = []
    handler = started(handlers, state_change_callback=changes.append)
    handler._watchdog_expired_event()  # Reset -> Session
    assert handler.state is ts.StateSession and changes == [ts.StateSession]
    handler.stop()
    assert not handler.running and handler.state is ts.StateReset
    assert changes == [ts.StateSession, ts.StateReset]
    assert not handler._watchdog.active
    assert handler.get_request()[0] == ts.FSOECommand.RESET.value
    handler.master.dictionary_map.add(handler.dictionary.name_map["both"])  # unlocked again
    handler.stop()  # not running: nothing happens
    assert not handler._watchdog.active


def test_reset_works_when_not_running(handlers):
    handler = handlers()
    handler.reset()
    assert handler.get_request()[0] == ts.FSOECommand.RESET.value
    assert not handler.running


@pytest.mark.parametrize("args, command", [((), "FAILSAFE_DATA"), ((True,), "FAILSAFE_DATA"), ((0,), "PROCESS_DATA"),
                                           (([],), "PROCESS_DATA"), (("x",), "FAILSAFE_DATA")])
def test_set_fail_safe(handlers, args, command):
    handler = handlers()
    handler.set_fail_safe(False)
    handler.set_fail_safe(*args)
    assert handler._data_command is getattr(ts.FSOECommand, command)


def test_slave_address(handlers):
    handler = handlers()
    handler.set_slave_address(5)
    assert handler.get_slave_address() == 5
    with pytest.raises(OverflowError, match="value too large to convert to uint16_t"):
        handler.set_slave_address(65536)
    handler.start()
    with pytest.raises(ts.TamselRunningException, match="Cannot set slave address while running"):
        handler.set_slave_address(6)
    assert handler.get_slave_address() == 5
    handler.stop()
    handler.set_slave_address(6)
    assert handler.get_slave_address() == 6


def test_delete_ends_the_watchdog_and_can_be_repeated(handlers):
    handler = handlers()
    handler.delete()
    assert not handler._watchdog.is_alive()
    handler.delete()
    with pytest.raises(RuntimeError, match="FSoE Watchdog thread is not running"):
        handler.start()


def test_report_error_checks_its_arguments(handlers):
    calls = []
    handler = handlers(report_error_callback=lambda *a: calls.append(a))
    handler._report_error("X", "message")
    assert calls == [("X", "message")]
    with pytest.raises(TypeError, match="transition_name"):
        handler._report_error(b"X", "m")
    with pytest.raises(TypeError, match="'error'"):
        handler._report_error("X", 1)
    handlers()._report_error("no callback", "fine")


def test_callback_exceptions_propagate_and_the_reply_is_not_processed_again(handlers):
    def fail(*_):
        raise KeyError("boom")

    handler = started(handlers, report_error_callback=fail)
    with pytest.raises(KeyError):
        handler.set_reply(b"\x99\x00\x00\x00\x00\x00")
    request = handler.get_request()  # computed although the callback raised
    handler.set_reply(b"\x99\x00\x00\x00\x00\x00")
    assert handler.get_request() is request


def test_set_next_state_keeps_the_object_for_a_stay(handlers):
    changes = []
    handler = handlers(state_change_callback=changes.append)
    current = handler._state
    handler._set_next_state(ts.State)  # instance of a base class: stays
    handler._set_next_state(ts.StateReset)
    assert handler._state is current and changes == []
    handler._set_next_state(ts.StateData)
    assert type(handler._state) is ts.StateData and handler._state.context is handler
    assert changes == [ts.StateData]


def test_create_session_id_uses_the_module_randint(handlers, monkeypatch):
    handler = handlers()
    handler._second_session_frame_sent = True
    monkeypatch.setattr(ts, "randint", lambda a, b: (a + b) // 3)
    handler._create_session_id()
    assert handler.master.session.session_id.value == 0xFFFF // 3
    assert handler._second_session_frame_sent is False
    monkeypatch.undo()
    drawn = set()
    for _ in range(50):
        handler._create_session_id()
        drawn.add(handler.master.session.session_id.value)
    assert len(drawn) > 40 and all(0 <= v <= 0xFFFF for v in drawn)


def test_cyclic_crcs_need_a_last_crc(handlers):
    handler = handlers()
    handler._generate_crcs_cyclic_for_next_frame = True
    with pytest.raises(ValueError, match="Cannot generate cyclic CRCs without a last CRC sent"):
        handler._get_request()


def test_second_constructor_run_is_refused(handlers):
    handler = handlers()
    with pytest.raises(RuntimeError):
        handler.__init__(make_dictionary(), 1, 2, 1.0)
    assert handler._watchdog.is_alive()


def test_subclass_overrides_are_called(handlers):
    calls = []

    class Handler(ts.MasterHandler):
        def _get_request(self):
            calls.append("request")
            return super()._get_request()

        def _set_reply(self, data):
            calls.append("reply")
            super()._set_reply(data)

        def reset(self):
            calls.append("reset")
            super().reset()

        def _MasterHandler__recalculate_request(self):
            calls.append("recalculate")
            super()._MasterHandler__recalculate_request()

    handler = started(handlers, cls=Handler)
    assert calls == ["reset", "recalculate", "request"]
    calls.clear()
    handler.set_reply(bytes([ts.FSOECommand.RESET.value, 0, 0, 0, 0, 0]))
    assert calls == ["reply", "recalculate", "request"]
    assert handler.state is ts.StateSession
    calls.clear()
    handler._watchdog_expired_event()
    handler.stop()
    assert calls == ["recalculate", "request", "reset", "recalculate", "request"]


def test_construct_run_and_delete_do_not_leak(no_leak):
    import gc
    import weakref

    d = make_dictionary()

    def life():
        handler = ts.MasterHandler(d, 1, 2, 1.0, application_parameters=[ts.ApplicationParameter("p", 1, n_bytes=1)])
        handler.start()
        handler.set_reply(b"\x2a\x00\x00\x00\x00\x00")
        handler.stop()
        handler.delete()
        return weakref.ref(handler)

    no_leak(life, rounds=500, slack=128 * 1024)  # a handler kept alive would cost far more
    last = life()
    gc.collect()
    assert last() is None  # the watchdog's reference to the handler ended with its thread


@pytest.mark.parametrize("pending_side", [None, "master", "slave", "both"])
def test_dynamic_map_pending_asks_both_maps(handlers, pending_side):
    handler = handlers()
    for side in ("master", "slave"):
        node = getattr(handler, side)
        node._dynamic_map.clear()
        if pending_side in (side, "both"):
            node._dynamic_map.add(ts.DynamicMappableItem(0, ts.DataType.UINT16))
    assert handler._dynamic_map_pending() is (pending_side is not None)


@pytest.mark.parametrize("substituted", [False, True], ids=["own", "subclassed"])
def test_data_request_carries_the_output_value_of_an_input_output_item(handlers, substituted):
    from test_handler_paths import Frame

    handler = started(handlers, out_items=("both",), in_items=("in8", "both", 8))
    if substituted:
        handler.master.frame = Frame()
        handler.master.frame.safe_data_size_bytes = 2
    handler._set_next_state(ts.StateData)
    both = handler.dictionary.name_map["both"]
    for output in (0x1234, 0):
        handler.dictionary.set("both", output)
        handler._MasterHandler__recalculate_request()
        assert both.value_input == 7 != output  # its input value is another one
        request = handler.get_request()
        assert request[0] == ts.FSOECommand.FAILSAFE_DATA.value
        assert int.from_bytes(request[1:3], "little") == output


def sized_dictionary(out_types, in_types):
    return ts.Dictionary([ts.DictionaryItemOutput(10 + i, f"o{i}", t) for i, t in enumerate(out_types)] +
                         [ts.DictionaryItemInput(40 + i, f"i{i}", t, 0) for i, t in enumerate(in_types)])


U8, U16, U32 = ts.DataType.UINT8, ts.DataType.UINT16, ts.DataType.UINT32


@pytest.mark.parametrize("out_types, in_types, message", [
    ([U8] * 3, [U8], "the master map holds 3 safe data bytes: an FSoE frame carries 1 or an even number of bytes "
                     "up to 16"),
    ([U8], [U16, U8, U8, U8], "the slave map holds 5 safe data bytes"),
    ([U32] * 4 + [U8], [U8], "Frame structure cannot handle more than 16 bytes"),
    ([U8], [U32] * 4 + [U16], "Frame structure cannot handle more than 16 bytes"),
    ("deleted", [U8], "FSoE Watchdog thread is not running"),
])
def test_a_start_that_raises_changes_nothing(handlers, out_types, in_types, message):
    """Sizes no frame carries are refused before the maps are locked; the handler can then be
    edited and started."""
    deleted = out_types == "deleted"
    handler = handlers(dictionary=sized_dictionary([U8] if deleted else out_types, in_types))
    d = handler.dictionary
    for node, prefix in ((handler.master, "o"), (handler.slave, "i")):
        for name in d.name_map:
            if name.startswith(prefix):
                node.dictionary_map.add(d.name_map[name])
    if deleted:
        handler.delete()
    before = (handler.state, handler.get_request(), handler.initialization_data_bytes)
    with pytest.raises((ValueError, RuntimeError), match=message):
        handler.start()
    assert (handler.state, handler.get_request(), handler.initialization_data_bytes) == before
    assert not handler.running
    if deleted:
        return
    for node, prefix in ((handler.master, "o"), (handler.slave, "i")):  # unlocked: the layout can be fixed
        node.dictionary_map.clear()
        node.dictionary_map.add(d.name_map[prefix + "0"])
    handler.start()
    assert handler.running and handler.get_request()[0] == ts.FSOECommand.RESET.value


@pytest.mark.parametrize("data_type, value", [(ts.DataType.UINT8, 256), (ts.DataType.INT16, -40000),
                                              (ts.DataType.UINT32, -1)])
def test_an_output_value_out_of_range_raises_with_a_note_naming_it(handlers, data_type, value):
    from tamsel.slave import Slave

    d = ts.Dictionary([ts.DictionaryItemOutput(1, "speed", data_type), ts.DictionaryItemInput(2, "i", U8, 0)])
    handler = handlers(dictionary=d)
    handler.master.dictionary_map.add(d.name_map["speed"])
    handler.slave.dictionary_map.add(d.name_map["i"])
    slave = Slave.for_handler(handler)
    handler.start()
    while handler.state is not ts.StateData:
        slave.exchange(handler)
    d.set("speed", value)  # taken as it is; the cycle packs it
    with pytest.raises(ValueError) as error:
        for _ in range(3):
            slave.exchange(handler)
    assert str(error.value) == ""
    assert error.value.__notes__ == [
        f"output item 'speed' of data type {data_type} holds {value}, which it cannot carry"]
