"""Every error class of the black-channel model, injected in every state of the connection, in
both directions, against the simulated slave (two bytes per frame) and the independent emulator
(one byte per frame, so that session and connection data take several frames), each in lock
step and with frames 1 to 2 cycles late in each direction. Each case shows
what detects the fault and how fast, the error code the master sends, that the host never
holds a value the slave did not send and the slave never acts on one the host did not write,
and that the connection comes back; or, where the protocol lets the fault pass by design, that
it changes nothing.

`make safety-report` turns the run into the traceability matrix (safety_evidence.py)."""
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tamsel.tamsel as ts
from black_channel import (DETECTIONS, PREFIX, Bench, Device, Router, corrupt, flip, forge, hold, lose,
                           replay, repeat, splice, swap)
from bus_link import BusLink
from slave_emulator import Command, SlaveEmulator
from tamsel.slave import Slave

W = 20  # cycles without a new slave frame before the master's watchdog expires
PROFILES = {
    "simulated": dict(side="simulated", d_ms=0, d_sm=0, out_size=2, in_size=2),
    "emulator": dict(side="emulator", d_ms=0, d_sm=0, out_size=1, in_size=1),
    "simulated-late": dict(side="simulated", d_ms=1, d_sm=2, out_size=2, in_size=2),
    "emulator-late": dict(side="emulator", d_ms=2, d_sm=1, out_size=1, in_size=1),
}
STATE_NAMES = ["Session", "Connection", "Parameter", "Data"]
RECOVERY = 6 * W + 120  # cycles from the detection back to process data, at most
E = ts.BaseError
# The error code the master sends after each fault it finds itself.
CODES = {
    "SESSION_FAIL1": E.INVALID_CRC, "SESSION_FAIL3": E.INVALID_CMD, "SESSION_FAIL4": E.UNKNOWN_CMD,
    "CONN_FAIL1": E.INVALID_CRC, "CONN_FAIL2": E.INVALID_DATA, "CONN_FAIL3": E.INVALID_CONNID,
    "CONN_FAIL4": E.INVALID_CMD, "CONN_FAIL5": E.UNKNOWN_CMD,
    "PARA_FAIL1": E.INVALID_CRC, "PARA_FAIL2": E.INVALID_DATA, "PARA_FAIL3": E.INVALID_CONNID,
    "PARA_FAIL4": E.INVALID_CMD, "PARA_FAIL5": E.UNKNOWN_CMD,
    "DATA_FAIL1": E.INVALID_CRC, "DATA_FAIL2": E.INVALID_CONNID, "DATA_FAIL3": E.INVALID_CMD,
    "DATA_FAIL4": E.UNKNOWN_CMD,
    "SESSION_WD": E.WD_EXPIRED, "CONN_WD": E.WD_EXPIRED, "PARA_WD": E.WD_EXPIRED, "DATA_WD": E.WD_EXPIRED,
}
OTHER_ID, OTHER_ADDRESS = 0x4321, 0x0B


def make_bench(profile, seed=23, **changes):
    random.seed(seed)  # the master's session ids
    return Bench(BusLink.make(watchdog_cycles=W, **{"session_id": 0x5A5A, **PROFILES[profile], **changes}))


@pytest.fixture
def benches():
    made = []

    def make(profile, **changes):
        made.append(make_bench(profile, **changes))
        return made[-1]

    yield make
    for bench in made:
        bench.link.close()


# --- expectations ------------------------------------------------------------------------------


def per_state(session, connection, parameter, data):
    return dict(zip(STATE_NAMES, (set(session), {connection}, {parameter}, {data})))


SESSION_CRC = ("SESSION_STAY2", "SESSION_FAIL1")
RESET1 = {state: {f"{PREFIX[state]}_RESET1"} for state in STATE_NAMES}
WATCHDOG = {state: {f"{PREFIX[state]}_WD"} for state in STATE_NAMES}
NEXT_STATE = {"Session": "Connection", "Connection": "Parameter", "Parameter": "Data", "Data": "Data"}
# A fault in the last exchange of a state can surface in the next one.
ANY = {state: DETECTIONS[state] | DETECTIONS[NEXT_STATE[state]] for state in STATE_NAMES}


