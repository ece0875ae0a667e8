"""pcapng files of FSoE frames, each inside an EtherCAT frame as the data of one LRW datagram.

Written: a Section Header, one Ethernet Interface Description (nanosecond timestamps) and an
Enhanced Packet Block per frame with a comment "<direction> <state>". What the master reported
travels in Ethernet frames of the local experimental EtherType 0x88B5 whose data is a line of
UTF-8 text (see `event_frame`). Read back: the same layout, from files of either byte order;
other block types are skipped.
"""
import os
import stat
import struct
from typing import Iterable, Iterator, NamedTuple, Optional

MASTER_MAC = bytes.fromhex("020000000001")
SLAVE_MAC = bytes.fromhex("020000000002")
BROADCAST_MAC = b"\xff" * 6
ETHERTYPE_ETHERCAT = 0x88A4
ETHERTYPE_EVENT = 0x88B5  # IEEE 802 local experimental EtherType 1
ETHERCAT_TYPE_COMMANDS = 1
LRW = 12
ETHERNET_MIN_LENGTH = 60  # without the frame check sequence
LINKTYPE_ETHERNET = 1

SECTION_HEADER = 0x0A0D0D0A
INTERFACE_DESCRIPTION = 1
ENHANCED_PACKET = 6
BYTE_ORDER_MAGIC = 0x1A2B3C4D
OPT_END, OPT_COMMENT, SHB_USERAPPL, IF_TSRESOL = 0, 1, 4, 9
MAX_FILE_BYTES = 256 * 2**20  # a recording of millions of frames; refused beyond


class PcapngError(ValueError):
    """The file is not pcapng, or not one this module can read."""


class Capture(NamedTuple):
    comment: str  # the comments of the section headers, joined by newlines
    packets: list


class Packet(NamedTuple):
    time_ns: int      # since the epoch
    data: bytes       # the Ethernet frame
    comment: Optional[str]


# ---- EtherCAT encapsulation ---------------------------------------------------------------

def ethercat_frame(fsoe: bytes, from_master: bool, index: int) -> bytes:
    """An Ethernet II frame with one LRW datagram carrying `fsoe`."""
    working_counter = 0 if from_master else 3  # a slave that read and wrote answers 3
    datagram = struct.pack("<BBIHH", LRW, index & 0xFF, 0, len(fsoe) & 0x7FF, 0) + fsoe
    datagram += struct.pack("<H", working_counter)
    header = struct.pack("<H", (len(datagram) & 0x7FF) | ETHERCAT_TYPE_COMMANDS << 12)
    addresses = BROADCAST_MAC + MASTER_MAC if from_master else MASTER_MAC + SLAVE_MAC
    frame = addresses + struct.pack(">H", ETHERTYPE_ETHERCAT) + header + datagram
    return frame + bytes(max(0, ETHERNET_MIN_LENGTH - len(frame)))


def lrw_payloads(frame: bytes) -> Iterator[bytes]:
    """The data of every LRW datagram in an Ethernet frame (none if it is no EtherCAT frame)."""
    if len(frame) < 16 or struct.unpack_from(">H", frame, 12)[0] != ETHERTYPE_ETHERCAT:
        return
    header, = struct.unpack_from("<H", frame, 14)
    if header >> 12 != ETHERCAT_TYPE_COMMANDS:
        return
    pos, end = 16, min(len(frame), 16 + (header & 0x7FF))
    while pos + 10 <= end:
        command, _, _, length_field, _ = struct.unpack_from("<BBIHH", frame, pos)
        length = length_field & 0x7FF
        data = frame[pos + 10:pos + 10 + length]
        if len(data) < length:
            return
        if command == LRW:
            yield data
        pos += 10 + length + 2
        if not length_field & 0x8000:  # no datagram follows
            return


def event_frame(text: str) -> bytes:
    """An Ethernet II frame from the master to everyone whose data is `text`, UTF-8 encoded:
    "fault <transition name> <message>" or "state <previous state> <new state>"."""
    frame = BROADCAST_MAC + MASTER_MAC + struct.pack(">H", ETHERTYPE_EVENT) + text.encode()
    return frame + bytes(max(0, ETHERNET_MIN_LENGTH - len(frame)))


def event_text(frame: bytes) -> Optional[str]:
    """The text of an event frame (padding removed), or None for any other frame."""
    if len(frame) < 14 or struct.unpack_from(">H", frame, 12)[0] != ETHERTYPE_EVENT:
        return None
    return frame[14:].rstrip(b"\0").decode("utf-8", "replace")


def is_from_slave(frame: bytes) -> bool:
    return frame[6:12] == SLAVE_MAC


# ---- writing --------------------------------------------------------------------------------

def _option(code: int, value: bytes) -> bytes:
    return struct.pack("<HH", code, len(value)) + value + bytes(-len(value) % 4)


def _block(block_type: int, body: bytes) -> bytes:
    length = 12 + len(body)
    return struct.pack("<II", block_type, length) + body + struct.pack("<I", length)


