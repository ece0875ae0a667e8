"""Sends malformed EtherCAT frames on an interface, then one good frame, and prints how many
malformed frames it sent and how many answers the good frame got."""
import json
import select
import socket
import struct
import sys
import time

ETHERCAT = 0x88A4
HEADER = b"\xff" * 6 + b"\x01" * 6 + struct.pack("!H", ETHERCAT)


def datagram(command, address, data, more):
    return struct.pack("<BBIHH", command, 0x42, address, len(data) | (0x8000 if more else 0), 0) + data + b"\0\0"


def payload(*datagrams, kind=1):
    body = b"".join(datagrams)
    return struct.pack("<H", len(body) | kind << 12) + body


def main():
    raw = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETHERCAT))
    raw.bind((sys.argv[1], ETHERCAT))
    good = payload(datagram(7, 0, b"\0\0", True), datagram(1, 0x01300000, b"\0\0", False))
    malformed = [good[:n] for n in range(len(good))]                       # every truncation
    malformed.append(payload(datagram(7, 0, b"\0\0", False), kind=4))      # not a command frame
    malformed.append(payload(datagram(0x33, 0, b"\0\0", False)))           # unknown command
    malformed.append(payload(datagram(7, 0, b"\0\0", True)))               # a promised datagram missing
    malformed.append(struct.pack("<H", 0x17FF) + good[2:])                 # length beyond the frame
    bad_length = bytearray(good)
    struct.pack_into("<H", bad_length, 2 + 6, 0x07F0)                      # datagram longer than the frame
    malformed.append(bytes(bad_length))
    for frame in malformed:
        raw.send(HEADER + frame)
    raw.send(HEADER + good)
    answers = 0
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        if not select.select([raw], [], [], 0.2)[0]:
            if answers:
                break
            continue
        frame = raw.recv(2048)
        if frame[6:12] != HEADER[6:12] and frame[14:] and len(frame) == len(HEADER + good):
            answers += 1
    print(json.dumps({"malformed": len(malformed), "answered_after": answers}))


if __name__ == "__main__":
    main()
