"""Frames that cross on a bus with latency, at both slaves (the package's and the tests' own):
a master Reset delivered twice, frames the master sent before it learned of a reset, a Session
frame that arrives twice, and a new session opened while one is half open."""

import pytest

from slave_emulator import (Command, Driven, Error, ScriptMaster, SlaveEmulator, build_frame, next_sequence,
                            slot_crc)
from tamsel.slave import Slave

CONFIG = dict(slave_address=3, connection_id=0x0506, watchdog_ms=100, session_id=0x4242)


def make(kind, size):
    config = dict(CONFIG, outputs_size=size, inputs_size=size)
    emulator = SlaveEmulator(**config)
    if kind == "emulator":
        return emulator
    slave = Slave(config["slave_address"], config["connection_id"], config["watchdog_ms"], size, size,
                  session_id=config["session_id"], supervise_watchdog=False)
    return Driven(slave, emulator)


def reset_frame(code, size):
    """A Reset frame keyed as the first of a connection: sequence number 1, reference 0."""
    return build_frame(Command.RESET, 0, code.to_bytes(2, "little")[:size].ljust(size, b"\x00"), 1, 0)[0].image()


def session_frame(session_id, size):
    return build_frame(Command.SESSION, 0, session_id.to_bytes(2, "little")[:size].ljust(size, b"\x00"), 1, 0)[0]


def go_to(master, phase):
    """Drives the slave to a phase: 'fresh', 'reset', 'session', 'connection' or 'data'."""
    slave = master.slave
    if phase == "fresh":
        return
    master.exchange(Command.RESET, b"\x00")
    if phase == "reset":
        return
    if phase == "session":
        master.exchange(Command.SESSION, b"\x34\x12", 0)
        return
    master.start_up()
    if phase == "data":
        master.exchange(Command.PROCESS_DATA, bytes(slave.outputs_size), slave.connection_id)


KINDS = ["simulated", "emulator"]
SIZES = [1, 2, 16]
PHASES = ["fresh", "reset", "session", "connection", "data"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("size", SIZES)
@pytest.mark.parametrize("phase", PHASES)
def test_a_reset_frame_depends_on_its_error_code_alone(kind, size, phase):
    slave = make(kind, size)
    master = ScriptMaster(slave, strict=False)
    go_to(master, phase)
    acknowledgement = reset_frame(Error.RESET, size)
    # Two master Resets crossing on the bus (different error codes): the same acknowledgement.
    for code in (Error.INVALID_CRC, Error.RESET, Error.WD_EXPIRED):
        assert slave.reply(reset_frame(code, size)) == acknowledgement
    # A reset of the slave's own: only the error code differs.
    assert slave.reply(b"\x99" + bytes(len(acknowledgement) - 1)) == reset_frame(Error.UNKNOWN_CMD, size)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("size", SIZES)
def test_a_new_session_while_one_is_half_open_is_answered_as_a_first_one(kind, size):
    slave = make(kind, size)
    slave.reply(reset_frame(Error.RESET, size))
    first, second = session_frame(0x1111, size), session_frame(0x2222, size)
    answer_first = slave.reply(first.image())
    answer_second = slave.reply(second.image())
    assert answer_second[0] == Command.SESSION and answer_second != answer_first
    # The second answer is keyed with the second frame's CRC_0 and the first sequence number
    # the cyclic rule allows after the slave's Reset frame.
    ack_crc0 = int.from_bytes(reset_frame(Error.RESET, size)[2 if size == 1 else 3:][:2], "little")
    own = CONFIG["session_id"].to_bytes(2, "little")[:size].ljust(size, b"\x00")
    expected, _ = build_frame(Command.SESSION, 0, own, 1, second.crc0, ack_crc0)
    assert answer_second == expected.image()
    # The first opening frame delivered again opens its session again, with the same answer.
    assert slave.reply(first.image()) == answer_first
    # ... and the session goes on from there: the master's next frame is accepted.
    if size == 1:
        reply = build_frame(Command.SESSION, 0, b"\x12", 2, int.from_bytes(answer_first[2:4], "little"))[0]
        assert slave.reply(reply.image())[0] == Command.SESSION
    assert not slave.rejections


@pytest.mark.parametrize("kind", KINDS)
def test_a_session_frame_of_an_old_session_is_refused(kind):
    slave = make(kind, 2)
    slave.reply(reset_frame(Error.RESET, 2))
    opening = session_frame(0x1111, 2)
    answer = slave.reply(opening.image())
    # Keyed with an answer the slave never sent: not the next frame of this session.
    stale, _ = build_frame(Command.SESSION, 0, b"\x00\x00", next_sequence(1), answer[3] ^ 0x55)
    assert slave.reply(stale.image()) == reset_frame(Error.INVALID_CRC, 2)
    assert [int(r.error) for r in slave.rejections] == [Error.INVALID_CRC]


def opening_stepped_past_the_acknowledgement():
    """The master session id (size 2) whose opening frame the slave answers with the CRC_0 of
    its Reset frame at sequence number 1, so the cyclic rule steps that answer to sequence 2.
    CRC_0 is a one-to-one function of the reference, so there is exactly one."""
    own = CONFIG["session_id"].to_bytes(2, "little")
    acknowledgement = reset_frame(Error.RESET, 2)
    return next(master_id for master_id in range(0x10000)
                if slot_crc(Command.SESSION, 1, 0, session_frame(master_id, 2).crc0, own, 0)
                == int.from_bytes(acknowledgement[3:5], "little"))


@pytest.mark.parametrize("kind", KINDS)
def test_a_repeated_opening_frame_gets_the_same_answer_even_when_the_cyclic_rule_stepped_it(kind):
    first_id = opening_stepped_past_the_acknowledgement()
    slave = make(kind, 2)
    slave.reply(reset_frame(Error.RESET, 2))
    answer_first = slave.reply(session_frame(first_id, 2).image())
    slave.reply(session_frame(first_id ^ 0xFFFF, 2).image())
    assert slave.reply(session_frame(first_id, 2).image()) == answer_first
