"""tamsel._core.ReplayCore, the replay's frames under the master's rules: every argument is
checked before anything changes, and any bytes in any state give a well-formed answer."""
import itertools
import random

import pytest
from hypothesis import given
from hypothesis import strategies as st

from tamsel._core import ReplayCore
from tamsel._replay import CAUSES, crc_words
from tamsel.tamsel import FSOEFrame

LONGEST = 36  # the longest byte image a frame is parsed from

# A short conversation: a Reset request and reply, then Session, Connection and Data frames.
PREFIX = [("request", (0, bytes(6), True)), ("reply", (0, b"\x2a" + bytes(5), None, True)),
          ("perform", ("RESET_OK",)), ("request", (1, b"\x4e\x01\x02\x03\x04\x00\x00", True)),
          ("reply", (1, b"\x4e\x05\x06\x07\x08\x00\x00", None, True)), ("perform", ("SESSION_OK",)),
          ("request", (2, b"\x64\x01\x00\x11\x22\x34\x12", True))]
PROBE = [("reply", (2, b"\x64\x01\x00\x33\x44\x34\x12", 0x1234, True)), ("perform", ("CONN_OK",)),
         ("request", (4, b"\x36\x01\x00\x55\x66\x34\x12", True)),
         ("reply", (4, b"\x36\x01\x00\x77\x88\x99\x99", 0x1234, True))]


def run(core, calls):
    return [getattr(core, name)(*args) for name, args in calls]


@pytest.mark.parametrize("call, error, text", [
    (lambda c: c.request("0", bytes(6), True), TypeError,
     "Argument 'state' has incorrect type (expected int, got str)"),
    (lambda c: c.request(True, bytes(6), True), TypeError, "expected int, got bool"),
    (lambda c: c.request(5, bytes(6), True), ValueError, "state must be None or from 0 to 4, got 5"),
    (lambda c: c.request(-1, bytes(6), True), ValueError, "got -1"),
    (lambda c: c.reply(2**70, bytes(6), None, True), ValueError, f"got {2**70}"),
    (lambda c: c.request(0, bytearray(6), True), TypeError, "Argument 'data' has incorrect type"),
    (lambda c: c.reply(4, None, None, True), TypeError, "Argument 'data' has incorrect type"),
    (lambda c: c.request(4, bytes(LONGEST + 1), True), ValueError, f"data must be at most {LONGEST} bytes, got 37"),
    (lambda c: c.reply(4, bytes(1000), 1, True), ValueError, "data must be at most 36 bytes, got 1000"),
    (lambda c: c.reply(4, bytes(7), 0x10000, True), ValueError, "connection_id must be None or from 0 to 65535"),
    (lambda c: c.reply(4, bytes(7), -1, True), ValueError, "connection_id must be None or from 0 to 65535"),
    (lambda c: c.reply(4, bytes(7), 1.0, True), TypeError, "Argument 'connection_id' has incorrect type"),
    (lambda c: c.reply(4, bytes(7), 1), TypeError, "reply() takes exactly 4 positional arguments (3 given)"),
    (lambda c: c.request(4, bytes(7), True, 1), TypeError, "request() takes exactly 3 positional arguments (4 given)"),
    (lambda c: c.perform("NOPE"), ValueError, "no transition is named 'NOPE'"),
    (lambda c: c.perform("RESET"), ValueError, "no transition is named 'RESET'"),
    (lambda c: c.perform("RESET_OK\0"), ValueError, "no transition is named"),
    (lambda c: c.perform(b"RESET_OK"), TypeError, "Argument 'transition' has incorrect type"),
    (lambda c: c.perform("\ud800"), UnicodeEncodeError, ""),
    (lambda c: delattr(c, "cyclic"), AttributeError, "can't delete attribute 'cyclic'"),
])
def test_a_refused_call_changes_nothing(call, error, text):
    core, reference = ReplayCore(), ReplayCore()
    run(core, PREFIX)
    run(reference, PREFIX)
    with pytest.raises(error) as raised:
        call(core)
    assert text in str(raised.value)
    assert run(core, PROBE) == run(reference, PROBE)


def test_the_constructor_takes_nothing():
    with pytest.raises(TypeError):
        ReplayCore(True)
    assert ReplayCore().cyclic is False


def slots(data):
    return len(crc_words(FSOEFrame.frame_from_array(data)))


def check_reply(result, state, data, connection_id, check):
    fault, ok, expected = result
    assert fault is None or fault in CAUSES
    assert (ok is None) == (expected is None)
    assert ok is None or (check and state not in (None, 0) and len(expected) == slots(data))
    assert fault != "invalid_connid" or connection_id is not None


# The command each state expects of the slave.
EXPECTED = {None: 0x36, 0: 0x2A, 1: 0x4E, 2: 0x64, 3: 0x52, 4: 0x36}


@pytest.mark.parametrize("state", EXPECTED)
def test_every_length_of_request_and_reply(state):
    """Every pair of lengths a frame can be parsed from (a frame without safe data, short images
    read as zero-padded), the reply with the command the state expects: the predicted CRCs
    are one per slot of the frame given, whatever the other frame's size."""
    rng = random.Random(state)
    core = ReplayCore()
    for request_length, reply_length in itertools.product(range(LONGEST + 1), repeat=2):
        request = bytes([EXPECTED[state]]) + rng.randbytes(LONGEST)
        stamped = core.request(state, request[:request_length], True)
        assert stamped is None or (type(stamped[0]) is bool and len(stamped[1]) == slots(request[:request_length]))
        reply = bytes([EXPECTED[state]]) + rng.randbytes(LONGEST)
        connection_id = rng.choice([None, 0, 0xFFFF])
        check_reply(core.reply(state, reply[:reply_length], connection_id, True), state, reply[:reply_length],
                    connection_id, True)


states = st.one_of(st.none(), st.integers(0, 4))
# Mostly the commands the states expect, so that the checks go on past the command.
commands = st.sampled_from([0x2A, 0x4E, 0x64, 0x52, 0x36, 0x08, 0x99])
frames = st.one_of(st.binary(max_size=LONGEST),
                   st.tuples(commands, st.binary(max_size=LONGEST - 1)).map(lambda f: bytes([f[0]]) + f[1]))
transitions = st.sampled_from(["RESET_OK", "RESET_STAY1", "RESET_START", "SESSION_OK", "SESSION_RESET1",
                               "CONN_OK", "CONN_RESET1", "PARA_OK", "DATA_OK1", "DATA_FAIL1", "DATA_RESET2"])
steps = st.one_of(
    st.tuples(st.just("request"), st.tuples(states, frames, st.booleans())),
    st.tuples(st.just("reply"), st.tuples(states, frames, st.one_of(st.none(), st.integers(0, 0xFFFF)),
                                          st.booleans())),
    st.tuples(st.just("perform"), st.tuples(transitions)),
    st.tuples(st.just("cyclic"), st.tuples(st.booleans())))


@given(st.lists(steps, max_size=40))
def test_any_bytes_in_any_state_give_a_well_formed_answer(calls):
    """Any sequence of frames, transitions and flags: a verdict names a cause of the master's
    checks or none, and CRCs only where they were checked."""
    core = ReplayCore()
    for name, args in calls:
        if name == "cyclic":
            core.cyclic = args[0]
            continue
        result = getattr(core, name)(*args)
        if name == "perform":
            assert result is None
        elif name == "request":
            state, data, check = args
            assert result is None or (type(result[0]) is bool and len(result[1]) == slots(data))
            assert result is None or check
        else:
            check_reply(result, *args)
