import gc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tamsel.tamsel as ts

TOO_MANY = "Frame structure cannot handle more than 16 bytes"
NEGATIVE = "can't convert negative value to uint16_t"
TOO_LARGE = "value too large to convert to uint16_t"


def wrong_type(arg, expected, got):
    return f"Argument '{arg}' has incorrect type (expected {expected}, got {got})"


def example_frame():
    frame = ts.FSOEFrame(11)
    frame.control.command = ts.FSOECommand.PROCESS_DATA
    frame.control.connection_id = 0x1234
    frame.set_safe_data_bytes(bytes([0x11, 0x22, 0x33, 0x44]))
    frame.crcs[0] = 0xAAAA
    frame.crcs[1] = 0xBBBB
    return frame


def test_constants_and_commands():
    assert (ts.BYTES_PER_WORD, ts.MAX_DATA_WORDS, ts.MAX_DATA_BYTES, ts.MAX_CRC_WORDS) == (2, 8, 16, 8)
    assert [(m.name, m.value) for m in ts.FSOECommand] == [
        ("PROCESS_DATA", 0x36), ("RESET", 0x2A), ("SESSION", 0x4E),
        ("CONNECTION", 0x64), ("PARAMETER", 0x52), ("FAILSAFE_DATA", 0x08)]
    assert ts.FSOECommand.has_value(0x36) is True
    assert ts.FSOECommand.has_value(value=0x37) is False
    assert len(ts.FSOECommand) == 6


@pytest.mark.parametrize("length, size", [(0, 0), (3, 0), (5, 1), (6, 1), (7, 2), (11, 4), (35, 16), (36, 16),
                                          (-(10**30), 0)])
