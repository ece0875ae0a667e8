"""The simulated slave of the package, checked against the independent test slave: both get the
same master frames (valid start-ups, faults, garbage) and must answer byte for byte alike."""
import random

import pytest

import tamsel.tamsel as ts
from slave_emulator import Command, Driven, ScriptMaster, SlaveEmulator, build_frame, slot_crc
from tamsel.slave import FaultKind, Phase, Rejection, Slave
from tamsel.tamsel import BaseError


class Pair:
    """The package's slave and the test slave side by side; every answer must agree."""

    def __init__(self, **config):
        self.reference = SlaveEmulator(**config)
        self.slave = Slave(config["slave_address"], config["connection_id"], config["watchdog_ms"],
                           config["outputs_size"], config["inputs_size"], config.get("app_params", ()),
                           config["session_id"], supervise_watchdog=False)

    def __getattr__(self, name):
        return getattr(self.reference, name)

    def reply(self, request):
        expected = self.reference.reply(request)
        assert self.slave.reply(request) == expected
        assert self.slave.phase.name == self.reference.phase.value
        assert self.slave.sequence_number == self.reference.sequence_number
        assert [int(r.error) for r in self.slave.rejections] == [int(r.error) for r in self.reference.rejections]
        assert self.slave.outputs == self.reference.outputs
        assert self.slave.master_session_id == self.reference.master_session_id
        assert self.slave.master_error == self.reference.master_error
        assert self.slave.pending_faults() == self.reference.pending_faults()
        return expected

    def both(self, method, *args):
        getattr(self.reference, method)(*args)
        getattr(self.slave, method)(*args)

    def set(self, name, value):
        setattr(self.reference, name, value)
        setattr(self.slave, name, value)


SIZES = [(1, 1), (2, 2), (16, 16), (2, 16), (16, 1), (4, 2)]
PARAMS = [[], [(0x5A, 1)], [(0xABCD, 2), (0x01020304, 4), (7, 1)]]

FAULTS = [
    ("corrupt_crc",), ("corrupt_connection_id",), ("send_command", Command.SESSION),
    ("send_command", Command.PARAMETER), ("send_command", 0x99), ("send_reset", 4), ("send_reset", 200),
    ("corrupt_echo",), ("silence", 2),
]


def run_episode(pair, master, rng):
    """A start-up, some Data cycles and one random fault at a random point, then a master reset."""
    master.strict = True
    fault = rng.choice(FAULTS)
    at = rng.randrange(0, 12)
    steps = 0

    def step(command, chunk, connection_id):
        nonlocal steps
        if steps == at:
            pair.both(*fault)
            master.strict = False
        steps += 1
        return master.exchange(command, chunk, connection_id)

    step(Command.RESET, b"\x00", 0)
    n = pair.chunk
    session = rng.randrange(0x10000).to_bytes(2, "little")
    phases = [(Command.SESSION, session, 0), (Command.CONNECTION, pair.connection_stream, pair.connection_id),
              (Command.PARAMETER, pair.parameter_stream, pair.connection_id)]
    for command, data, connection_id in phases:
        if command == Command.CONNECTION:
            master.cyclic = True
        for i in range(0, len(data), n):
            if step(command, data[i:i + n], connection_id).command == Command.RESET:
                return
    for _ in range(rng.randrange(1, 6)):
        pair.set("inputs", bytes(rng.randrange(256) for _ in range(pair.inputs_size)))
        pair.set("fail_safe", rng.random() < 0.2)
        outputs = bytes(rng.randrange(256) for _ in range(pair.outputs_size))
        command = Command.FAILSAFE_DATA if rng.random() < 0.2 else Command.PROCESS_DATA
        if step(command, outputs, pair.connection_id).command == Command.RESET:
            return


