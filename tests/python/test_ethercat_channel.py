"""SafetyChannel and ChannelGroup over process data held in plain objects, with the simulated slave
answering on the far side of the bytes."""
import pytest

import tamsel.tamsel as ts
from tamsel.ethercat import ChannelGroup, SafetyChannel, frame_size, parse_application_parameters
from tamsel.slave import Slave

DT = ts.DataType
# Items filling a map of each size exactly.
FILL = {1: [DT.UINT8], 2: [DT.UINT16], 4: [DT.UINT16, DT.INT16], 16: [DT.UINT32] * 4}


class ProcessData:
    """Stand-in for a pysoem slave: bytes attributes, ``output`` assigned whole each cycle."""

    def __init__(self, input_size, output_size, fill=0xA5):
        self.input = bytes([fill]) * input_size
        self.output = bytes([fill]) * output_size


def make_handler(out_size, in_size, key_base=0):
    outputs = [ts.DictionaryItemOutput(key_base + i, f"o{key_base}_{i}", t) for i, t in enumerate(FILL[out_size])]
    inputs = [ts.DictionaryItemInput(key_base + 50 + i, f"i{key_base}_{i}", t, 0) for i, t in enumerate(FILL[in_size])]
    dictionary = ts.Dictionary(outputs + inputs)
    handler = ts.MasterHandler(dictionary, 0x0A, 0x1234 + key_base, 10.0)
    for item in outputs:
        handler.master.dictionary_map.add(item)
    for item in inputs:
        handler.slave.dictionary_map.add(item)
    return handler


@pytest.fixture
def handlers():
    made = []

    def make(*args, **kwargs):
        made.append(make_handler(*args, **kwargs))
        return made[-1]

    yield make
    for handler in made:
        handler.stop()
        handler.delete()


def device_cycle(pd, slave, channel):
    """What the device does between two bus cycles: answers the request in the outputs."""
    start, end = channel.output_span
    reply = slave.reply(pd.output[start:end])
    start, end = channel.input_span
    pd.input = pd.input[:start] + reply + pd.input[end:]


@pytest.mark.parametrize("safe_bytes", range(-2, 20))
def test_frame_size_matches_the_frame_image(safe_bytes):
    if safe_bytes == 1 or (2 <= safe_bytes <= 16 and safe_bytes % 2 == 0):
        frame = ts.FSOEFrame()
        frame.safe_data_size_bytes = safe_bytes
        assert frame_size(safe_bytes) == len(frame.frame_to_array())
    else:
        with pytest.raises(ValueError, match=f"1 or an even number of 2..16 safe data bytes, not {safe_bytes}"):
            frame_size(safe_bytes)


@pytest.mark.parametrize("value", [True, 2.0, "2", None])
def test_frame_size_refuses_non_integers(value):
    with pytest.raises(TypeError, match="safe_data_bytes must be an int"):
        frame_size(value)


@pytest.mark.parametrize("out_size, in_size, output_offset, input_offset, spare",
                         [(2, 2, 0, 0, 0), (1, 16, 3, 5, 7), (16, 1, 12, 0, 1), (4, 2, 1, 9, 4)])
def test_connection_reaches_data_and_keeps_the_other_bytes(handlers, out_size, in_size, output_offset,
                                                            input_offset, spare):
    handler = handlers(out_size, in_size)
    request_size, reply_size = frame_size(out_size), frame_size(in_size)
    pd = ProcessData(input_offset + reply_size + spare, output_offset + request_size + spare)
    channel = SafetyChannel(handler, pd, input_offset=input_offset, output_offset=output_offset)
    assert (channel.request_size, channel.reply_size) == (request_size, reply_size)
    slave = Slave.for_handler(handler)
    handler.start()
    before, after = pd.output[:output_offset], pd.output[output_offset + request_size:]
    for cycle in range(200):
        channel.exchange()
        assert pd.output[:output_offset] == before and pd.output[output_offset + request_size:] == after
        device_cycle(pd, slave, channel)
        if handler.state is ts.StateData and slave.phase.name == "DATA":
            break
    assert handler.state is ts.StateData, slave.rejections
    handler.set_fail_safe(False)
    output, inputs = handler.master.dictionary_map, handler.slave.dictionary_map
    for value in range(1, 40):
        handler.dictionary.set(output[0].item.name, value)
        slave.inputs = bytes([value]) * in_size
        channel.exchange()
        device_cycle(pd, slave, channel)
    channel.exchange()
    assert slave.outputs[0] == 39
    item_bytes = inputs[0].item.data_type.bits // 8
    assert handler.dictionary.get(inputs[0].item.name) == int.from_bytes(bytes([39]) * item_bytes, "little")
    assert not slave.rejections


