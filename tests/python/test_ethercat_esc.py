"""The virtual drive's slave controller without sockets: datagrams, working counters, EEPROM
access, the AL state machine and what it refuses."""
import struct

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from tamsel.ethercat._esc import AlState
from tamsel.ethercat.virtual_drive import (INPUTS_ADDRESS, OUTPUTS_ADDRESS, PRODUCT_CODE, VENDOR_ID,
                                           VirtualDrive, send_command)

APRD, APWR, APRW, FPRD, FPWR, FPRW, BRD, BWR, BRW, LRD, LWR, LRW, ARMW = range(1, 14)


def frame(*datagrams):
    """An EtherCAT payload of (command, adp, ado, data) datagrams."""
    body = bytearray()
    for n, (command, adp, ado, data) in enumerate(datagrams):
        more = 0x8000 if n < len(datagrams) - 1 else 0
        body += struct.pack("<BBHHHH", command, n, adp, ado, len(data) | more, 0) + data + b"\0\0"
    return struct.pack("<H", len(body) | 0x1000) + bytes(body)


def results(payload):
    """(adp, data, wkc) of each datagram of an answered payload."""
    out, at = [], 2
    while True:
        _, _, adp, _, flags, _ = struct.unpack_from("<BBHHHH", payload, at)
        length = flags & 0x7FF
        data = bytes(payload[at + 10:at + 10 + length])
        out.append((adp, data, struct.unpack_from("<H", payload, at + 10 + length)[0]))
        at += 12 + length
        if not flags & 0x8000:
            return out


def one(drive, command, adp, ado, data):
    return results(drive.handle(frame((command, adp, ado, data))))[0]


@pytest.fixture
def drive():
    return VirtualDrive(pdo_prefix=2)


def eeprom_read(drive, word):
    one(drive, FPWR, 0x1001, 0x0502, struct.pack("<HIH", 0x0100, word, 0)[:6])
    return one(drive, FPRD, 0x1001, 0x0508, bytes(8))[1]


def configure(drive, station=0x1001):
    one(drive, APWR, 0, 0x0010, struct.pack("<H", station))
    for number, sm in enumerate(drive.info.sync_managers):
        one(drive, FPWR, station, 0x0800 + 8 * number, struct.pack("<HHBBBB", sm.start, sm.length, sm.control, 0, 1, 0))
    fmmus = [(0, drive.outputs_length, OUTPUTS_ADDRESS, 2),
             (drive.outputs_length, drive.inputs_length, INPUTS_ADDRESS, 1)]
    for number, (logical, length, physical, kind) in enumerate(fmmus):
        one(drive, FPWR, station, 0x0600 + 16 * number,
            struct.pack("<IHBBHBBB3x", logical, length, 0, 7, physical, 0, kind, 1))


def request_state(drive, value):
    one(drive, FPWR, 0x1001, 0x0120, struct.pack("<H", value))
    status, _, code = struct.unpack("<HHH", one(drive, FPRD, 0x1001, 0x0130, bytes(6))[1])
    return status, code


@pytest.mark.parametrize("command, adp, ado, data, expected_adp, expected_wkc", [
    (APRD, 0, 0x0000, bytes(2), 1, 1),        # addressed at position 0, counter incremented on the way
    (APRD, 0xFFFF, 0x0000, bytes(2), 0, 0),   # a later position: not this slave
    (FPRD, 0x1001, 0x0000, bytes(2), 0x1001, 1),
    (FPRD, 0x1002, 0x0000, bytes(2), 0x1002, 0),
    (BRD, 7, 0x0000, bytes(2), 8, 1),
    (BWR, 0, 0x0200, b"\x04\x00", 1, 1),
    (FPRW, 0x1001, 0x0200, b"\x05\x00", 0x1001, 3),
    (APRW, 0, 0x0200, b"\x05\x00", 1, 3),
    (BRW, 0, 0x0200, b"\x05\x00", 1, 3),
    (ARMW, 0, 0x0000, bytes(2), 1, 1),
    (FPRD, 0x1001, 0xFFFF, bytes(4), 0x1001, 0),  # beyond the register space
    (LRD, 0, 0, bytes(4), 0, 0),              # no FMMU maps anything yet
])
def test_working_counters_and_addressing(drive, command, adp, ado, data, expected_adp, expected_wkc):
    one(drive, APWR, 0, 0x0010, b"\x01\x10")
    got_adp, _, wkc = one(drive, command, adp, ado, data)
    assert (got_adp, wkc) == (expected_adp, expected_wkc)


