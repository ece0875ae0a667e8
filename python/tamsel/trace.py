"""Frame recorder and decoder for a MasterHandler.

Record the last frames of a handler and save them for Wireshark::

    from tamsel.trace import FrameRecorder

    with FrameRecorder(handler, capacity=4096) as recorder:
        ...                                  # run the host cycle
        recorder.save("drive.pcapng")        # any time, as often as needed

Every request the handler computes and every new reply it accepts is kept with a monotonic
timestamp, the direction and the master's state at that moment; the ring keeps the newest
`capacity` frames. In the file each FSoE frame travels as the data of one LRW datagram of an
EtherCAT frame, the master's from 02:00:00:00:00:01, the slave's from 02:00:00:00:00:02,
with the packet comment "<direction> <state>".

The faults the handler reported (transition name and message) and its changes of state are
kept too, at their time between the frames; in the file each is an Ethernet frame of its own
(EtherType 0x88B5, the text as data and as packet comment), and the reply the master reported
on carries " reported <transition name>" after its comment.

Decode a file on the command line, one line per frame and per event, frames that fail a check
the master makes marked with the check (command, connection id, CRCs)::

    python -m tamsel.trace show drive.pcapng [--json]

Write the Wireshark dissector for these files (and, with the offsets set in its preferences,
for captures of a real bus) into Wireshark's personal Lua plugin folder, or into DIR::

    python -m tamsel.trace wireshark-plugin [DIR]
"""
import argparse
import datetime
import json
import os
import pathlib
import sys
import time
from importlib import resources
from typing import List, NamedTuple, Optional, Union

from tamsel import _pcapng, _replay
from tamsel._replay import Replay, crc_words
from tamsel.tamsel import FSOECommand, FSOEFrame

__all__ = ["Frame", "Report", "StateChange", "FrameRecorder", "DecodedFrame", "DecodedReport", "DecodedStateChange",
           "decode", "decode_records", "write_wireshark_plugin", "main"]

STATE_NAMES = ("Reset", "Session", "Connection", "Parameter", "Data")
DIRECTIONS = ("master", "slave")  # index: the native direction code
COMPLETE_MARK = "tamsel FrameRecorder: complete recording"


class Frame(NamedTuple):
    """One captured frame: monotonic time in ns, "master" (sent) or "slave" (received), the
    master's state ("Reset" ... "Data") and the frame's byte image."""

    time_ns: int
    direction: str
    state: str
    data: bytes


class Report(NamedTuple):
    """A fault the handler reported: monotonic time in ns, transition name and message."""

    time_ns: int
    transition: str
    message: str


class StateChange(NamedTuple):
    """A change of the master's state: monotonic time in ns, the previous and the new state
    ("Reset" ... "Data")."""

    time_ns: int
    previous: str
    state: str


Record = Union[Frame, Report, StateChange]


def _state_name(code: int) -> str:
    return STATE_NAMES[code] if code < len(STATE_NAMES) else "unknown"


def _event(time_ns: int, kind: str, first, second):
    if kind == "fault":
        return Report(time_ns, first, second)
    return StateChange(time_ns, _state_name(first), _state_name(second))


def _event_text(event) -> str:
    """The data of an event frame; `_parse_event` reads it back."""
    if isinstance(event, Report):
        return f"fault {event.transition} {event.message}"
    return f"state {event.previous} {event.state}"


def _event_comment(event) -> str:
    if isinstance(event, Report):
        return f"fault {event.transition}: {event.message}"
    return f"state {event.previous} -> {event.state}"


