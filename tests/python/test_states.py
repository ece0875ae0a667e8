"""The states driven directly, with stand-in contexts that record what the states do."""

import inspect

import pytest

import tamsel.tamsel as ts
from state_standins import Handler

C = ts.FSOECommand
E = ts.BaseError

STATES = [ts.StateReset, ts.StateSession, ts.StateConnection, ts.StateParameter, ts.StateData]
INVALID_CODE = 0x99
INVALID_CMD_MSG = "Invalid slave frame command"
CRC_MSG = "Invalid slave CRC"
WD_MSG = "The watchdog of the master expired"


@pytest.fixture
def logged(monkeypatch):
    names = []
    monkeypatch.setattr(ts, "_log_transition", names.append)
    return names


def master_error(handler):
    return handler.master.session.error_id.value


# --- the abstract base ----------------------------------------------------------------------


def test_state_is_abstract():
    assert inspect.isabstract(ts.State)
    assert ts.State.__doc__ == "FSoE State"
    with pytest.raises(TypeError, match="abstract"):
        ts.State(context=None)
    for cls in STATES:
        assert issubclass(cls, ts.State) and not inspect.isabstract(cls)
    assert [cls.id for cls in STATES] == [0, 1, 2, 3, 4]


def test_host_subclass_abstract_until_every_event_is_defined():
    class Partial(ts.State):
        def _process_frame_received_event(self):
            return ts.StateReset

    with pytest.raises(TypeError):
        Partial(None)

    class Complete(Partial):
        def _process_watchdog_expired_event(self):
            return ts.StateReset

        def _process_reset_connection_event(self):
            return ts.StateReset

    state = Complete(context="ctx")
    assert state.context == "ctx"
    state.extra = 1  # plain class: instances take new attributes
    for event in ("_process_frame_received_event", "_process_watchdog_expired_event",
                  "_process_reset_connection_event"):
        with pytest.raises(NotImplementedError):
            getattr(ts.State, event)(state)


@pytest.mark.parametrize("cls", STATES)
def test_constructor_takes_context_positionally_or_by_keyword(cls):
    handler = Handler()
    assert cls(handler).context is handler
    assert cls(context=handler).context is handler
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls(handler, handler)


def test_every_transition_has_its_action_method():
    owners = {"RESET": ts.StateReset, "SESSION": ts.StateSession, "CONN": ts.StateConnection,
              "CONNECTION": ts.StateConnection, "PARA": ts.StateParameter, "DATA": ts.StateData}
    actions = [(cls, name) for cls in STATES for name in vars(cls) if name.endswith("_action")]
    assert len(actions) == 42
    assert ("StateConnection", "_StateConnection__conn_stay1_action") in [(c.__name__, n) for c, n in actions]
    for cls, name in actions:
        assert name.startswith(f"_{cls.__name__}__")
        prefix = name[len(cls.__name__) + 3:].split("_")[0].upper()
        assert owners[prefix] is cls or prefix == "CONN"
    assert not hasattr(ts.StateSession, "_StateSession__session_fail2_action")
    assert not hasattr(ts.StateConnection, "map_frame")


# --- frame-received tables -------------------------------------------------------------------

