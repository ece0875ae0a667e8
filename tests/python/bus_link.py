"""A master handler and a slave joined by a simulated process-data bus, cycle by cycle.

On a real bus a frame takes one or more cycles to reach the other side, and each side sees the
latest process image that has arrived, again and again until a newer one arrives. The link
models exactly that, deterministically: master frames arrive ``d_ms`` cycles after they were
sent, slave frames ``d_sm`` cycles after; a cycle is

1. actions scheduled for the cycle (``at``), such as an injected watchdog expiry;
2. the master's request (``get_request``) goes onto the bus;
3. the slave answers the latest master frame that has arrived (nothing before the first);
4. the master is handed the latest slave frame that has arrived (``set_reply``);
5. the master's watchdog model: when no new slave frame reached the master for
   ``watchdog_cycles`` cycles, ``_watchdog_expired_event()`` is called (then again after
   every further ``watchdog_cycles`` cycles without one).

The handler is made with a 30 s watchdog, so its own timer never runs out during a test; the
model above stands in for it. A slave made with ``slave_watchdog_cycles`` supervises the master
in cycles: its clock advances ``watchdog_ms / slave_watchdog_cycles`` milliseconds per
cycle, so a master frame that arrives more than that many cycles after the previous new one
is answered with ``WD_EXPIRED``.

Usage::

    link = BusLink.make("simulated", d_ms=1, d_sm=0, watchdog_cycles=60)
    link.run_until_data(200)                        # cycles taken, or AssertionError
    link.to_master.hook = corrupt_at(link.cycle + 3)  # one slave frame corrupted in transit
    link.at(link.cycle + 10, BusLink.expire_watchdog)
    link.run(100)
    first = link.cycle - 100
    assert link.reports_since(first)[0] == ("DATA_FAIL1", "Invalid slave CRC")
    assert link.settled_in_data(first) is not None   # back in Data and stays there
    link.close()

``expire_watchdog()`` runs the master's watchdog out at once; ``stall(n)`` stops the host loop
for the next n cycles (nothing moves on the bus, time and the watchdogs run on).

``make`` takes ``"simulated"`` (``tamsel.slave.Slave``), ``"emulator"`` (the tests' independent
``SlaveEmulator``) or any ``SlaveSide``. Hooks (``to_slave.hook``, ``to_master.hook``) are
callables ``(cycle, frame) -> list of frames`` applied to every frame as it is sent: ``[]`` loses
it, ``[other]`` replaces it, ``[frame, extra, ...]`` sends the extras in the following cycles,
each in place of the frame the sender sends in that cycle. ``corrupt_at``, ``drop_at``,
``replace_at``, ``hold_back`` and ``swap_at`` build the usual ones.

Each cycle leaves a ``Record`` in ``records``: the master's state after the cycle, the reports
and state changes of the cycle, the frames sent and received on both sides, and the watchdog
expiries.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Callable, Dict, List, Optional, Set

import tamsel.tamsel as ts
from end_to_end_link import sized_layout
from slave_emulator import SlaveEmulator
from tamsel.slave import Slave

Hook = Callable[[int, bytes], List[bytes]]
HANDLER_WATCHDOG_S = 30.0


class Channel:
    """One direction of the bus: frames arrive `delay` cycles after they were sent."""

    def __init__(self, delay: int = 0, hook: Optional[Hook] = None):
        if delay < 0:
            raise ValueError("delay must not be negative")
        self.delay = delay
        self.hook = hook
        self.latest: Optional[bytes] = None  # what the receiver sees
        self._arrivals: Dict[int, bytes] = {}
        self._inserted: Set[int] = set()  # arrivals taken by a hook's extra frames

    def send(self, cycle: int, frame: bytes) -> None:
        frames = [frame] if self.hook is None else list(self.hook(cycle, frame))
        for offset, sent in enumerate(frames):
            arrival = cycle + self.delay + offset
            if offset == 0 and arrival in self._inserted:
                continue  # this cycle's frame was displaced by an earlier hook's extra
            self._arrivals[arrival] = bytes(sent)
            if offset:
                self._inserted.add(arrival)

    def receive(self, cycle: int) -> Optional[bytes]:
        """The latest frame that has arrived by `cycle` (None before the first)."""
        if cycle in self._arrivals:
            self.latest = self._arrivals.pop(cycle)
            self._inserted.discard(cycle)
        return self.latest


# --- hooks -----------------------------------------------------------------------------------


def corrupt_at(cycle: int, corrupt: Callable[[bytes], bytes] = None) -> Hook:
    """The frame sent at `cycle` is changed (by default byte 3, a byte of the first CRC in every
    frame size, is flipped)."""
    corrupt = corrupt or (lambda frame: frame[:3] + bytes([frame[3] ^ 0xFF]) + frame[4:])
    return lambda now, frame: [corrupt(frame)] if now == cycle else [frame]


def drop_at(*cycles: int) -> Hook:
    """The frames sent at these cycles are lost."""
    return lambda now, frame: [] if now in cycles else [frame]


def replace_at(cycle: int, frames: List[bytes]) -> Hook:
    """At `cycle`, `frames` go out in place of the sender's (the first now, the others after)."""
    return lambda now, frame: list(frames) if now == cycle else [frame]


