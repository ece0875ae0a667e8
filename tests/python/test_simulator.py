"""The master against the package's simulated slave over long runs with random fault
schedules: the master never raises, every injected fault is reported exactly once with its
transition (and the error code of the Reset request that follows), the connection always comes
back to Data, and no safe value is lost or corrupted on the way."""
import math
import random
import struct
import time

import pytest

import tamsel.tamsel as ts
from tamsel.slave import Phase, Slave, pack_safe_data, unpack_safe_data

from end_to_end_link import random_value

DT = ts.DataType
E = ts.BaseError
C = ts.FSOECommand
CONNECTION_ID = 0x2345
BAD_CONNECTION_ID = CONNECTION_ID ^ 0x5A5A
WIDTHS = [(DT.BOOL, 1), (DT.UINT8, 8), (DT.INT8, 8), (DT.UINT16, 16), (DT.INT16, 16), (DT.UINT32, 32),
          (DT.INT32, 32), (DT.FLOAT, 32)]

CRC = "Invalid slave CRC"
COMMAND = "Invalid slave frame command"
WATCHDOG = "The watchdog of the master expired"
CONNID = f"Connection id exchanged does not match {BAD_CONNECTION_ID} != {CONNECTION_ID}"

# Per state: the prefix of its transitions, the commands of other states, the echo message.
STATES = {
    ts.StateSession: ("SESSION", [C.CONNECTION, C.PARAMETER, C.PROCESS_DATA, C.FAILSAFE_DATA], None),
    ts.StateConnection: ("CONN", [C.SESSION, C.PARAMETER, C.PROCESS_DATA, C.FAILSAFE_DATA],
                         "Data exchanged during session state does not match"),
    ts.StateParameter: ("PARA", [C.SESSION, C.CONNECTION, C.PROCESS_DATA, C.FAILSAFE_DATA],
                        "Data exchanged during parameter state does not match"),
    ts.StateData: ("DATA", [C.SESSION, C.CONNECTION, C.PARAMETER], None),
}
# Transition number of each fault kind per state prefix.
NUMBERS = {
    "SESSION": {"crc": 1, "command": 3, "unknown": 4},
    "CONN": {"crc": 1, "echo": 2, "connid": 3, "command": 4, "unknown": 5},
    "PARA": {"crc": 1, "echo": 2, "connid": 3, "command": 4, "unknown": 5},
    "DATA": {"crc": 1, "connid": 2, "command": 3, "unknown": 4},
}
CODES = {"crc": E.INVALID_CRC, "echo": E.INVALID_DATA, "connid": E.INVALID_CONNID, "command": E.INVALID_CMD,
         "unknown": E.UNKNOWN_CMD}


def random_layout(rng, size):
    """Entries filling exactly `size` bytes: data types, or padding widths (ints). Types wider
    than 8 bits start on a byte boundary."""
    entries, position, end = [], 0, 8 * size
    while position < end:
        if rng.random() < 0.1:
            width = rng.randint(1, min(7, end - position))
            entries.append(width)
            position += width
            continue
        data_type, bits = rng.choice([w for w in WIDTHS if w[1] <= end - position and (w[1] <= 8 or position % 8 == 0)])
        entries.append(data_type)
        position += bits
    return entries