class FrameRecorder:
    """Keeps the last `capacity` frames a MasterHandler sends and accepts (see the module
    documentation). One recorder at a time per handler; `close()` detaches it."""

    def __init__(self, handler, capacity: int = 4096):
        self._from_start = handler.statistics.requests == 0
        self._ring = handler._attach_recorder(capacity)
        self._handler = handler
        # Monotonic timestamps become wall-clock ones in saved files.
        self._epoch_offset_ns = time.time_ns() - time.monotonic_ns()

    @property
    def capacity(self) -> int:
        return self._ring.capacity

    @property
    def attached(self) -> bool:
        return self._handler is not None

    def frames(self) -> List[Frame]:
        """The frames kept, oldest first."""
        return [Frame(t, DIRECTIONS[d], _state_name(s), data) for t, d, s, data in self._ring.frames()]

    def events(self) -> List[Union[Report, StateChange]]:
        """The faults reported and the state changes made, oldest first; as many as the
        recorder keeps frames."""
        return [_event(t, kind, first, second) for t, _, kind, first, second in self._ring.events()]

    def records(self) -> List[Record]:
        """The frames kept and the events between them, in the order they happened."""
        return [record for record, _ in self._records()[0]]

    def _records(self):
        """(record, the fault reported on it or None) for the frames kept and the events from
        just before the oldest of them on."""
        while True:  # the watchdog thread may add a record between two reads
            recorded = self._ring.recorded
            frames, events = self._ring.frames(), self._ring.events()
            if self._ring.recorded == recorded:
                break
        first = recorded - len(frames)  # the number of the oldest frame kept
        merged = []
        pending = iter([e for e in events if e[1] >= first])
        event = next(pending, None)
        for number, (t, d, s, data) in enumerate(frames, start=first):
            while event is not None and event[1] <= number:
                merged.append([_event(event[0], *event[2:]), None])
                event = next(pending, None)
            merged.append([Frame(t, DIRECTIONS[d], _state_name(s), data), None])
            # A fault right after a reply, before the next request, was found in that reply.
            if d == 1 and event is not None and event[1] == number + 1 and event[2] == "fault":
                merged[-1][1] = event[3]
        while event is not None:
            merged.append([_event(event[0], *event[2:]), None])
            event = next(pending, None)
        return merged, first == 0

    def clear(self) -> None:
        """Forgets the frames and events kept so far."""
        self._ring.clear()
        self._from_start = False

    def save(self, path) -> int:
        """Writes the frames and events kept to a pcapng file at ``path`` (str or os.PathLike);
        returns how many frames."""
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path must be a str or os.PathLike, not {type(path).__name__}")
        records, from_first = self._records()
        complete = self._from_start and from_first
        packets, frames = [], 0
        for record, reported in records:
            time_ns = record.time_ns + self._epoch_offset_ns
            if isinstance(record, Frame):
                comment = f"{record.direction} {record.state}" + (f" reported {reported}" if reported else "")
                packets.append(_pcapng.Packet(time_ns, _pcapng.ethercat_frame(
                    record.data, record.direction == "master", frames), comment))
                frames += 1
            else:
                packets.append(_pcapng.Packet(time_ns, _pcapng.event_frame(_event_text(record)),
                                              _event_comment(record)))
        _pcapng.write(path, packets, comment=COMPLETE_MARK if complete else "")
        return frames

    def close(self) -> None:
        """Detaches from the handler; the frames kept stay readable. Repeatable."""
        if self._handler is not None:
            self._handler._detach_recorder(self._ring)
            self._handler = None

    def __enter__(self) -> "FrameRecorder":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __repr__(self) -> str:
        return (f"<FrameRecorder {len(self._ring)}/{self.capacity} frames"
                f"{'' if self.attached else ', detached'}>")


# ---- decoding ---------------------------------------------------------------------------------

