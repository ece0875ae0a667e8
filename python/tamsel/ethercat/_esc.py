"""An EtherCAT slave controller in software: register space, datagram processing, SII EEPROM
access, the AL state machine, sync managers and FMMUs.

:meth:`Esc.process` takes the EtherCAT payload of one Ethernet frame (after the Ethernet header),
processes each datagram as the only slave on the segment, and returns the payload to send back,
or None for a malformed frame (counted in :attr:`Esc.dropped`; nothing of it is processed).
The device's application sees the memory through :meth:`Esc.read` and :meth:`Esc.write_local`
and learns of new outputs from :attr:`Esc.outputs_written`."""
from __future__ import annotations

import enum
import struct
from typing import Callable, Optional, Sequence

from tamsel.ethercat._sii import SyncManager

MEMORY_SIZE = 0x10000
FRAME_HEADER = struct.Struct("<H")
DATAGRAM_HEADER = struct.Struct("<BBHHHH")  # command, index, ADP, ADO, length/flags, IRQ
WKC = struct.Struct("<H")
ECAT_TYPE_COMMANDS = 1
MORE_FOLLOWS = 0x8000
LENGTH_MASK = 0x07FF

# Registers.
REG_TYPE = 0x0000
REG_STATION_ADDRESS = 0x0010
REG_STATION_ALIAS = 0x0012
REG_DL_CONTROL = 0x0100
REG_DL_STATUS = 0x0110
REG_AL_CONTROL = 0x0120
REG_AL_STATUS = 0x0130
REG_AL_STATUS_CODE = 0x0134
REG_PDI_CONTROL = 0x0140
REG_EEPROM_CONFIG = 0x0500
REG_EEPROM_CONTROL = 0x0502
REG_EEPROM_ADDRESS = 0x0504
REG_EEPROM_DATA = 0x0508
REG_FMMU = 0x0600
REG_SYNC_MANAGER = 0x0800
FMMU_COUNT = 3
SYNC_MANAGER_COUNT = 4
FMMU = struct.Struct("<IHBBHBBB3x")  # logical start, length, start/end bit, physical start/bit, type, active
SYNC_MANAGER = struct.Struct("<HHBBBB")

# Read-only ranges: written by the device, never by the master.
READ_ONLY = ((0x0000, 0x0010), (REG_DL_STATUS, REG_DL_STATUS + 2), (REG_AL_STATUS, REG_AL_STATUS + 6),
             (REG_PDI_CONTROL, REG_PDI_CONTROL + 2), (REG_EEPROM_DATA, REG_EEPROM_DATA + 8))

EEPROM_READ, EEPROM_WRITE, EEPROM_RELOAD = 1, 2, 4
EEPROM_READ_8_BYTES = 0x0040
EEPROM_COMMAND_ERROR = 0x2000


class Command(enum.IntEnum):
    NOP = 0
    APRD = 1
    APWR = 2
    APRW = 3
    FPRD = 4
    FPWR = 5
    FPRW = 6
    BRD = 7
    BWR = 8
    BRW = 9
    LRD = 10
    LWR = 11
    LRW = 12
    ARMW = 13
    FRMW = 14


class AlState(enum.IntEnum):
    INIT = 0x01
    PRE_OP = 0x02
    BOOT = 0x03
    SAFE_OP = 0x04
    OP = 0x08


AL_ERROR = 0x10


class AlStatusCode(enum.IntEnum):
    NO_ERROR = 0x0000
    INVALID_STATE_CHANGE = 0x0011
    UNKNOWN_STATE = 0x0012
    BOOTSTRAP_NOT_SUPPORTED = 0x0013
    INVALID_MAILBOX_CONFIGURATION = 0x0016
    INVALID_SYNC_MANAGER_CONFIGURATION = 0x0017
    INVALID_OUTPUT_CONFIGURATION = 0x001D
    INVALID_INPUT_CONFIGURATION = 0x001E