def test_constructor_sizes_an_empty_frame(length, size):
    frame = ts.FSOEFrame(length=length)
    assert frame.safe_data_size_bytes == size
    assert list(frame.safe_data) == [0] * 8 and list(frame.crcs) == [0] * 8
    assert frame.get_safe_data_bytes() == bytes(16)
    assert ts.FSOEFrame().frame_to_array() == bytes(3)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: ts.FSOEFrame(37), ValueError, TOO_MANY),
        (lambda: ts.FSOEFrame(10**30), ValueError, TOO_MANY),
        (lambda: ts.FSOEFrame(True), TypeError, wrong_type("length", "int", "bool")),
        (lambda: ts.FSOEFrame(1, 2), TypeError, "__init__() takes at most 1 positional argument (2 given)"),
        (lambda: ts.FSOEFrame.frame_from_array(bytearray(6)), TypeError, wrong_type("data", "bytes", "bytearray")),
        (lambda: ts.FSOEFrame.frame_from_array(bytes(37)), ValueError, TOO_MANY),
        (lambda: ts.FSOEFrame()._frame_from_array("abc"), TypeError, wrong_type("data", "bytes", "str")),
        (lambda: ts.FSOEFrame().set_safe_data_bytes([1]), TypeError, wrong_type("data", "bytes", "list")),
        (lambda: ts.FSOEFrame().set_safe_data_bytes(bytes(17)), ValueError, TOO_MANY),
        (lambda: ts.FSOEFrame().generate_crcs_cyclic(1.0), TypeError, wrong_type("last_sent_crc_0", "int", "float")),
        (lambda: ts.FSOEFrame().check_crcs_cyclic(), TypeError,
         "check_crcs_cyclic() takes exactly 1 positional argument (0 given)"),
        (lambda: ts.FSOEFrame().frame_to_array(1), TypeError,
         "frame_to_array() takes exactly 0 positional arguments (1 given)"),
        (lambda: ts.FSOEFrame().check_crcs(x=1), TypeError, "check_crcs() got an unexpected keyword argument 'x'"),
        (lambda: ts.FSOECommand.has_value(ts.FSOECommand.RESET), TypeError,
         wrong_type("value", "int", "FSOECommand")),
        (lambda: ts.FSOEFrameControl(), TypeError, "cannot create 'tamsel.tamsel.FSOEFrameControl' instances"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_eleven_byte_image():
    image = example_frame().frame_to_array()
    assert image == bytes.fromhex("36 11 22 AA AA 33 44 BB BB 34 12")
    frame = ts.FSOEFrame()
    frame.control.sequence_number = 7
    frame.control.crc0 = 0x1111
    frame._frame_from_array(image)
    assert frame.control.command is ts.FSOECommand.PROCESS_DATA
    assert (frame.control.connection_id, frame.safe_data_size_bytes) == (0x1234, 4)
    assert list(frame.safe_data)[:3] == [0x2211, 0x4433, 0] and list(frame.crcs)[:3] == [0xAAAA, 0xBBBB, 0]
    assert (frame.control.sequence_number, frame.control.crc0) == (7, 0x1111)


def test_size_one_image_carries_only_the_low_byte():
    frame = ts.FSOEFrame(6)
    frame.safe_data[0] = 0x1234
    image = frame.frame_to_array()
    assert len(image) == 6 and image[1] == 0x34
    assert ts.FSOEFrame.frame_from_array(image).safe_data[0] == 0x0034


@settings(max_examples=300, deadline=None)
@given(st.integers(0, 16), st.binary(min_size=16, max_size=16), st.lists(st.integers(0, 0xFFFF), min_size=8,
       max_size=8), st.integers(0, 0xFFFF))
def test_frames_of_every_size_round_trip(size, safe, crcs, conn):
    slots = (size + 1) // 2
    frame = ts.FSOEFrame()
    frame.safe_data_size_bytes = size
    frame.set_safe_data_bytes(safe[:size])
    for i in range(slots):
        frame.crcs[i] = crcs[i]
    frame.control.connection_id = conn
    image = frame.frame_to_array()
    assert len(image) == 2 * slots + size + 3
    back = ts.FSOEFrame.frame_from_array(image)
    assert back.get_safe_data_bytes() == safe[:size] + bytes(16 - size)
    assert list(back.crcs) == crcs[:slots] + [0] * (8 - slots)
    assert (back.control.connection_id, back.safe_data_size_bytes) == (conn, size)


@settings(max_examples=500)
@given(st.binary(max_size=2000))
def test_any_byte_string_parses_safely(data):
    frame = example_frame()
    frame.control.sequence_number = 3
    if len(data) > 36:
        before = frame.frame_to_array()
        with pytest.raises(ValueError):
            frame._frame_from_array(data)
        assert frame.frame_to_array() == before
        return
    frame._frame_from_array(data)
    size = frame.safe_data_size_bytes
    assert size == max(0, (len(data) + 1) // 2 - 2) and frame.control.sequence_number == 3
    slots = (size + 1) // 2
    assert list(frame.crcs)[slots:] == [0] * (8 - slots)
    image = frame.frame_to_array()
    assert image == (data + bytes(len(image)))[: len(image)], "bytes past the image read as 0"
    assert frame.control.command_is_valid() is ts.FSOECommand.has_value(image[0])


def test_safe_data_bytes():
    frame = ts.FSOEFrame(7)
    frame.crcs[0] = 0x1234
    frame.set_safe_data_bytes(bytes([1, 2, 3]))
    assert list(frame.safe_data) == [0x0201, 0x0003, 0, 0, 0, 0, 0, 0]
    assert frame.get_safe_data_bytes() == bytes([1, 2, 3]) + bytes(13)
    assert frame.safe_data_size_bytes == 2 and frame.crcs[0] == 0x1234


@pytest.mark.parametrize(
    "value, error, message",
    [(17, ValueError, TOO_MANY), (70000, ValueError, TOO_MANY), (-1, OverflowError, NEGATIVE),
     (-(10**40), OverflowError, NEGATIVE), (3.0, TypeError, wrong_type("value", "int", "float"))],
)
def test_safe_data_size_refusals_keep_the_size(value, error, message):
    frame = ts.FSOEFrame(11)
    with pytest.raises(error) as info:
        frame.safe_data_size_bytes = value
    assert str(info.value) == message
    assert frame.safe_data_size_bytes == 4


@pytest.mark.parametrize(
    "index, value, error, message",
    [(8, 1, IndexError, ""), (-1, 1, OverflowError, NEGATIVE), (65536, 1, OverflowError, TOO_LARGE),
     (0, 70000, OverflowError, TOO_LARGE), (0, -1, OverflowError, NEGATIVE), (0, "1", TypeError, None)],
)
def test_word_view_refusals_change_nothing(index, value, error, message):
    frame = example_frame()
    for view in (frame.crcs, frame.safe_data):
        before = list(view)
        with pytest.raises(error) as info:
            view[index] = value
        assert message is None or str(info.value) == message
        assert list(view) == before
        if value == 1:
            with pytest.raises(error):
                view[index]


def test_word_views():
    frame = example_frame()
    frame.crcs[7] = 0xFFFF
    assert list(frame.crcs) == [0xAAAA, 0xBBBB, 0, 0, 0, 0, 0, 0xFFFF] and frame.crcs.word_count == 8
    with pytest.raises(TypeError):
        len(frame.crcs)
    with pytest.raises(NotImplementedError):
        del frame.crcs[0]
    frame.crcs.clear()
    assert frame.frame_to_array()[3:5] == b"\x00\x00"
    host_made = ts.U16Array()
    host_made.clear()
    assert host_made.word_count == 0 and list(host_made) == []
    with pytest.raises(IndexError):
        host_made[0] = 1


def test_views_keep_their_frame_alive_and_are_replaced_by_a_new_constructor_run():
    frame = ts.FSOEFrame(7)
    assert frame.control is frame.control and frame.crcs is frame.crcs
    control, crcs = frame.control, frame.crcs
    frame.__init__(11)
    assert frame.crcs is not crcs and frame.safe_data_size_bytes == 4
    crcs[0] = 3  # the old view still points into the same frame
    assert frame.crcs[0] == 3
    del frame
    gc.collect()
    control.crc0 = 5
    assert control.crc0 == 5 and crcs[0] == 3


def test_control_words():
    frame = ts.FSOEFrame()
    control = frame.control
    control.command = ts.FSOECommand.SESSION
    control.connection_id = 0xBEEF
    assert frame.frame_to_array() == b"\x4e\xef\xbe"
    assert control.command is ts.FSOECommand.SESSION
    frame._frame_from_array(b"\x99\x00\x00")
    assert control.command_is_valid() is False
    with pytest.raises(ValueError):
        control.command


@pytest.mark.parametrize("start, after", [(65535, 1), (0, 1), (1, 2)])
def test_sequence_number_step(start, after):
    control = ts.FSOEFrame().control
    control.sequence_number = start
    assert control.increment_sequence_number() is None
    assert control.sequence_number == after


class Code:
    def __init__(self, value):
        self.value = value


@pytest.mark.parametrize(
    "field, value, error, message",
    [("connection_id", 65536, OverflowError, TOO_LARGE), ("sequence_number", -1, OverflowError, NEGATIVE),
     ("crc0", "1", TypeError, None), ("command", 0x36, AttributeError, None),
     ("command", Code(70000), OverflowError, TOO_LARGE)],
)
def test_control_refusals_keep_the_field(field, value, error, message):
    control = ts.FSOEFrame().control
    control.command = ts.FSOECommand.RESET
    control.connection_id = control.sequence_number = control.crc0 = 5
    before = getattr(control, field)
    with pytest.raises(error) as info:
        setattr(control, field, value)
    assert message is None or str(info.value) == message
    assert getattr(control, field) == before


def test_cyclic_generation_and_check_step_past_the_last_crc0():
    frame = example_frame()
    frame.control.sequence_number = 1
    clash = frame.calc_crc0()
    assert frame.generate_crcs_cyclic(clash) is None
    assert frame.control.sequence_number == 2 and frame.crcs[0] != clash and frame.check_crcs()
    for last in (frame.crcs[0] ^ 1, -1, 65536, 10**30):  # values no CRC_0 equals
        frame.generate_crcs_cyclic(last)
        assert frame.check_crcs_cyclic(last_sent_crc_0=last) is True
    assert frame.control.sequence_number == 2

    receiver = ts.FSOEFrame.frame_from_array(frame.frame_to_array())
    receiver.control.sequence_number = 1
    receiver.crcs[1] ^= 1
    assert receiver.check_crcs_cyclic(receiver.calc_crc0()) is False
    assert receiver.control.sequence_number == 2, "the step stays whatever the result"
    receiver.crcs[1] ^= 1
    assert receiver.check_crcs() is True

    empty = ts.FSOEFrame()
    empty.generate_crcs_cyclic(0)  # no slots: returns at once
    assert empty.control.sequence_number == 0


class Recording(ts.FSOEFrame):
    parsed = None

    def __init__(self, length=0):
        Recording.parsed = None  # no super().__init__: the views are made on first use

    def _frame_from_array(self, data):
        Recording.parsed = data
        super()._frame_from_array(data)


def test_frame_from_array_builds_and_fills_the_calling_class():
    image = example_frame().frame_to_array()
    frame = Recording.frame_from_array(image)
    assert type(frame) is Recording and Recording.parsed == image
    assert frame.safe_data_size_bytes == 4 and frame.crcs[1] == 0xBBBB


@pytest.mark.parametrize(
    "owner, name, doc",
    [(ts, "FSOEFrame", "FSOE Frame"), (ts, "U16Array", "Uint16 Representation class"),
     (ts, "FSOEFrameControl", "Control Parameters of FSoE Frame"), (ts, "calculate_sra_crc", "SRA CRC Calculation"),
     (ts.FSOEFrame, "frame_from_array", "Convert bytes to a new FSOE Frame"),
     (ts.FSOEFrame, "_frame_from_array", "Convert bytes to this FSOE Frame structure"),
     (ts.FSOEFrame, "frame_to_array", "Convert frame to bytes"),
     (ts.FSOEFrame, "safe_data_size_bytes", "Number of SafeData bytes"),
     (ts.FSOEFrame, "calc_crc0", "Calculate crc0 for the current safe-data and frame control"),
     (ts.FSOEFrame, "set_safe_data_bytes", "Set safe data from bytes"),
     (ts.FSOEFrame, "get_safe_data_bytes", "Get safe data as bytes"),
     (ts.FSOEFrameControl, "command_is_valid",
      "Indicates if the command on the structure is valid (a member of the enum)"),
     (ts.FSOECommand, "has_value", "Checks if the value is in one of the members of the enum")],
)
def test_docstrings(owner, name, doc):
    assert owner.__dict__[name].__doc__ == doc


def test_frame_operations_do_not_leak(no_leak):
    image = example_frame().frame_to_array()
    junk = [bytes(range(n)) for n in range(0, 60, 7)]

    def run():
        frame = ts.FSOEFrame.frame_from_array(image)
        frame.generate_crcs_cyclic(frame.calc_crc0())
        frame.check_crcs_cyclic(1)
        list(frame.crcs), frame.control.command, frame.get_safe_data_bytes()
        ts.calculate_sra_crc([1, 2, 3])
        for data in junk:
            try:
                frame._frame_from_array(data)
            except ValueError:
                pass
        with pytest.raises(OverflowError):
            frame.safe_data[0] = -1

    no_leak(run)
