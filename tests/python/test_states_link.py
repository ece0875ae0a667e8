"""Every state's faults through a real handler and the independent slave emulator.

Each case brings a connection up to one state, injects one fault into the slave's next reply
and checks the reported pairs, the transitions, the master's error code in its next Reset
request, and that the connection comes back to Data without any other report. Each runs
with the module's own handler (C++ slots) and with a host subclass of it (published names).
"""

import re

import pytest

import tamsel.tamsel as ts
from slave_emulator import Command as SC, SlaveEmulator

pytestmark = pytest.mark.skipif(not hasattr(ts, "DictionaryMap"), reason="needs the dictionary maps")

DT = getattr(ts, "DataType", None)
C = ts.FSOECommand
E = ts.BaseError
SLAVE_ADDRESS, CONNECTION_ID, WATCHDOG_S = 5, 7, 10.0
CRC_MSG = "Invalid slave CRC"
CMD_MSG = "Invalid slave frame command"


class HostHandler(ts.MasterHandler):
    """A host subclass: the states reach it through its published names only."""


class Link:
    def __init__(self, handler_cls, size=2, params=((0x12, 1),)):
        self.outputs = [ts.DictionaryItemOutput(0x100 + i, f"out{i}", DT.UINT8) for i in range(size)]
        self.inputs = [ts.DictionaryItemInput(0x200 + i, f"in{i}", DT.UINT8, 0xEE) for i in range(size)]
        self.errors, self.changes, self.transitions = [], [], []
        parameters = [ts.ApplicationParameter(f"p{i}", value, n_bytes=n) for i, (value, n) in enumerate(params)]
        self.handler = handler_cls(ts.Dictionary(self.outputs + self.inputs), SLAVE_ADDRESS, CONNECTION_ID,
                                   WATCHDOG_S, application_parameters=parameters,
                                   report_error_callback=lambda *pair: self.errors.append(pair),
                                   state_change_callback=self.changes.append)
        for item in self.outputs:
            self.handler.master.dictionary_map.add(item)
        for item in self.inputs:
            self.handler.slave.dictionary_map.add(item)
        self.slave = SlaveEmulator(slave_address=SLAVE_ADDRESS, connection_id=CONNECTION_ID,
                                   watchdog_ms=int(WATCHDOG_S * 1000), outputs_size=size, inputs_size=size,
                                   app_params=params)
        self.handler.start()

    def cycle(self, reply=None):
        self.handler.set_reply(self.slave.reply(self.handler.get_request()) if reply is None else reply)

    def run_to(self, state, limit=60):
        for _ in range(limit):
            if self.handler.state is state:
                return
            self.cycle()
        raise AssertionError(f"never reached {state.__name__}; errors {self.errors}")

    def close(self):
        self.handler.stop()
        self.handler.delete()


@pytest.fixture(params=[ts.MasterHandler, HostHandler], ids=["own", "host"])
def link(request, monkeypatch):
    made = []

    def make(**kwargs):
        made.append(Link(request.param, **kwargs))
        monkeypatch.setattr(ts, "_log_transition", made[-1].transitions.append)
        return made[-1]

    yield make
    for one in made:
        one.close()


def reset_message(name):
    return f"Connection was reset by the slave (slave reported error {name})"


def inject_command(code):
    return lambda slave: slave.send_command(code)


