"""The test slave on its own: CRC vectors, frame layout, and a full start-up driven by a
scripted master that follows the master's sequence-number and CRC_0 bookkeeping."""
import pytest

from slave_emulator import (Command, Error, Fault, Frame, Phase, ScriptMaster, SlaveEmulator,
                            build_frame, check_frame, crc16, crc16_bitwise, image_length,
                            next_sequence, slot_crc)


@pytest.mark.parametrize("crc", [crc16, crc16_bitwise])
def test_crc16_check_value(crc):
    assert crc(b"123456789") == 0xDDE2


@pytest.mark.parametrize("command, sequence, connection_id, crc0, safe, expected", [
    (0x2A, 0, 0, 0, b"\x00", [0xF565]),
    (0x36, 1, 0x1234, 0xBEEF, bytes([0x11, 0x22, 0x33, 0x44]), [0x9665, 0x10B6]),
])
def test_slot_crc_vectors(command, sequence, connection_id, crc0, safe, expected):
    assert [slot_crc(command, sequence, connection_id, crc0, safe, i) for i in range(len(expected))] == expected


def test_frame_image_layout():
    frame = Frame(0x36, 0x1234, bytes([0x11, 0x22, 0x33, 0x44]), [0xAAAA, 0xBBBB])
    assert frame.image() == bytes.fromhex("36 11 22 AA AA 33 44 BB BB 34 12")
    assert Frame.parse(frame.image(), 4) == frame
    single = Frame(0x2A, 7, b"\x34", [0x1111])
    assert single.image() == bytes.fromhex("2A 34 11 11 07 00")
    assert [image_length(s) for s in (1, 2, 4, 16)] == [6, 7, 11, 35]


def test_cyclic_rule_steps_the_sequence_number():
    plain, used = build_frame(0x36, 1, b"\x01\x02", 5, 0x4444)
    assert used == 5
    stepped, used = build_frame(0x36, 1, b"\x01\x02", 5, 0x4444, last_crc0=plain.crc0)
    assert used == 6 and stepped.crc0 != plain.crc0
    assert check_frame(stepped, 5, 0x4444, last_crc0=plain.crc0) == (True, 6)
    assert check_frame(stepped, 5, 0x4444)[0] is False
    assert next_sequence(0xFFFF) == 1


SIZES = [(1, 1), (2, 2), (16, 16), (2, 16), (16, 1), (4, 2)]
PARAMS = [[], [(0x5A, 1)], [(0xABCD, 2), (0x01020304, 4)]]


@pytest.mark.parametrize("outputs_size, inputs_size", SIZES)
@pytest.mark.parametrize("app_params", PARAMS)
def test_full_start_up_and_data(outputs_size, inputs_size, app_params):
    slave = SlaveEmulator(slave_address=0x0102, connection_id=0x0304, watchdog_ms=100,
                          outputs_size=outputs_size, inputs_size=inputs_size, app_params=app_params)
    master = ScriptMaster(slave)
    echoes = master.start_up(session_id=0xBEEF)
    assert slave.master_session_id == 0xBEEF
    n = slave.chunk
    expected = [stream[i:i + n].ljust(n, b"\x00") for stream in (slave.connection_stream, slave.parameter_stream)
                for i in range(0, len(stream), n)]
    assert [r.safe[:n] for r in echoes] == expected
    assert all(r.connection_id == 0x0304 for r in echoes)
    for i in range(40):
        outputs = bytes((i + k) & 0xFF for k in range(outputs_size))
        slave.inputs = bytes((7 * i + k) & 0xFF for k in range(inputs_size))
        reply = master.exchange(Command.PROCESS_DATA, outputs, 0x0304)
        assert (reply.command, reply.safe) == (Command.PROCESS_DATA, slave.inputs)
        assert slave.outputs == outputs and slave.phase is Phase.DATA
    assert slave.rejections == []


def make_slave(**kwargs):
    config = dict(slave_address=9, connection_id=77, watchdog_ms=250, outputs_size=2, inputs_size=2,
                  app_params=[(3, 1)], session_id=0x1234)
    config.update(kwargs)
    return SlaveEmulator(**config)


@pytest.mark.parametrize("config, error", [
    (dict(slave_address=10), Error.INVALID_ADDRESS),
    (dict(connection_id=78), Error.INVALID_CONNID),
    (dict(watchdog_ms=251), Error.INVALID_COMPARA),
    (dict(app_params=[(3, 2)]), Error.INVALID_USERPARALEN),
    (dict(app_params=[(4, 1)]), Error.INVALID_USERPARA),
])
def test_slave_rejects_start_up_data_it_does_not_expect(config, error):
    slave = make_slave()
    wrong = make_slave(**config)
    master = ScriptMaster(slave)
    master.exchange(Command.RESET)
    master.stream(Command.SESSION, b"\x01\x02", 0)
    master.cyclic = True
    replies = master.stream(Command.CONNECTION, wrong.connection_stream, wrong.connection_id)
    if replies[-1].command != Command.RESET:
        replies += master.stream(Command.PARAMETER, wrong.parameter_stream, wrong.connection_id)
    assert [r.error for r in slave.rejections] == [error]
    assert replies[-1].command == Command.RESET and replies[-1].safe == bytes([error, 0])
    assert slave.phase is Phase.RESET