# (setup, slave command, expected reports, expected transition, next state, master error code)
# `setup` keys: conn (slave connection id differs), echo (echo wrong), crc (bad CRC),
# pending, second (second Session frame sent).
TABLES = {
    ts.StateReset: [
        ({}, C.RESET, [], "RESET_OK", ts.StateSession, None),
        ({"crc": 1, "conn": 1}, C.RESET, [], "RESET_OK", ts.StateSession, None),
        ({}, INVALID_CODE, [("RESET_STAY1", INVALID_CMD_MSG)], "RESET_STAY1", ts.StateReset, E.RESET),
        ({}, C.PROCESS_DATA, [("RESET_STAY1", INVALID_CMD_MSG)], "RESET_STAY1", ts.StateReset, E.RESET),
    ],
    ts.StateSession: [
        ({}, INVALID_CODE, [("SESSION_FAIL4", INVALID_CMD_MSG)], "SESSION_FAIL4", ts.StateReset, E.UNKNOWN_CMD),
        ({"pending": 1}, C.SESSION, [], "SESSION_STAY1", ts.StateSession, None),
        ({}, C.SESSION, [], "SESSION_OK", ts.StateConnection, None),
        ({"crc": 1, "second": 1}, C.SESSION, [("SESSION_FAIL1", CRC_MSG)], "SESSION_FAIL1", ts.StateReset,
         E.INVALID_CRC),
        ({"crc": 1, "pending": 1}, C.SESSION, [("SESSION_STAY2", CRC_MSG)], "SESSION_STAY2", ts.StateSession,
         None),
        ({"crc": 1}, C.RESET, [("SESSION_RESET1", "Connection was reset by the slave (slave reported error "
                                "INVALID_CRC)")], "SESSION_RESET1", ts.StateSession, None),
        ({"conn": 1}, C.CONNECTION, [("SESSION_FAIL3", INVALID_CMD_MSG)], "SESSION_FAIL3", ts.StateReset,
         E.INVALID_CMD),
        ({}, C.FAILSAFE_DATA, [("SESSION_FAIL3", INVALID_CMD_MSG)], "SESSION_FAIL3", ts.StateReset,
         E.INVALID_CMD),
    ],
    ts.StateConnection: [
        ({"conn": 1}, INVALID_CODE, [("CONN_FAIL5", INVALID_CMD_MSG)], "CONN_FAIL5", ts.StateReset,
         E.UNKNOWN_CMD),
        ({"conn": 1, "echo": 1, "crc": 1}, C.CONNECTION,
         [("CONN_FAIL3", "Connection id exchanged does not match 3 != 7")], "CONN_FAIL3", ts.StateReset,
         E.INVALID_CONNID),
        ({"echo": 1, "crc": 1}, C.CONNECTION, [("CONN_FAIL2", "Data exchanged during session state does not match")],
         "CONN_FAIL2", ts.StateReset, E.INVALID_DATA),
        ({"crc": 1, "pending": 1}, C.CONNECTION, [("CONN_FAIL1", CRC_MSG)], "CONN_FAIL1", ts.StateReset,
         E.INVALID_CRC),
        ({"pending": 1}, C.CONNECTION, [], "CONNECTION_STAY1", ts.StateConnection, None),
        ({}, C.CONNECTION, [], "CONN_OK", ts.StateParameter, None),
        ({"conn": 1, "crc": 1}, C.RESET,
         [("CONN_RESET1", "Connection was reset by the slave (slave reported error INVALID_CRC)")], "CONN_RESET1",
         ts.StateSession, None),
        ({}, C.SESSION, [("CONN_FAIL4", INVALID_CMD_MSG)], "CONN_FAIL4", ts.StateReset, E.INVALID_CMD),
        ({}, C.PARAMETER, [("CONN_FAIL4", INVALID_CMD_MSG)], "CONN_FAIL4", ts.StateReset, E.INVALID_CMD),
    ],
    ts.StateParameter: [
        ({}, INVALID_CODE, [("PARA_FAIL5", INVALID_CMD_MSG)], "PARA_FAIL5", ts.StateReset, E.UNKNOWN_CMD),
        ({"conn": 1, "echo": 1}, C.PARAMETER, [("PARA_FAIL3", "Connection id exchanged does not match 3 != 7")],
         "PARA_FAIL3", ts.StateReset, E.INVALID_CONNID),
        ({"echo": 1, "crc": 1}, C.PARAMETER,
         [("PARA_FAIL2", "Data exchanged during parameter state does not match")], "PARA_FAIL2", ts.StateReset,
         E.INVALID_DATA),
        ({"crc": 1}, C.PARAMETER, [("PARA_FAIL1", CRC_MSG)], "PARA_FAIL1", ts.StateReset, E.INVALID_CRC),
        ({"pending": 1}, C.PARAMETER, [], "PARA_STAY1", ts.StateParameter, None),
        ({}, C.PARAMETER, [], "PARA_OK", ts.StateData, None),
        ({}, C.RESET, [("PARA_RESET1", "Connection was reset by the slave (slave reported error INVALID_CRC)")],
         "PARA_RESET1", ts.StateSession, None),
        ({}, C.PROCESS_DATA, [("PARA_FAIL4", INVALID_CMD_MSG)], "PARA_FAIL4", ts.StateReset, E.INVALID_CMD),
    ],
    ts.StateData: [
        ({"conn": 1}, INVALID_CODE, [("DATA_FAIL4", INVALID_CMD_MSG)], "DATA_FAIL4", ts.StateReset, E.UNKNOWN_CMD),
        ({"conn": 1, "crc": 1}, C.SESSION, [("DATA_FAIL3", INVALID_CMD_MSG)], "DATA_FAIL3", ts.StateReset,
         E.INVALID_CMD),
        ({"conn": 1, "crc": 1}, C.RESET,
         [("DATA_RESET1", "Connection was reset by the slave (slave reported error INVALID_CRC)")], "DATA_RESET1",
         ts.StateSession, None),
        ({"conn": 1, "crc": 1}, C.PROCESS_DATA,
         [("DATA_FAIL2", "Connection id exchanged does not match 3 != 7")], "DATA_FAIL2", ts.StateReset,
         E.INVALID_CONNID),
        ({"crc": 1}, C.FAILSAFE_DATA, [("DATA_FAIL1", CRC_MSG)], "DATA_FAIL1", ts.StateReset, E.INVALID_CRC),
        ({}, C.PROCESS_DATA, [], "DATA_OK1", ts.StateData, None),
        ({}, C.FAILSAFE_DATA, [], "DATA_OK2", ts.StateData, None),
    ],
}