@pytest.mark.parametrize("direction, short_by", [("input", 1), ("output", 1), ("input", 7), ("output", 11)])
def test_too_short_process_data_is_refused_at_construction(handlers, direction, short_by):
    handler = handlers(4, 2)
    sizes = {"input": 3 + frame_size(2), "output": 2 + frame_size(4)}
    sizes[direction] -= short_by
    pd = ProcessData(sizes["input"], sizes["output"])
    frame, offset = {"input": (frame_size(2), 3), "output": (frame_size(4), 2)}[direction]
    what = "reply" if direction == "input" else "request"
    expected = (f"slave.{direction} holds {sizes[direction]} bytes, too short for the {frame}-byte {what} "
                f"frame at offset {offset} (needs {frame + offset} bytes)")
    with pytest.raises(ValueError) as error:
        SafetyChannel(handler, pd, input_offset=3, output_offset=2)
    assert str(error.value) == expected


@pytest.mark.parametrize("kwargs, error, message", [
    ({"input_offset": -1}, ValueError, "input_offset must not be negative, got -1"),
    ({"output_offset": -3}, ValueError, "output_offset must not be negative, got -3"),
    ({"input_offset": 1.0}, TypeError, "input_offset must be an int, not float"),
    ({"output_offset": True}, TypeError, "output_offset must be an int, not bool"),
])
def test_bad_offsets(handlers, kwargs, error, message):
    with pytest.raises(error, match=message):
        SafetyChannel(handlers(2, 2), ProcessData(64, 64), **kwargs)


def test_slave_objects_without_process_data_are_refused(handlers):
    handler = handlers(2, 2)
    with pytest.raises(TypeError, match="no 'input' attribute"):
        SafetyChannel(handler, object())
    pd = ProcessData(64, 64)
    pd.output = 5
    with pytest.raises(TypeError, match="slave.output must be bytes-like, not int"):
        SafetyChannel(handler, pd)


def test_a_map_of_no_frame_size_is_refused(handlers):
    handler = handlers(2, 2)
    handler.slave.dictionary_map.add(ts.DictionaryItemInput(99, "extra", DT.UINT8, 0))
    with pytest.raises(ValueError, match="the slave map of the handler holds 3 safe data bytes"):
        SafetyChannel(handler, ProcessData(64, 64))


def test_a_request_of_another_size_is_never_spliced(handlers):
    handler = handlers(2, 2)
    pd = ProcessData(64, 64)
    channel = SafetyChannel(handler, pd, output_offset=4)
    handler.master.dictionary_map.add(ts.DictionaryItemOutput(98, "late", DT.UINT16))
    handler.start()
    output = pd.output
    with pytest.raises(RuntimeError, match="request is 11 bytes, the channel was built for 7"):
        channel.exchange()
    assert pd.output == output


def test_group_runs_two_connections_over_one_slave(handlers):
    first, second = handlers(2, 2), handlers(2, 2, key_base=10)
    pd = ProcessData(2 + 2 * frame_size(2), 2 * frame_size(2))
    channels = [SafetyChannel(first, pd, input_offset=2),
                SafetyChannel(second, pd, input_offset=2 + frame_size(2), output_offset=frame_size(2))]
    group = ChannelGroup(channels)
    slaves = [Slave.for_handler(first), Slave.for_handler(second)]
    first.start()
    second.start()
    for _ in range(100):
        group.exchange()
        for slave, channel in zip(slaves, channels):
            device_cycle(pd, slave, channel)
    assert first.state is ts.StateData and second.state is ts.StateData
    assert [s.phase.name for s in slaves] == ["DATA", "DATA"]
    assert len(group) == 2


@pytest.mark.parametrize("second, direction", [({"input_offset": 20, "output_offset": 6}, "outputs"),
                                               ({"input_offset": 6, "output_offset": 20}, "inputs")])
def test_group_refuses_overlapping_channels(handlers, second, direction):
    pd = ProcessData(64, 64)
    a = SafetyChannel(handlers(2, 2), pd)
    b = SafetyChannel(handlers(2, 2, key_base=10), pd, **second)
    with pytest.raises(ValueError, match=f"channels overlap in the {direction} of one slave: bytes 0..6 and 6..12"):
        ChannelGroup([a, b])
    ChannelGroup([a, SafetyChannel(b.handler, ProcessData(64, 64))])
    with pytest.raises(TypeError, match="expected SafetyChannel objects, got int"):
        ChannelGroup([a, 3])


def test_import_leaves_pysoem_alone():
    import subprocess
    import sys

    code = "import sys, tamsel.ethercat; print('pysoem' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "False\n"


@pytest.mark.parametrize("name", ["handler", "slave", "input_offset", "output_offset", "reply_size", "request_size"])
def test_a_built_channel_cannot_be_moved(handlers, name):
    channel = SafetyChannel(handlers(2, 2), ProcessData(64, 64), input_offset=1)
    with pytest.raises(AttributeError):
        setattr(channel, name, 3)
    assert channel.input_span == (1, 8) and repr(channel) == (
        "<SafetyChannel reply 7 bytes at input 1, request 7 bytes at output 0>")