def test_register_semantics(drive):
    one(drive, APWR, 0, 0x0010, b"\x01\x10")
    assert one(drive, FPRD, 0x1001, 0x0000, bytes(1))[1] == b"\x11"
    assert one(drive, BRD, 0, 0x0000, b"\x40")[1] == b"\x51"              # broadcast read ORs
    assert one(drive, FPRW, 0x1001, 0x0200, b"\x05\x00")[1] == b"\x00\x00"  # old value back
    assert one(drive, FPRD, 0x1001, 0x0200, bytes(2))[1] == b"\x05\x00"
    one(drive, FPWR, 0x1001, 0x0130, b"\x08\x00")                          # AL status is read-only
    assert one(drive, FPRD, 0x1001, 0x0130, bytes(2))[1] == b"\x01\x00"


def test_eeprom_through_the_registers(drive):
    one(drive, APWR, 0, 0x0010, b"\x01\x10")
    assert struct.unpack("<H", one(drive, FPRD, 0x1001, 0x0502, bytes(2))[1])[0] & 0x0040  # 8-byte reads
    assert struct.unpack("<II", eeprom_read(drive, 0x08)) == (VENDOR_ID, PRODUCT_CODE)
    assert eeprom_read(drive, 0x4000) == b"\xff" * 8                         # beyond the image
    one(drive, FPWR, 0x1001, 0x0502, struct.pack("<H", 0x0700))             # unknown command
    assert struct.unpack("<H", one(drive, FPRD, 0x1001, 0x0502, bytes(2))[1])[0] & 0x2000


@pytest.mark.parametrize("path, request_value, configured, state, error, code", [
    ([], 0x02, False, AlState.PRE_OP, False, 0),
    ([], 0x04, True, AlState.INIT, True, 0x0011),      # INIT to SAFE-OP skips PRE-OP
    ([], 0x08, True, AlState.INIT, True, 0x0011),
    ([], 0x03, True, AlState.INIT, True, 0x0013),      # no bootstrap
    ([], 0x05, True, AlState.INIT, True, 0x0012),      # no such state
    ([0x02], 0x04, False, AlState.PRE_OP, True, 0x001D),  # sync managers not set up
    ([0x02], 0x04, True, AlState.SAFE_OP, False, 0),
    ([0x02], 0x08, True, AlState.PRE_OP, True, 0x0011),
    ([0x02, 0x04], 0x08, True, AlState.OP, False, 0),
    ([0x02, 0x04, 0x08], 0x01, True, AlState.INIT, False, 0),
])
def test_al_state_machine(drive, path, request_value, configured, state, error, code):
    one(drive, APWR, 0, 0x0010, b"\x01\x10")
    if configured:
        configure(drive)
    for step in path:
        request_state(drive, step)
    status, got_code = request_state(drive, request_value)
    assert (AlState(status & 0x0F), bool(status & 0x10), got_code) == (state, error, code)


def test_a_refusal_blocks_steps_up_until_acknowledged(drive):
    one(drive, APWR, 0, 0x0010, b"\x01\x10")
    request_state(drive, 0x02)
    assert request_state(drive, 0x04) == (0x12, 0x001D)
    configure(drive)
    assert request_state(drive, 0x04) == (0x12, 0x001D)   # still the unacknowledged error
    assert request_state(drive, 0x14) == (0x04, 0)        # acknowledged, then performed


def test_process_data_round_trip_in_op(drive):
    """LRW in OP: the request goes to the simulated slave, the non-safe bytes come back."""
    one(drive, APWR, 0, 0x0010, b"\x01\x10")
    configure(drive)
    for step in (0x02, 0x04, 0x08):
        request_state(drive, step)
    image = b"\xAB\xCD" + bytes(7) + bytes(drive.inputs_length)
    _, data, wkc = one(drive, LRW, 0, 0, image)
    assert wkc == 3 and data[:drive.outputs_length] == image[:drive.outputs_length]
    _, data, _ = one(drive, LRD, drive.outputs_length, 0, bytes(drive.inputs_length))
    assert data[:2] == b"\xAB\xCD"
    assert drive.command("status")["status"]["al_state"] == "OP"


@pytest.mark.parametrize("count", [3, 16, 40])
def test_status_keeps_the_last_rejections_and_counts_them_all(drive, count):
    one(drive, APWR, 0, 0x0010, b"\x01\x10")
    configure(drive)
    for step in (0x02, 0x04, 0x08):
        request_state(drive, step)
    for n in range(count):  # unknown commands, each request new
        one(drive, LRW, 0, 0, b"\x00\x00" + bytes([0x99, n]) + bytes(5) + bytes(drive.inputs_length))
    status = drive.command("status")["status"]
    kept = min(count, VirtualDrive.KEPT_REJECTIONS)
    assert status["rejections"] == [[2, "unknown command 0x99"]] * kept
    assert status["rejection_counts"] == {"UNKNOWN_CMD": count}
    assert drive.slave.rejections == []  # handed over, not kept twice