def hold_back(cycle: int, release: int) -> Hook:
    """The frame sent at `cycle` is held back and arrives in place of the one sent at `release`
    (a stale frame delivered late)."""
    held: List[bytes] = []

    def hook(now, frame):
        if now == cycle:
            held.append(frame)
            return []
        if now == release and held:
            return [held.pop()]
        return [frame]

    return hook


def swap_at(cycle: int) -> Hook:
    """The frames sent at `cycle` and `cycle + 1` arrive in the opposite order."""
    held: List[bytes] = []

    def hook(now, frame):
        if now == cycle:
            held.append(frame)
            return []
        if now == cycle + 1 and held:
            return [frame, held.pop()]
        return [frame]

    return hook


def chain(*hooks: Hook) -> Hook:
    """Applies hooks one after the other to every frame each one passes on."""

    def hook(now, frame):
        frames = [frame]
        for one in hooks:
            frames = [out for f in frames for out in one(now, f)]
        return frames

    return hook


# --- slave sides -----------------------------------------------------------------------------


class SlaveSide:
    """What the link needs of a slave: answer a master frame in a cycle, tell its phase."""

    obj: object

    def reply(self, request: bytes, cycle: int) -> bytes:
        raise NotImplementedError

    @property
    def phase(self) -> str:
        return self.obj.phase.name

    @property
    def rejections(self) -> list:
        return list(self.obj.rejections)


