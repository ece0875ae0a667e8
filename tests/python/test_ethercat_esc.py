"""The virtual drive's slave controller without sockets: datagrams, working counters, EEPROM
access, the AL state machine and what it refuses."""
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tamsel.ethercat._esc import AlState
from tamsel.ethercat.virtual_drive import (INPUTS_ADDRESS, OUTPUTS_ADDRESS, PRODUCT_CODE, VENDOR_ID,
                                           VirtualDrive)

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
    fmmus = [(0, drive.outputs_length, OUTPUTS_ADDRESS, 2), (drive.outputs_length, drive.inputs_length, INPUTS_ADDRESS, 1)]
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


@pytest.mark.parametrize("line, ok", [
    ("status", True), ("corrupt_crc", True), ("corrupt_crc 0", True), ("corrupt_crc 1", False), ("send_reset 99999", False), ("silence 5", True), ("clear_faults", True),
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
])
def test_command_line_refusals(arguments, status, message):
    import subprocess
    import sys

    done = subprocess.run([sys.executable, "-m", "tamsel.ethercat.virtual_drive", *arguments],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == status and message in done.stderr, done.stderr
