import gc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tamsel.tamsel as ts

TOO_MANY = "Frame structure cannot handle more than 16 bytes"


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


def test_constants():
    assert (ts.BYTES_PER_WORD, ts.MAX_DATA_WORDS, ts.MAX_DATA_BYTES, ts.MAX_CRC_WORDS) == (2, 8, 16, 8)


def test_command_enumeration():
    assert [(m.name, m.value) for m in ts.FSOECommand] == [
        ("PROCESS_DATA", 0x36), ("RESET", 0x2A), ("SESSION", 0x4E),
        ("CONNECTION", 0x64), ("PARAMETER", 0x52), ("FAILSAFE_DATA", 0x08),
    ]
    assert ts.FSOECommand.has_value(0x36) is True
    assert ts.FSOECommand.has_value(0x37) is False
    assert ts.FSOECommand.has_value(value=8) is True
    for bad in (ts.FSOECommand.RESET, True, 0x36 * 1.0):
        with pytest.raises(TypeError, match=r"^Argument 'value' has incorrect type \(expected int, got "):
            ts.FSOECommand.has_value(bad)
    assert len(ts.FSOECommand) == 6, "has_value creates no member"
    assert ts.FSOECommand.has_value.__doc__ == "Checks if the value is in one of the members of the enum"


@pytest.mark.parametrize("length, size", [(0, 0), (3, 0), (5, 1), (6, 1), (7, 2), (11, 4), (35, 16), (36, 16),
                                          (-7, 0), (-(10**30), 0)])
def test_constructor_sizes_the_frame(length, size):
    frame = ts.FSOEFrame(length)
    assert frame.safe_data_size_bytes == size
    assert list(frame.safe_data) == [0] * 8 and list(frame.crcs) == [0] * 8
    assert ts.FSOEFrame(length=length).safe_data_size_bytes == size


def test_empty_frame():
    frame = ts.FSOEFrame()
    assert frame.safe_data_size_bytes == 0
    assert frame.frame_to_array() == b"\x00\x00\x00"
    assert frame.get_safe_data_bytes() == bytes(16)


@pytest.mark.parametrize("length", [37, 1000, 10**30])
def test_constructor_refuses_more_than_16_safe_bytes(length):
    with pytest.raises(ValueError) as info:
        ts.FSOEFrame(length)
    assert str(info.value) == TOO_MANY


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: ts.FSOEFrame(6.0), TypeError, wrong_type("length", "int", "float")),
        (lambda: ts.FSOEFrame(True), TypeError, wrong_type("length", "int", "bool")),
        (lambda: ts.FSOEFrame(1, 2), TypeError, "__init__() takes at most 1 positional argument (2 given)"),
        (lambda: ts.FSOEFrame.frame_from_array(bytearray(6)), TypeError, wrong_type("data", "bytes", "bytearray")),
        (lambda: ts.FSOEFrame()._frame_from_array("abc"), TypeError, wrong_type("data", "bytes", "str")),
        (lambda: ts.FSOEFrame().set_safe_data_bytes([1]), TypeError, wrong_type("data", "bytes", "list")),
        (lambda: ts.FSOEFrame().generate_crcs_cyclic(1.0), TypeError, wrong_type("last_sent_crc_0", "int", "float")),
        (lambda: ts.FSOEFrame().check_crcs_cyclic(None), TypeError, wrong_type("last_sent_crc_0", "int", "NoneType")),
        (lambda: ts.FSOEFrame().frame_to_array(1), TypeError,
         "frame_to_array() takes exactly 0 positional arguments (1 given)"),
        (lambda: ts.FSOEFrame().generate_crcs_cyclic(), TypeError,
         "generate_crcs_cyclic() takes exactly 1 positional argument (0 given)"),
        (lambda: ts.FSOEFrame().check_crcs(x=1), TypeError, "check_crcs() got an unexpected keyword argument 'x'"),
        (lambda: ts.FSOEFrame.frame_from_array(bytes(37)), ValueError, TOO_MANY),
        (lambda: ts.FSOEFrame()._frame_from_array(bytes(5000)), ValueError, TOO_MANY),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def test_eleven_byte_image_round_trip():
    frame = example_frame()
    image = frame.frame_to_array()
    assert image == bytes.fromhex("36 11 22 AA AA 33 44 BB BB 34 12")
    back = ts.FSOEFrame.frame_from_array(image)
    assert type(back) is ts.FSOEFrame
    assert back.control.command is ts.FSOECommand.PROCESS_DATA
    assert back.control.connection_id == 0x1234
    assert list(back.safe_data) == list(frame.safe_data)
    assert list(back.crcs) == list(frame.crcs)
    assert back.safe_data_size_bytes == 4