class CycleClock(SlaveSide):
    """A slave whose supervision of the master, if any, runs on the cycle clock."""

    watchdog_cycles: Optional[int] = None

    def reply(self, request: bytes, cycle: int) -> bytes:
        if self.watchdog_cycles is None:
            return self.obj.reply(request)
        return self.obj.reply(request, now_ms=cycle * self.obj.watchdog_ms // self.watchdog_cycles)


class SimulatedSlave(CycleClock):
    """``tamsel.slave.Slave``."""

    def __init__(self, handler, session_id=None, watchdog_cycles: Optional[int] = None):
        self.obj = Slave.for_handler(handler, session_id=session_id, supervise_watchdog=watchdog_cycles is not None)
        self.watchdog_cycles = watchdog_cycles


class EmulatedSlave(CycleClock):
    """The tests' independent ``SlaveEmulator``."""

    def __init__(self, handler, session_id=None, watchdog_cycles: Optional[int] = None):
        self.watchdog_cycles = watchdog_cycles
        session = handler.master.session
        params = [(p.raw_value, p.n_bytes) for p in handler.master.application_parameters]
        self.obj = SlaveEmulator(slave_address=handler.get_slave_address(), connection_id=session.connection_id.value,
                                 watchdog_ms=session.watchdog_ms.value,
                                 outputs_size=handler.master.dictionary_map.safety_bytes,
                                 inputs_size=handler.slave.dictionary_map.safety_bytes,
                                 app_params=params, session_id=session_id,
                                 supervise_watchdog=watchdog_cycles is not None)


SIDES = {"simulated": SimulatedSlave, "emulator": EmulatedSlave}


# --- the link --------------------------------------------------------------------------------


@dataclass
class Record:
    """What happened in one cycle."""

    cycle: int
    state: str = ""  # the master's state after the cycle
    reports: list = field(default_factory=list)  # (transition name, message)
    changes: list = field(default_factory=list)  # names of the states entered
    master_sent: Optional[bytes] = None  # the master's request, before any hook
    slave_got: Optional[bytes] = None
    slave_sent: Optional[bytes] = None
    master_got: Optional[bytes] = None
    expiries: int = 0  # master watchdog expiries (modelled and injected)
    stalled: bool = False  # the host loop did not run in this cycle


class BusLink:
    """A started handler and a slave side on a simulated bus; see the module docstring."""

    def __init__(self, handler, side: SlaveSide, d_ms: int = 0, d_sm: int = 0, watchdog_cycles: Optional[int] = None):
        self.handler = handler
        self.side = side
        self.to_slave = Channel(d_ms)
        self.to_master = Channel(d_sm)
        self.watchdog_cycles = watchdog_cycles
        self.cycle = 0  # the next cycle to run
        self.records: List[Record] = []
        self._silent_cycles = 0  # cycles since the master last got a new slave frame
        self._last_seen: Optional[bytes] = None
        self._actions: Dict[int, list] = {}
        self._stall_left = 0
        self._record: Optional[Record] = None

    @classmethod
    def make(cls, side="simulated", d_ms=0, d_sm=0, watchdog_cycles=60, slave_watchdog_cycles=None,
             out_size=2, in_size=2, params=((0x12, 1),), session_id=None, connection_id=0x1234,
             slave_address=0x0A, handler_cls=None):
        """A started handler with a `out_size`/`in_size` byte layout and `params` ((value,
        n_bytes) pairs), its slave side and the link between them."""
        out_types, in_types = sized_layout(out_size), sized_layout(in_size)
        items = [ts.DictionaryItemOutput(0x100 + i, f"out{i}", t) for i, t in enumerate(out_types)]
        items += [ts.DictionaryItemInput(0x200 + i, f"in{i}", t, t.get_initial_value()) for i, t in enumerate(in_types)]
        parameters = [ts.ApplicationParameter(f"p{i}", value, n_bytes=n) for i, (value, n) in enumerate(params)]
        link: Optional[BusLink] = None

        def report(name, message):
            link._note("reports", (name, message))

        def change(state):
            link._note("changes", state.__name__)

        dictionary = ts.Dictionary(items)
        handler = (handler_cls or ts.MasterHandler)(dictionary, slave_address, connection_id, HANDLER_WATCHDOG_S,
                                                    application_parameters=parameters,
                                                    report_error_callback=report, state_change_callback=change)
        for item in items:
            node = handler.master if isinstance(item, ts.DictionaryItemOutput) else handler.slave
            node.dictionary_map.add(item)
        make_side = SIDES[side] if isinstance(side, str) else side
        link = cls(handler, make_side(handler, session_id, slave_watchdog_cycles), d_ms, d_sm, watchdog_cycles)
        handler.start()
        return link

    # -- events -------------------------------------------------------------------------------

    def at(self, cycle: int, action: Callable[["BusLink"], object]) -> None:
        """Runs `action(link)` at the start of `cycle`, before the master's request is taken."""
        self._actions.setdefault(cycle, []).append(action)

    def expire_watchdog(self) -> None:
        """The master's watchdog runs out now."""
        if self._record is not None:
            self._record.expiries += 1
        self._silent_cycles = 0
        self.handler._watchdog_expired_event()

    def stall(self, cycles: int) -> None:
        """The host loop stops for the next `cycles` cycles (from this one, when called by an
        action): nothing moves on the bus and the slave gets no frame, but time, the master's
        watchdog and the scheduled actions run on."""
        self._stall_left += cycles

    # -- running ------------------------------------------------------------------------------

    def step(self) -> Record:
        """One bus cycle; returns its record."""
        self._begin()
        record, now = self._record, self.cycle
        if self._stall_left:
            self._stall_left -= 1
            record.stalled = True
            self._tick_watchdog(new_frame=False)
            return self._end()
        request = self.handler.get_request()
        record.master_sent = request
        self.to_slave.send(now, request)
        record.slave_got = self.to_slave.receive(now)
        if record.slave_got is not None:
            record.slave_sent = self.side.reply(record.slave_got, now)
            self.to_master.send(now, record.slave_sent)
        record.master_got = self.to_master.receive(now)
        new_frame = record.master_got is not None and record.master_got != self._last_seen
        if record.master_got is not None:
            self._last_seen = record.master_got
            self.handler.set_reply(record.master_got)
        self._tick_watchdog(new_frame)
        return self._end()

    def run(self, cycles: int) -> None:
        for _ in range(cycles):
            self.step()

    def run_until(self, done: Callable[["BusLink"], bool], max_cycles: int) -> int:
        """Runs until `done(link)` holds after a cycle; returns the cycles taken (0 if it holds
        already), AssertionError after `max_cycles`."""
        for taken in range(max_cycles + 1):
            if done(self):
                return taken
            if taken < max_cycles:
                self.step()
        raise AssertionError(f"not done within {max_cycles} cycles: {self.describe()}")

    def run_until_data(self, max_cycles: int = 200) -> int:
        """Runs until the master is in Data; returns the cycles taken."""
        return self.run_until(lambda link: link.in_data(), max_cycles)

    def in_data(self) -> bool:
        return issubclass(self.handler.state, ts.StateData)

    # -- reading the records ------------------------------------------------------------------

    def since(self, first: int) -> List[Record]:
        """The records of cycle `first` on."""
        return [r for r in self.records if r.cycle >= first]

    def reports_since(self, first: int) -> list:
        return [pair for r in self.since(first) for pair in r.reports]

    def settled_in_data(self, first: int) -> Optional[int]:
        """The first cycle from `first` on after which the master is in Data to the last
        record, or None when the last record is not in Data."""
        settled = None
        for record in self.since(first):
            if record.state != "StateData":
                settled = None
            elif settled is None:
                settled = record.cycle
        return settled

    def describe(self, last: int = 12) -> str:
        """The master's state and the last cycles' events, for assertion messages."""
        lines = [f"master in {self.handler.state.__name__}, slave in {self.side.phase}"]
        for r in self.records[-last:]:
            got = r.master_got.hex() if r.master_got else "-"
            lines.append(f"  {r.cycle}: {r.state} reports={r.reports} expiries={r.expiries} master_got={got}"
                         + (" stalled" if r.stalled else ""))
        return "\n".join(lines)

    def close(self) -> None:
        self.handler.stop()
        self.handler.delete()

    # -- internals ----------------------------------------------------------------------------

    def _begin(self) -> None:
        self._record = Record(self.cycle)
        for action in self._actions.pop(self.cycle, ()):
            action(self)

    def _end(self) -> Record:
        record = self._record
        record.state = self.handler.state.__name__
        self.records.append(record)
        self._record = None
        self.cycle += 1
        return record

    def _note(self, what: str, value) -> None:
        if self._record is not None:
            getattr(self._record, what).append(value)

    def _tick_watchdog(self, new_frame: bool) -> None:
        if new_frame or not self.handler.running:
            self._silent_cycles = 0
            return
        self._silent_cycles += 1
        if self.watchdog_cycles is not None and self._silent_cycles >= self.watchdog_cycles:
            self.expire_watchdog()
