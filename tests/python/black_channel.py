"""Faults of the black-channel model on a BusLink, and a bench that watches what the host and
the slave are given while they happen.

Every fault acts on the next *new* frame one direction carries after it was armed (the first
frame that differs from the one the sender sent before), because on a process-data bus each
side sends its latest frame every cycle and only a changed one is news:

- ``corrupt(change)``: that frame arrives changed, once; later copies arrive intact;
- ``lose(cycles)``: nothing sent in `cycles` cycles from that frame on arrives;
- ``hold(cycles)``: the same, then that frame arrives late, in place of what is sent then;
- ``repeat(copies)``: that frame arrives again in the next `copies` cycles;
- ``swap()``: that frame and the one before it arrive in the opposite order;
- ``replay(back)``: after that frame, the distinct frame `back` places before it arrives again;
- ``splice(frame)``: a foreign frame arrives in place of that frame, which arrives a cycle later.

``forge`` rebuilds a frame with valid CRCs after changing its command or connection id, the
way only a peer that knows the CRC chain could (a masquerade).
"""
from __future__ import annotations

from typing import Callable, List, Optional

import tamsel.tamsel as ts
from bus_link import BusLink, SlaveSide
from slave_emulator import Frame, image_length, slot_crc
from tamsel.slave import pack_safe_data, unpack_safe_data

STATES = {"Session": ts.StateSession, "Connection": ts.StateConnection,
          "Parameter": ts.StateParameter, "Data": ts.StateData}
PREFIX = {"Session": "SESSION", "Connection": "CONN", "Parameter": "PARA", "Data": "DATA"}
# What the master does when it finds a fault, per state (stays, goes to Reset or opens a
# new session): every reported transition except Reset's.
DETECTIONS = {
    "Session": {"SESSION_STAY2", "SESSION_FAIL1", "SESSION_FAIL3", "SESSION_FAIL4", "SESSION_RESET1", "SESSION_WD"},
    "Connection": {"CONN_FAIL1", "CONN_FAIL2", "CONN_FAIL3", "CONN_FAIL4", "CONN_FAIL5", "CONN_RESET1", "CONN_WD"},
    "Parameter": {"PARA_FAIL1", "PARA_FAIL2", "PARA_FAIL3", "PARA_FAIL4", "PARA_FAIL5", "PARA_RESET1", "PARA_WD"},
    "Data": {"DATA_FAIL1", "DATA_FAIL2", "DATA_FAIL3", "DATA_FAIL4", "DATA_RESET1", "DATA_WD"},
}


# --- faults ----------------------------------------------------------------------------------


class Fault:
    """A BusLink hook that acts on the first new frame after `previous` (see the module
    documentation); `cycle` is the cycle that frame was sent in, once it came."""

    def __init__(self, act: Callable[["Fault", int, bytes], List[bytes]], history: List[bytes]):
        self._act = act
        self.history = list(history)  # the distinct frames sent so far, oldest first
        self.previous = history[-1] if history else None
        self.cycle: Optional[int] = None
        self._pending: List[Callable[[int, bytes], Optional[List[bytes]]]] = []

    def __call__(self, now: int, frame: bytes) -> List[bytes]:
        new = frame != self.previous
        self.previous = frame
        if new:
            self.history.append(frame)
        if self.cycle is None and new:
            self.cycle = now
            return self._act(self, now, frame)
        for later in list(self._pending):
            out = later(now, frame)
            if out is not None:
                return out
        return [frame]

    def then(self, later: Callable[[int, bytes], Optional[List[bytes]]]) -> None:
        """`later(now, frame)` decides the frames of later cycles while it returns a list."""
        self._pending.append(later)


def corrupt(change: Callable[[bytes], bytes]):
    return lambda fault, now, frame: [change(frame)]


def flip(offset: int, mask: int = 0x01) -> Callable[[bytes], bytes]:
    """Flips bits of the byte at `offset` (negative: from the end)."""
    def change(frame):
        out = bytearray(frame)
        out[offset] ^= mask
        return bytes(out)
    return change