def test_size_one_image_carries_only_the_low_byte():
    frame = ts.FSOEFrame(6)
    frame.safe_data[0] = 0x1234
    image = frame.frame_to_array()
    assert len(image) == 6 and image[1] == 0x34
    assert ts.FSOEFrame.frame_from_array(image).safe_data[0] == 0x0034


def test_parse_keeps_sequence_number_and_crc0():
    frame = ts.FSOEFrame()
    frame.control.sequence_number = 7
    frame.control.crc0 = 0x1111
    frame._frame_from_array(example_frame().frame_to_array())
    assert (frame.control.sequence_number, frame.control.crc0) == (7, 0x1111)
    assert frame.safe_data_size_bytes == 4


def test_refused_parse_changes_nothing():
    frame = example_frame()
    before = frame.frame_to_array()
    with pytest.raises(ValueError):
        frame._frame_from_array(bytes(range(37)))
    assert frame.frame_to_array() == before


@settings(max_examples=300)
@given(st.integers(0, 16), st.binary(min_size=16, max_size=16),
       st.lists(st.integers(0, 0xFFFF), min_size=8, max_size=8), st.integers(0, 255), st.integers(0, 0xFFFF))
def test_frames_of_every_size_round_trip(size, safe, crcs, command, conn):
    slots = (size + 1) // 2
    frame = ts.FSOEFrame()
    frame.safe_data_size_bytes = size
    frame.set_safe_data_bytes(safe[:size])
    for i in range(slots):
        frame.crcs[i] = crcs[i]
    frame.control.connection_id = conn
    frame._frame_from_array(bytes([command]) + frame.frame_to_array()[1:])
    image = frame.frame_to_array()
    assert len(image) == 2 * slots + size + 3
    back = ts.FSOEFrame.frame_from_array(image)
    assert back.frame_to_array() == image
    assert back.get_safe_data_bytes() == safe[:size] + bytes(16 - size)
    assert list(back.crcs) == crcs[:slots] + [0] * (8 - slots)
    assert back.control.connection_id == conn
    assert back.control.command_is_valid() is ts.FSOECommand.has_value(command)