@pytest.mark.parametrize("outputs_size, inputs_size", SIZES)
@pytest.mark.parametrize("app_params", PARAMS)
def test_answers_match_the_test_slave(outputs_size, inputs_size, app_params):
    rng = random.Random(outputs_size * 100 + inputs_size + len(app_params))
    pair = Pair(slave_address=0x0102, connection_id=0x0304, watchdog_ms=100, outputs_size=outputs_size,
                inputs_size=inputs_size, app_params=app_params, session_id=0xC0DE)
    master = ScriptMaster(pair)
    for _ in range(25):
        run_episode(pair, master, rng)
        pair.both("clear_faults")
        master.cyclic = False
        master.reset()


def test_garbage_gets_the_same_answers():
    rng = random.Random(7)
    pair = Pair(slave_address=1, connection_id=2, watchdog_ms=3, outputs_size=2, inputs_size=4, session_id=5)
    master = ScriptMaster(pair, strict=False)
    master.exchange(Command.RESET)
    for _ in range(400):
        length = rng.choice([0, 1, 3, 6, 7, 8, 11, 40, 100])
        request = bytes(rng.randrange(256) for _ in range(length))
        if length == 7:
            request = bytes([rng.choice([c.value for c in Command] + [0, 0xFF])]) + request[1:]
        pair.reply(request)


def make(**overrides):
    config = dict(slave_address=9, connection_id=77, watchdog_ms=250, outputs_size=2, inputs_size=2)
    config.update(overrides)
    return Slave(**config)


@pytest.mark.parametrize("overrides, error", [
    (dict(outputs_size=3), ValueError),
    (dict(inputs_size=0), ValueError),
    (dict(inputs_size=18), ValueError),
    (dict(connection_id=0), ValueError),
    (dict(slave_address=-1), OverflowError),
    (dict(watchdog_ms=65536), OverflowError),
    (dict(application_parameters=[(1, 1)] * 257), ValueError),
    (dict(session_id=70000), OverflowError),
])
def test_constructor_refuses_bad_configuration(overrides, error):
    with pytest.raises(error):
        make(**overrides)


@pytest.mark.parametrize("action, error", [
    (lambda s: setattr(s, "inputs", b"\x00"), ValueError),
    (lambda s: setattr(s, "inputs", bytearray(2)), TypeError),
    (lambda s: s.reply("text"), TypeError),
    (lambda s: s.corrupt_crc(1), ValueError),
    (lambda s: s.send_command(256), ValueError),
    (lambda s: s.silence(-1), OverflowError),
    (lambda s: [s.corrupt_connection_id() for _ in range(33)], RuntimeError),
])
def test_misuse_raises_and_changes_nothing(action, error):
    slave = make()
    with pytest.raises(error):
        action(slave)
    assert slave.inputs == b"\x00\x00" and slave.requests == 0


def test_rejections_and_last_fault_are_reported_in_host_terms():
    slave = make()
    slave.send_reset(200)
    slave.reply(b"\x99" + bytes(6))
    assert slave.rejections == [Rejection(BaseError.UNKNOWN_CMD, "unknown command 0x99")]
    assert slave.last_fault == (FaultKind.RESET, 200)
    assert slave.last_reply[0] == Command.RESET and slave.last_reply[1] == 200
    assert slave.phase is Phase.RESET


def test_application_parameter_objects_are_accepted():
    class Parameter:
        raw_value, n_bytes = 0x0102, 2

    pair = Pair(slave_address=9, connection_id=77, watchdog_ms=250, outputs_size=2, inputs_size=2,
                app_params=[(0x0102, 2), (3, 1)], session_id=1)
    pair.slave = make(application_parameters=[Parameter(), (3, 1)], session_id=1, supervise_watchdog=False)
    master = ScriptMaster(pair)
    master.start_up()
    master.exchange(Command.PROCESS_DATA, b"\x00\x00", 77)
    assert pair.slave.phase is Phase.DATA and pair.slave.rejections == []