@pytest.mark.parametrize("line, ok", [
    ("status", True), ("corrupt_crc", True), ("corrupt_crc 0", True), ("corrupt_crc 1", False),
    ("send_reset 99999", False), ("silence 5", True), ("clear_faults", True),
    ("send_reset 4", True), ("send_command 0x99", True), ("fail_safe on", True), ("inputs 0102", True),
    ("inputs counter", True), ("al_error 0x1b", True), ("", False), ("silence", False), ("silence x", False),
    ("inputs 01", False), ("fail_safe maybe", False), ("launch", False), ("clear_faults now", False),
])
def test_control_commands(drive, line, ok):
    assert drive.command(line)["ok"] is ok


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=80))
def test_any_bytes_are_answered_or_dropped(payload):
    drive = VirtualDrive()
    answer = drive.handle(payload)
    assert (answer is None and drive.esc.dropped == 1) or (len(answer) == len(payload) and drive.esc.frames == 1)


@pytest.mark.parametrize("arguments, status, message", [
    (["--interface", "x", "--outputs-size", "3"], 2, "1 or an even number of 2..16 safe data bytes, not 3"),
    (["--interface", "x", "--pdo-prefix", "-1"], 2, "pdo_prefix must be 0..256 bytes, got -1"),
    (["--interface", "x", "--slave-address", "0x10000"], 2, "value too large to convert to uint16_t"),
    (["--outputs-size", "2"], 2, "--interface is required"),
    (["--send", "status"], 2, "--send needs --control PATH"),
    (["--interface", "no-such-interface0"], 1, "virtual drive: no-such-interface0:"),
    (["--interface", "x", "--application-parameters", "1:0"], 2, "'1:0': a parameter takes 1, 2 or 4 bytes, not 0"),
    (["--interface", "x", "--application-parameters", "70000:1"], 2,
     "'70000:1': 70000 does not fit in 1 unsigned byte"),
    (["--interface", "x", "--application-parameters=-1:2"], 2, "'-1:2': -1 does not fit in 2 unsigned bytes"),
    (["--interface", "x", "--application-parameters", "x:2"], 2, "'x:2' is not VALUE:BYTES"),
    (["--interface", "no-such-interface0", "--control", "/no/such/dir/drive.sock"], 1,
     "virtual drive: control socket /no/such/dir/drive.sock:"),
    (["--help"], 0, ""),
])
def test_command_line_refusals(arguments, status, message):
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-m", "tamsel.ethercat.virtual_drive", *arguments],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == status and message in done.stderr, done.stderr
    assert "Traceback" not in done.stderr
    if arguments == ["--help"]:  # the interface is not shown as optional
        assert "[--interface" not in done.stdout and "--interface IF [options]" in done.stdout


def test_a_control_client_that_never_reads_does_not_hold_up_the_drive(tmp_path):
    """A client floods `status` and reads nothing: the drive's loop keeps turning (it is
    disconnected once its unread answers pile up) and another client is answered."""
    import selectors
    import socket
    import threading

    from tamsel.ethercat.virtual_drive import _Control

    selector = selectors.DefaultSelector()
    control = _Control(str(tmp_path / "drive.sock"), VirtualDrive(), selector)
    stuck = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stuck.connect(str(tmp_path / "drive.sock"))
    stuck.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stuck.setblocking(False)
    turns, lines = [], b"status\n" * 500
    sent = 0

    def loop():
        nonlocal sent
        while len(turns) < 400:
            if sent < 20 * len(lines):
                try:
                    sent += stuck.send(lines)
                except BlockingIOError:
                    pass
                except OSError:  # disconnected by the drive
                    sent = 20 * len(lines)
            for key, _ in selector.select(timeout=0.01):
                key.data()
            turns.append(1)

    worker = threading.Thread(target=loop, daemon=True)
    worker.start()
    worker.join(60)  # a blocked loop never ends; a working one takes a fraction of a second
    try:
        assert not worker.is_alive(), "the control socket blocked the drive's loop"
        assert stuck not in control.buffers  # disconnected
        other = threading.Thread(target=lambda: turns.append(send_command(str(tmp_path / "drive.sock"), "status")))
        other.start()
        while other.is_alive():
            for key, _ in selector.select(timeout=0.01):
                key.data()
        assert turns[-1]["ok"]
    finally:
        stuck.close()
        control.close()
        selector.close()


FMMU_TYPES = {LRD: 1, LWR: 2, LRW: 3}