# Transitions a device performs on request; the others are refused with INVALID_STATE_CHANGE.
_ALLOWED = {
    AlState.INIT: {AlState.INIT, AlState.PRE_OP},
    AlState.PRE_OP: {AlState.INIT, AlState.PRE_OP, AlState.SAFE_OP},
    AlState.SAFE_OP: {AlState.INIT, AlState.PRE_OP, AlState.SAFE_OP, AlState.OP},
    AlState.OP: {AlState.INIT, AlState.PRE_OP, AlState.SAFE_OP, AlState.OP},
}

_READS = {Command.APRD, Command.FPRD, Command.BRD, Command.LRD}
_WRITES = {Command.APWR, Command.FPWR, Command.BWR, Command.LWR}
_READ_WRITES = {Command.APRW, Command.FPRW, Command.BRW, Command.LRW}


class Esc:
    """One slave controller with its memory, EEPROM and process-data sync managers.

    ``outputs`` and ``inputs`` are the sync managers the device expects the master to set up
    for its process data (from its SII); the SAFE-OP request is refused unless they are."""

    def __init__(self, eeprom: bytes, outputs: SyncManager, inputs: SyncManager,
                 on_state_change: Optional[Callable[[AlState, AlState], None]] = None):
        self.memory = bytearray(MEMORY_SIZE)
        self.eeprom = bytearray(eeprom)
        self.outputs = outputs
        self.inputs = inputs
        self.on_state_change = on_state_change
        self.frames = 0
        self.dropped = 0
        self.outputs_written = False
        # type, revision, build, FMMUs, sync managers, RAM (KiB), ports, features (no distributed clocks)
        struct.pack_into("<BBHBBBBH", self.memory, REG_TYPE, 0x11, 0x01, 0x0001, FMMU_COUNT, SYNC_MANAGER_COUNT,
                         8, 0x0F, 0x0000)
        # PDI operational, link and communication on port 0, ports 1 to 3 closed
        struct.pack_into("<H", self.memory, REG_DL_STATUS, 0x5611)
        struct.pack_into("<H", self.memory, REG_PDI_CONTROL, self._eeprom_word(0))
        struct.pack_into("<H", self.memory, REG_STATION_ALIAS, self._eeprom_word(4))
        struct.pack_into("<H", self.memory, REG_EEPROM_CONTROL, EEPROM_READ_8_BYTES)
        self._set_al_status(AlState.INIT, AlStatusCode.NO_ERROR, error=False)

    # -- state -----------------------------------------------------------------------------

    @property
    def al_state(self) -> AlState:
        return AlState(self.memory[REG_AL_STATUS] & 0x0F)

    @property
    def al_error(self) -> bool:
        return bool(self.memory[REG_AL_STATUS] & AL_ERROR)

    @property
    def al_status_code(self) -> int:
        return struct.unpack_from("<H", self.memory, REG_AL_STATUS_CODE)[0]

    @property
    def station_address(self) -> int:
        return struct.unpack_from("<H", self.memory, REG_STATION_ADDRESS)[0]

    def read(self, start: int, length: int) -> bytes:
        return bytes(self.memory[start:start + length])

    def write_local(self, start: int, data: bytes) -> None:
        """The device's own write (its inputs), bypassing the master's access rules."""
        self.memory[start:start + len(data)] = data

    def fail(self, code: int, state: AlState = AlState.SAFE_OP) -> None:
        """A local error: drops to ``state`` (when lower) with the error flag and ``code``."""
        self._enter(min(self.al_state, state, key=int), code, error=True)

    def _set_al_status(self, state: AlState, code: int, error: bool) -> None:
        struct.pack_into("<HxxH", self.memory, REG_AL_STATUS, int(state) | (AL_ERROR if error else 0), code)

    def _enter(self, state: AlState, code: int, error: bool) -> None:
        previous = self.al_state
        self._set_al_status(state, code, error)
        if state != previous and self.on_state_change is not None:
            self.on_state_change(previous, state)

    # -- AL control ------------------------------------------------------------------------

    def _al_control(self) -> None:
        value = struct.unpack_from("<H", self.memory, REG_AL_CONTROL)[0]
        requested, acknowledge = value & 0x0F, bool(value & AL_ERROR)
        current, error = self.al_state, self.al_error
        code = self.al_status_code
        if error:
            if not acknowledge and requested > current:
                return  # an unacknowledged error blocks every step up
            if acknowledge:
                error, code = False, AlStatusCode.NO_ERROR
        if requested not in AlState._value2member_map_:
            self._enter(current, AlStatusCode.UNKNOWN_STATE, error=True)
            return
        target = AlState(requested)
        if target is AlState.BOOT:
            self._enter(current, AlStatusCode.BOOTSTRAP_NOT_SUPPORTED, error=True)
            return
        if target not in _ALLOWED[current]:
            self._enter(current, AlStatusCode.INVALID_STATE_CHANGE, error=True)
            return
        if target in (AlState.SAFE_OP, AlState.OP):
            refusal = self._process_data_refusal()
            if refusal:
                self._enter(current, refusal, error=True)
                return
        self._enter(target, code, error)

    def _sync_manager(self, number: int):
        return SYNC_MANAGER.unpack_from(self.memory, REG_SYNC_MANAGER + 8 * number)

    def _process_data_refusal(self) -> int:
        for number, (expected, code) in enumerate(((self.outputs, AlStatusCode.INVALID_OUTPUT_CONFIGURATION),
                                                   (self.inputs, AlStatusCode.INVALID_INPUT_CONFIGURATION))):
            start, length, control, _, activate, _ = self._sync_manager(number)
            if (start, length, control & 0x0F) != (expected.start, expected.length, expected.control & 0x0F) \
                    or not activate & 1:
                return code
        return AlStatusCode.NO_ERROR

    # -- EEPROM ----------------------------------------------------------------------------

    def _eeprom_word(self, address: int) -> int:
        offset = 2 * address
        if offset + 2 > len(self.eeprom):
            return 0xFFFF
        return self.eeprom[offset] | self.eeprom[offset + 1] << 8

    def _eeprom_control(self) -> None:
        control = struct.unpack_from("<H", self.memory, REG_EEPROM_CONTROL)[0]
        command = (control >> 8) & 0x07
        address = struct.unpack_from("<I", self.memory, REG_EEPROM_ADDRESS)[0]
        status = EEPROM_READ_8_BYTES | (control & 0x0001)
        if command == EEPROM_READ:
            self.memory[REG_EEPROM_DATA:REG_EEPROM_DATA + 8] = struct.pack(
                "<4H", *(self._eeprom_word(address + i) for i in range(4)))
        elif command == EEPROM_WRITE:
            if control & 0x0001 and 2 * address + 2 <= len(self.eeprom):
                self.eeprom[2 * address:2 * address + 2] = self.memory[REG_EEPROM_DATA:REG_EEPROM_DATA + 2]
            else:
                status |= EEPROM_COMMAND_ERROR
        elif command == EEPROM_RELOAD:
            struct.pack_into("<H", self.memory, REG_STATION_ALIAS, self._eeprom_word(4))
        elif command != 0:
            status |= EEPROM_COMMAND_ERROR
        struct.pack_into("<H", self.memory, REG_EEPROM_CONTROL, status)

    # -- register access -------------------------------------------------------------------

    def _write_registers(self, start: int, data: memoryview) -> None:
        end = start + len(data)
        saved = [(low, bytes(self.memory[low:high])) for low, high in READ_ONLY if low < end and start < high]
        self.memory[start:end] = data
        for low, content in saved:
            self.memory[low:low + len(content)] = content
        if start < REG_EEPROM_CONTROL + 2 and REG_EEPROM_CONTROL < end:
            self._eeprom_control()
        if start < REG_AL_CONTROL + 2 and REG_AL_CONTROL < end:
            self._al_control()
        outputs = self.outputs
        if start < outputs.start + outputs.length and outputs.start < end:
            self.outputs_written = True

    def _register(self, command: Command, offset: int, data: memoryview) -> int:
        """A register read, write or both at ``offset``; returns the working counter increment."""
        length = len(data)
        if offset + length > MEMORY_SIZE:
            return 0
        old = bytes(self.memory[offset:offset + length])
        if command in _WRITES:
            self._write_registers(offset, data)
            return 1
        if command in _READ_WRITES:
            self._write_registers(offset, bytes(data))
            data[:] = old
            return 3
        if command is Command.BRD:
            data[:] = bytes(a | b for a, b in zip(data, old))
        else:
            data[:] = old
        return 1

    # -- logical access through the FMMUs ----------------------------------------------------

    def _logical(self, command: Command, address: int, data: memoryview) -> int:
        counter = 0
        end = address + len(data)
        mappings = []
        for number in range(FMMU_COUNT):
            logical, length, _, _, physical, _, kind, active = FMMU.unpack_from(self.memory, REG_FMMU + 16 * number)
            low, high = max(address, logical), min(end, logical + length)
            if not (active & 1 and length and low < high):
                continue
            # What an FMMU maps beyond the end of the memory is not there: clipped.
            start = physical + low - logical
            count = min(high - low, MEMORY_SIZE - start)
            if count > 0:
                mappings.append((kind, start, low - address, count))
        if command in (Command.LWR, Command.LRW):
            for kind, physical, at, count in mappings:
                if kind & 2:
                    self._write_registers(physical, data[at:at + count])
                    counter |= 2
        if command in (Command.LRD, Command.LRW):
            for kind, physical, at, count in mappings:
                if kind & 1:
                    data[at:at + count] = self.memory[physical:physical + count]
                    counter |= 1
        return counter

    # -- frames ----------------------------------------------------------------------------

    @staticmethod
    def _datagrams(payload: memoryview) -> Optional[Sequence[int]]:
        """Offsets of the datagrams of a well-formed EtherCAT payload, or None."""
        if len(payload) < FRAME_HEADER.size:
            return None
        header = FRAME_HEADER.unpack_from(payload)[0]
        total = header & LENGTH_MASK
        if header >> 12 != ECAT_TYPE_COMMANDS or total + 2 > len(payload) or total < 12:
            return None
        offsets, at, end = [], 2, total + 2
        while True:
            if at + DATAGRAM_HEADER.size > end:
                return None
            command, _, _, _, flags, _ = DATAGRAM_HEADER.unpack_from(payload, at)
            next_at = at + DATAGRAM_HEADER.size + (flags & LENGTH_MASK) + WKC.size
            if next_at > end or command not in Command._value2member_map_:
                return None
            offsets.append(at)
            at = next_at
            if not flags & MORE_FOLLOWS:
                return offsets

    def process(self, payload: bytes) -> Optional[bytearray]:
        """Processes the datagrams of one frame's EtherCAT payload; returns the payload to send on."""
        frame = bytearray(payload)
        view = memoryview(frame)
        offsets = self._datagrams(view)
        if offsets is None:
            self.dropped += 1
            return None
        self.frames += 1
        for at in offsets:
            command, _, adp, ado, flags, _ = DATAGRAM_HEADER.unpack_from(frame, at)
            command = Command(command)
            start = at + DATAGRAM_HEADER.size
            data = view[start:start + (flags & LENGTH_MASK)]
            counter = 0
            if command in (Command.APRD, Command.APWR, Command.APRW):
                if adp == 0:
                    counter = self._register(command, ado, data)
                struct.pack_into("<H", frame, at + 2, (adp + 1) & 0xFFFF)
            elif command in (Command.FPRD, Command.FPWR, Command.FPRW):
                if adp == self.station_address:
                    counter = self._register(command, ado, data)
            elif command in (Command.ARMW, Command.FRMW):
                # the addressed slave reads, every other one writes what it read
                addressed = adp == 0 if command is Command.ARMW else adp == self.station_address
                counter = self._register(Command.APRD if addressed else Command.APWR, ado, data)
                if command is Command.ARMW:
                    struct.pack_into("<H", frame, at + 2, (adp + 1) & 0xFFFF)
            elif command in (Command.BRD, Command.BWR, Command.BRW):
                counter = self._register(command, ado, data)
                struct.pack_into("<H", frame, at + 2, (adp + 1) & 0xFFFF)
            elif command in (Command.LRD, Command.LWR, Command.LRW):
                counter = self._logical(command, adp | ado << 16, data)
            wkc_at = start + len(data)
            WKC.pack_into(frame, wkc_at, (WKC.unpack_from(frame, wkc_at)[0] + counter) & 0xFFFF)
        data = None
        view.release()
        return frame