@pytest.mark.parametrize("outputs_size", [2, 16])
def test_a_master_frame_stepped_past_its_last_crc0_is_accepted(outputs_size):
    """Safe data whose CRC_0 at the master's sequence number equals the master's last CRC_0:
    the master steps the sequence number, and the slave must step alike to accept the frame."""
    pair = Pair(slave_address=3, connection_id=0x0506, watchdog_ms=100, outputs_size=outputs_size, inputs_size=2,
                session_id=0x1234)
    master = ScriptMaster(pair)
    master.start_up()
    master.exchange(Command.PROCESS_DATA, b"", pair.connection_id)
    padding = bytes(outputs_size - 2)
    safe = next(candidate for word in range(0x10000)
                if slot_crc(Command.PROCESS_DATA, master.sequence, pair.connection_id, master.crc0,
                            candidate := word.to_bytes(2, "little") + padding, 0) == master.last_sent)
    sequence = master.sequence
    reply = master.exchange(Command.PROCESS_DATA, safe, pair.connection_id)
    assert master.sequence != sequence % 0xFFFF + 1, "the master did not step"
    assert reply.command == Command.PROCESS_DATA and pair.slave.rejections == []
    assert pair.slave.outputs == safe


@pytest.mark.parametrize("late_ms, expires", [(500, False), (501, True)])
def test_a_late_master_frame_expires_the_slave_watchdog(late_ms, expires):
    class Clocked(Driven):
        """Every frame of the start-up arrives at the same time on the caller's clock."""

        def reply(self, request):
            return self.slave.reply(request, 1000)

    slave = make(watchdog_ms=500)
    master = ScriptMaster(Clocked(slave, SlaveEmulator(slave_address=9, connection_id=77, watchdog_ms=500,
                                                       outputs_size=2, inputs_size=2)))
    master.start_up()
    master.exchange(Command.PROCESS_DATA, b"\x01\x00", 77)
    assert slave.rejections == []
    frame, _ = build_frame(Command.PROCESS_DATA, 77, b"\x02\x00", master.sequence, master.crc0, master.last_sent)
    answer = slave.reply(frame.image(), 1000 + late_ms)
    if expires:
        assert (answer[0], answer[1]) == (Command.RESET, BaseError.WD_EXPIRED)
        assert [r.error for r in slave.rejections] == [BaseError.WD_EXPIRED]
        assert slave.outputs == b"\x01\x00" and slave.phase is Phase.RESET
    else:
        assert answer[0] == Command.PROCESS_DATA and slave.rejections == []
        assert slave.outputs == b"\x02\x00" and slave.phase is Phase.DATA


def test_cycle_through_a_handler_without_leaks(no_leak):
    d = ts.Dictionary([ts.DictionaryItemOutput(1, "o", ts.DataType.UINT16),
                       ts.DictionaryItemInput(2, "i", ts.DataType.UINT16, 0)])
    handler = ts.MasterHandler(d, 3, 4, 5.0)
    try:
        handler.master.dictionary_map.add(d.name_map["o"])
        handler.slave.dictionary_map.add(d.name_map["i"])
        handler.start()
        slave = Slave.for_handler(handler)
        for _ in range(10):
            slave.exchange(handler)
        assert handler.state is ts.StateData and slave.phase is Phase.DATA
        counter = iter(range(1 << 30))

        def one_cycle():
            slave.inputs = (next(counter) & 0xFFFF).to_bytes(2, "little")
            slave.exchange(handler)

        no_leak(one_cycle)
        assert d.get("i") == int.from_bytes(slave.inputs, "little") and slave.rejections == []
    finally:
        handler.stop()
        handler.delete()


@pytest.mark.parametrize("parameters", [[(1, 2**40)], [(1, 200), (2, 57)], [(1, 1)] * 257, [(0, 1), (5, 2**62)]])
def test_application_parameters_beyond_256_bytes_are_refused_before_any_is_built(parameters):
    from tamsel.slave import Slave

    with pytest.raises(ValueError, match="^app_parameters must not exceed 256 bytes$"):
        Slave(1, 2, 100, 2, 2, parameters)
    assert Slave(1, 2, 100, 2, 2, [(7, 200), (1, 56)]).phase.name == "RESET"
