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