CASES = [pytest.param(cls, *row, id=f"{cls.__name__}-{row[3]}-{i}")
         for cls, rows in TABLES.items() for i, row in enumerate(rows)]


def prepare(setup, command):
    handler = Handler()
    handler.receive(command, connection_id=3 if setup.get("conn") else None)
    handler.slave.session.error_id.__dict__["value"] = int(E.INVALID_CRC)
    handler.slave._dynamic_map.echo_correct = not setup.get("echo")
    handler.slave.frame.crc_result = not setup.get("crc")
    object.__setattr__(handler, "pending", bool(setup.get("pending")))
    object.__setattr__(handler, "_second_session_frame_sent", bool(setup.get("second")))
    handler.master.session.error_id.__dict__["value"] = 99
    return handler


@pytest.mark.parametrize("cls, setup, command, reports, transition, next_state, error", CASES)
def test_frame_received_follows_the_table(logged, cls, setup, command, reports, transition, next_state, error):
    handler = prepare(setup, command)
    state = cls(context=handler)
    assert state._process_frame_received_event() is next_state
    assert handler.reports == reports
    assert logged == [transition]
    assert master_error(handler) == (99 if error is None else error)


@pytest.mark.parametrize("cls, wd, reset", [
    (ts.StateReset, "RESET_WD", "RESET_START"), (ts.StateSession, "SESSION_WD", "SESSION_RESET2"),
    (ts.StateConnection, "CONN_WD", "CONN_RESET2"), (ts.StateParameter, "PARA_WD", "PARA_RESET2"),
    (ts.StateData, "DATA_WD", "DATA_RESET2")])
