"""Every fault of every state against the independent slave emulator: the exact report, the
transition, the error code of the next Reset request, and the recovery to Data."""
import random
import time

import pytest

import tamsel.tamsel as ts
from end_to_end_link import Link
from slave_emulator import Command, Error

CONNECTION_ID = 0x1234
BAD_ID = CONNECTION_ID ^ 0x5A5A
INVALID_CMD = "Invalid slave frame command"
INVALID_CRC = "Invalid slave CRC"
WATCHDOG = "The watchdog of the master expired"
ID_MISMATCH = f"Connection id exchanged does not match {BAD_ID} != {CONNECTION_ID}"
STATES = {"reset": ts.StateReset, "session": ts.StateSession, "connection": ts.StateConnection,
          "parameter": ts.StateParameter, "data": ts.StateData}


@pytest.fixture
def link():
    made = Link.make(out_size=2, in_size=2, params=((0xBEEF, 2),), connection_id=CONNECTION_ID)
    yield made
    made.close()


def reach(link, state):
    link.handler.start()
    link.run_until(STATES[state])


def inject(link, how):
    kind, argument = how
    getattr(link.slave, kind)(*([] if argument is None else [argument]))


def next_reset_code(link):
    request = link.handler.get_request()
    assert request[0] == Command.RESET
    return int.from_bytes(request[1:3], "little")


# (state, injection, report or None, error code of the next Reset request or None when the
# master stays or opens a new session)
FAULTS = [
    ("session", ("corrupt_crc", 0), ("SESSION_STAY2", INVALID_CRC), None),
    ("session", ("send_command", Command.CONNECTION), ("SESSION_FAIL3", INVALID_CMD), Error.INVALID_CMD),
    ("session", ("send_command", Command.PROCESS_DATA), ("SESSION_FAIL3", INVALID_CMD), Error.INVALID_CMD),
    ("session", ("send_command", 0x99), ("SESSION_FAIL4", INVALID_CMD), Error.UNKNOWN_CMD),
    # Session frames carry connection id 0 and it is not compared, but it is part of the CRCs
    ("session", ("corrupt_connection_id", None), ("SESSION_STAY2", INVALID_CRC), None),
    ("connection", ("corrupt_crc", 0), ("CONN_FAIL1", INVALID_CRC), Error.INVALID_CRC),
    ("connection", ("corrupt_echo", None), ("CONN_FAIL2", "Data exchanged during session state does not match"),
     Error.INVALID_DATA),
    ("connection", ("corrupt_connection_id", None), ("CONN_FAIL3", ID_MISMATCH), Error.INVALID_CONNID),
    # a frame of another size: its CRCs match, but it carries no data of this connection
    ("connection", ("send_size", 4), ("CONN_FAIL1", INVALID_CRC), Error.INVALID_CRC),
    ("connection", ("send_command", Command.SESSION), ("CONN_FAIL4", INVALID_CMD), Error.INVALID_CMD),
    ("connection", ("send_command", Command.PARAMETER), ("CONN_FAIL4", INVALID_CMD), Error.INVALID_CMD),
    ("connection", ("send_command", 0x00), ("CONN_FAIL5", INVALID_CMD), Error.UNKNOWN_CMD),
    ("parameter", ("corrupt_crc", 0), ("PARA_FAIL1", INVALID_CRC), Error.INVALID_CRC),
    ("parameter", ("corrupt_echo", None), ("PARA_FAIL2", "Data exchanged during parameter state does not match"),
     Error.INVALID_DATA),
    ("parameter", ("corrupt_connection_id", None), ("PARA_FAIL3", ID_MISMATCH), Error.INVALID_CONNID),
    ("parameter", ("send_size", 4), ("PARA_FAIL1", INVALID_CRC), Error.INVALID_CRC),
    ("parameter", ("send_command", Command.PROCESS_DATA), ("PARA_FAIL4", INVALID_CMD), Error.INVALID_CMD),
    ("parameter", ("send_command", 0xFF), ("PARA_FAIL5", INVALID_CMD), Error.UNKNOWN_CMD),
    ("data", ("corrupt_crc", 0), ("DATA_FAIL1", INVALID_CRC), Error.INVALID_CRC),
    ("data", ("corrupt_connection_id", None), ("DATA_FAIL2", ID_MISMATCH), Error.INVALID_CONNID),
    ("data", ("send_command", Command.SESSION), ("DATA_FAIL3", INVALID_CMD), Error.INVALID_CMD),
    ("data", ("send_command", Command.CONNECTION), ("DATA_FAIL3", INVALID_CMD), Error.INVALID_CMD),
    ("data", ("send_command", Command.PARAMETER), ("DATA_FAIL3", INVALID_CMD), Error.INVALID_CMD),
    ("data", ("send_command", 0x37), ("DATA_FAIL4", INVALID_CMD), Error.UNKNOWN_CMD),
    ("reset", ("corrupt_crc", 0), None, None),  # Reset checks no CRC
    ("reset", ("corrupt_connection_id", None), None, None),
]