@pytest.mark.parametrize("size", [1, 2, 16])
@pytest.mark.parametrize("restart", ["channel", "handler"])
def test_an_all_zero_image_reaches_the_master_only_once_the_device_has_written_a_frame(handlers, size, restart):
    handler = handlers(size, size)
    pd = ProcessData(frame_size(size), frame_size(size), fill=0)
    channel = SafetyChannel(handler, pd)
    errors = []
    handler._MasterHandler__report_error_callback = lambda *pair: errors.append(pair)
    handler.start()
    for _ in range(5):  # the bus runs a while before the device writes its first frame
        channel.exchange()
    assert errors == [] and handler.statistics.replies == 0
    slave = Slave.for_handler(handler)
    for _ in range(30):
        device_cycle(pd, slave, channel)
        channel.exchange()
    assert handler.state is ts.StateData and errors == []
    handler.stop()
    if restart == "channel":
        channel = SafetyChannel(handler, pd)
    else:
        channel.exchange()  # the channel sees the handler stopped
    pd.input = bytes(len(pd.input))  # the device restarted too
    handler.start()
    for _ in range(5):
        channel.exchange()
    assert errors == [] and handler.state is ts.StateReset
    for _ in range(30):
        device_cycle(pd, slave, channel)
        channel.exchange()
    assert handler.state is ts.StateData and errors == []
    pd.input = bytes(len(pd.input))  # the device lost its image in Data: reported
    channel.exchange()
    assert [name for name, _ in errors] == ["DATA_FAIL4"]


@pytest.mark.parametrize("text, parsed", [
    ("", []), ("3000:2,40:1", [(3000, 2), (40, 1)]), ("7", [(7, 1)]), ("0xFFFFFFFF:4,", [(0xFFFFFFFF, 4)]),
    ("1:0", "'1:0': a parameter takes 1, 2 or 4 bytes, not 0"),
    ("256:1", "'256:1': 256 does not fit in 1 unsigned byte"),
    ("-1:2", "'-1:2': -1 does not fit in 2 unsigned bytes"), ("x:1", "'x:1' is not VALUE:BYTES"),
    ("1:3", "'1:3': a parameter takes 1, 2 or 4 bytes, not 3"),
])
def test_application_parameters_are_read_from_value_bytes_pairs(text, parsed):
    if isinstance(parsed, list):
        assert parse_application_parameters(text) == parsed
    else:
        with pytest.raises(ValueError) as error:
            parse_application_parameters(text)
        assert str(error.value) == parsed


@pytest.mark.parametrize("direction, length", [("output", 2), ("output", 10), ("input", 9), ("input", 0)])
def test_process_data_that_shrank_after_construction_is_refused_each_cycle(handlers, direction, length):
    """The request is never written at another offset, nor a cut reply taken."""
    handler = handlers(2, 2)
    pd = ProcessData(3 + frame_size(2), 4 + frame_size(2))
    channel = SafetyChannel(handler, pd, input_offset=3, output_offset=4)
    handler.start()
    channel.exchange()
    setattr(pd, direction, getattr(pd, direction)[:length])
    before = (pd.input, pd.output, handler.statistics.replies)
    frame, offset, what = {"input": (frame_size(2), 3, "reply"), "output": (frame_size(2), 4, "request")}[direction]
    with pytest.raises(ValueError) as error:
        channel.exchange()
    assert str(error.value) == (f"slave.{direction} holds {length} bytes, too short for the {frame}-byte {what} "
                                f"frame at offset {offset} (needs {frame + offset} bytes)")
    assert (pd.input, pd.output, handler.statistics.replies) == before


@pytest.mark.parametrize("kind", [bytes, bytearray])
def test_bytes_and_bytearray_process_data_both_carry_a_connection(handlers, kind):
    handler = handlers(2, 2)
    pd = ProcessData(frame_size(2), frame_size(2))
    pd.input, pd.output = kind(pd.input), kind(pd.output)
    channel = SafetyChannel(handler, pd)
    slave = Slave.for_handler(handler)
    handler.start()
    for _ in range(50):
        channel.exchange()
        assert type(pd.output) is kind
        pd.input = kind(slave.reply(bytes(pd.output)))
    assert handler.state is ts.StateData
    pd.input = memoryview(bytes(pd.input))
    with pytest.raises(TypeError, match="slave.input must be bytes-like, not memoryview"):
        SafetyChannel(handler, pd)


def test_group_refuses_one_handler_in_two_channels(handlers):
    handler = handlers(2, 2)
    a = SafetyChannel(handler, ProcessData(64, 64))
    b = SafetyChannel(handler, ProcessData(64, 64))
    with pytest.raises(ValueError, match="one handler in two channels"):
        ChannelGroup([a, b])