# (state, injection, expected report, first transition, next state, master error code or None)
FAULTS = [
    (ts.StateSession, inject_command(0x99), ("SESSION_FAIL4", CMD_MSG), "SESSION_FAIL4", ts.StateReset,
     E.UNKNOWN_CMD),
    (ts.StateSession, inject_command(SC.PARAMETER), ("SESSION_FAIL3", CMD_MSG), "SESSION_FAIL3", ts.StateReset,
     E.INVALID_CMD),
    (ts.StateSession, lambda s: s.send_reset(ts.FSOEError.INVALID_CRC), ("SESSION_RESET1",
     reset_message("INVALID_CRC")), "SESSION_RESET1", None, None),
    (ts.StateConnection, lambda s: s.corrupt_crc(), ("CONN_FAIL1", CRC_MSG), "CONN_FAIL1", ts.StateReset,
     E.INVALID_CRC),
    (ts.StateConnection, lambda s: s.corrupt_echo(), ("CONN_FAIL2", "Data exchanged during session state does "
     "not match"), "CONN_FAIL2", ts.StateReset, E.INVALID_DATA),
    (ts.StateConnection, lambda s: s.corrupt_connection_id(), ("CONN_FAIL3", "Connection id exchanged does not "
     r"match \d+ != 7"), "CONN_FAIL3", ts.StateReset, E.INVALID_CONNID),
    (ts.StateConnection, inject_command(SC.SESSION), ("CONN_FAIL4", CMD_MSG), "CONN_FAIL4", ts.StateReset,
     E.INVALID_CMD),
    (ts.StateConnection, inject_command(0x00), ("CONN_FAIL5", CMD_MSG), "CONN_FAIL5", ts.StateReset,
     E.UNKNOWN_CMD),
    (ts.StateConnection, lambda s: s.send_reset(200), ("CONN_RESET1", reset_message("INVALID_SAFEPARA_200")),
     "CONN_RESET1", ts.StateSession, None),
    (ts.StateParameter, lambda s: s.corrupt_crc(), ("PARA_FAIL1", CRC_MSG), "PARA_FAIL1", ts.StateReset,
     E.INVALID_CRC),
    (ts.StateParameter, lambda s: s.corrupt_echo(), ("PARA_FAIL2", "Data exchanged during parameter state does "
     "not match"), "PARA_FAIL2", ts.StateReset, E.INVALID_DATA),
    (ts.StateParameter, inject_command(SC.PROCESS_DATA), ("PARA_FAIL4", CMD_MSG), "PARA_FAIL4", ts.StateReset,
     E.INVALID_CMD),
    (ts.StateParameter, lambda s: s.send_reset(42), ("PARA_RESET1", reset_message("42")), "PARA_RESET1",
     ts.StateSession, None),
    (ts.StateData, lambda s: s.corrupt_crc(), ("DATA_FAIL1", CRC_MSG), "DATA_FAIL1", ts.StateReset, E.INVALID_CRC),
    (ts.StateData, lambda s: s.corrupt_connection_id(), ("DATA_FAIL2", "Connection id exchanged does not match "
     r"\d+ != 7"), "DATA_FAIL2", ts.StateReset, E.INVALID_CONNID),
    (ts.StateData, inject_command(SC.CONNECTION), ("DATA_FAIL3", CMD_MSG), "DATA_FAIL3", ts.StateReset,
     E.INVALID_CMD),
    (ts.StateData, inject_command(0x37), ("DATA_FAIL4", CMD_MSG), "DATA_FAIL4", ts.StateReset, E.UNKNOWN_CMD),
    (ts.StateData, lambda s: s.send_reset(ts.FSOEError.WD_EXPIRED), ("DATA_RESET1", reset_message("WD_EXPIRED")),
     "DATA_RESET1", ts.StateSession, None),
    (ts.StateData, lambda s: s.send_reset(100), ("DATA_RESET1", reset_message("100")), "DATA_RESET1",
     ts.StateSession, None),
]


@pytest.mark.parametrize("state, inject, report, transition, next_state, error", FAULTS,
                         ids=[f"{row[3]}-{i}" for i, row in enumerate(FAULTS)])
def test_fault_reported_answered_and_recovered(link, state, inject, report, transition, next_state, error):
    one = link(size=1)  # one byte per frame: every start-up state lasts several cycles
    one.run_to(state)
    one.transitions.clear()
    one.changes.clear()
    inject(one.slave)
    one.cycle()
    assert len(one.errors) == 1 and one.errors[0][0] == report[0]
    assert re.fullmatch(report[1], one.errors[0][1]) or one.errors[0][1] == report[1]
    report = one.errors[0]
    assert one.transitions == [transition]
    assert one.changes == ([] if next_state is None else [next_state])
    if error is not None:
        request = one.handler.get_request()
        assert request[0] == C.RESET.value and request[1] == int(error)
    one.run_to(ts.StateData)
    assert one.errors == [report], "the connection came back with spurious faults"
    for _ in range(5):
        one.cycle()
    assert one.handler.state is ts.StateData and one.errors == [report]


@pytest.mark.parametrize("state", [ts.StateSession, ts.StateConnection, ts.StateParameter, ts.StateData])
def test_watchdog_expiry_in_every_state(link, state):
    one = link(size=1)
    one.run_to(state)
    one.transitions.clear()
    one.handler._watchdog_expired_event()
    wd = {ts.StateSession: "SESSION_WD", ts.StateConnection: "CONN_WD", ts.StateParameter: "PARA_WD",
          ts.StateData: "DATA_WD"}[state]
    assert one.errors == [(wd, "The watchdog of the master expired")]
    assert one.transitions == [wd] and one.handler.state is ts.StateReset
    assert one.handler.get_request()[1] == E.WD_EXPIRED
    if state is ts.StateSession:
        # The slave never saw the first Session frame: its acknowledgement of the new Reset is
        # the Reset frame it already sent, so the master goes on at its next expiry.
        for _ in range(3):
            one.cycle()
        assert one.handler.state is ts.StateReset and len(one.errors) == 1
        one.handler._watchdog_expired_event()
        assert one.errors[1] == ("RESET_WD", "The watchdog of the master expired")
    one.run_to(ts.StateData)
    assert len(one.errors) == 1 + (state is ts.StateSession)