@pytest.mark.parametrize("state, how, report, code", FAULTS,
                         ids=[f"{s}-{h[0]}-{h[1]}" for s, h, _, _ in FAULTS])
def test_fault_is_reported_answered_and_recovered(link, state, how, report, code):
    reach(link, state)
    changes_before = list(link.changes)
    inject(link, how)
    link.cycle()
    assert link.errors == ([report] if report else [])
    if code is not None:
        assert link.handler.state is ts.StateReset
        assert link.changes == changes_before + [ts.StateReset]
        assert next_reset_code(link) == code
        link.cycle()
        assert link.slave.master_error == code
    link.connect()
    assert link.errors == ([report] if report else [])
    assert link.slave.rejections == []
    assert link.changes[-4:] == [ts.StateSession, ts.StateConnection, ts.StateParameter, ts.StateData]


@pytest.mark.parametrize("state", ["session", "connection", "parameter", "data"])
@pytest.mark.parametrize("error, name", [(Error.INVALID_CRC, "INVALID_CRC"), (42, "42")])
def test_slave_reset_opens_a_new_session(link, state, error, name):
    reach(link, state)
    inject(link, ("send_reset", error))
    link.cycle()
    prefix = {"session": "SESSION", "connection": "CONN", "parameter": "PARA", "data": "DATA"}[state]
    assert link.errors == [(f"{prefix}_RESET1", f"Connection was reset by the slave (slave reported error {name})")]
    assert link.handler.state is ts.StateSession
    request = link.handler.get_request()
    assert request[0] == Command.SESSION and int.from_bytes(request[-2:], "little") == 0
    # the first slave frame of the new session is expected with sequence number 1
    assert link.handler.slave.frame.control.sequence_number == 1
    link.connect()
    assert len(link.errors) == 1 and link.slave.rejections == []
    assert link.handler.master.session.session_id.value == link.slave.master_session_id


def test_second_session_frame_with_bad_crc_ends_the_session():
    link = Link.make(out_size=1, in_size=1, connection_id=CONNECTION_ID)
    try:
        reach(link, "session")
        link.cycle()  # first Session answer: the id needs a second frame
        assert link.handler.state is ts.StateSession and link.handler._second_session_frame_sent
        link.slave.corrupt_crc()
        link.cycle()
        assert link.errors == [("SESSION_FAIL1", INVALID_CRC)]
        assert link.handler.state is ts.StateReset
        request = link.handler.get_request()
        assert request[0] == Command.RESET and request[1] == Error.INVALID_CRC
        link.connect()
        assert link.errors == [("SESSION_FAIL1", INVALID_CRC)] and link.slave.rejections == []
    finally:
        link.close()