def in_data(name):
    """Any detection, except that in steady process data exactly `name` must report it."""
    return {**ANY, "Data": {name}}


NOT_NEW = "a frame that arrives again unchanged is not new: each side takes a frame once, so nothing changes"
LATE_COPY = "each side sends its latest frame every cycle: a lost or late copy only delays the exchange"
FAIL_SAFE = "a FAILSAFE_DATA frame only makes the receiver use fail-safe values"
NEXT_COMMAND = {"Session": Command.CONNECTION, "Connection": Command.PARAMETER,
                "Parameter": Command.PROCESS_DATA, "Data": Command.SESSION}


def harmless(reason, otherwise=None):
    """Passes without a report; `otherwise` (per state), where a later copy of the genuine frame
    can still run into a check, the detections allowed instead."""
    return ("harmless", reason, otherwise)


def crc_offset(size):
    return 2 if size == 1 else 3


def masquerade(bench, direction, command=None, connection_id=None):
    """Forges the next new frame in `direction`: another command, or the connection id xor
    `connection_id`, with valid CRCs."""
    sizes = (bench.link.handler.master.frame.safe_data_size_bytes, bench.link.handler.slave.frame.safe_data_size_bytes)
    size, other = sizes if direction == "to_slave" else sizes[::-1]

    def act(fault, now, frame):
        new_id = None if connection_id is None else int.from_bytes(frame[-2:], "little") ^ connection_id
        return [forge(frame, size, bench.keys(direction, other), command=command, connection_id=new_id)]
    return act