@pytest.mark.parametrize("size", [1, 2, 16])
def test_data_cycles_move_values_both_ways(link, size):
    one = link(size=size, params=((0x1234, 2), (7, 1)))
    one.run_to(ts.StateData)
    one.handler.set_fail_safe(False)
    for n in range(1, 8):
        for i, item in enumerate(one.outputs):
            item.set((n * 31 + i) & 0xFF)
        one.slave.inputs = bytes((n * 17 + i) & 0xFF for i in range(size))
        one.cycle()
        one.cycle()
        assert [item.get() for item in one.inputs] == list(one.slave.inputs)
        assert list(one.slave.outputs) == [item.get() for item in one.outputs]
    assert one.errors == [] and not one.slave.rejections


# 3 bytes: no CRC slot at all; 7 bytes: the first slot of the slave's own reply, whose CRC is
# right for it.
@pytest.mark.parametrize("length", [3, 6, 7])
def test_reply_of_another_size_never_sets_inputs(link, length):
    one = link(size=4)
    one.run_to(ts.StateData)
    one.handler.set_fail_safe(False)
    one.slave.inputs = bytes([1, 2, 3, 4])
    for _ in range(3):
        one.cycle()
    assert [item.get() for item in one.inputs] == [1, 2, 3, 4]
    good = one.slave.reply(one.handler.get_request())
    # A well-formed image of another size, made from the slave's own reply.
    one.cycle(reply=bytes([C.PROCESS_DATA.value]) + good[1:length - 2] + good[-2:] if length > 3
              else bytes([C.PROCESS_DATA.value]) + good[-2:])
    assert one.errors == [("DATA_FAIL1", CRC_MSG)]
    assert [item.get() for item in one.inputs] == [0xEE] * 4  # fail-safe, never the short reply's bytes


# A valid reply followed by more bytes than any frame image holds: the image's length gives
# another safe-data size, so its data is never taken, however valid its first bytes are.
@pytest.mark.parametrize("extra", [9, 100])
def test_reply_longer_than_any_frame_never_sets_inputs(link, extra):
    one = link(size=16)
    one.run_to(ts.StateData)
    one.handler.set_fail_safe(False)
    one.slave.inputs = bytes(range(1, 17))
    for _ in range(3):
        one.cycle()
    assert [item.get() for item in one.inputs] == list(range(1, 17))
    one.slave.inputs = bytes(range(101, 117))
    good = one.slave.reply(one.handler.get_request())
    one.cycle(reply=good + bytes(extra))
    assert one.errors == [("DATA_FAIL1", CRC_MSG)]
    assert [item.get() for item in one.inputs] == [0xEE] * 16


def test_host_subclass_of_a_state_is_honoured(link):
    one = link()
    one.run_to(ts.StateData)
    calls = []

    class CountingData(ts.StateData):
        def _process_frame_received_event(self):
            calls.append("event")
            return super()._process_frame_received_event()

        def _StateData__data_ok1_action(self):
            calls.append("ok1")
            return ts.StateData._StateData__data_ok1_action(self)

        def map_frame(self):
            calls.append("map_frame")
            ts.StateData.map_frame(self)

    one.handler._state = CountingData(context=one.handler)
    one.handler.set_fail_safe(False)
    one.cycle()
    one.cycle()
    assert calls == ["event", "ok1", "map_frame"] * 2
    assert one.errors == []


def test_transitions_reach_the_console_trace(monkeypatch, capsys):
    monkeypatch.setattr(ts, "TAMSEL_LOGGING", True)
    one = Link(ts.MasterHandler)
    try:
        one.run_to(ts.StateData)
        out = capsys.readouterr().out
    finally:
        one.close()
    lines = [line for line in out.splitlines() if "TRANSITION" in line]
    assert lines[:3] == ["MASTER | TRANSITION | RESET_START", "MASTER | TRANSITION | RESET_OK",
                         "MASTER | TRANSITION | SESSION_OK"]
    assert lines[-1] == "MASTER | TRANSITION | PARA_OK"


def test_both_paths_send_the_same_bytes(monkeypatch):
    monkeypatch.setattr(ts, "randint", lambda low, high: 0x2961)
    runs = []
    for handler_cls in (ts.MasterHandler, HostHandler):
        one = Link(handler_cls, size=2, params=((0x1234, 2),))
        one.slave.session_id = 0x3C5A
        requests = []
        try:
            for n in range(40):
                if n == 20:
                    one.slave.corrupt_crc()
                if n == 30:
                    one.slave.send_reset(ts.FSOEError.INVALID_DATA)
                requests.append(one.handler.get_request())
                one.cycle()
            runs.append((requests, one.errors, one.changes))
        finally:
            one.close()
    assert runs[0] == runs[1]
    assert [name for name, _ in runs[0][1]] == ["DATA_FAIL1", "DATA_RESET1"]