def test_watchdog_is_reported_and_host_reset_is_not(logged, cls, wd, reset):
    handler = Handler()
    expected_wd = ts.StateSession if cls is ts.StateReset else ts.StateReset
    assert cls(handler)._process_watchdog_expired_event() is expected_wd
    assert handler.reports == [(wd, WD_MSG)]
    if cls is not ts.StateReset:
        assert master_error(handler) == E.WD_EXPIRED
    handler.reports.clear()
    assert cls(handler)._process_reset_connection_event() is ts.StateReset
    assert handler.reports == []
    assert master_error(handler) == E.RESET
    assert logged == [wd, reset]


# --- procedures ------------------------------------------------------------------------------

FRESH_FRAMES = [("set", "master.frame.control.crc0", 0), ("set", "slave.frame.control.crc0", 0),
                ("set", "master.frame.control.sequence_number", 1),
                ("set", "slave.frame.control.sequence_number", 1)]


def test_reset_handler_steps(logged):
    handler = Handler()
    handler.master._last_crc0_sent = 0x1234
    assert ts.StateReset(handler)._reset_handler(E.INVALID_CRC) is ts.StateReset
    assert handler.trail == FRESH_FRAMES + [
        ("set", "_reset_slave_sequence_number_after_frame", True),
        ("set", "_data_command", C.FAILSAFE_DATA),
        ("call", "dictionary._set_inputs_to_failsafe"),
        ("set", "master.session.error", E.INVALID_CRC),
        ("set", "master.frame.control.command", C.RESET),
        ("call", "master._dynamic_map.clear"), ("call", "slave._dynamic_map.clear"),
        ("call", "master._dynamic_map.add", handler.master.session.error_id),
        ("set", "_generate_crcs_cyclic_for_next_frame", False),
        ("set", "master.frame.control.sequence_number", 1),
        ("call", "watchdog.activate_and_reset"),
    ]
    assert handler.master._last_crc0_sent is None
    assert logged == [] and handler.reports == []


def test_reset_session_steps_keep_error_code_and_crc_mode():
    handler = Handler()
    handler.master._last_crc0_sent = 0x1234
    object.__setattr__(handler, "_generate_crcs_cyclic_for_next_frame", True)
    assert ts.StateSession(handler)._reset_session() is ts.StateSession
    assert handler.trail == FRESH_FRAMES + [
        ("set", "_reset_slave_sequence_number_after_frame", True),
        ("set", "_data_command", C.FAILSAFE_DATA),
        ("call", "dictionary._set_inputs_to_failsafe"),
        ("call", "_create_session_id"),
        ("set", "master.frame.control.command", C.SESSION),
        ("call", "master._dynamic_map.clear"), ("call", "slave._dynamic_map.clear"),
        ("call", "master._dynamic_map.add", handler.master.session.session_id),
        ("call", "watchdog.activate_and_reset"),
    ]
    assert handler.master._last_crc0_sent == 0x1234


@pytest.mark.parametrize("cls", [ts.StateConnection, ts.StateParameter, ts.StateData, ts.StateSession])
def test_every_slave_reset_expects_the_next_slave_frame_with_sequence_one(logged, cls):
    handler = prepare({}, C.RESET)
    cls(handler)._process_frame_received_event()
    assert handler._reset_slave_sequence_number_after_frame is True
    assert handler.slave.frame.control.sequence_number == 1


@pytest.mark.parametrize("code, name", [(0, "RESET"), (5, "WD_EXPIRED"), (200, "INVALID_SAFEPARA_200"),
                                        (12, "12"), (42, "42"), (127, "127"), (256, "256"), (65535, "65535")])
def test_slave_error_code_is_named_or_given_in_decimal(logged, code, name):
    handler = prepare({}, C.RESET)
    handler.slave.session.error_id.__dict__["value"] = code
    assert ts.StateData(handler)._process_frame_received_event() is ts.StateSession
    assert handler.reports == [("DATA_RESET1", f"Connection was reset by the slave (slave reported error {name})")]


