"""tamsel.trace: the frame recorder over the handler's native capture, its pcapng files (opened
by tshark where it is installed) and `python -m tamsel.trace show`."""
import contextlib
import io
import itertools
import json
import pathlib
import shutil
import subprocess
import sys

import pytest

import tamsel.tamsel as ts
from tamsel import _pcapng
from tamsel.slave import FaultKind
from tamsel.trace import FrameRecorder, decode
from slave_emulator import Command, Error

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
import demo  # noqa: E402

CORRUPTING = (FaultKind.CORRUPT_CRC, FaultKind.CORRUPT_CONNECTION_ID)


class RecordedDemo(demo.Demo):
    """The demo's host loop, keeping the replies the slave corrupted on purpose."""

    def __init__(self):
        watcher = ts._log_transition
        super().__init__()
        ts._log_transition = watcher  # the demo watches transitions through the module namespace
        self.quiet = True
        self.corrupted = []

    def cycle(self):
        super().cycle()
        if self.slave.last_fault.kind in CORRUPTING:
            self.corrupted.append(self.slave.last_reply)


def run_demo(capacity):
    """Start-up and every fault of the demo with a recorder attached; returns both."""
    host = RecordedDemo()
    recorder = FrameRecorder(host.handler, capacity)
    try:
        host.handler.start()
        host.run_until_data()
        with contextlib.redirect_stdout(io.StringIO()):
            demo.inject_faults(host)
    finally:
        host.handler.stop()
        host.handler.delete()
    return host, recorder


@pytest.fixture(scope="module")
def recorded(tmp_path_factory):
    host, recorder = run_demo(capacity=1 << 16)
    path = tmp_path_factory.mktemp("trace") / "demo.pcapng"
    saved = recorder.save(path)
    recorder.close()
    return host, recorder, path, saved


def show(*args):
    return subprocess.run([sys.executable, "-m", "tamsel.trace", "show", *map(str, args)],
                          capture_output=True, text=True, timeout=120)


def test_show_marks_exactly_the_corrupted_frames(recorded):
    host, recorder, path, saved = recorded
    frames = decode(path)
    assert saved == len(frames) == len(recorder.frames())
    assert len(host.corrupted) == 2
    marked = [(f.direction, f.crcs[0]) for f in frames if f.crc_ok is False]
    assert marked == [("slave", ts.FSOEFrame.frame_from_array(r).crcs[0]) for r in host.corrupted]
    assert all(f.crc_ok for f in frames if f.direction == "master")
    assert {f.state for f in frames} == {"Reset", "Session", "Connection", "Parameter", "Data"}

    lines = show(path).stdout.splitlines()
    assert len(lines) == len(frames) + len(recorder.events())
    # The wrong connection id is what the master found, though the CRCs fail as well.
    assert sum("<-- CRC MISMATCH" in line for line in lines) == 1
    assert sum("<-- CONNECTION ID MISMATCH, expected 0x1234" in line for line in lines) == 1
    objects = [json.loads(line) for line in show(path, "--json").stdout.splitlines()]
    objects = [o for o in objects if o["record"] == "frame"]
    assert [o["crc_ok"] for o in objects] == [f.crc_ok for f in frames]
    assert objects[0]["command"] == "RESET" and objects[0]["direction"] == "master"