def lose(cycles: int):
    def act(fault, now, frame):
        fault.then(lambda later, _: [] if later < now + cycles else None)
        return []
    return act


def hold(cycles: int):
    def act(fault, now, frame):
        fault.then(lambda later, _: ([] if later < now + cycles else [frame] if later == now + cycles else None))
        return []
    return act


def repeat(copies: int):
    return lambda fault, now, frame: [frame] * (copies + 1)


def swap():
    return lambda fault, now, frame: [frame, fault.history[-2]]


def replay(back: int):
    return lambda fault, now, frame: [frame, fault.history[max(0, len(fault.history) - 1 - back)]]


def splice(foreign: bytes):
    return lambda fault, now, frame: [foreign, frame]


# --- masquerade ------------------------------------------------------------------------------


def forge(frame: bytes, size: int, keys, command: Optional[int] = None,
          connection_id: Optional[int] = None, sequences=range(1, 1024)) -> bytes:
    """`frame` (of `size` safe-data bytes) with another command or connection id and CRCs that
    are valid under the key and sequence number the original was made with; `keys` are the
    candidate CRC_0 references (CRC_0 of frames of the other direction)."""
    parsed = Frame.parse(frame, size)
    for key in dict.fromkeys(keys):
        for sequence in sequences:
            if slot_crc(parsed.command, sequence, parsed.connection_id, key, parsed.safe, 0) == parsed.crcs[0]:
                if command is not None:
                    parsed.command = command
                if connection_id is not None:
                    parsed.connection_id = connection_id
                parsed.crcs = parsed.expected_crcs(sequence, key)
                return parsed.image()
    raise AssertionError("the frame's CRC key and sequence number were not found")


def crc0_of(frame: Optional[bytes], size: int) -> Optional[int]:
    if frame is None or len(frame) != image_length(size):
        return None
    return Frame.parse(frame, size).crc0


# --- addressing ------------------------------------------------------------------------------


class Device(SlaveSide):
    """A slave object as the slave side of a link."""

    def __init__(self, obj):
        self.obj = obj

    def reply(self, request: bytes, cycle: int) -> bytes:
        return self.obj.reply(request)


class Router(SlaveSide):
    """The slave side of the link, except that the next new master frame after `misroute()`
    goes to `other` (a slave with another address) and its answer comes back instead; `last`
    is the master frame the slave side got last."""

    def __init__(self, side: SlaveSide, other, last: Optional[bytes]):
        self.side, self.other, self.obj = side, other, side.obj
        self._armed = False
        self._last = last
        self.cycle: Optional[int] = None

    def misroute(self) -> None:
        self._armed, self.cycle = True, None

    def reply(self, request: bytes, cycle: int) -> bytes:
        new, self._last = request != self._last, request
        if self._armed and new:
            self._armed, self.cycle = False, cycle
            return self.other.reply(request)
        return self.side.reply(request, cycle)


# --- the bench -------------------------------------------------------------------------------


class Values:
    """What one side writes into one direction's safe data over time, a new value every cycle
    (a counter over all the data's bits), and the check that the other side only ever takes a
    value that was written, and never one older than a value it took before."""

    def __init__(self, dictionary_map, fail_safe: bytes, who: str):
        self.map, self.fail_safe, self.who = dictionary_map, fail_safe, who
        self.size = dictionary_map.safety_bytes
        self.written = {}  # value -> the last cycle it was written in
        self.newest_taken = -1

    def write(self, cycle: int) -> bytes:
        value = (cycle % ((1 << (8 * self.size)) - 1) + 1).to_bytes(self.size, "little")
        self.written[value] = cycle
        return value

    def check_taken(self, value: bytes, cycle: int) -> None:
        if value == self.fail_safe:
            return
        shown = unpack_safe_data(self.map, value)
        assert value in self.written, f"cycle {cycle}: {self.who} was given {shown}, which was never sent"
        assert self.written[value] >= self.newest_taken, f"cycle {cycle}: {self.who} was given an older {shown}"
        self.newest_taken = self.written[value]