def test_reset_stay1_and_reset_start_leave_inputs_and_last_crc0(logged):
    for event, name in (("_process_frame_received_event", "RESET_STAY1"),
                        ("_process_reset_connection_event", "RESET_START")):
        handler = prepare({}, C.SESSION)
        handler.master._last_crc0_sent = 0x55
        getattr(ts.StateReset(handler), event)()
        assert handler.master._last_crc0_sent == 0x55
        assert not handler.done(("call", "dictionary._set_inputs_to_failsafe"))
        assert handler._data_command is C.FAILSAFE_DATA
        assert handler._generate_crcs_cyclic_for_next_frame is False
        assert handler.master._dynamic_map.items == [handler.master.session.error_id]
        watchdog = handler.done(("call", "watchdog.activate_and_reset"))
        assert len(watchdog) == (1 if name == "RESET_START" else 0)
    assert logged == ["RESET_STAY1", "RESET_START"]


@pytest.mark.parametrize("transition", ["RESET_OK", "RESET_WD"])
def test_reset_opens_a_session(logged, transition):
    handler = prepare({}, C.RESET)
    object.__setattr__(handler, "_generate_crcs_cyclic_for_next_frame", True)
    state = ts.StateReset(handler)
    method = "_process_frame_received_event" if transition == "RESET_OK" else "_process_watchdog_expired_event"
    assert getattr(state, method)() is ts.StateSession
    assert handler.done(("call", "_create_session_id"))
    assert handler.master._dynamic_map.items == [handler.master.session.session_id]
    assert handler.master.frame.control.command is C.SESSION
    assert handler._generate_crcs_cyclic_for_next_frame is False


def test_session_ok_prepares_the_connection_request(logged):
    handler = prepare({}, C.SESSION)
    assert ts.StateSession(handler)._process_frame_received_event() is ts.StateConnection
    m, s = handler.master.session, handler.slave.session
    assert handler.master._dynamic_map.items == [m.connection_id, m.slave_address]
    assert handler.slave._dynamic_map.items == [s.connection_id, s.slave_address]
    assert handler.master.frame.control.command is C.CONNECTION
    assert handler._generate_crcs_cyclic_for_next_frame is True


def test_session_crc_checked_once_and_pending_asked_only_after_a_good_check(logged):
    handler = prepare({"crc": 1}, C.SESSION)
    ts.StateSession(handler)._process_frame_received_event()
    assert len(handler.done("slave.frame.check_crcs")) == 1
    assert not handler.done(("call", "_dynamic_map_pending"))


@pytest.mark.parametrize("sizes", [(), (4, 2), (1,)])
def test_parameter_map_frame_streams_sizes_then_parameters(logged, sizes):
    handler = Handler(parameters=sizes)
    for item in handler.slave.application_parameters:
        item.__dict__["value"] = 9
    handler.slave.session.watchdog_ms.__dict__["value"] = 9
    handler.receive(C.CONNECTION)
    assert ts.StateConnection(handler)._process_frame_received_event() is ts.StateParameter
    for node in (handler.master, handler.slave):
        s = node.session
        assert node._dynamic_map.items == [s.comm_parameter_size_bytes, s.watchdog_ms, s.app_parameter_size_bytes,
                                           *node.application_parameters]
    assert handler.master.session.comm_parameter_size_bytes.value == 2
    assert handler.master.session.app_parameter_size_bytes.value == sum(sizes)
    assert handler.slave.session.watchdog_ms.value == 0
    assert all(item.value == 0 for item in handler.slave.application_parameters)
    assert handler.master.frame.control.command is C.PARAMETER
    assert handler._generate_crcs_cyclic_for_next_frame is True
    assert logged == ["CONN_OK"]