@pytest.mark.skipif(not shutil.which("tshark"), reason="tshark is not installed")
def test_tshark_reads_every_frame_as_ethercat(recorded):
    _, recorder, path, saved = recorded
    done = subprocess.run(["tshark", "-r", str(path), "-T", "fields", "-e", "frame.protocols", "-e", "ecat.cmd",
                           "-e", "frame.comment", "-e", "eth.src"], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    rows = [line.split("\t") for line in done.stdout.splitlines()]
    assert len(rows) == saved + len(recorder.events())
    rows = [row for row in rows if row[1]]  # the events are frames of their own
    assert len(rows) == saved
    assert all(protocols.endswith(":ecat") and command == "0x0c" for protocols, command, *_ in rows)
    expected = [(f"{f.direction} {f.state}", "02:00:00:00:00:01" if f.direction == "master" else "02:00:00:00:00:02")
                for f in recorder.frames()]
    # A reply the master reported on names the fault after its direction and state.
    assert [(" ".join(comment.split()[:2]), source) for *_, comment, source in rows] == expected


def test_an_overflowed_ring_never_marks_a_good_frame(tmp_path):
    host, recorder = run_demo(capacity=40)
    frames = recorder.frames()
    assert len(frames) == 40 and recorder.capacity == 40
    recorder.save(tmp_path / "tail.pcapng")
    recorder.close()
    corrupted = {ts.FSOEFrame.frame_from_array(r).crcs[0] for r in host.corrupted}
    assert all(f.crcs[0] in corrupted for f in decode(tmp_path / "tail.pcapng") if f.crc_ok is False)


def test_ring_keeps_the_newest_frames_with_direction_and_state():
    host = RecordedDemo()
    try:
        with FrameRecorder(host.handler, capacity=5) as recorder:
            host.handler.start()
            for _ in range(20):
                host.cycle()
            kept = recorder.frames()
            request, reply = host.handler.get_request(), host.slave.last_reply
            assert host.handler.state is ts.StateData
        host.cycle()
        assert recorder.frames() == kept  # detached: nothing more is kept
        with FrameRecorder(host.handler, capacity=3) as again:  # one at a time, again after close
            with pytest.raises(RuntimeError, match="already attached"):
                FrameRecorder(host.handler)
            host.cycle()
            assert len(again.frames()) == 2
    finally:
        host.handler.delete()
    assert len(kept) == 5
    assert [f.direction for f in kept] == ["master", "slave", "master", "slave", "master"]
    assert (kept[-1].data, kept[-2].data) == (request, reply)
    assert [f.state for f in kept] == ["Data"] * 5
    assert all(a.time_ns <= b.time_ns for a, b in zip(kept, kept[1:]))


@pytest.mark.parametrize("capacity, error", [(0, ValueError), (-1, ValueError), ((1 << 20) + 1, ValueError),
                                             (1 << 70, ValueError), (True, TypeError), (4.0, TypeError)])
def test_capacity_is_checked(capacity, error):
    handler = ts.MasterHandler(ts.Dictionary([]), 1, 1, 1.0)
    try:
        with pytest.raises(error):
            FrameRecorder(handler, capacity)
        FrameRecorder(handler, 1).close()  # nothing was left attached
    finally:
        handler.delete()


def test_capture_does_not_leak(no_leak):
    host = RecordedDemo()
    recorder = FrameRecorder(host.handler, capacity=64)
    host.handler.start()
    try:
        no_leak(lambda: (host.cycle(), recorder.frames()), rounds=1000)
    finally:
        recorder.close()
        host.handler.delete()


@pytest.mark.parametrize("content, message", [
    (b"", "is not a pcapng file"),
    (b"\xd4\xc3\xb2\xa1" + bytes(40), "is not a pcapng file"),
    (None, "holds no FSoE frames"),
    ("truncated", "truncated or damaged block"),
])
def test_show_refuses_files_without_fsoe_frames(tmp_path, content, message, recorded):
    path = tmp_path / "file.pcapng"
    if content is None:  # a valid capture of one plain Ethernet frame
        _pcapng.write(path, [_pcapng.Packet(0, bytes(12) + b"\x08\x00" + bytes(46), None)])
    elif content == "truncated":
        path.write_bytes(recorded[2].read_bytes()[:-10])
    else:
        path.write_bytes(content)
    done = show(path)
    assert done.returncode == 1 and message in done.stderr and "Traceback" not in done.stderr


TSRESOL_NS = b"\x09\x00\x01\x00\x09"  # the if_tsresol option of the recorder's files: nanoseconds
SHOW_LIMIT = 256 * 2**20  # the largest file `show` reads


@pytest.mark.parametrize("damage, message", [
    (b"\x89", "packet 1 has a timestamp that is no date"),  # one bit flipped: 2**-9 s units
    (b"\x00", "packet 1 has a timestamp that is no date"),  # seconds
    ("/dev/zero", "/dev/zero is not a regular file"),
    ("fifo", "is not a regular file"),
    ("directory", "is not a regular file"),
    ("huge", "is larger than 256 MiB"),
])
def test_show_refuses_damaged_and_endless_inputs_in_one_line(tmp_path, recorded, damage, message):
    import os

    path = tmp_path / "input"
    if isinstance(damage, bytes):
        content = recorded[2].read_bytes()
        assert content.count(TSRESOL_NS) == 1
        path.write_bytes(content.replace(TSRESOL_NS, TSRESOL_NS[:-1] + damage))
    elif damage == "fifo":
        os.mkfifo(path)
    elif damage == "directory":
        path.mkdir()
    elif damage == "huge":
        with open(path, "wb") as out:
            out.write(recorded[2].read_bytes())
            out.truncate(SHOW_LIMIT + 1)  # sparse: nothing is written
    else:
        path = damage
    done = show(path)
    assert (done.returncode, done.stdout) == (1, "")
    assert message in done.stderr and done.stderr.count("\n") == 1, done.stderr


class SubFrame(ts.FSOEFrame):
    """Substituted frames send the handler down its generic path, which captures the same."""


@pytest.mark.parametrize("size, generic", [(1, False), (2, False), (2, True)])
def test_replay_follows_every_path_and_marks_only_corrupted_frames(tmp_path, size, generic):
    from end_to_end_link import Link

    states = [ts.StateSession, ts.StateConnection, ts.StateParameter, ts.StateData]
    link = Link.make(out_size=size, in_size=size, params=((0xBEEF, 2),))
    if generic:
        link.handler.master.frame, link.handler.slave.frame = SubFrame(), SubFrame()
    corrupted = []
    with FrameRecorder(link.handler, capacity=1 << 16) as recorder:
        try:
            link.handler.start()
            for state, delay, corrupt in itertools.product(states, (0, 1), ("corrupt_crc", "corrupt_connection_id")):
                link.handler.reset()
                link.run_until(state)
                link.cycle(delay)
                getattr(link.slave, corrupt)()
                link.cycle()
                corrupted.append([f for f in recorder.frames() if f.direction == "slave"][-1].data)
                link.connect()
            for restart in (link.handler.reset, lambda: link.slave.send_reset(Error.INVALID_DATA),
                            lambda: link.slave.send_command(Command.SESSION), link.handler._watchdog_expired_event):
                restart()
                link.cycle()
                link.connect()
            link.handler.stop()
            link.handler.start()
            link.connect()
        finally:
            link.close()
        recorder.save(tmp_path / "sweep.pcapng")
    frames = decode(tmp_path / "sweep.pcapng")
    assert all(f.crc_ok for f in frames if f.direction == "master")
    marked = [f.crcs[0] for f in frames if f.crc_ok is False]
    assert marked == [ts.FSOEFrame.frame_from_array(data).crcs[0] for data in corrupted]


@pytest.mark.parametrize("path", [None, 3.0, b"capture.pcapng", "fd"])
def test_save_takes_paths_only(tmp_path, path):
    """An int is no file descriptor to write and close: only str and os.PathLike are paths."""
    import os

    recorder = run_demo(capacity=8)[1]
    descriptor = os.open(tmp_path / "kept", os.O_WRONLY | os.O_CREAT)
    try:
        with pytest.raises(TypeError, match="path must be a str or os.PathLike, not "):
            recorder.save(descriptor if path == "fd" else path)
        os.fstat(descriptor)  # still open
        assert os.path.getsize(tmp_path / "kept") == 0
    finally:
        os.close(descriptor)
    assert recorder.save(tmp_path / "fine.pcapng") == recorder.save(str(tmp_path / "fine.pcapng")) == 8


@pytest.mark.parametrize("capacity, complete", [(8, False), (1 << 16, True)])
def test_a_file_is_marked_complete_only_when_the_ring_kept_every_frame(tmp_path, capacity, complete):
    """A ring that wrapped lost the start of the conversation: its file is no complete recording,
    so the replay does not check its first frames against a start it never saw."""
    from tamsel.trace import COMPLETE_MARK

    recorder = run_demo(capacity)[1]
    recorder.save(tmp_path / "capture.pcapng")
    assert (COMPLETE_MARK in _pcapng.read(tmp_path / "capture.pcapng").comment) is complete


def rewritten(data: bytes, order: str, extra_option: bool) -> bytes:
    """The blocks of one of the recorder's files written again in byte order `order`, the way
    another writer might: with an unknown option of odd length first in every option list."""
    import struct

    fixed_fields = {_pcapng.SECTION_HEADER: "IHHq", _pcapng.INTERFACE_DESCRIPTION: "HHI",
                    _pcapng.ENHANCED_PACKET: "IIIII"}
    out, pos = bytearray(), 0
    while pos < len(data):
        block_type, length = struct.unpack_from("<II", data, pos)
        body = data[pos + 8:pos + length - 4]
        fields = fixed_fields[block_type]
        head = struct.pack(order + fields, *struct.unpack_from("<" + fields, body))
        fixed = struct.calcsize("<" + fields)
        if block_type == _pcapng.ENHANCED_PACKET:
            captured = struct.unpack_from("<I", body, 12)[0]
            head += body[fixed:fixed + captured + (-captured % 4)]
            fixed += captured + (-captured % 4)
        options = [(0x0BAD, b"odd")] if extra_option else []
        at = fixed
        while at + 4 <= len(body) and body[at:at + 2] != b"\0\0":
            code, size = struct.unpack_from("<HH", body, at)
            options.append((code, body[at + 4:at + 4 + size]))
            at += 4 + size + (-size % 4)
        body = head + b"".join(struct.pack(order + "HH", code, len(value)) + value + bytes(-len(value) % 4)
                               for code, value in options) + bytes(4)
        out += struct.pack(order + "II", block_type, 12 + len(body)) + body + struct.pack(order + "I", 12 + len(body))
        pos += length
    return bytes(out)


@pytest.mark.parametrize("order, extra_option", [(">", False), (">", True), ("<", True)])
def test_files_of_another_writer_decode_the_same(tmp_path, recorded, order, extra_option):
    """Big-endian blocks and options the recorder never writes: the same frames, states,
    comments and verdicts."""
    path = tmp_path / "other.pcapng"
    path.write_bytes(rewritten(recorded[2].read_bytes(), order, extra_option))
    assert _pcapng.read(path).comment == _pcapng.read(recorded[2]).comment
    assert decode(path) == decode(recorded[2])


def session_id_repeating_crc0(handler, reset_request, session_request):
    """The session id whose first Session frame (2 bytes of safe data: the whole id) has the
    plain CRC_0 of the Reset frame before it. Over a 16-bit field the CRC is one-to-one, so
    exactly one id does."""
    frame = ts.FSOEFrame.frame_from_array(session_request)
    frame.control.sequence_number = (handler.master.frame.control.sequence_number - 1) & 0xFFFF
    frame.control.crc0 = 0
    frame.generate_crcs()
    assert frame.frame_to_array() == session_request  # the handler's frame, rebuilt
    target = ts.FSOEFrame.frame_from_array(reset_request).crcs[0]
    for session_id in range(1 << 16):
        frame.set_safe_data_bytes(session_id.to_bytes(2, "little"))
        frame.generate_crcs()
        if frame.crcs[0] == target:
            return session_id
    raise AssertionError("no session id repeats the CRC_0")


def test_a_session_frame_after_a_reset_watchdog_repeating_crc0_is_not_marked(tmp_path, monkeypatch):
    """RESET_WD starts a session with plain CRCs: a first Session frame whose CRC_0 equals the
    Reset frame's is still what the handler must send, and the replay predicts exactly that."""
    from end_to_end_link import Link

    probe = Link.make(out_size=2, in_size=2)
    try:
        probe.handler.start()
        reset_request = probe.handler.get_request()
        probe.handler._watchdog_expired_event()
        session_id = session_id_repeating_crc0(probe.handler, reset_request, probe.handler.get_request())
    finally:
        probe.close()
    monkeypatch.setattr(ts, "randint", lambda low, high: session_id)
    link = Link.make(out_size=2, in_size=2)
    try:
        with FrameRecorder(link.handler, capacity=64) as recorder:  # from the first request on
            link.handler.start()
            link.handler._watchdog_expired_event()  # RESET_WD
            assert link.handler.state is ts.StateSession
            recorder.save(tmp_path / "repeat.pcapng")
    finally:
        link.close()
    frames = decode(tmp_path / "repeat.pcapng")
    assert [f.command for f in frames] == ["RESET", "SESSION"]
    assert frames[0].crcs[0] == frames[1].crcs[0]
    assert [f.crc_ok for f in frames] == [True, True]
