"""Sends hostile EtherCAT frames to the virtual drive on an interface while a master keeps its
connection: FMMU 2 and sync managers 2 and 3 programmed with any values, logical and physical
accesses at the edges of the memory with huge lengths, datagram chains with false lengths and
random bytes. Nothing it sends touches what the master set up (station address, AL control,
FMMUs 0 and 1, sync managers 0 and 1, the process data at 0x1000..0x17FF), and its datagram
indices (0x80 and up) are ones the master never uses. Prints how many frames it sent."""
import json
import random
import select
import socket
import struct
import sys
import time

ETHERCAT = 0x88A4
HEADER = b"\xff" * 6 + b"\x04" * 6 + struct.pack("!H", ETHERCAT)
ANSWERED = 0x04 | 0x02  # the source address byte of the drive's answers
NOP = 0
BURST = 20
APRD, APWR, FPRD, FPWR, BRD, LRD, LWR, LRW = 1, 2, 4, 5, 7, 10, 11, 12
RAM = (0x1800, 0x10000)


def datagram(rng, command, adp, ado, data, more):
    return struct.pack("<BBHHHH", command, rng.randrange(0x80, 0x100), adp, ado,
                       len(data) | (0x8000 if more else 0), 0) + data + b"\0\0"


def payload(body):
    return struct.pack("<H", len(body) | 0x1000) + body


def fmmu_2(rng):
    logical = rng.choice([0x10000, 0xFFFFFFF0, rng.randrange(0x10000, 1 << 32)])
    physical = rng.choice([0xFFF8, 0xFFFF, rng.randrange(*RAM)])
    fields = struct.pack("<IHBBHBBB3x", logical, rng.choice([1, 16, 0xFFFF, rng.randrange(0x10000)]), 0, 7,
                         physical, 0, rng.randrange(1, 4), 1)
    return [(APWR, 0, 0x0620, fields), (rng.choice([LRD, LWR, LRW]), logical & 0xFFFF, logical >> 16,
                                        bytes(rng.choice([1, 16, 1400])))]


def sync_managers(rng):
    return [(APWR, 0, rng.choice([0x0810, 0x0818]), rng.randbytes(8))]


def accesses(rng):
    out = []
    for _ in range(rng.randrange(1, 4)):
        command = rng.choice([APRD, FPRD, BRD, APWR, FPWR, LRD, LWR, LRW])
        length = rng.choice([1, 2, 64, 400])
        if command in (LRD, LWR, LRW):
            logical = rng.randrange(0x10000, 1 << 32)  # beyond the master's process image
            out.append((command, logical & 0xFFFF, logical >> 16, bytes(length)))
        elif command in (APWR, FPWR):
            out.append((command, 0, rng.choice([0xFFF8, 0xFFFF, rng.randrange(*RAM)]), rng.randbytes(length)))
        else:
            out.append((command, rng.choice([0, 0x1001, 0xFFFF]), rng.randrange(0x10000), bytes(length)))
    return out


def structured(rng):
    datagrams = rng.choice([fmmu_2, sync_managers, accesses])(rng)
    body = b"".join(datagram(rng, *d, more=i < len(datagrams) - 1) for i, d in enumerate(datagrams))
    return payload(body)


def lying(rng):
    """Frames the drive must drop whole: false frame or datagram lengths, a promised datagram missing."""
    frame = bytearray(payload(datagram(rng, APWR, 0, 0x0120, b"\x01\x00", more=rng.random() < 0.5)))
    how = rng.randrange(3)
    if how == 0:
        struct.pack_into("<H", frame, 0, 0x1000 | rng.randrange(len(frame) - 1, 0x800))
    elif how == 1:
        struct.pack_into("<H", frame, 8, rng.randrange(len(frame), 0x800) | (frame[9] & 0x80) << 8)
    else:
        frame[9] |= 0x80  # more follows, nothing follows
    return bytes(frame)


def noise(rng):
    frame = bytearray(rng.randbytes(rng.randrange(0, 200)))
    if len(frame) >= 2:
        frame[1] = (frame[1] & 0x0F) | 0x40  # not a command frame
    return bytes(frame)


def wait_for_drive(raw, rng, sequence):
    """A NOP marker frame, resent until the drive's answer comes back: the flood goes at the
    drive's own pace, however loaded the machine."""
    marker = payload(datagram(rng, NOP, 0, 0, struct.pack("<Q", sequence), more=False))
    for _ in range(20):
        raw.send(HEADER + marker)
        resend = time.monotonic() + 1.0
        while select.select([raw], [], [], max(0.0, resend - time.monotonic()))[0]:
            frame = raw.recv(4096)
            if frame[6] == ANSWERED and frame[14:] == marker:
                return
            if time.monotonic() > resend:
                break
    raise RuntimeError("the drive stopped answering")


def main():
    interface, count, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    rng = random.Random(seed)
    raw = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETHERCAT))
    raw.bind((interface, ETHERCAT))
    kinds = {"structured": structured, "lying": lying, "noise": noise}
    sent = dict.fromkeys(kinds, 0)
    for n in range(count):
        name = rng.choice(["structured", "structured", "lying", "noise"])
        raw.send(HEADER + kinds[name](rng))
        sent[name] += 1
        if n % BURST == BURST - 1:
            wait_for_drive(raw, rng, n)
    wait_for_drive(raw, rng, count)
    print(json.dumps(sent))


if __name__ == "__main__":
    main()