@pytest.mark.parametrize("data_command", [C.PROCESS_DATA, C.FAILSAFE_DATA])
def test_data_map_frame_sets_command_then_maps_outputs(data_command):
    handler = Handler()
    object.__setattr__(handler, "_data_command", data_command)
    assert ts.StateData(handler).map_frame() is None
    assert handler.trail == [("set", "master.frame.control.command", data_command),
                             ("call", "master.dictionary_map._set_data_to_frame", "master.frame")]


@pytest.mark.parametrize("command, inputs", [(C.PROCESS_DATA, ("call", "slave.dictionary_map._get_data_from_frame",
                                                               "slave.frame")),
                                             (C.FAILSAFE_DATA, ("call", "dictionary._set_inputs_to_failsafe"))])
def test_data_accepts_inputs(logged, command, inputs):
    handler = prepare({}, command)
    ts.StateData(handler)._process_frame_received_event()
    assert inputs in handler.trail
    assert handler.trail[-2:] == [("set", "_generate_crcs_cyclic_for_next_frame", True),
                                  ("call", "watchdog.activate_and_reset")]


# --- CRC check of the received frame ---------------------------------------------------------


@pytest.mark.parametrize("last, expected_call", [(None, ("call", "slave.frame.check_crcs")),
                                                 (0xBEEF, ("call", "slave.frame.check_crcs_cyclic", 0xBEEF))])
@pytest.mark.parametrize("result", [True, False])
def test_check_received_crcs(last, expected_call, result):
    handler = Handler()
    handler.slave._last_crc0_sent = last
    handler.slave.frame.crc_result = result
    assert ts.StateData(handler)._check_received_crcs() is result
    assert handler.trail == [expected_call]


@pytest.mark.parametrize("received_size", [0, 1, 4, 16])
def test_reply_of_another_safe_data_size_fails_the_crc_check(logged, received_size):
    handler = prepare({}, C.PROCESS_DATA)
    handler.slave.frame.safe_data_size_bytes = received_size  # the map says 2
    assert ts.StateData(handler)._process_frame_received_event() is ts.StateReset
    assert handler.reports == [("DATA_FAIL1", CRC_MSG)]
    assert not handler.done("slave.dictionary_map._get_data_from_frame")


# --- host subclasses -------------------------------------------------------------------------


def test_host_subclass_overrides_are_honoured(logged):
    calls = []

    class MyData(ts.StateData):
        def _check_received_crcs(self):
            calls.append("crc")
            return True

        def _StateData__data_ok1_action(self):
            calls.append("ok1")
            return ts.StateData

    handler = prepare({"crc": 1}, C.PROCESS_DATA)
    assert MyData(handler)._process_frame_received_event() is ts.StateData
    assert calls == ["crc", "ok1"] and logged == []

    class MyReset(ts.StateReset):
        def map_frame(self):
            calls.append("map_frame")

    handler = prepare({}, C.SESSION)
    MyReset(handler)._process_frame_received_event()
    MyReset(handler)._reset_handler(E.INVALID_DATA)
    assert calls[2:] == ["map_frame", "map_frame"]


def test_exceptions_from_the_context_propagate(logged):
    handler = prepare({}, C.PROCESS_DATA)

    def boom(frame):
        raise RuntimeError("map failed")

    handler.slave.dictionary_map._get_data_from_frame = boom
    with pytest.raises(RuntimeError, match="map failed"):
        ts.StateData(handler)._process_frame_received_event()
    with pytest.raises(AttributeError):
        ts.StateData(object())._process_reset_connection_event()


@pytest.mark.parametrize("cls, command", [(ts.StateData, C.PROCESS_DATA), (ts.StateData, C.RESET),
                                          (ts.StateConnection, C.CONNECTION), (ts.StateSession, INVALID_CODE)])
def test_events_do_not_leak(logged, no_leak, cls, command):
    handler = prepare({}, command)
    state = cls(handler)

    def run():
        handler.trail.clear()
        handler.reports.clear()
        logged.clear()
        state._process_frame_received_event()
        state._process_watchdog_expired_event()

    no_leak(run, rounds=1000)
