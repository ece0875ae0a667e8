import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tamsel.tamsel as ts


def bitwise_crc(data, poly, width):
    """Most-significant-bit-first CRC from register 0, one bit at a time."""
    reg = 0
    for byte in data:
        for bit in range(7, -1, -1):
            feedback = (reg >> (width - 1)) ^ (byte >> bit) & 1
            reg = (reg << 1) & ((1 << width) - 1)
            if feedback & 1:
                reg ^= poly
    return reg


def slot_bytes(command, seq, conn, crc0, safe, size, slot):
    le = lambda v: [v & 0xFF, v >> 8]
    head = le(crc0) + le(conn) + le(seq) + [command] + (le(slot) if slot else [])
    data = list(safe[2 * slot : 2 * slot + (1 if slot == 0 and size == 1 else 2)])
    return head + data + [0, 0, 0]


def make_frame(size, command, seq, conn, crc0, safe):
    frame = ts.FSOEFrame()
    frame.safe_data_size_bytes = size
    frame.control.command = ts.FSOECommand(command)
    frame.control.sequence_number = seq
    frame.control.connection_id = conn
    frame.control.crc0 = crc0
    frame.set_safe_data_bytes(safe)
    return frame


def test_reference_crc_check_string():
    assert bitwise_crc(b"123456789", 0x39B7, 16) == 0xDDE2


@pytest.mark.parametrize(
    "size, command, seq, conn, crc0, safe, expected",
    [
        (1, 0x2A, 0, 0, 0, b"\x00", [0xF565]),
        (1, 0x2A, 0, 0, 0, b"\x00\xFF", [0xF565]),  # the high byte stays out at size 1
        (4, 0x36, 1, 0x1234, 0xBEEF, b"\x11\x22\x33\x44", [0x9665, 0x10B6]),
    ],
)
def test_slot_crc_vectors(size, command, seq, conn, crc0, safe, expected):
    frame = make_frame(size, command, seq, conn, crc0, safe)
    assert frame.calc_crc0() == expected[0]
    frame.generate_crcs()
    assert list(frame.crcs)[: len(expected)] == expected


@settings(max_examples=300)
@given(st.integers(0, 16), st.sampled_from([0x36, 0x2A, 0x4E, 0x64, 0x52, 0x08]), st.integers(0, 0xFFFF),
       st.integers(0, 0xFFFF), st.integers(0, 0xFFFF), st.binary(min_size=16, max_size=16))
def test_random_frames_match_the_bitwise_slot_crcs(size, command, seq, conn, crc0, safe):
    frame = make_frame(size, command, seq, conn, crc0, safe)
    frame.generate_crcs()
    slots = (size + 1) // 2
    expected = [bitwise_crc(slot_bytes(command, seq, conn, crc0, safe, size, i), 0x39B7, 16) for i in range(slots)]
    assert list(frame.crcs) == expected + [0] * (8 - slots)
    assert frame.check_crcs() is True
    if slots:
        frame.crcs[slots - 1] ^= 0x0100
        assert frame.check_crcs() is False


@pytest.mark.parametrize("params, expected", [([], 0), ([1], 0x8000B332), ([0x1234, 0x5678], 0xD0CBA2C6)])
def test_sra_crc_vectors(params, expected):
    assert ts.calculate_sra_crc(params) == expected


@given(st.lists(st.integers(0, 0xFFFF), max_size=40))
def test_sra_crc_matches_the_bitwise_crc(params):
    data = [b for p in params for b in (p & 0xFF, p >> 8)]
    assert ts.calculate_sra_crc(params) == bitwise_crc(data, 0x814141AB, 32)


@pytest.mark.parametrize(
    "args, error, message",
    [
        (((1,),), TypeError, "Argument 'params' has incorrect type (expected list, got tuple)"),
        (([1, 65536],), OverflowError, "value too large to convert to uint16_t"),
        (([-1],), OverflowError, "can't convert negative value to uint16_t"),
        ((["1"],), TypeError, None),
        ((), TypeError, "calculate_sra_crc() takes exactly 1 positional argument (0 given)"),
    ],
)
def test_sra_crc_errors(args, error, message):
    with pytest.raises(error) as info:
        ts.calculate_sra_crc(*args)
    assert message is None or str(info.value) == message


def test_sra_crc_survives_a_list_emptied_while_it_is_read():
    params = []

    class Shrinking:
        def __index__(self):
            params.clear()
            return 7

    params.extend([Shrinking(), 1, 2, 3])
    assert ts.calculate_sra_crc(params) == ts.calculate_sra_crc([7])