class Bench:
    """A BusLink run like a host would run it (fail-safe switched off once in Data), with a
    new input value from the slave and a new output value from the host every cycle, that
    fails at the first cycle in which the host holds an input, or the slave acts on an output,
    that was never sent or is older than one taken before. Inputs may always hold their
    fail-safe values."""

    def __init__(self, link: BusLink):
        self.link = link
        handler = link.handler
        self.in_map, self.out_map = handler.slave.dictionary_map, handler.master.dictionary_map
        self.fail_safe = {e.item.name: e.item.fail_safe_value for e in self.in_map if e.item is not None}
        self.inputs = Values(self.in_map, pack_safe_data(self.in_map, self.fail_safe), "the host")
        self.outputs = Values(self.out_map, None, "the slave")

    @property
    def handler(self):
        return self.link.handler

    @property
    def slave(self):
        return self.link.side.obj

    def held_inputs(self) -> bytes:
        return pack_safe_data(self.in_map, {name: self.handler.dictionary.get(name) for name in self.fail_safe})

    def step(self):
        cycle = self.link.cycle
        self.slave.inputs = self.inputs.write(cycle)
        for name, value in unpack_safe_data(self.out_map, self.outputs.write(cycle)).items():
            self.handler.dictionary.set(name, value)
        record = self.link.step()
        if self.handler.state is ts.StateData:
            self.handler.set_fail_safe(False)
        self.inputs.check_taken(self.held_inputs(), cycle)
        if not self.slave.outputs_fail_safe and self.slave.phase.name == "DATA":
            self.outputs.check_taken(self.slave.outputs, cycle)
        return record

    def run_until(self, done, limit: int) -> int:
        for taken in range(limit + 1):
            if done():
                return taken
            if taken < limit:
                self.step()
        raise AssertionError(f"not done within {limit} cycles: {self.link.describe()}")

    def reach(self, state: str, limit: int = 300) -> None:
        """Runs into `state`: Session as it is entered, Connection and Parameter one answer
        later (the next frames are of the state's own kind), Data until process data flows."""
        self.run_until(lambda: self.handler.state is STATES[state], limit)
        if state == "Data":
            self.run_until(self.connected, limit)
        elif state != "Session":
            replies = self.handler.statistics.replies
            self.run_until(lambda: self.handler.statistics.replies > replies, limit)
            assert self.handler.state is STATES[state]

    def connected(self) -> bool:
        """Both sides exchange process data and the host holds what the slave sends."""
        return (self.handler.state is ts.StateData and self.slave.phase.name == "DATA"
                and not self.slave.outputs_fail_safe and self.held_inputs() != self.inputs.fail_safe)

    def reports_from(self, cycle: int) -> list:
        return self.link.reports_since(cycle)

    def first_report_cycle(self, cycle: int) -> Optional[int]:
        return next((r.cycle for r in self.link.since(cycle) if r.reports), None)

    def sent(self, direction: str) -> List[bytes]:
        """The distinct frames sent in `direction` so far, oldest first."""
        frames: List[bytes] = []
        for record in self.link.records:
            frame = record.master_sent if direction == "to_slave" else record.slave_sent
            if frame is not None and (not frames or frame != frames[-1]):
                frames.append(frame)
        return frames

    def arm(self, direction: str, act) -> Fault:
        fault = Fault(act, self.sent(direction))
        getattr(self.link, direction).hook = fault
        return fault

    def keys(self, direction: str, size_other: int) -> list:
        """Candidate CRC_0 references of a frame sent now in `direction`: CRC_0 of the frames
        the other direction carried lately (and 0, the reference after a reset)."""
        recent = [r.slave_sent if direction == "to_slave" else r.master_sent for r in self.link.records[-6:]]
        recent += [r.master_got if direction == "to_slave" else r.slave_got for r in self.link.records[-6:]]
        if direction == "to_master":
            recent.append(self.handler.get_request())
        keys = [crc0_of(frame, size_other) for frame in reversed(recent)]
        return [k for k in keys if k is not None] + [0]