class Bench:
    """A handler run by a host loop against the simulated slave, checking every Data cycle."""

    def __init__(self, rng, out_size, in_size, params, watchdog_s):
        self.rng = rng
        out_layout, in_layout = random_layout(rng, out_size), random_layout(rng, in_size)
        outputs = [(f"out{i}", t) for i, t in enumerate(out_layout) if not isinstance(t, int)]
        inputs = [(f"in{i}", t) for i, t in enumerate(in_layout) if not isinstance(t, int)]
        items = [ts.DictionaryItemOutput(i + 1, n, t) for i, (n, t) in enumerate(outputs)]
        items += [ts.DictionaryItemInput(i + 1000, n, t, t.get_initial_value()) for i, (n, t) in enumerate(inputs)]
        self.dictionary = ts.Dictionary(items)
        self.outputs, self.inputs = outputs, inputs
        self.reports, self.states = [], []
        parameters = [ts.ApplicationParameter(f"p{i}", value, n_bytes=n) for i, (value, n) in enumerate(params)]
        self.handler = ts.MasterHandler(self.dictionary, 0x0B, CONNECTION_ID, watchdog_s,
                                        application_parameters=parameters,
                                        report_error_callback=lambda t, m: self.reports.append((t, m)),
                                        state_change_callback=self.states.append)
        try:  # the watchdog thread must end even when the set-up fails
            for prefix, layout, dictionary_map in (("out", out_layout, self.handler.master.dictionary_map),
                                                   ("in", in_layout, self.handler.slave.dictionary_map)):
                for i, entry in enumerate(layout):
                    if isinstance(entry, int):
                        dictionary_map.add_padding(entry)
                    else:
                        dictionary_map.add(self.dictionary.name_map[f"{prefix}{i}"])
            self.slave = Slave.for_handler(self.handler, session_id=rng.randrange(0x10000))
            self.sent_outputs = None  # packed outputs of the request computed last
            self.handler.start()
        except BaseException:
            self.handler.delete()
            raise

    def cycle(self):
        request = self.handler.get_request()
        self.handler.set_reply(self.slave.reply(request))

    def run_to_data(self, limit=200):
        for _ in range(limit):
            if self.handler.state is ts.StateData and self.slave.phase is Phase.DATA:
                return
            self.cycle()
        raise AssertionError(f"no Data after {limit} cycles: {self.handler.state.__name__}, "
                             f"slave {self.slave.phase.name}, reports {self.reports[-5:]}")

    def data_cycles(self, count):
        """Data cycles with new values both ways; every value must arrive intact."""
        master_map, slave_map = self.handler.master.dictionary_map, self.handler.slave.dictionary_map
        self.handler.set_fail_safe(False)
        self.cycle()  # the first request in process-data mode
        for _ in range(count):
            values = {n: random_value(self.rng, t) for n, t in self.outputs}
            for name, value in values.items():
                self.dictionary.set(name, value)
            inputs = {n: random_value(self.rng, t) for n, t in self.inputs}
            self.slave.inputs = pack_safe_data(slave_map, inputs)
            self.cycle()
            assert self.handler.state is ts.StateData and not self.slave.outputs_fail_safe
            if self.sent_outputs is not None:
                assert self.slave.outputs == self.sent_outputs
            self.sent_outputs = pack_safe_data(master_map, values)
            received = {n: self.dictionary.get(n) for n, _ in self.inputs}
            assert pack_safe_data(slave_map, received) == self.slave.inputs
        self.sent_outputs = None

    def expect(self, inject, report, code, limit=200):
        """Injects a fault, runs back to Data, and checks the one report and the Reset code."""
        before = len(self.reports)
        errors_before = self.slave.master_error
        inject()
        self.cycle()
        self.run_to_data(limit)
        assert self.reports[before:] == ([report] if report else [])
        if code is not None:
            assert self.slave.master_error == code
        elif report is None or report[0].endswith("RESET1") or report[0] == "SESSION_STAY2":
            assert self.slave.master_error == errors_before
        assert self.slave.rejections == []

    def close(self):
        self.handler.stop()
        self.handler.delete()


def reach(bench, state):
    """Host reset, then cycles until the master is in `state` (never reported)."""
    before = len(bench.reports)
    bench.handler.reset()
    for _ in range(100):
        if bench.handler.state is state:
            assert len(bench.reports) == before
            return
        bench.cycle()
    raise AssertionError(f"{state.__name__} not reached")


def reset_name(code):
    return ts.FSOEError(code).name if code in ts.FSOEError._value2member_map_ else str(code)


def random_fault(bench, rng, state):
    """A random fault for a master in `state`: (inject, expected report, expected Reset code)."""
    prefix, other_commands, echo_message = STATES[state]
    slave = bench.slave
    kinds = ["crc", "command", "unknown", "reset", "connid"] + (["echo"] if echo_message else [])
    kind = rng.choice(kinds)
    if kind == "reset":
        code = rng.choice([0, 1, 4, 7, 11, 42, 127, 128, 200, 255])
        return (lambda: slave.send_reset(code),
                (f"{prefix}_RESET1", f"Connection was reset by the slave (slave reported error {reset_name(code)})"),
                None)
    if kind == "connid" and prefix == "SESSION":
        # The CRCs cover the connection id; Session does not compare the id itself.
        kind = "crc"
        inject = slave.corrupt_connection_id
    else:
        inject = None
    number = NUMBERS[prefix][kind]
    if kind == "crc" and prefix == "SESSION" and not bench.handler._second_session_frame_sent:
        return inject or (lambda: slave.corrupt_crc()), ("SESSION_STAY2", CRC), None
    report = (f"{prefix}_FAIL{number}", {"crc": CRC, "command": COMMAND, "unknown": COMMAND, "connid": CONNID,
                                         "echo": echo_message}[kind])
    code = CODES[kind]
    if inject is not None:
        return inject, report, code
    if kind == "crc":
        slots = (slave.inputs_size + 1) // 2
        slot = rng.randrange(slots)
        return lambda: slave.corrupt_crc(slot), report, code
    if kind == "command":
        command = rng.choice(other_commands)
        return lambda: slave.send_command(command), report, code
    if kind == "unknown":
        byte = rng.choice([b for b in range(256) if not C.has_value(b)])
        return lambda: slave.send_command(byte), report, code
    if kind == "connid":
        return lambda: slave.corrupt_connection_id(), report, code
    return lambda: slave.corrupt_echo(), report, code


CONFIGS = [
    (1, 1, ()),
    (2, 2, ((0x5A, 1),)),
    (16, 16, ((0xDEADBEEF, 4), (0x1234, 2))),
    (2, 16, ((7, 2),)),
    (16, 1, ()),
    (4, 6, ((1, 1), (2, 2), (3, 4))),
]