def test_wrong_command_in_reset_stays_until_the_watchdog():
    link = Link.make(out_size=2, in_size=2, connection_id=CONNECTION_ID, timeout_s=0.05)
    try:
        link.handler.start()
        link.slave.send_command(Command.SESSION)
        link.cycle()
        assert link.errors == [("RESET_STAY1", INVALID_CMD)]
        assert next_reset_code(link) == Error.RESET
        # The master repeats its Reset frame, the slave its answer: nothing new until the
        # watchdog moves Reset on to Session.
        deadline = time.monotonic() + 2
        while link.handler.state is ts.StateReset and time.monotonic() < deadline:
            link.cycle()
            time.sleep(0.005)
        assert link.errors == [("RESET_STAY1", INVALID_CMD), ("RESET_WD", WATCHDOG)]
        link.connect()
        assert link.slave.rejections == []
    finally:
        link.close()


@pytest.mark.parametrize("state, report", [("reset", "RESET_WD"), ("session", "SESSION_WD"),
                                           ("connection", "CONN_WD"), ("parameter", "PARA_WD"), ("data", "DATA_WD")])
def test_watchdog_expiry_in_every_state(link, state, report):
    reach(link, state)
    link.handler._watchdog_expired_event()
    assert link.errors == [(report, WATCHDOG)]
    reports = [(report, WATCHDOG)]
    if state == "reset":
        assert link.handler.state is ts.StateSession
    else:
        assert link.handler.state is ts.StateReset
        assert next_reset_code(link) == Error.WD_EXPIRED
    if state == "session":
        # The slave never saw the first Session frame: it acknowledges the new Reset with the
        # Reset frame it already sent, no new frame, so the master goes on at its next expiry.
        link.cycle(3)
        assert link.handler.state is ts.StateReset and link.errors == reports
        link.handler._watchdog_expired_event()
        reports.append(("RESET_WD", WATCHDOG))
    link.connect()
    assert link.errors == reports and link.slave.rejections == []


def test_real_watchdog_expiry_in_data_runs_on_the_watchdog_thread():
    import threading

    threads = []
    link = Link.make(out_size=16, in_size=16, connection_id=CONNECTION_ID, timeout_s=0.2)
    link.handler._MasterHandler__report_error_callback = (
        lambda name, message: (threads.append(threading.current_thread()), link.errors.append((name, message))))
    try:
        link.connect()
        link.handler.set_fail_safe(False)
        values = [1.0] + [0] * (len(link.inputs) - 1)
        link.set_slave_inputs(values)
        link.cycle()
        deadline = time.monotonic() + 2
        while not link.errors and time.monotonic() < deadline:
            time.sleep(0.01)
        assert link.errors == [("DATA_WD", WATCHDOG)]
        assert threads == [link.handler._watchdog]
        assert link.handler.state is ts.StateReset and next_reset_code(link) == Error.WD_EXPIRED
        assert link.input_values()[0] == 0.0  # inputs back at their fail-safe values
        link.connect()
        assert link.slave.rejections == []
    finally:
        link.close()


HOSTILE_PREFIX = {ts.StateReset: "RESET_", ts.StateSession: "SESSION_", ts.StateConnection: "CONN",
                  ts.StateParameter: "PARA_", ts.StateData: "DATA_"}


@pytest.mark.parametrize("state", STATES)
def test_hostile_replies_of_every_length_are_reported_never_raised(state):
    rng = random.Random(list(STATES).index(state))
    for length in range(65):
        link = Link.make(out_size=2, in_size=2, connection_id=CONNECTION_ID)
        try:
            reach(link, state)
            for _ in range(3):
                data = bytes(rng.randrange(256) for _ in range(length))
                if data == link.handler._MasterHandler__last_reply:
                    continue
                before, current = len(link.errors), link.handler.state
                link.handler.set_reply(data)
                accepted = current is ts.StateReset and length and data[0] == Command.RESET
                if accepted:
                    assert len(link.errors) == before
                else:
                    assert len(link.errors) == before + 1, (state, data)
                    assert link.errors[-1][0].startswith(HOSTILE_PREFIX[current])
            link.connect()
        finally:
            link.close()
