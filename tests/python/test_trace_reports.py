"""Recordings that hold the master's reports and state changes, the cause `show` names for a
frame, and the Wireshark dissector run by tshark over recordings and other captures."""
import itertools
import json
import os
import pathlib
import shutil
import struct
import subprocess
import sys

import pytest

import tamsel.tamsel as ts
from tamsel import _pcapng
from tamsel.trace import DecodedFrame, DecodedReport, DecodedStateChange, FrameRecorder, Report, decode_records
from end_to_end_link import Link
from slave_emulator import Command

needs_tshark = pytest.mark.skipif(not shutil.which("tshark"), reason="tshark is not installed")

# What the master's message says it found, and the cause the replay must name for the frame.
CAUSES = {
    "Invalid slave CRC": {"CRC MISMATCH"},
    "Connection id exchanged does not match": {"CONNECTION ID MISMATCH"},
    "Invalid slave frame command": {"UNKNOWN COMMAND", "UNEXPECTED COMMAND"},
}
STATES = [ts.StateSession, ts.StateConnection, ts.StateParameter, ts.StateData]
FAULTS = {
    "crc": lambda link: link.slave.corrupt_crc(),
    "connection id": lambda link: link.slave.corrupt_connection_id(),
    "unknown command": lambda link: link.slave.send_command(0x99),
    "unexpected command": lambda link: link.slave.send_command(
        Command.CONNECTION if link.handler.state is ts.StateSession else Command.SESSION),
}


@pytest.fixture(scope="module")
def sweep(tmp_path_factory):
    """Every fault kind injected in every state (with and without a delayed reply), a slave
    reset and a watchdog expiry, recorded from the first request on."""
    link = Link.make(out_size=16, in_size=1, params=((0xBEEF, 2),))
    with FrameRecorder(link.handler, capacity=1 << 16) as recorder:
        try:
            link.handler.start()
            for state, (name, inject) in itertools.product(STATES, FAULTS.items()):
                link.handler.reset()
                link.run_until(state)
                inject(link)
                link.cycle()
                link.connect()
            link.handler._watchdog_expired_event()
            link.connect()
        finally:
            link.close()
        path = tmp_path_factory.mktemp("reports") / "sweep.pcapng"
        recorder.save(path)
    return link, recorder, path