@settings(max_examples=500)
@given(st.binary(max_size=2000))
def test_any_byte_string_parses_safely(data):
    frame = ts.FSOEFrame()
    frame.control.sequence_number = 3
    if len(data) > 36:
        with pytest.raises(ValueError):
            frame._frame_from_array(data)
        with pytest.raises(ValueError):
            ts.FSOEFrame.frame_from_array(data)
        return
    frame._frame_from_array(data)
    size = frame.safe_data_size_bytes
    assert size == max(0, (len(data) + 1) // 2 - 2)
    assert frame.control.sequence_number == 3
    slots = (size + 1) // 2
    assert list(frame.crcs)[slots:] == [0] * (8 - slots)
    image = frame.frame_to_array()
    common = min(len(image), len(data))
    assert image[:common] == data[:common]
    assert ts.FSOEFrame.frame_from_array(data).frame_to_array() == image


def test_safe_data_bytes():
    frame = ts.FSOEFrame(7)
    frame.crcs[0] = 0x1234
    frame.set_safe_data_bytes(bytes([1, 2, 3]))
    assert list(frame.safe_data) == [0x0201, 0x0003, 0, 0, 0, 0, 0, 0]
    assert frame.get_safe_data_bytes() == bytes([1, 2, 3]) + bytes(13)
    assert frame.safe_data_size_bytes == 2 and frame.crcs[0] == 0x1234
    with pytest.raises(ValueError) as info:
        frame.set_safe_data_bytes(bytes(17))
    assert str(info.value) == TOO_MANY
    assert frame.safe_data[0] == 0x0201


@pytest.mark.parametrize(
    "value, error, message",
    [
        (17, ValueError, TOO_MANY),
        (70000, ValueError, TOO_MANY),
        (10**40, ValueError, TOO_MANY),
        (-1, OverflowError, "can't convert negative value to uint16_t"),
        (-(10**40), OverflowError, "can't convert negative value to uint16_t"),
        (3.0, TypeError, wrong_type("value", "int", "float")),
        (True, TypeError, wrong_type("value", "int", "bool")),
    ],
)
def test_safe_data_size_refusals_keep_the_size(value, error, message):
    frame = ts.FSOEFrame(11)
    with pytest.raises(error) as info:
        frame.safe_data_size_bytes = value
    assert str(info.value) == message
    assert frame.safe_data_size_bytes == 4


def test_safe_data_size_accepts_any_size_up_to_16():
    frame = ts.FSOEFrame()
    for size in range(17):
        frame.safe_data_size_bytes = size
        assert frame.safe_data_size_bytes == size
        assert len(frame.frame_to_array()) == 2 * ((size + 1) // 2) + size + 3


@pytest.mark.parametrize(
    "index, value, error, message",
    [
        (8, 1, IndexError, ""),
        (-1, 1, OverflowError, "can't convert negative value to uint16_t"),
        (65536, 1, OverflowError, "value too large to convert to uint16_t"),
        (0, 70000, OverflowError, "value too large to convert to uint16_t"),
        (0, -1, OverflowError, "can't convert negative value to uint16_t"),
        (0, "1", TypeError, None),
    ],
)
def test_word_view_refusals_change_nothing(index, value, error, message):
    frame = example_frame()
    for view in (frame.crcs, frame.safe_data):
        before = list(view)
        with pytest.raises(error) as info:
            view[index] = value
        if message is not None:
            assert str(info.value) == message
        assert list(view) == before
    if error is IndexError:
        with pytest.raises(IndexError) as info:
            frame.safe_data[index]
        assert info.value.args == ()


def test_word_view_access():
    frame = example_frame()
    assert frame.safe_data[1] == 0x4433
    frame.crcs[7] = 0xFFFF
    assert list(frame.crcs) == [0xAAAA, 0xBBBB, 0, 0, 0, 0, 0, 0xFFFF]
    assert frame.crcs.word_count == 8
    with pytest.raises(TypeError):
        len(frame.crcs)
    with pytest.raises(NotImplementedError):
        del frame.crcs[0]
    frame.crcs.clear()
    assert list(frame.crcs) == [0] * 8
    assert frame.frame_to_array()[3:5] == b"\x00\x00"


def test_host_made_word_view_is_bound_to_nothing():
    view = ts.U16Array()
    assert view.word_count == 0
    assert list(view) == []
    view.clear()
    with pytest.raises(IndexError):
        view[0]
    with pytest.raises(IndexError):
        view[0] = 1
    with pytest.raises(TypeError):
        ts.U16Array(8)


def test_views_are_created_once_and_keep_their_frame_alive():
    frame = ts.FSOEFrame(7)
    assert frame.control is frame.control and frame.crcs is frame.crcs
    control, safe_data = frame.control, frame.safe_data
    del frame
    gc.collect()
    control.crc0 = 5
    safe_data[0] = 9
    assert control.crc0 == 5 and safe_data[0] == 9


def test_constructor_run_again_replaces_the_views():
    frame = ts.FSOEFrame(7)
    old = frame.crcs
    frame.crcs[0] = 1
    frame.__init__(11)
    assert frame.crcs is not old and frame.crcs[0] == 0
    old[0] = 3  # the old view still points into the same frame
    assert frame.crcs[0] == 3 and frame.safe_data_size_bytes == 4


def test_control_view_cannot_be_made_by_the_host():
    with pytest.raises(TypeError):
        ts.FSOEFrameControl()


def test_control_words():
    frame = ts.FSOEFrame()
    control = frame.control
    control.command = ts.FSOECommand.SESSION
    assert frame.frame_to_array()[0] == 78
    assert control.command is ts.FSOECommand.SESSION
    control.connection_id = 0xBEEF
    assert frame.frame_to_array()[1:] == b"\xef\xbe"
    control.sequence_number = 65535
    control.crc0 = 0
    assert (control.sequence_number, control.crc0) == (65535, 0)


@pytest.mark.parametrize("start, after", [(65535, 1), (0, 1), (1, 2), (1000, 1001)])
def test_sequence_number_step(start, after):
    control = ts.FSOEFrame().control
    control.sequence_number = start
    assert control.increment_sequence_number() is None
    assert control.sequence_number == after


def test_unknown_command_byte():
    frame = ts.FSOEFrame.frame_from_array(b"\x99\x00\x00")
    assert frame.control.command_is_valid() is False
    with pytest.raises(ValueError):
        frame.control.command
    frame.control.command = ts.FSOECommand.RESET
    assert frame.control.command_is_valid() is True


class Code:
    def __init__(self, value):
        self.value = value


@pytest.mark.parametrize(
    "field, value, error, message",
    [
        ("connection_id", 65536, OverflowError, "value too large to convert to uint16_t"),
        ("sequence_number", -1, OverflowError, "can't convert negative value to uint16_t"),
        ("crc0", "1", TypeError, None),
        ("command", 0x36, AttributeError, None),
        ("command", Code(70000), OverflowError, "value too large to convert to uint16_t"),
        ("command", Code(-1), OverflowError, "can't convert negative value to uint16_t"),
    ],
)
def test_control_refusals_keep_the_field(field, value, error, message):
    frame = ts.FSOEFrame()
    frame.control.command = ts.FSOECommand.RESET
    frame.control.connection_id = frame.control.sequence_number = frame.control.crc0 = 5
    before = getattr(frame.control, field)
    with pytest.raises(error) as info:
        setattr(frame.control, field, value)
    if message is not None:
        assert str(info.value) == message
    assert getattr(frame.control, field) == before


def test_command_takes_any_object_with_a_value():
    frame = ts.FSOEFrame()
    frame.control.command = Code(0x99)
    assert frame.frame_to_array()[0] == 0x99
    assert frame.control.command_is_valid() is False


def clashing_frame(size=4):
    frame = ts.FSOEFrame()
    frame.safe_data_size_bytes = size
    frame.control.command = ts.FSOECommand.PROCESS_DATA
    frame.control.sequence_number = 1
    frame.control.connection_id = 0x1234
    frame.set_safe_data_bytes(b"\x11\x22\x33\x44")
    return frame


def test_cyclic_generation_steps_past_the_last_crc0():
    frame = clashing_frame()
    clash = frame.calc_crc0()
    assert frame.generate_crcs_cyclic(clash) is None
    assert frame.control.sequence_number == 2
    assert frame.crcs[0] != clash and frame.check_crcs()

    frame.generate_crcs_cyclic(frame.crcs[0] ^ 1)
    assert frame.control.sequence_number == 2


@pytest.mark.parametrize("last", [-1, 65536, 10**30])
def test_cyclic_operations_with_a_last_crc0_that_no_crc_can_equal(last):
    frame = clashing_frame()
    frame.generate_crcs_cyclic(last_sent_crc_0=last)
    assert frame.check_crcs_cyclic(last) is True
    assert frame.control.sequence_number == 1


def test_cyclic_generation_without_slots_returns_at_once():
    frame = clashing_frame(size=0)
    frame.generate_crcs_cyclic(frame.crcs[0])
    assert frame.control.sequence_number == 1


def test_cyclic_check_steps_before_checking():
    sender = clashing_frame()
    sender.control.sequence_number = 2
    sender.generate_crcs()
    receiver = ts.FSOEFrame()
    receiver.control.sequence_number = 1
    receiver._frame_from_array(sender.frame_to_array())
    clash = receiver.calc_crc0()
    assert receiver.check_crcs_cyclic(clash) is True
    assert receiver.control.sequence_number == 2
    # The step stays, whatever the result.
    receiver.crcs[1] ^= 1
    assert receiver.check_crcs_cyclic(receiver.calc_crc0()) is False
    assert receiver.control.sequence_number == 3


class Recording(ts.FSOEFrame):
    parsed = None

    def _frame_from_array(self, data):
        Recording.parsed = data
        super()._frame_from_array(data)


def test_frame_from_array_builds_the_calling_class():
    image = example_frame().frame_to_array()
    frame = Recording.frame_from_array(image)
    assert type(frame) is Recording and Recording.parsed == image
    assert frame.safe_data_size_bytes == 4 and frame.crcs[1] == 0xBBBB


def test_subclass_without_constructor_call_still_has_views():
    class Bare(ts.FSOEFrame):
        def __init__(self):
            pass

    frame = Bare()
    frame.crcs[0] = 4
    assert frame.crcs[0] == 4 and frame.control.crc0 == 0


@pytest.mark.parametrize(
    "owner, name, doc",
    [
        (ts, "FSOEFrame", "FSOE Frame"),
        (ts, "U16Array", "Uint16 Representation class"),
        (ts, "FSOEFrameControl", "Control Parameters of FSoE Frame"),
        (ts.FSOEFrame, "frame_from_array", "Convert bytes to a new FSOE Frame"),
        (ts.FSOEFrame, "_frame_from_array", "Convert bytes to this FSOE Frame structure"),
        (ts.FSOEFrame, "frame_to_array", "Convert frame to bytes"),
        (ts.FSOEFrame, "safe_data_size_bytes", "Number of SafeData bytes"),
        (ts.FSOEFrame, "calc_crc0", "Calculate crc0 for the current safe-data and frame control"),
        (ts.FSOEFrame, "set_safe_data_bytes", "Set safe data from bytes"),
        (ts.FSOEFrame, "get_safe_data_bytes", "Get safe data as bytes"),
        (ts.FSOEFrameControl, "command_is_valid",
         "Indicates if the command on the structure is valid (a member of the enum)"),
    ],
)
def test_docstrings(owner, name, doc):
    assert owner.__dict__[name].__doc__ == doc


def test_native_types_take_no_new_attributes():
    frame = ts.FSOEFrame()
    for obj in (frame, frame.control, frame.crcs):
        with pytest.raises(AttributeError):
            obj.extra = 1


def test_frame_operations_do_not_leak(no_leak):
    image = example_frame().frame_to_array()

    def run():
        frame = ts.FSOEFrame.frame_from_array(image)
        frame.generate_crcs_cyclic(frame.calc_crc0())
        frame.check_crcs_cyclic(1)
        frame.get_safe_data_bytes()
        list(frame.crcs)
        frame.control.command
        with pytest.raises(ValueError):
            frame._frame_from_array(bytes(40))
        with pytest.raises(OverflowError):
            frame.safe_data[0] = -1

    no_leak(run)


def test_parsing_random_bytes_does_not_leak(no_leak):
    import random

    rng = random.Random(5)
    images = [rng.randbytes(rng.randrange(0, 60)) for _ in range(64)]
    frame = ts.FSOEFrame()
    position = iter(range(10**9))

    def run():
        data = images[next(position) % len(images)]
        try:
            frame._frame_from_array(data)
        except ValueError:
            pass
        frame.frame_to_array()

    no_leak(run)
