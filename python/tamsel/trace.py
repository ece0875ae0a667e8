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

Decode a file on the command line, one line per frame, frames whose CRCs do not match what
the conversation so far predicts marked::

    python -m tamsel.trace show drive.pcapng [--json]
"""
import argparse
import datetime
import json
import sys
import time
from typing import List, NamedTuple, Optional

from tamsel import _pcapng
from tamsel._replay import Replay, crc_words
from tamsel.tamsel import FSOECommand, FSOEFrame

__all__ = ["Frame", "FrameRecorder", "DecodedFrame", "decode", "main"]

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


def _state_name(code: int) -> str:
    return STATE_NAMES[code] if code < len(STATE_NAMES) else "unknown"


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

    def clear(self) -> None:
        """Forgets the frames kept so far."""
        self._ring.clear()
        self._from_start = False

    def save(self, path) -> int:
        """Writes the frames kept to a pcapng file; returns how many."""
        frames = self.frames()
        complete = self._from_start and self._ring.recorded == len(frames)
        packets = [_pcapng.Packet(f.time_ns + self._epoch_offset_ns,
                                  _pcapng.ethercat_frame(f.data, f.direction == "master", i),
                                  f"{f.direction} {f.state}")
                   for i, f in enumerate(frames)]
        _pcapng.write(path, packets, comment=COMPLETE_MARK if complete else "")
        return len(packets)

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

    def as_json(self) -> dict:
        return {"time_ns": self.time_ns, "time": _wall_time(self.time_ns).isoformat(),
                "direction": self.direction, "state": self.state, "command": self.command,
                "connection_id": self.connection_id, "safe_data": self.safe_data.hex(),
                "crcs": list(self.crcs), "crc_ok": self.crc_ok,
                "expected_crcs": None if self.expected_crcs is None else list(self.expected_crcs)}

    def line(self) -> str:
        crcs = " ".join(f"{c:04X}" for c in self.crcs) or "-"
        text = (f"{_wall_time(self.time_ns).strftime('%Y-%m-%d %H:%M:%S.%f')}  {self.direction:<6} "
                f"{self.state or '?':<10} {self.command:<13} conn 0x{self.connection_id:04X}  "
                f"data {self.safe_data.hex() or '-'}  crc {crcs}")
        if self.crc_ok is False:
            text += "  <-- CRC MISMATCH, expected " + " ".join(f"{c:04X}" for c in self.expected_crcs)
        return text


def _wall_time(time_ns: int) -> datetime.datetime:
    return datetime.datetime.fromtimestamp(time_ns / 1e9).astimezone()


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


def decode(path) -> List[DecodedFrame]:
    """Every FSoE frame of a pcapng file, with the replay's verdict on its CRCs.
    ValueError for a file that is no pcapng or holds no FSoE frames."""
    capture = _pcapng.read(path)
    replay = Replay(from_start=COMPLETE_MARK in capture.comment)
    decoded = []
    for packet in capture.packets:
        from_master, state = _comment_fields(packet)
        for data in _pcapng.lrw_payloads(packet.data):
            try:
                frame = FSOEFrame.frame_from_array(data)
            except ValueError:
                continue  # longer than any FSoE frame
            verdict = replay.frame(from_master, state, data)
            size = frame.safe_data_size_bytes
            decoded.append(DecodedFrame(
                packet.time_ns, "master" if from_master else "slave",
                STATE_NAMES[state] if state is not None else None, _command_name(data[0] if data else 0),
                frame.control.connection_id, frame.get_safe_data_bytes()[:size],
                crc_words(frame), verdict.ok, verdict.expected))
    if not decoded:
        raise ValueError(f"{path} holds no FSoE frames")
    return decoded


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tamsel.trace",
                                     description="Decode FSoE frames recorded by tamsel.trace.FrameRecorder.")
    commands = parser.add_subparsers(dest="command", required=True)
    show = commands.add_parser("show", help="one line per frame; CRC mismatches marked")
    show.add_argument("file", help="a pcapng file")
    show.add_argument("--json", action="store_true", help="one JSON object per line")
    args = parser.parse_args(argv)
    try:
        frames = decode(args.file)
    except (OSError, ValueError) as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 1
    try:
        for frame in frames:
            print(json.dumps(frame.as_json()) if args.json else frame.line())
        sys.stdout.flush()
    except BrokenPipeError:  # the reader stopped early (`| head`)
        sys.stdout = None
    return 0


if __name__ == "__main__":
    sys.exit(main())
