"""FSoE frames inside EtherCAT process data.

A safety device on an EtherCAT bus carries the FSoE frames in its process data: the master's
request somewhere in the device's outputs, the device's reply somewhere in its inputs, next to
ordinary (non-safe) data. :class:`SafetyChannel` moves the frames between a
:class:`~tamsel.tamsel.MasterHandler` and the process data of one slave, once per cycle::

    import pysoem
    from tamsel.ethercat import SafetyChannel

    master = pysoem.Master()
    master.open("eth0")
    master.config_init()
    master.config_map()
    ...                                     # bus to OP, handler built and started
    channel = SafetyChannel(handler, master.slaves[0], input_offset=4, output_offset=4)
    while running:
        master.receive_processdata(2000)
        channel.exchange()                  # reply out of slave.input, request into slave.output
        master.send_processdata()

The slave object may be a pysoem slave or anything with ``input`` and ``output`` attributes
holding bytes (or bytearray): ``input`` is read, ``output`` is read and assigned whole. pysoem is not needed
to use this module (``pip install tamsel[ethercat]`` installs it).

:func:`frame_size` gives the byte length of a frame for a number of safe-data bytes;
:class:`ChannelGroup` runs several channels in one call per cycle;
:func:`parse_application_parameters` reads application parameters written as
``VALUE:BYTES,...`` (the virtual drive's and the example's command-line syntax).
"""
from __future__ import annotations

from typing import Iterable, List, Tuple

__all__ = ["frame_size", "parse_application_parameters", "SafetyChannel", "ChannelGroup"]

_MAX_SAFE_DATA_BYTES = 16


def frame_size(safe_data_bytes: int) -> int:
    """Bytes of an FSoE frame carrying ``safe_data_bytes`` bytes of safe data.

    A frame carries 1 byte (6 bytes long) or an even number of bytes from 2 to 16
    (3 + 2 n bytes long: command, n data bytes with one 2-byte CRC per 2 data bytes, connection
    id). Any other size raises ValueError."""
    if type(safe_data_bytes) is not int:
        raise TypeError(f"safe_data_bytes must be an int, not {type(safe_data_bytes).__name__}")
    if safe_data_bytes == 1:
        return 6
    if 2 <= safe_data_bytes <= _MAX_SAFE_DATA_BYTES and safe_data_bytes % 2 == 0:
        return 3 + 2 * safe_data_bytes
    raise ValueError(f"an FSoE frame carries 1 or an even number of 2..{_MAX_SAFE_DATA_BYTES} safe data "
                     f"bytes, not {safe_data_bytes}")


def parse_application_parameters(text: str) -> List[Tuple[int, int]]:
    """``VALUE:BYTES,...`` as ``[(value, n_bytes), ...]``, in order: each value an integer
    (``0x`` for hexadecimal) that fits in its 1, 2 or 4 unsigned bytes (1 when ``:BYTES`` is
    left out). ``"3000:2,40:1"`` gives ``[(3000, 2), (40, 1)]``; an empty text, no parameters.
    Anything else raises ValueError naming the part."""
    parameters = []
    for part in filter(None, text.split(",")):
        value_text, _, size_text = part.partition(":")
        try:
            value, size = int(value_text, 0), int(size_text or "1", 0)
        except ValueError:
            raise ValueError(f"{part!r} is not VALUE:BYTES") from None
        if size not in (1, 2, 4):
            raise ValueError(f"{part!r}: a parameter takes 1, 2 or 4 bytes, not {size}")
        if not 0 <= value < 1 << (8 * size):
            raise ValueError(f"{part!r}: {value} does not fit in {size} unsigned byte{'s' if size > 1 else ''}")
        parameters.append((value, size))
    return parameters


def _offset(name: str, value) -> int:
    if type(value) is not int:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{name} must not be negative, got {value}")
    return value


def _map_frame_size(handler, node: str) -> int:
    size = getattr(handler, node).dictionary_map.safety_bytes
    try:
        return frame_size(size)
    except ValueError:
        raise ValueError(f"the {node} map of the handler holds {size} safe data bytes; lay it out to 1 or an "
                         f"even number of 2..{_MAX_SAFE_DATA_BYTES} bytes before building the channel") from None


def _process_data_length(slave, attribute: str) -> int:
    try:
        data = getattr(slave, attribute)
    except AttributeError:
        raise TypeError(f"the slave object has no '{attribute}' attribute "
                        f"(expected a pysoem slave or an object with 'input' and 'output' bytes)") from None
    if not isinstance(data, (bytes, bytearray)):
        raise TypeError(f"slave.{attribute} must be bytes-like, not {type(data).__name__}")
    return len(data)


def _too_short(attribute: str, length: int, size: int, offset: int, what: str) -> ValueError:
    return ValueError(f"slave.{attribute} holds {length} bytes, too short for the {size}-byte "
                      f"{what} frame at offset {offset} (needs {offset + size} bytes)")