class DecodedFrame(NamedTuple):
    time_ns: int               # since the epoch
    direction: str             # "master" or "slave"
    state: Optional[str]
    command: str               # FSOECommand name, or UNKNOWN(0x..)
    connection_id: int
    safe_data: bytes
    crcs: tuple
    crc_ok: Optional[bool]     # None: not checked
    expected_crcs: Optional[tuple]
    cause: Optional[str] = None  # the first check the master makes that the frame fails
    expected_connection_id: Optional[int] = None

    def as_json(self) -> dict:
        return {"record": "frame", "time_ns": self.time_ns, "time": _wall_time(self.time_ns).isoformat(),
                "direction": self.direction, "state": self.state, "command": self.command,
                "connection_id": self.connection_id, "safe_data": self.safe_data.hex(),
                "crcs": list(self.crcs), "crc_ok": self.crc_ok,
                "expected_crcs": None if self.expected_crcs is None else list(self.expected_crcs),
                "cause": self.cause}

    def line(self) -> str:
        crcs = " ".join(f"{c:04X}" for c in self.crcs) or "-"
        text = (f"{_time_text(self.time_ns)}  {self.direction:<6} "
                f"{self.state or '?':<10} {self.command:<13} conn 0x{self.connection_id:04X}  "
                f"data {self.safe_data.hex() or '-'}  crc {crcs}")
        if self.cause == _replay.CONNECTION_ID_MISMATCH:
            text += f"  <-- {self.cause}, expected 0x{self.expected_connection_id:04X}"
        elif self.cause == _replay.CRC_MISMATCH:
            text += f"  <-- {self.cause}, expected " + " ".join(f"{c:04X}" for c in self.expected_crcs)
        elif self.cause is not None:
            text += f"  <-- {self.cause}"
        return text


class DecodedReport(NamedTuple):
    time_ns: int  # since the epoch
    transition: str
    message: str

    def as_json(self) -> dict:
        return {"record": "fault", "time_ns": self.time_ns, "time": _wall_time(self.time_ns).isoformat(),
                "transition": self.transition, "message": self.message}

    def line(self) -> str:
        return f"{_time_text(self.time_ns)}  fault  {self.transition}: {self.message}"


class DecodedStateChange(NamedTuple):
    time_ns: int  # since the epoch
    previous: str
    state: str

    def as_json(self) -> dict:
        return {"record": "state", "time_ns": self.time_ns, "time": _wall_time(self.time_ns).isoformat(),
                "previous": self.previous, "state": self.state}

    def line(self) -> str:
        return f"{_time_text(self.time_ns)}  state  {self.previous} -> {self.state}"


def _wall_time(time_ns: int) -> datetime.datetime:
    return datetime.datetime.fromtimestamp(time_ns / 1e9).astimezone()


def _time_text(time_ns: int) -> str:
    return _wall_time(time_ns).strftime('%Y-%m-%d %H:%M:%S.%f')


def _command_name(code: int) -> str:
    try:
        return FSOECommand(code).name
    except ValueError:
        return f"UNKNOWN(0x{code:02X})"


def _comment_fields(packet):
    """(from master, state code or None) from the packet comment, else from the source MAC."""
    words = (packet.comment or "").split()
    from_master = words[0] == "master" if words and words[0] in DIRECTIONS else not _pcapng.is_from_slave(packet.data)
    state = STATE_NAMES.index(words[1]) if len(words) > 1 and words[1] in STATE_NAMES else None
    return from_master, state


def _parse_event(time_ns: int, text: str):
    """The event an event frame's text describes, or None for text of no known kind."""
    kind, _, rest = text.partition(" ")
    first, _, second = rest.partition(" ")
    if kind == "fault" and first:
        return DecodedReport(time_ns, first, second)
    if kind == "state" and first and second:
        return DecodedStateChange(time_ns, first, second)
    return None