@pytest.mark.parametrize("step, error", [
    ("unknown command", Error.UNKNOWN_CMD),
    ("data before start-up", Error.INVALID_CMD),
    ("bad master crc", Error.INVALID_CRC),
    ("connection id in session", Error.INVALID_CONNID),
    ("short frame", Error.INVALID_CRC),
])
def test_slave_rejects_bad_master_frames(step, error):
    slave = make_slave()
    master = ScriptMaster(slave)
    master.exchange(Command.RESET)
    if step == "unknown command":
        reply = master.exchange(0x99, b"\x00")
    elif step == "data before start-up":
        reply = master.exchange(Command.PROCESS_DATA, b"\x00", 77)
    elif step == "bad master crc":
        reply = master.exchange(Command.SESSION, b"\x01\x02", corrupt=True)
    elif step == "connection id in session":
        reply = master.exchange(Command.SESSION, b"\x01\x02", connection_id=77)
    else:
        reply = Frame.parse(slave.reply(b"\x4e\x00\x00"), 2)
    assert (reply.command, reply.safe[0]) == (Command.RESET, error)
    assert [r.error for r in slave.rejections] == [error]


def test_slave_recovers_after_a_rejection():
    slave = make_slave()
    master = ScriptMaster(slave)
    master.exchange(Command.RESET)
    master.exchange(Command.PROCESS_DATA, b"\x00", 77)
    master.cyclic = False
    master.start_up()
    assert master.exchange(Command.PROCESS_DATA, b"\x12\x34", 77).command == Command.PROCESS_DATA
    assert len(slave.rejections) == 1


def started(slave):
    master = ScriptMaster(slave)
    master.start_up()
    master.exchange(Command.PROCESS_DATA, b"\x00\x00", slave.connection_id)
    return master


def raw_exchange(master, command=Command.PROCESS_DATA):
    """Sends a valid master frame and returns the raw reply without checking it."""
    frame, used = build_frame(command, master.slave.connection_id, bytes(master.size), master.sequence,
                              master.crc0, master.last_sent)
    master.sequence, master.last_sent = next_sequence(used), frame.crc0
    reply = Frame.parse(master.slave.reply(frame.image()), master.slave.inputs_size)
    master.crc0 = reply.crc0
    return reply, frame


@pytest.mark.parametrize("inject, check", [
    (lambda s: s.corrupt_crc(), lambda r, s, m: r.crcs[0] != r.expected_crcs(m.slave_sequence, m.sent)[0]),
    (lambda s: s.corrupt_crc(1), lambda r, s, m: r.crcs[1] != r.expected_crcs(m.slave_sequence, m.sent)[1]),
    (lambda s: s.corrupt_connection_id(), lambda r, s, m: r.connection_id != s.connection_id),
    (lambda s: s.send_command(Command.SESSION), lambda r, s, m: r.command == Command.SESSION),
    (lambda s: s.send_command(0x99), lambda r, s, m: r.command == 0x99),
    (lambda s: s.send_reset(Error.INVALID_CRC), lambda r, s, m: (r.command, r.safe[0]) == (Command.RESET, 4)),
    (lambda s: s.send_reset(200), lambda r, s, m: (r.command, r.safe[0]) == (Command.RESET, 200)),
])
def test_fault_injection_in_data(inject, check):
    slave = make_slave(outputs_size=4, inputs_size=4, app_params=[])
    master = started(slave)
    inject(slave)
    assert slave.pending_faults()
    reply, frame = raw_exchange(master)
    master.sent = frame.crc0
    assert check(reply, slave, master)
    assert not slave.pending_faults()
    assert slave.replies[-1].fault is not Fault.NONE


def test_fail_safe_and_silence():
    slave = make_slave()
    master = started(slave)
    slave.inputs = b"\x55\x66"
    slave.fail_safe = True
    assert master.exchange(Command.PROCESS_DATA, b"\x01\x00", 77).command == Command.FAILSAFE_DATA
    slave.fail_safe = False
    slave.silence(3)
    frame, _ = build_frame(Command.PROCESS_DATA, 77, b"\x02\x00", master.sequence, master.crc0, master.last_sent)
    last = slave.replies[-1].image
    assert [slave.reply(frame.image()) for _ in range(3)] == [last] * 3
    answer = Frame.parse(slave.reply(frame.image()), 2)
    assert answer.safe == b"\x55\x66" and slave.outputs == b"\x02\x00"
    # The same request again is not a new frame.
    assert slave.reply(frame.image()) == answer.image() and slave.requests == len(slave.replies)


def test_corrupt_echo_waits_for_an_echo_reply():
    slave = make_slave()
    master = ScriptMaster(slave)
    slave.corrupt_echo()
    master.exchange(Command.RESET)
    master.stream(Command.SESSION, b"\x01\x02", 0)
    master.cyclic = True
    reply = master.exchange(Command.CONNECTION, slave.connection_stream[:2], 77)
    assert reply.safe == bytes([slave.connection_stream[0] ^ 1, slave.connection_stream[1]])
    assert slave.replies[-1].fault is Fault.CORRUPT_ECHO and not slave.pending_faults()


def test_faulty_command_answering_a_reset_still_resets_the_slave():
    slave = make_slave()
    started(slave)
    slave.send_command(Command.PROCESS_DATA)
    frame, _ = build_frame(Command.RESET, 0, b"\x00\x00", 1, 0)
    assert slave.reply(frame.image())[0] == Command.PROCESS_DATA
    assert slave.phase is Phase.RESET and slave.sequence_number == 1
