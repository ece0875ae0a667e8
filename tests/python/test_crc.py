import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tamsel.tamsel as ts

CRC16_POLY = 0x39B7
CRC32_POLY = 0x814141AB


def bitwise_crc(data, poly, width):
    """Most-significant-bit-first CRC from register 0, one bit at a time."""
    top = 1 << (width - 1)
    mask = (1 << width) - 1
    reg = 0
    for byte in data:
        for bit in range(7, -1, -1):
            feedback = bool(reg & top) != bool((byte >> bit) & 1)
            reg = (reg << 1) & mask
            if feedback:
                reg ^= poly
    return reg


def slot_bytes(command, seq, conn, crc0, safe, size, slot):
    le = lambda v: [v & 0xFF, v >> 8]
    data = le(crc0) + le(conn) + le(seq) + [command & 0xFF]
    if slot:
        data += le(slot)
    data.append(safe[2 * slot])
    if not (slot == 0 and size == 1):
        data.append(safe[2 * slot + 1])
    return data + [0, 0, 0]


def make_frame(size, command=0x36, seq=0, conn=0, crc0=0, safe=b""):
    frame = ts.FSOEFrame()
    frame.safe_data_size_bytes = size
    frame.control.command = ts.FSOECommand(command)
    frame.control.sequence_number = seq
    frame.control.connection_id = conn
    frame.control.crc0 = crc0
    frame.set_safe_data_bytes(safe)
    return frame


def test_check_string_through_the_independent_crc():
    # Guards the reference implementation the other tests rely on.
    assert bitwise_crc(b"123456789", CRC16_POLY, 16) == 0xDDE2


@pytest.mark.parametrize(
    "size, command, seq, conn, crc0, safe, expected",
    [
        (1, 0x2A, 0, 0, 0, b"\x00", [0xF565]),
        (4, 0x36, 1, 0x1234, 0xBEEF, b"\x11\x22\x33\x44", [0x9665, 0x10B6]),
    ],
)
def test_slot_crc_vectors(size, command, seq, conn, crc0, safe, expected):
    frame = make_frame(size, command, seq, conn, crc0, safe)
    assert frame.calc_crc0() == expected[0]
    frame.generate_crcs()
    assert list(frame.crcs)[: len(expected)] == expected
    assert frame.check_crcs() is True


@pytest.mark.parametrize("size, changes", [(1, False), (2, True)])
def test_high_byte_of_first_word_enters_from_size_two(size, changes):
    frame = make_frame(size, safe=b"\x12\x34")
    before = frame.calc_crc0()
    frame.safe_data[0] = 0xFF12
    assert (frame.calc_crc0() != before) is changes


def test_frame_without_slots_generates_nothing_and_checks_true():
    frame = make_frame(0, safe=b"\x01\x02")
    frame.crcs[0] = 0x5555
    frame.generate_crcs()
    assert list(frame.crcs) == [0x5555] + [0] * 7
    assert frame.check_crcs() is True


commands = st.sampled_from([0x36, 0x2A, 0x4E, 0x64, 0x52, 0x08])
words = st.integers(0, 0xFFFF)


@settings(max_examples=300)
@given(st.integers(0, 16), commands, words, words, words, st.binary(min_size=16, max_size=16))
def test_random_frames_match_the_bitwise_slot_crcs(size, command, seq, conn, crc0, safe):
    frame = make_frame(size, command, seq, conn, crc0, safe)
    frame.crcs.clear()
    frame.generate_crcs()
    slots = (size + 1) // 2
    expected = [bitwise_crc(slot_bytes(command, seq, conn, crc0, safe, size, i), CRC16_POLY, 16) for i in range(slots)]
    assert list(frame.crcs) == expected + [0] * (8 - slots)
    assert frame.check_crcs() is True
    if slots:
        frame.crcs[slots - 1] ^= 0x0100
        assert frame.check_crcs() is False


@pytest.mark.parametrize(
    "params, expected",
    [([], 0), ([1], 0x8000B332), ([0x1234, 0x5678], 0xD0CBA2C6), ([0], 0), ([True], 0x8000B332)],
)
def test_sra_crc_vectors(params, expected):
    assert ts.calculate_sra_crc(params) == expected


@given(st.lists(words, max_size=40))
def test_sra_crc_matches_the_bitwise_crc(params):
    data = [b for p in params for b in (p & 0xFF, p >> 8)]
    assert ts.calculate_sra_crc(params) == bitwise_crc(data, CRC32_POLY, 32)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: ts.calculate_sra_crc((1,)), TypeError,
         "Argument 'params' has incorrect type (expected list, got tuple)"),
        (lambda: ts.calculate_sra_crc([1, 65536]), OverflowError, "value too large to convert to uint16_t"),
        (lambda: ts.calculate_sra_crc([-1]), OverflowError, "can't convert negative value to uint16_t"),
        (lambda: ts.calculate_sra_crc(["1"]), TypeError, None),
        (lambda: ts.calculate_sra_crc([1.0]), TypeError, None),
        (lambda: ts.calculate_sra_crc(), TypeError, "calculate_sra_crc() takes exactly 1 positional argument (0 given)"),
        (lambda: ts.calculate_sra_crc(params=[1]) and ts.calculate_sra_crc([], []), TypeError,
         "calculate_sra_crc() takes exactly 1 positional argument (2 given)"),
    ],
)
def test_sra_crc_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    if message is not None:
        assert str(info.value) == message


def test_sra_crc_survives_a_list_emptied_while_it_is_read():
    params = []

    class Shrinking:
        def __index__(self):
            params.clear()
            return 7

    params.extend([Shrinking(), 1, 2, 3])
    assert ts.calculate_sra_crc(params) == ts.calculate_sra_crc([7])


def test_sra_crc_docstring():
    assert ts.calculate_sra_crc.__doc__ == "SRA CRC Calculation"


def test_sra_crc_does_not_leak(no_leak):
    params = list(range(0, 60000, 1000))

    def run():
        ts.calculate_sra_crc(params)
        with pytest.raises(OverflowError):
            ts.calculate_sra_crc([1, -1])

    no_leak(run)