@pytest.mark.parametrize("out_size, in_size, params", CONFIGS)
def test_random_fault_schedule(monkeypatch, out_size, in_size, params):
    rng = random.Random(f"{out_size}-{in_size}-{len(params)}")
    monkeypatch.setattr(ts, "randint", rng.randint)  # the master's session ids too: one schedule every run
    bench = Bench(rng, out_size, in_size, params, watchdog_s=30.0)
    try:
        bench.run_to_data()
        assert bench.states[-4:] == [ts.StateSession, ts.StateConnection, ts.StateParameter, ts.StateData]
        for _ in range(60):
            bench.data_cycles(rng.randrange(1, 15))
            if rng.random() < 0.3:
                state = rng.choice([ts.StateSession, ts.StateConnection, ts.StateParameter])
                reach(bench, state)
            else:
                state = ts.StateData
            inject, report, code = random_fault(bench, rng, state)
            bench.expect(inject, report, code)
            if rng.random() < 0.2:
                bench.slave.fail_safe = True
                bench.cycle()
                bench.cycle()
                failsafe = {n: item.fail_safe_value for n, item in
                            ((n, bench.dictionary.name_map[n]) for n, _ in bench.inputs)}
                assert {n: bench.dictionary.get(n) for n, _ in bench.inputs} == failsafe
                bench.slave.fail_safe = False
        bench.data_cycles(20)
        assert bench.handler.running
    finally:
        bench.close()


@pytest.mark.parametrize("state", [ts.StateData, ts.StateSession])
def test_silence_until_the_watchdog_expires(state):
    rng = random.Random(5)
    watchdog_s = 0.5
    bench = Bench(rng, 2, 2, ((9, 1),), watchdog_s=watchdog_s)
    try:
        bench.run_to_data()
        for _ in range(2):
            bench.data_cycles(5)
            if state is not ts.StateData:
                reach(bench, state)
            before = len(bench.reports)
            bench.slave.silence(1 << 30)
            deadline = time.monotonic() + 20 * watchdog_s
            while bench.handler.state is state and time.monotonic() < deadline:
                bench.cycle()
                time.sleep(0.005)
            bench.slave.clear_faults()
            prefix = STATES[state][0]
            expected = [(f"{prefix}_WD", WATCHDOG)]
            if state is ts.StateSession:
                # The slave never saw the first Session frame: it acknowledges the master's
                # Reset with the Reset frame it already sent, so the master's watchdog runs
                # out once more in Reset before the session opens.
                expected.append(("RESET_WD", WATCHDOG))
                while bench.handler.state is ts.StateReset and time.monotonic() < deadline + 20 * watchdog_s:
                    bench.cycle()
                    time.sleep(0.005)
            bench.run_to_data()
            assert bench.reports[before:] == expected
            assert bench.slave.master_error == E.WD_EXPIRED and bench.slave.rejections == []
    finally:
        bench.close()


def test_pack_and_unpack_follow_the_map_layout():
    d = ts.Dictionary([ts.DictionaryItemOutput(1, "a", DT.BOOL), ts.DictionaryItemOutput(2, "b", DT.INT16),
                       ts.DictionaryItemOutput(3, "c", DT.FLOAT)])
    handler = ts.MasterHandler(d, 1, 2, 1.0)
    try:
        m = handler.master.dictionary_map
        m.add(d.name_map["a"])
        m.add(d.name_map["b"], align_to_bits=8)
        m.add(d.name_map["c"])
        data = pack_safe_data(m, {"a": True, "b": -2, "c": 1.5})
        assert data == bytes([1, 0xFE, 0xFF]) + struct.pack("<f", 1.5)
        assert unpack_safe_data(m, data) == {"a": True, "b": -2, "c": 1.5}
        assert pack_safe_data(m, {"b": 1}) == bytes([0, 1, 0, 0, 0, 0, 0])
        assert math.isclose(unpack_safe_data(m, data)["c"], 1.5)
    finally:
        handler.delete()


@pytest.mark.parametrize("data_type, value, bits, low", [(DT.UINT8, 0xFF, 4, 0xF), (DT.INT8, -1, 3, 0x7),
                                                         (DT.UINT16, 0x1234, 8, 0x34), (DT.INT16, -2, 9, 0x1FE)])
def test_pack_keeps_a_value_inside_its_field(data_type, value, bits, low):
    """A field narrower than its item's type carries the value's low bits and leaves its
    neighbour alone."""
    d = ts.Dictionary([ts.DictionaryItemOutput(1, "narrow", data_type), ts.DictionaryItemOutput(2, "next", DT.UINT8)])
    handler = ts.MasterHandler(d, 1, 2, 1.0)
    try:
        m = handler.master.dictionary_map
        m.add(d.name_map["narrow"], bits=bits)
        m.add(d.name_map["next"])
        stream = int.from_bytes(pack_safe_data(m, {"narrow": value, "next": 0}), "little")
        assert stream == low
    finally:
        handler.delete()