def show_json(path):
    done = subprocess.run([sys.executable, "-m", "tamsel.trace", "show", "--json", str(path)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return [json.loads(line) for line in done.stdout.splitlines()]


def test_recording_holds_every_report_and_state_change_in_order(sweep):
    link, recorder, path = sweep
    faults = [(e.transition, e.message) for e in recorder.events() if isinstance(e, Report)]
    changes = [e.state for e in recorder.events() if not isinstance(e, Report)]
    assert faults == link.errors and len(faults) == len(STATES) * len(FAULTS) + 1
    assert changes == [c.__name__.removeprefix("State") for c in link.changes]
    records = recorder.records()
    assert all(a.time_ns <= b.time_ns for a, b in zip(records, records[1:]))

    decoded = decode_records(path)
    assert [(r.transition, r.message) for r in decoded if isinstance(r, DecodedReport)] == faults
    assert [r.state for r in decoded if isinstance(r, DecodedStateChange)] == changes
    objects = show_json(path)
    assert [o["transition"] for o in objects if o["record"] == "fault"] == [t for t, _ in faults]
    assert "DATA_WD" in {o["transition"] for o in objects if o["record"] == "fault"}
    # Every state a frame was recorded in follows the recorded changes of state.
    state = "Reset"
    for record in decoded:
        if isinstance(record, DecodedStateChange):
            assert record.previous == state
            state = record.state
        elif isinstance(record, DecodedFrame):
            assert record.state == state


def test_show_names_the_check_the_master_failed(sweep):
    _, _, path = sweep
    decoded = decode_records(path)
    checked = 0
    for before, record in zip(decoded, decoded[1:]):
        if not isinstance(record, DecodedReport) or not isinstance(before, DecodedFrame):
            continue
        kind = next((k for k in CAUSES if record.message.startswith(k)), None)
        if kind is None:  # a slave reset or a wrong echo: no frame check of the replay
            assert before.cause is None
            continue
        assert before.direction == "slave" and before.cause in CAUSES[kind], (record, before)
        checked += 1
    assert checked == len(STATES) * len(FAULTS)
    marked = [r for r in decoded if isinstance(r, DecodedFrame) and r.cause]
    assert all(r.direction == "slave" for r in marked) and len(marked) == checked


def test_event_ring_is_bounded_and_frees_what_it_drops(no_leak):
    link = Link.make()
    with FrameRecorder(link.handler, capacity=16) as recorder:
        try:
            link.connect()

            def fault_and_back():
                link.slave.corrupt_crc()
                link.cycle()
                link.connect()
                recorder.events()
                link.errors.clear()
                link.changes.clear()
                link.slave.replies.clear()

            no_leak(fault_and_back, rounds=200)
            assert len(recorder.events()) == 16
            recorder.clear()
            assert recorder.events() == [] and recorder.frames() == []
        finally:
            link.close()


# ---- the Wireshark dissector --------------------------------------------------------------

FIELDS = ["frame.number", "fsoe.direction", "fsoe.state", "fsoe.command", "fsoe.data", "fsoe.crc",
          "fsoe.connection_id", "fsoe.reported", "fsoe_event.kind", "fsoe_event.transition",
          "fsoe_event.message", "fsoe_event.previous", "fsoe_event.state", "_ws.expert.message"]


@pytest.fixture(scope="module")
def plugin(tmp_path_factory):
    folder = tmp_path_factory.mktemp("plugin")
    done = subprocess.run([sys.executable, "-m", "tamsel.trace", "wireshark-plugin", str(folder)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(folder / "fsoe.lua")
    return folder / "fsoe.lua"


def tshark(plugin, path, *options):
    done = subprocess.run(["tshark", "-X", f"lua_script:{plugin}", "-r", str(path), *options, "-T", "fields",
                           "-E", "occurrence=a", "-E", "aggregator=|", *itertools.chain(*(("-e", f) for f in FIELDS))],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0 and "Lua" not in done.stderr, done.stderr
    rows = [dict(zip(FIELDS, line.split("\t"))) for line in done.stdout.splitlines()]
    assert not any("Lua" in row["_ws.expert.message"] for row in rows)  # no dissector error
    return rows


def hex_field(value):
    return int(value, 16)


@pytest.fixture(scope="module")
def demo_recording(tmp_path_factory):
    """examples/demo.py's own recording: start-up, one fault of each kind, the way back."""
    path = tmp_path_factory.mktemp("demo") / "demo.pcapng"
    demo = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"
    done = subprocess.run([sys.executable, str(demo), "--record", str(path)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    return path


@needs_tshark
@pytest.mark.parametrize("recording", ["sweep", "demo_recording"])
def test_tshark_decodes_every_frame_as_show_does(plugin, recording, request):
    path = request.getfixturevalue(recording)
    path = path[2] if recording == "sweep" else path
    rows = tshark(plugin, path)
    records = show_json(path)
    assert len(rows) == len(records)
    assert {"DATA_FAIL1", "DATA_FAIL2"} <= {r["transition"] for r in records if r["record"] == "fault"}
    reported = None
    for row, record in zip(reversed(rows), reversed(records)):  # a fault names the frame before it
        if record["record"] == "frame":
            assert (row["fsoe.direction"], row["fsoe.state"], row["fsoe.command"]) == (
                record["direction"], record["state"], record["command"])
            assert row["fsoe.data"] == record["safe_data"]
            assert [hex_field(c) for c in row["fsoe.crc"].split("|") if c] == record["crcs"]
            assert hex_field(row["fsoe.connection_id"]) == record["connection_id"]
            assert row["fsoe.reported"] == (reported or "")
            assert ("The master reported" in row["_ws.expert.message"]) == bool(reported)
            reported = None
        elif record["record"] == "fault":
            assert (row["fsoe_event.kind"], row["fsoe_event.transition"], row["fsoe_event.message"]) == (
                "fault", record["transition"], record["message"])
            assert record["message"] in row["_ws.expert.message"]
            # Only a reply the fault was found in carries it.
            previous = records[records.index(record) - 1]
            from_slave = previous["record"] == "frame" and previous["direction"] == "slave"
            reported = record["transition"] if from_slave else None
        else:
            assert (row["fsoe_event.kind"], row["fsoe_event.previous"], row["fsoe_event.state"]) == (
                "state", record["previous"], record["state"])
            reported = None


def lrw(data, working_counter=0, command=_pcapng.LRW):
    datagram = struct.pack("<BBIHH", command, 0, 0, len(data), 0) + data + struct.pack("<H", working_counter)
    frame = _pcapng.BROADCAST_MAC + _pcapng.MASTER_MAC + struct.pack(">H", _pcapng.ETHERTYPE_ETHERCAT)
    frame += struct.pack("<H", len(datagram) | 1 << 12) + datagram
    return frame + bytes(max(0, 60 - len(frame)))


MASTER_FRAME = bytes.fromhex("36 11 22 aa aa 33 44 bb bb 34 12")
SLAVE_FRAME = bytes.fromhex("36 55 66 cc cc 78 56")
# (what the capture holds, its comment): nothing of it is FSoE unless the bus offsets are set.
NOT_FSOE = [
    (bytes(12) + b"\x08\x00" + bytes(46), None),                              # IPv4
    (lrw(bytes(9)), "master Data"),                                           # no FSoE frame length
    (lrw(bytes(40)), "slave Data"),                                           # too long
    (lrw(MASTER_FRAME, command=1), "master Data"),                            # not LRW
    (lrw(b"\x00\x00" + MASTER_FRAME), None),                                  # LRW without a comment
    (lrw(b"\x00\x00" + MASTER_FRAME), "master"),
    (lrw(bytes(4) + SLAVE_FRAME, working_counter=3), "sleeve Data"),
    (lrw(bytes(16)), None),                                                   # no FSoE command on a bus
    (_pcapng.event_frame("neither fault nor state"), None),
    (_pcapng.event_frame(""), None),
    (_pcapng.BROADCAST_MAC + _pcapng.MASTER_MAC + struct.pack(">H", _pcapng.ETHERTYPE_EVENT), None),
]


@needs_tshark
def test_tshark_leaves_other_frames_alone_and_decodes_a_bus_with_offsets(plugin, tmp_path):
    path = tmp_path / "other.pcapng"
    packets = [*NOT_FSOE, (lrw(b"\x00\x00" + MASTER_FRAME + b"\x00"), None),
               (lrw(bytes(4) + SLAVE_FRAME, working_counter=3), None)]
    _pcapng.write(path, [_pcapng.Packet(i, data, comment) for i, (data, comment) in enumerate(packets)])
    assert all(not any(row[f] for f in FIELDS[1:-1]) for row in tshark(plugin, path))

    bus = tshark(plugin, path, "-o", "fsoe.bus:TRUE", "-o", "fsoe.master_offset:2", "-o", "fsoe.master_length:11",
                 "-o", "fsoe.slave_offset:4", "-o", "fsoe.slave_length:7")
    decoded = [(r["fsoe.direction"], r["fsoe.data"], r["fsoe.crc"], r["fsoe.connection_id"])
               for r in bus if r["fsoe.command"]]
    master, slave = ("master", "11223344", "0xaaaa|0xbbbb", "0x1234"), ("slave", "5566", "0xcccc", "0x5678")
    assert decoded == [master, master, slave, master, slave]


@pytest.mark.parametrize("where", ["given", "default", "a file"])
def test_wireshark_plugin_command(tmp_path, where):
    source = pathlib.Path(ts.__file__).with_name("fsoe.lua").read_bytes()
    folder = {"given": tmp_path / "new" / "plugins", "a file": tmp_path / "taken", "default": None}[where]
    if where == "a file":
        folder.write_text("not a folder")
    # a bare environment, but for the sanitizer runtimes a sanitized build needs preloaded
    env = {"HOME": str(tmp_path), "PATH": "/usr/bin:/bin",
           **{name: os.environ[name] for name in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS") if name in os.environ}}
    command = [sys.executable, "-m", "tamsel.trace", "wireshark-plugin", *([str(folder)] if folder else [])]
    done = subprocess.run(command, capture_output=True, text=True, timeout=60, env=env)
    if where == "a file":
        assert done.returncode == 1 and len(done.stderr.splitlines()) == 1
        assert done.stderr.startswith("python -m tamsel.trace: error:") and str(folder) in done.stderr
        return
    written = pathlib.Path(done.stdout.strip())
    expected = folder or tmp_path / ".local" / "lib" / "wireshark" / "plugins"
    assert done.returncode == 0 and written == expected / "fsoe.lua" and written.read_bytes() == source