@pytest.mark.parametrize("command", [LRD, LWR, LRW])
@pytest.mark.parametrize("physical", [0xFFF8, 0xFFFF, 0xFFF0])
def test_an_fmmu_reaching_past_the_memory_is_clipped(drive, command, physical):
    """What an FMMU maps beyond the 64 KiB memory is neither read nor written; the rest is."""
    one(drive, APWR, 0, 0x0620, struct.pack("<IHBBHBBB3x", 0x10000, 16, 0, 7, physical, 0, FMMU_TYPES[command], 1))
    inside = 0x10000 - physical
    drive.esc.write_local(physical, bytes(range(1, inside + 1)))
    sent = bytes(range(0x80, 0x90))
    _, data, wkc = one(drive, command, 0, 1, sent)
    assert len(drive.esc.memory) == 0x10000
    assert data[inside:] == sent[inside:]
    if command == LRD:
        assert data[:inside] == bytes(range(1, inside + 1))
    if command != LRD:
        assert drive.esc.read(physical, 16) == sent[:inside]
    assert wkc != 0


def _logical_address(draw):
    return draw(st.sampled_from([0x10000, 0xFFFFFFF0, draw(st.integers(0, 0xFFFFFFFF))]))


def _fmmu_programming(draw):
    number = draw(st.integers(0, 2))
    return (APWR, 0, 0x0600 + 16 * number, struct.pack(
        "<IHBBHBBB3x", _logical_address(draw), draw(st.sampled_from([0, 1, 16, 0xFFFF, draw(st.integers(0, 0xFFFF))])),
        0, 7, draw(st.sampled_from([0xFFF8, 0xFFFF, draw(st.integers(0, 0xFFFF))])), 0,
        draw(st.sampled_from([1, 2, 3, draw(st.integers(0, 255))])),
        draw(st.sampled_from([1, draw(st.integers(0, 255))]))))


def _sync_manager_programming(draw):
    number = draw(st.integers(0, 3))
    return (APWR, 0, 0x0800 + 8 * number, draw(st.binary(min_size=8, max_size=8)))


def _access(draw):
    command = draw(st.sampled_from([LRD, LWR, LRW, draw(st.integers(0, 14))]))
    data = bytes(draw(st.sampled_from([2, 64, 1400])))
    if command in FMMU_TYPES:
        logical = _logical_address(draw)
        return (command, logical & 0xFFFF, logical >> 16, data)
    address = draw(st.sampled_from([0, 0x0120, 0x0502, 0x0600, 0x1000, 0xFFF8, 0xFFFF, draw(st.integers(0, 0xFFFF))]))
    return (command, draw(st.sampled_from([0, 1, 0x1001, 0xFFFF])), address, data)


@st.composite
def _hostile_payloads(draw):
    kinds = draw(st.lists(st.sampled_from([_fmmu_programming, _sync_manager_programming, _access]),
                          min_size=1, max_size=4))
    datagrams = [kind(draw) for kind in kinds]
    payload = bytearray(frame(*datagrams))
    lie = draw(st.sampled_from(["none", "none", "none", "frame length", "datagram length", "more follows",
                                "truncated"]))
    if lie == "frame length":
        struct.pack_into("<H", payload, 0, 0x1000 | draw(st.integers(0, 0x7FF)))
    elif lie == "datagram length":
        at = 2 + 6
        struct.pack_into("<H", payload, at, draw(st.integers(0, 0xFFFF)))
    elif lie == "more follows":
        payload[2 + 7] |= 0x80
    elif lie == "truncated":
        del payload[draw(st.integers(0, len(payload))):]
    return bytes(payload)


@settings(max_examples=400, deadline=None)
@given(st.lists(_hostile_payloads(), min_size=1, max_size=6))
@example([frame((APWR, 0, 0x0620, struct.pack("<IHBBHBBB3x", 0x10000, 16, 0, 7, 0xFFF8, 0, 3, 1))),
          frame((LRD, 0, 1, bytes(16))), frame((LWR, 0, 1, bytes(16)))])
def test_hostile_frames_never_end_the_drive(payloads):
    """FMMU and sync manager programming, accesses at the edges of the memory, huge lengths and
    datagram chains with false lengths: every frame is answered or dropped, the memory stays 64 KiB."""
    drive = VirtualDrive(pdo_prefix=2)
    configure(drive)
    seen = drive.esc.frames
    for payload in payloads:
        answer = drive.handle(payload)
        assert answer is None or len(answer) == len(payload)
        assert len(drive.esc.memory) == 0x10000
    assert drive.esc.frames + drive.esc.dropped == seen + len(payloads)


@pytest.mark.parametrize("command, expected_wkc", [(LRD, 1), (LRW, 3), (LWR, 2)])
def test_a_datagram_through_two_fmmus_counts_once(drive, command, expected_wkc):
    """Two FMMUs of the same kind over one datagram: the device counts its read (and its write)
    once, not once per FMMU."""
    for number, (logical, physical) in enumerate([(0x2000, 0x1800), (0x2004, 0x1900)]):
        one(drive, APWR, 0, 0x0600 + 16 * number, struct.pack("<IHBBHBBB3x", logical, 4, 0, 7, physical, 0, 3, 1))
    _, _, wkc = one(drive, command, 0x2000, 0, bytes(8))
    assert wkc == expected_wkc