# (error class, variant, direction, fault maker (bench, state, size) -> act, expectation by state,
# detection bound in cycles beyond the link's latency)
TO_MASTER = [
    ("corruption", "data bit", lambda b, s, n: corrupt(flip(1)),
     per_state(SESSION_CRC, "CONN_FAIL2", "PARA_FAIL2", "DATA_FAIL1"), 1),
    ("corruption", "CRC bit", lambda b, s, n: corrupt(flip(crc_offset(n), 0x80)),
     per_state(SESSION_CRC, "CONN_FAIL1", "PARA_FAIL1", "DATA_FAIL1"), 1),
    ("corruption", "command bit", lambda b, s, n: corrupt(flip(0)),
     per_state(["SESSION_FAIL4"], "CONN_FAIL5", "PARA_FAIL5", "DATA_FAIL4"), 1),
    ("corruption", "connection id bit", lambda b, s, n: corrupt(flip(-2, 0x10)),
     per_state(SESSION_CRC, "CONN_FAIL3", "PARA_FAIL3", "DATA_FAIL2"), 1),
    ("unintended repetition", "same frame again", lambda b, s, n: repeat(3), harmless(NOT_NEW), 0),
    ("unintended repetition", "stale frame replayed", lambda b, s, n: replay(2), in_data("DATA_FAIL1"), 2),
    ("incorrect sequence", "two frames swapped", lambda b, s, n: swap(), in_data("DATA_FAIL1"), 2),
    ("loss", "one frame", lambda b, s, n: lose(1), harmless(LATE_COPY), 0),
    ("loss", "frames lost past the watchdog", lambda b, s, n: lose(W + 5), WATCHDOG, W),
    ("loss", "frames lost past two watchdog times", lambda b, s, n: lose(2 * W + 5), WATCHDOG, W),
    ("unacceptable delay", "held within the watchdog", lambda b, s, n: hold(W // 2), harmless(LATE_COPY), 0),
    ("unacceptable delay", "held past the watchdog", lambda b, s, n: hold(W + 5), WATCHDOG, W),
    ("insertion", "frame of another connection", lambda b, s, n: splice(foreign_frame(b, s, "to_master")),
     in_data("DATA_FAIL2"), 2),
    ("insertion", "frame of an earlier session", lambda b, s, n: splice(earlier_frame(b, s, "to_master")),
     in_data("DATA_FAIL1"), 2),
    ("masquerade", "valid CRCs, another connection id",
     lambda b, s, n: masquerade(b, "to_master", connection_id=0x0101),
     {"Session": ANY["Session"], "Connection": {"CONN_FAIL3"}, "Parameter": {"PARA_FAIL3"},
      "Data": {"DATA_FAIL2"}}, 2),
    ("masquerade", "valid CRCs, the command of the next state",
     lambda b, s, n: masquerade(b, "to_master", command=NEXT_COMMAND[s]),
     per_state(["SESSION_FAIL3"], "CONN_FAIL4", "PARA_FAIL4", "DATA_FAIL3"), 1),
    ("masquerade", "valid CRCs, FAILSAFE_DATA",
     lambda b, s, n: masquerade(b, "to_master", command=Command.FAILSAFE_DATA),
     {"Session": {"SESSION_FAIL3"}, "Connection": {"CONN_FAIL4"}, "Parameter": {"PARA_FAIL4"},
      "Data": harmless(FAIL_SAFE, ANY)}, 1),
]
TO_SLAVE = [
    ("corruption", "data bit", lambda b, s, n: corrupt(flip(1)), RESET1, 2),
    ("corruption", "CRC bit", lambda b, s, n: corrupt(flip(crc_offset(n), 0x80)), RESET1, 2),
    ("corruption", "command bit", lambda b, s, n: corrupt(flip(0)), RESET1, 2),
    ("corruption", "connection id bit", lambda b, s, n: corrupt(flip(-2, 0x10)), RESET1, 2),
    ("unintended repetition", "same frame again", lambda b, s, n: repeat(3), harmless(NOT_NEW), 0),
    ("unintended repetition", "stale frame replayed", lambda b, s, n: replay(2), in_data("DATA_RESET1"), 3),
    ("incorrect sequence", "two frames swapped", lambda b, s, n: swap(), in_data("DATA_RESET1"), 3),
    ("loss", "one frame", lambda b, s, n: lose(1), harmless(LATE_COPY), 0),
    ("loss", "frames lost past the watchdog", lambda b, s, n: lose(W + 5), WATCHDOG, W),
    ("unacceptable delay", "held within the watchdog", lambda b, s, n: hold(W // 2), harmless(LATE_COPY), 0),
    ("unacceptable delay", "held past the watchdog", lambda b, s, n: hold(W + 5), WATCHDOG, W),
    ("insertion", "frame of another connection", lambda b, s, n: splice(foreign_frame(b, s, "to_slave")),
     in_data("DATA_RESET1"), 3),
    ("insertion", "frame of an earlier session", lambda b, s, n: splice(earlier_frame(b, s, "to_slave")),
     in_data("DATA_RESET1"), 3),
    ("masquerade", "valid CRCs, another connection id",
     lambda b, s, n: masquerade(b, "to_slave", connection_id=0x0101), RESET1, 2),
    ("masquerade", "valid CRCs, the command of the next state",
     lambda b, s, n: masquerade(b, "to_slave", command=NEXT_COMMAND[s]), RESET1, 2),
    ("masquerade", "valid CRCs, FAILSAFE_DATA",
     lambda b, s, n: masquerade(b, "to_slave", command=Command.FAILSAFE_DATA),
     {**RESET1, "Data": harmless(FAIL_SAFE, ANY)}, 2),
]
CASES = [("to_master", *case) for case in TO_MASTER] + [("to_slave", *case) for case in TO_SLAVE]


STATE_COMMAND = {"Session": Command.SESSION, "Connection": Command.CONNECTION,
                 "Parameter": Command.PARAMETER, "Data": Command.PROCESS_DATA}


def first_frame_in(bench, state, direction):
    """The first frame of `state`'s command that `direction` carried."""
    for record in bench.link.records:
        frame = record.master_got if direction == "to_master" else record.master_sent
        if frame and frame[0] == STATE_COMMAND[state]:
            return frame
    raise AssertionError(f"no frame of {state}")


def foreign_frame(bench, state, direction):
    other = make_bench(bench.profile, seed=24, session_id=0x0F0F, connection_id=OTHER_ID, slave_address=OTHER_ADDRESS)
    try:
        other.run_until(other.connected, 400)
    finally:
        other.link.close()
    return first_frame_in(other, state, direction)


def earlier_frame(bench, state, direction):
    return first_frame_in(bench, state, direction)


# --- the sweep ---------------------------------------------------------------------------------


def reached(benches, profile, state, earlier_session=False):
    bench = benches(profile)
    bench.profile = profile
    if earlier_session:
        bench.run_until(bench.connected, 400)
        bench.handler.reset()
    bench.reach(state)
    return bench


def sent_code(request):
    """The error code of a master Reset frame (None for another frame)."""
    if request[0] != Command.RESET:
        return None
    return request[1] if len(request) == 6 else int.from_bytes(request[1:3], "little")


def check_detection(bench, evidence, expected, arrival, bound):
    """Checks the first report since the fault arrived, the error code the master sends, the
    inputs, and the way back; the run stands right after the report's cycle."""
    report_cycle = bench.first_report_cycle(arrival)
    assert report_cycle is not None, f"not detected: {bench.link.describe()}"
    name, message = bench.reports_from(arrival)[0]
    cycles = report_cycle - arrival + 1
    assert name in expected, (name, message, bench.link.describe())
    assert cycles <= bound, (cycles, bench.link.describe())
    evidence.detected(cycles)
    if name in CODES:
        assert sent_code(bench.handler.get_request()) == CODES[name]
    if name.endswith("_RESET1"):
        assert message.startswith("Connection was reset by the slave (slave reported error ")
    assert {n: bench.handler.dictionary.get(n) for n in bench.fail_safe} == bench.fail_safe
    evidence.recovered(bench.run_until(bench.connected, RECOVERY))


def run_case(bench, evidence, state, error_class, variant, arm, expected, bound):
    """Injects a fault (`arm()` starts it and returns a function telling the cycle the faulty
    frame arrived, None before), then checks the detection, or the harmlessness, of it."""
    evidence.inject(error_class, state, variant)
    arrived = arm()
    bench.run_until(lambda: arrived() is not None, 50)
    arrival = arrived()
    window = arrival + bound + W + 5
    bench.run_until(lambda: bench.first_report_cycle(arrival) is not None or bench.link.cycle > window, window)
    if isinstance(expected, tuple):
        _, reason, otherwise = expected
        if bench.first_report_cycle(arrival) is None:
            bench.run_until(bench.connected, RECOVERY)
            assert not bench.reports_from(arrival), bench.link.describe()
            evidence.harmless(reason)
            return
        assert otherwise is not None, bench.link.describe()
        expected = otherwise[state]
    check_detection(bench, evidence, expected, arrival, bound + bench.link.to_master.delay + 1)


@pytest.mark.parametrize("profile", PROFILES)
@pytest.mark.parametrize("state", STATE_NAMES)
@pytest.mark.parametrize("direction, error_class, variant, make_fault, expectation, bound", CASES,
                         ids=[f"{c[1]}-{c[2]}-{c[0]}".replace(" ", "_").replace(",", "") for c in CASES])
def test_fault_is_detected_or_harmless(benches, evidence, profile, state, direction, error_class, variant,
                                       make_fault, expectation, bound):
    earlier = variant == "frame of an earlier session"
    bench = reached(benches, profile, state, earlier_session=earlier)
    size = bench.handler.slave.frame.safe_data_size_bytes if direction == "to_master" else \
        bench.handler.master.frame.safe_data_size_bytes
    expected = expectation if isinstance(expectation, tuple) else expectation[state]
    act = make_fault(bench, state, size)
    channel = getattr(bench.link, direction)

    def arm():
        fault = bench.arm(direction, act)
        return lambda: None if fault.cycle is None else fault.cycle + channel.delay

    way = "slave to master" if direction == "to_master" else "master to slave"
    run_case(bench, evidence, state, error_class, f"{variant}, {way}", arm, expected, bound)


def other_slave(bench, profile, connection_id):
    """A slave at another address, with the same sizes and parameters as the bench's."""
    session = bench.handler.master.session
    params = [(p.raw_value, p.n_bytes) for p in bench.handler.master.application_parameters]
    sizes = bench.handler.master.dictionary_map.safety_bytes, bench.handler.slave.dictionary_map.safety_bytes
    if profile == "emulator":
        return SlaveEmulator(slave_address=OTHER_ADDRESS, connection_id=connection_id,
                             watchdog_ms=session.watchdog_ms.value, outputs_size=sizes[0], inputs_size=sizes[1],
                             app_params=params, session_id=0x0F0F)
    return Slave(OTHER_ADDRESS, connection_id, session.watchdog_ms.value, *sizes, params, session_id=0x0F0F,
                 supervise_watchdog=False)


@pytest.mark.parametrize("profile", PROFILES)
@pytest.mark.parametrize("state", STATE_NAMES)
def test_frame_for_another_slave_is_detected(benches, evidence, profile, state):
    """One master frame reaches a slave at another address (with its own connection), whose
    answer comes back in place of the right slave's."""
    bench = reached(benches, profile, state)
    router = bench.link.side = Router(bench.link.side, other_slave(bench, profile, OTHER_ID),
                                      bench.link.records[-1].slave_got)

    def arm():
        router.misroute()
        return lambda: router.cycle

    run_case(bench, evidence, state, "addressing", "a master frame answered by a slave at another address",
             arm, ANY[state], 2)


@pytest.mark.parametrize("state", STATE_NAMES)
@settings(max_examples=25, deadline=None, derandomize=True, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(garbage=st.binary(max_size=40))
def test_any_bytes_in_place_of_a_slave_frame_are_refused(evidence, state, garbage):
    bench = make_bench("simulated")
    try:
        bench.reach(state)

        def arm():
            fault = bench.arm("to_master", corrupt(lambda frame: garbage))
            return lambda: fault.cycle

        run_case(bench, evidence, state, "corruption", "random bytes of any length, slave to master", arm,
                 ANY[state], 1)
    finally:
        bench.link.close()


@pytest.mark.parametrize("profile", PROFILES)
def test_bad_crc_once_the_second_session_frame_is_out_ends_the_session(benches, evidence, profile):
    """With one byte per frame the session id takes two frames: a bad answer to the first is
    only reported, one after the second ends the session."""
    bench = benches(profile, out_size=1, in_size=1)
    bench.run_until(lambda: bench.handler._second_session_frame_sent, 4 * W)

    def arm():
        fault = bench.arm("to_master", corrupt(flip(2, 0x80)))
        return lambda: None if fault.cycle is None else fault.cycle + bench.link.to_master.delay

    run_case(bench, evidence, "Session", "corruption", "CRC bit of the second Session answer, slave to master",
             arm, {"SESSION_FAIL1"}, 1)


@pytest.mark.parametrize("profile", PROFILES)
def test_slave_at_another_address_is_refused(benches, evidence, profile):
    """The master is wired to a slave that has its connection id but another address: the
    address the master sends in the connection data is refused, and once the right slave is
    wired the connection comes up."""
    bench = benches(profile)
    right = bench.link.side
    bench.link.side = Device(other_slave(bench, profile, bench.handler.master.session.connection_id.value))
    bench.reach("Connection")
    evidence.inject("addressing", "Connection", "connected to a slave at another address")
    start = bench.link.cycle
    bench.run_until(lambda: bench.first_report_cycle(start) is not None, 4 * W)
    (name, message), *_ = bench.reports_from(start)
    assert name == "CONN_RESET1"
    assert message == "Connection was reset by the slave (slave reported error INVALID_ADDRESS)"
    assert bench.handler.state is ts.StateSession
    evidence.detected(bench.first_report_cycle(start) - start + 1)
    bench.link.side = right
    evidence.recovered(bench.run_until(bench.connected, RECOVERY))


@pytest.mark.parametrize("profile", PROFILES)
@pytest.mark.parametrize("state", STATE_NAMES)
def test_host_reset_restarts_the_connection(benches, evidence, profile, state):
    bench = reached(benches, profile, state)
    start = bench.link.cycle
    bench.handler.reset()
    assert bench.handler.state is ts.StateReset and not bench.reports_from(start)
    assert sent_code(bench.handler.get_request()) == ts.BaseError.RESET
    assert {n: bench.handler.dictionary.get(n) for n in bench.fail_safe} == bench.fail_safe
    bench.run_until(bench.connected, RECOVERY)
    assert all(not name.startswith(PREFIX[state]) for name, _ in bench.reports_from(start))