def decode_records(path) -> List[Union[DecodedFrame, DecodedReport, DecodedStateChange]]:
    """Every FSoE frame of a pcapng file, with the replay's verdict on it, and every fault and
    state change recorded between them, in file order. ValueError for a file that is no
    pcapng, is damaged (a timestamp that is no date), is not a regular file or is too large
    (see ``_pcapng.MAX_FILE_BYTES``), or holds no FSoE frames."""
    capture = _pcapng.read(path)
    replay = Replay(from_start=COMPLETE_MARK in capture.comment)
    records, frames = [], 0
    for number, packet in enumerate(capture.packets, 1):
        try:
            _wall_time(packet.time_ns)
        except (OverflowError, ValueError, OSError):
            raise _pcapng.PcapngError(f"{path}: packet {number} has a timestamp that is no date "
                                      f"({packet.time_ns} ns since the epoch)") from None
        text = _pcapng.event_text(packet.data)
        if text is not None:
            event = _parse_event(packet.time_ns, text)
            if event is not None:
                records.append(event)
            continue
        from_master, state = _comment_fields(packet)
        for data in _pcapng.lrw_payloads(packet.data):
            try:
                frame = FSOEFrame.frame_from_array(data)
            except ValueError:
                continue  # longer than any FSoE frame
            verdict = replay.frame(from_master, state, data)
            size = frame.safe_data_size_bytes
            records.append(DecodedFrame(
                packet.time_ns, "master" if from_master else "slave",
                STATE_NAMES[state] if state is not None else None, _command_name(data[0] if data else 0),
                frame.control.connection_id, frame.get_safe_data_bytes()[:size],
                crc_words(frame), verdict.ok, verdict.expected, verdict.cause,
                replay.connection_id if verdict.cause == _replay.CONNECTION_ID_MISMATCH else None))
            frames += 1
    if not frames:
        raise ValueError(f"{path} holds no FSoE frames")
    return records


def decode(path) -> List[DecodedFrame]:
    """Every FSoE frame of a pcapng file, with the replay's verdict on it (see
    `decode_records`)."""
    return [record for record in decode_records(path) if isinstance(record, DecodedFrame)]


def personal_plugin_folder() -> pathlib.Path:
    """Wireshark's personal Lua plugin folder: %APPDATA%\\Wireshark\\plugins on Windows,
    ~/.local/lib/wireshark/plugins elsewhere."""
    if os.name == "nt" and os.environ.get("APPDATA"):
        return pathlib.Path(os.environ["APPDATA"]) / "Wireshark" / "plugins"
    return pathlib.Path.home() / ".local" / "lib" / "wireshark" / "plugins"


def write_wireshark_plugin(folder=None) -> pathlib.Path:
    """Writes the FSoE dissector `fsoe.lua` into `folder` (made if missing; default: the
    personal Lua plugin folder) and returns its path. OSError when it cannot be written."""
    folder = pathlib.Path(folder) if folder is not None else personal_plugin_folder()
    folder.mkdir(parents=True, exist_ok=True)
    target = folder / "fsoe.lua"
    target.write_bytes(resources.files("tamsel").joinpath("fsoe.lua").read_bytes())
    return target


def _print_records(records, as_json: bool) -> None:
    try:
        for record in records:
            print(json.dumps(record.as_json()) if as_json else record.line())
        sys.stdout.flush()
    except BrokenPipeError:  # the reader stopped early (`| head`)
        sys.stdout = None


def main(argv=None) -> int:
    prog = "tamsel-trace" if os.path.basename(sys.argv[0]) == "tamsel-trace" else "python -m tamsel.trace"
    parser = argparse.ArgumentParser(prog=prog,
                                     description="Decode FSoE frames recorded by tamsel.trace.FrameRecorder.")
    commands = parser.add_subparsers(dest="command", required=True)
    show = commands.add_parser("show", help="one line per frame and per event; frames that fail a check marked")
    show.add_argument("file", help=f"a pcapng file (a regular file of at most {_pcapng.MAX_FILE_BYTES // 2**20} MiB)")
    show.add_argument("--json", action="store_true", help="one JSON object per line")
    plugin = commands.add_parser("wireshark-plugin", help="write the FSoE dissector fsoe.lua for Wireshark")
    plugin.add_argument("folder", nargs="?", metavar="DIR",
                        help=f"where to write it (default: {personal_plugin_folder()})")
    args = parser.parse_args(argv)
    try:
        if args.command == "wireshark-plugin":
            print(write_wireshark_plugin(args.folder))
            return 0
        records = decode_records(args.file)
    except (OSError, ValueError) as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 1
    _print_records(records, args.json)
    return 0


if __name__ == "__main__":
    sys.exit(main())