class SafetyChannel:
    """The FSoE connection of one handler inside the process data of one EtherCAT slave.

    ``exchange()`` reads the reply (the frame size of the handler's slave map) from
    ``slave.input`` at ``input_offset``, hands it to ``handler.set_reply``, and writes
    ``handler.get_request()`` (the frame size of the master map) into ``slave.output`` at
    ``output_offset``, keeping every other output byte.

    A device's process image is all zeros until it writes its first FSoE frame, and all zeros
    are never a frame: until the device's first image that is not all zeros, after the
    channel was made or after it saw the handler stopped, the channel does not hand the reply
    to the handler (which would report it as "Invalid slave frame command"). From then on every
    image goes to the handler unchanged, all zeros too.

    Lay out both maps of the handler before building the channel: the frame sizes are taken
    then, and the process data must hold both frames at their offsets (ValueError naming the
    sizes and offsets otherwise)."""

    __slots__ = ("_handler", "_slave", "_input_offset", "_output_offset", "_reply_size", "_request_size",
                 "_reply", "_head", "_tail", "_set_reply", "_get_request", "_blank", "_device_started")

    def __init__(self, handler, slave, *, input_offset: int = 0, output_offset: int = 0):
        input_offset = _offset("input_offset", input_offset)
        output_offset = _offset("output_offset", output_offset)
        reply_size = _map_frame_size(handler, "slave")
        request_size = _map_frame_size(handler, "master")
        for attribute, size, offset, what in (("input", reply_size, input_offset, "reply"),
                                              ("output", request_size, output_offset, "request")):
            length = _process_data_length(slave, attribute)
            if offset + size > length:
                raise _too_short(attribute, length, size, offset, what)
        # Fixed once built (read-only attributes): the cycle is on every host's hot path.
        self._handler, self._slave = handler, slave
        self._input_offset, self._output_offset = input_offset, output_offset
        self._reply_size, self._request_size = reply_size, request_size
        self._reply = slice(input_offset, input_offset + reply_size)
        self._head = slice(0, output_offset)
        self._tail = slice(output_offset + request_size, None)
        self._set_reply = handler.set_reply
        self._get_request = handler.get_request
        self._blank = bytes(reply_size)
        self._device_started = False  # the device has written an image that is not all zeros

    def exchange(self) -> None:
        """One cycle: the slave's reply into the handler, the handler's request into the outputs.

        ValueError, before anything is exchanged, if ``slave.input`` or ``slave.output`` has
        become too short for its frame since the channel was built."""
        slave = self._slave
        data, output = slave.input, slave.output
        if len(data) < self._reply.stop or len(output) < self._tail.start:
            self._refuse_short(data, output)
        reply = data[self._reply]
        if type(reply) is not bytes:
            reply = bytes(reply)
        if self._device_started:
            if not self._handler.running:
                self._device_started = False
            self._set_reply(reply)
        elif reply != self._blank:
            self._device_started = True
            self._set_reply(reply)
        request = self._get_request()
        if len(request) != self._request_size:
            raise RuntimeError(f"the handler's request is {len(request)} bytes, the channel was built for "
                               f"{self._request_size}: the master map changed after the channel was built")
        slave.output = output[self._head] + request + output[self._tail]

    def _refuse_short(self, data, output) -> None:
        if len(data) < self._reply.stop:
            raise _too_short("input", len(data), self._reply_size, self._input_offset, "reply")
        raise _too_short("output", len(output), self._request_size, self._output_offset, "request")

    handler = property(lambda self: self._handler, doc="The MasterHandler whose frames the channel moves.")
    slave = property(lambda self: self._slave, doc="The object holding the process data.")
    input_offset = property(lambda self: self._input_offset, doc="Where the reply starts in ``slave.input``.")
    output_offset = property(lambda self: self._output_offset, doc="Where the request starts in ``slave.output``.")
    reply_size = property(lambda self: self._reply_size, doc="Bytes of the slave's frames.")
    request_size = property(lambda self: self._request_size, doc="Bytes of the master's frames.")

    @property
    def input_span(self) -> Tuple[int, int]:
        """The reply's bytes in ``slave.input`` as (start, end)."""
        return self._input_offset, self._input_offset + self._reply_size

    @property
    def output_span(self) -> Tuple[int, int]:
        """The request's bytes in ``slave.output`` as (start, end)."""
        return self._output_offset, self._output_offset + self._request_size

    def __repr__(self) -> str:
        return (f"<SafetyChannel reply {self.reply_size} bytes at input {self.input_offset}, "
                f"request {self.request_size} bytes at output {self.output_offset}>")


class ChannelGroup:
    """Several safety channels exchanged in one call per cycle, in the order given.

    Channels over the same slave object must not overlap in its outputs or its inputs, and no
    handler may be in two channels (ValueError at construction): one request would overwrite the
    other."""

    __slots__ = ("channels",)

    def __init__(self, channels: Iterable[SafetyChannel]):
        channels = tuple(channels)
        for channel in channels:
            if not isinstance(channel, SafetyChannel):
                raise TypeError(f"expected SafetyChannel objects, got {type(channel).__name__}")
        for i, first in enumerate(channels):
            for second in channels[i + 1:]:
                if first.handler is second.handler:
                    raise ValueError(f"one handler in two channels ({first!r} and {second!r}): it would take "
                                     f"two replies and send its request twice each cycle")
                if first.slave is not second.slave:
                    continue
                for span in ("output_span", "input_span"):
                    a, b = getattr(first, span), getattr(second, span)
                    if a[0] < b[1] and b[0] < a[1]:
                        direction = span.split("_")[0]
                        raise ValueError(f"channels overlap in the {direction}s of one slave: bytes "
                                         f"{a[0]}..{a[1] - 1} and {b[0]}..{b[1] - 1}")
        self.channels = channels

    def exchange(self) -> None:
        """One cycle of every channel."""
        for channel in self.channels:
            channel.exchange()

    def __len__(self) -> int:
        return len(self.channels)