def write(path, packets: Iterable[Packet], comment: str = "", application: str = "tamsel") -> None:
    end = _option(OPT_END, b"")
    section = struct.pack("<IHHq", BYTE_ORDER_MAGIC, 1, 0, -1) + _option(SHB_USERAPPL, application.encode())
    if comment:
        section += _option(OPT_COMMENT, comment.encode())
    section += end
    interface = struct.pack("<HHI", LINKTYPE_ETHERNET, 0, 0) + _option(IF_TSRESOL, b"\x09") + end
    with open(path, "wb") as out:
        out.write(_block(SECTION_HEADER, section))
        out.write(_block(INTERFACE_DESCRIPTION, interface))
        for packet in packets:
            body = struct.pack("<IIIII", 0, packet.time_ns >> 32, packet.time_ns & 0xFFFFFFFF,
                               len(packet.data), len(packet.data))
            body += packet.data + bytes(-len(packet.data) % 4)
            if packet.comment:
                body += _option(OPT_COMMENT, packet.comment.encode()) + end
            out.write(_block(ENHANCED_PACKET, body))


# ---- reading --------------------------------------------------------------------------------

def _options(data: bytes, order: str) -> Iterator[tuple]:
    pos = 0
    while pos + 4 <= len(data):
        code, length = struct.unpack_from(order + "HH", data, pos)
        if code == OPT_END:
            return
        yield code, data[pos + 4:pos + 4 + length]
        pos += 4 + length + (-length % 4)


def _resolution_ns(value: bytes) -> tuple:
    """(numerator, denominator) turning timestamp units into nanoseconds."""
    exponent = value[0] & 0x7F
    if value[0] & 0x80:
        return 10 ** 9, 2 ** exponent
    return (10 ** (9 - exponent), 1) if exponent <= 9 else (1, 10 ** (exponent - 9))


def _read_file(path) -> bytes:
    """The bytes of a regular file of at most MAX_FILE_BYTES; PcapngError for anything else
    (a device, a FIFO, a directory, a larger file). A FIFO is opened without waiting for a writer."""
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise PcapngError(f"{os.fsdecode(path)} is not a regular file")
        source = os.fdopen(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise
    with source:
        data = source.read(MAX_FILE_BYTES + 1)
    if len(data) > MAX_FILE_BYTES:
        raise PcapngError(
            f"{os.fsdecode(path)} is larger than {MAX_FILE_BYTES // 2**20} MiB, the most this reader takes")
    return data


def read(path) -> Capture:
    """The Ethernet packets of every Enhanced Packet Block; PcapngError for a file that is no
    pcapng or is damaged, is not a regular file or is larger than MAX_FILE_BYTES."""
    data = _read_file(path)
    if len(data) < 28 or struct.unpack_from("<I", data, 0)[0] != SECTION_HEADER:
        raise PcapngError(f"{path} is not a pcapng file")
    order, pos, interfaces, comments, packets = "<", 0, [], [], []
    while pos + 12 <= len(data):
        block_type, = struct.unpack_from(order + "I", data, pos)
        if block_type == SECTION_HEADER:
            magic = data[pos + 8:pos + 12]
            order = {struct.pack("<I", BYTE_ORDER_MAGIC): "<", struct.pack(">I", BYTE_ORDER_MAGIC): ">"}.get(magic)
            if order is None:
                raise PcapngError(f"{path} is not a pcapng file (bad byte-order magic)")
            interfaces = []
            options = data[pos + 24:pos + struct.unpack_from(order + "I", data, pos + 4)[0] - 4]
            comments += [value.decode("utf-8", "replace") for code, value in _options(options, order)
                         if code == OPT_COMMENT]
        length, = struct.unpack_from(order + "I", data, pos + 4)
        if length < 12 or length % 4 or pos + length > len(data):
            raise PcapngError(f"{path}: truncated or damaged block at byte {pos}")
        body = data[pos + 8:pos + length - 4]
        if block_type == INTERFACE_DESCRIPTION and len(body) >= 8:
            linktype, = struct.unpack_from(order + "H", body, 0)
            resolution = (10 ** 3, 1)  # microseconds unless said otherwise
            for code, value in _options(body[8:], order):
                if code == IF_TSRESOL and value:
                    resolution = _resolution_ns(value)
            interfaces.append((linktype, resolution))
        elif block_type == ENHANCED_PACKET and len(body) >= 20:
            interface, high, low, captured, _ = struct.unpack_from(order + "IIIII", body, 0)
            if interface < len(interfaces) and interfaces[interface][0] == LINKTYPE_ETHERNET:
                numerator, denominator = interfaces[interface][1]
                packet = body[20:20 + captured]
                comment = None
                for code, value in _options(body[20 + captured + (-captured % 4):], order):
                    if code == OPT_COMMENT:
                        comment = value.decode("utf-8", "replace")
                packets.append(Packet(((high << 32) | low) * numerator // denominator, packet, comment))
        pos += length
    return Capture("\n".join(comments), packets)
