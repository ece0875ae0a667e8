"""The slave information interface (SII) image of an EtherCAT device: the EEPROM contents a
master reads to learn the device's identity, its sync managers and its process data objects."""
from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import List, Sequence, Tuple

# Category types.
CATEGORY_STRINGS = 10
CATEGORY_GENERAL = 30
CATEGORY_FMMU = 40
CATEGORY_SYNC_MANAGER = 41
CATEGORY_TXPDO = 50  # inputs: device to master
CATEGORY_RXPDO = 51  # outputs: master to device
CATEGORY_END = 0xFFFF

FIRST_CATEGORY_WORD = 0x40

# Sync manager types in the SM category.
SM_TYPE_OUTPUTS = 3
SM_TYPE_INPUTS = 4
FMMU_OUTPUTS = 1
FMMU_INPUTS = 2


@dataclass(frozen=True)
class SyncManager:
    start: int
    length: int
    control: int
    sm_type: int

    def pack(self) -> bytes:
        # start, length, control register, status register, enable, type
        return struct.pack("<HHBBBB", self.start, self.length, self.control, 0, 1, self.sm_type)


@dataclass(frozen=True)
class Pdo:
    """One process data object: its index, sync manager and entries as (index, subindex, bits)."""

    index: int
    sync_manager: int
    entries: Sequence[Tuple[int, int, int]]
    name_index: int = 0

    def pack(self) -> bytes:
        out = bytearray(struct.pack("<HBBBBH", self.index, len(self.entries), self.sync_manager, 0,
                                    self.name_index, 0))
        for index, subindex, bits in self.entries:
            # index, subindex, name, data type (UNSIGNED8 per byte entry), bit length, flags
            out += struct.pack("<HBBBBH", index, subindex, 0, 0x05 if bits == 8 else 0, bits, 0)
        return bytes(out)


@dataclass
class DeviceInfo:
    vendor_id: int
    product_code: int
    revision: int
    serial: int
    name: str
    alias: int = 0
    sync_managers: List[SyncManager] = field(default_factory=list)
    rx_pdos: List[Pdo] = field(default_factory=list)
    tx_pdos: List[Pdo] = field(default_factory=list)
    strings: List[str] = field(default_factory=list)


def crc8(data: bytes) -> int:
    """The checksum of the ESC configuration words: CRC-8, polynomial x^8 + x^2 + x + 1, start 0xFF."""
    crc = 0xFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc


def _category(kind: int, data: bytes) -> bytes:
    if len(data) % 2:
        data += b"\x00"
    return struct.pack("<HH", kind, len(data) // 2) + data


def build_image(info: DeviceInfo) -> bytes:
    """The EEPROM image, words little-endian, with the given identity and categories."""
    # ESC configuration area: PDI control, PDI configuration, sync impulse, PDI configuration 2,
    # station alias, two reserved words, checksum over the first seven words.
    config = struct.pack("<HHHHHHH", 0x0005, 0x0000, 0x0000, 0x0000, info.alias, 0, 0)
    header = bytearray(config + struct.pack("<H", crc8(config)))
    header += struct.pack("<IIII", info.vendor_id, info.product_code, info.revision, info.serial)
    header += bytes(8)      # execution delay, port delays, reserved
    header += bytes(8)      # bootstrap mailbox: none
    header += bytes(8)      # standard mailbox: none
    header += struct.pack("<H", 0)  # mailbox protocols: none
    header += bytes(2 * (0x3E - len(header) // 2))
    header += struct.pack("<HH", 1, 1)  # EEPROM size (Kbit - 1), version
    assert len(header) == 2 * FIRST_CATEGORY_WORD

    strings = [info.name] + list(info.strings)
    table = bytearray([len(strings)])
    for text in strings:
        encoded = text.encode("ascii")[:255]
        table += bytes([len(encoded)]) + encoded
    general = bytearray(32)
    general[3] = 1  # name: string 1
    image = bytearray(header)
    image += _category(CATEGORY_STRINGS, bytes(table))
    image += _category(CATEGORY_GENERAL, bytes(general))
    image += _category(CATEGORY_FMMU, bytes([FMMU_OUTPUTS, FMMU_INPUTS]))
    image += _category(CATEGORY_SYNC_MANAGER, b"".join(sm.pack() for sm in info.sync_managers))
    if info.tx_pdos:
        image += _category(CATEGORY_TXPDO, b"".join(pdo.pack() for pdo in info.tx_pdos))
    if info.rx_pdos:
        image += _category(CATEGORY_RXPDO, b"".join(pdo.pack() for pdo in info.rx_pdos))
    image += struct.pack("<H", CATEGORY_END)
    return bytes(image)
