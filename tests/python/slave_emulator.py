"""A pure-Python FSoE slave for the tests.

The emulator answers the master's requests the way a correct safety slave does, with its own
frame and CRC code (nothing of the package under test is imported), so that the master can be
checked against an independent peer.

Typical use::

    slave = SlaveEmulator(slave_address=5, connection_id=7, watchdog_ms=100,
                          outputs_size=2, inputs_size=2, app_params=[(0x12, 1)])
    handler.start()
    for _ in range(cycles):
        handler.set_reply(slave.reply(handler.get_request()))
    assert slave.phase is Phase.DATA and not slave.rejections

Configuration (constructor, all keyword-only):

- ``slave_address``, ``connection_id``, ``watchdog_ms``: what the slave expects the master to
  send in the Connection and Parameter phases.
- ``outputs_size``: safe-data bytes of the master's frames (1 or an even number 2..16);
  ``inputs_size``: safe-data bytes of the slave's frames. Start-up data moves
  ``min(outputs_size, inputs_size)`` bytes per frame in both directions.
- ``app_params``: the expected application parameters, a sequence of ``(raw_value, n_bytes)``
  pairs in transfer order (``raw_value`` is the unsigned integer form, sent low byte first).
- ``session_id``: the slave's own session id (random when omitted).
- ``supervise_watchdog``: answer a master frame that arrives more than ``watchdog_ms`` after
  the previous new one (from the first Session frame on, until a reset) with ``WD_EXPIRED``;
  ``reply(request, now_ms)`` takes the arrival time from the caller's millisecond clock, the
  monotonic clock when ``now_ms`` is None. Off by default.

``reply(request: bytes) -> bytes`` takes the master's frame image and returns the slave's.
A request equal to the last one processed is not a new frame: the last reply is returned again
and nothing changes, as on the bus where the slave sees the same PDU every cycle.

Phases (``phase``, a :class:`Phase`): ``RESET`` after power-up and after every reset (the
slave expects a Session or Reset frame with sequence number 1 and CRC_0 reference 0),
``SESSION``, ``CONNECTION``, ``PARAMETER``, ``DATA``. What the slave sends:

- to a master Reset frame: a Reset frame with error code 0 (acknowledgement); the slave resets;
- in the Session phase: Session frames carrying its own session id, chunk by chunk;
- in the Connection and Parameter phases: frames of the same command echoing the chunk just
  received (the first ``min(outputs_size, inputs_size)`` safe bytes);
- in the Data phase: PROCESS_DATA frames with ``inputs``, or FAILSAFE_DATA frames with zero
  data while ``fail_safe`` is true.

Every slave frame uses the CRC_0 of the request it answers as reference, its own sequence
number (1 after each reset, stepped by every frame) and the cyclic rule against its previous
CRC_0; it carries connection id 0 in Reset and Session frames, ``connection_id`` otherwise.
A Reset frame is keyed as the first frame of a connection, like the master's: sequence number
1, reference 0, no cyclic step; so the same error code always gives the same bytes, and a
master Reset delivered twice is acknowledged with one frame the master sees once.
A Session frame keyed as the first of a session (sequence 1, reference 0) while a session is
half open opens a new session, answered as the half-open one's opening frame was.

Checks of every master frame, in this order; a failed check is appended to ``rejections`` as a
:class:`Rejection` and answered with a Reset frame carrying the error code, after which the
slave is in ``RESET``:

1. image length fits ``outputs_size`` (``INVALID_CRC`` otherwise);
2. the command is an FSoE command (``UNKNOWN_CMD``);
3. a Reset frame: CRC (sequence 1, reference 0, plain rule) and connection id 0; it resets the
   slave whatever it holds (a failed check is still recorded);
4. with ``supervise_watchdog``, the time since the previous new frame (``WD_EXPIRED``);
   then the command is allowed in the slave's phase (``INVALID_CMD``): Session after a reset or in
   Session; Connection once the session id is through and while connection data is missing;
   Parameter once the connection data is through and while parameter data is missing;
   PROCESS_DATA and FAILSAFE_DATA once all parameter data is through;
5. the CRCs, with the expected sequence number, the slave's last CRC_0 as reference and the
   cyclic rule once the master uses it (from its first Connection frame on, until it resets)
   (``INVALID_CRC``);
6. the connection id: 0 in Session frames, ``connection_id`` otherwise (``INVALID_CONNID``);
7. the streamed data, byte by byte as it arrives: connection id (``INVALID_CONNID``), slave
   address (``INVALID_ADDRESS``), communication parameter length 2 (``INVALID_COMMPARALEN``),
   watchdog time (``INVALID_COMPARA``), application parameter length
   (``INVALID_USERPARALEN``), application parameters (``INVALID_USERPARA``).

What the slave received: ``outputs`` (safe data of the last Data frame, ``outputs_size``
bytes), ``outputs_fail_safe`` (that frame was FAILSAFE_DATA), ``master_session_id``,
``master_error`` (error code of the last master Reset frame), ``requests`` (new frames
processed), ``rejections``. What it sends: ``inputs`` (settable, ``inputs_size`` bytes),
``fail_safe`` (settable), ``replies`` (list of every new reply, with its :class:`Fault`).

Fault injection. Each of the first seven applies to the next new reply, whatever it is (also
a Reset frame the slave sends), in the order they were injected:

- ``corrupt_crc(slot=0)``: flip the CRC word of one slot;
- ``corrupt_connection_id()``: change the connection id after the CRCs were computed
  (``^ 0x5A5A``), as a corruption on the wire would;
- ``send_connection_id(connection_id)``: send this connection id, CRCs computed over it (a
  frame of another connection, not a corruption the CRCs would reveal);
- ``send_size(size)``: send a frame of this many safe-data bytes (1 or even 2..16), the safe
  data cut or padded with zeros, CRCs computed over it;
- ``send_command(code)``: send this command byte (a valid command of another phase or an
  unknown byte) in place of the right one, CRCs computed over it;
- ``send_reset(error)``: send a Reset frame with this error code in place of the answer, and
  reset the slave;
- ``corrupt_echo()``: flip the first echoed byte of the next Connection or Parameter reply
  (stays pending until such a reply);
- ``silence(cycles)``: answer nothing new for this many calls (the last reply is returned
  again and the request is left unprocessed, so it is answered afterwards);
- ``fail_safe = True``: answer Data frames with FAILSAFE_DATA until set back to False.

The slave carries on after a faulty reply as if it had sent the right one; the master's
reaction (a Reset frame, mostly) brings it back.
``pending_faults()`` tells whether an injected fault has not been sent yet; ``clear_faults()``
drops them.
"""
from __future__ import annotations

import enum
import random
import time
from dataclasses import dataclass
from typing import Optional, Sequence


class Command(enum.IntEnum):
    PROCESS_DATA = 0x36
    RESET = 0x2A
    SESSION = 0x4E
    CONNECTION = 0x64
    PARAMETER = 0x52
    FAILSAFE_DATA = 0x08


class Error(enum.IntEnum):
    RESET = 0
    INVALID_CMD = 1
    UNKNOWN_CMD = 2
    INVALID_CONNID = 3
    INVALID_CRC = 4
    WD_EXPIRED = 5
    INVALID_ADDRESS = 6
    INVALID_DATA = 7
    INVALID_COMMPARALEN = 8
    INVALID_COMPARA = 9
    INVALID_USERPARALEN = 10
    INVALID_USERPARA = 11


class Phase(enum.Enum):
    RESET = "RESET"
    SESSION = "SESSION"
    CONNECTION = "CONNECTION"
    PARAMETER = "PARAMETER"
    DATA = "DATA"


class Fault(enum.Enum):
    NONE = "none"
    CORRUPT_CRC = "corrupt_crc"
    CORRUPT_CONNECTION_ID = "corrupt_connection_id"
    CONNECTION_ID = "connection_id"
    SIZE = "size"
    COMMAND = "command"
    CORRUPT_ECHO = "corrupt_echo"
    RESET = "reset"


# --- CRC -------------------------------------------------------------------------------------

CRC16_POLYNOMIAL = 0x39B7


def _crc16_table():
    table = []
    for k in range(256):
        reg = k << 8
        for _ in range(8):
            reg = ((reg << 1) ^ CRC16_POLYNOMIAL) if reg & 0x8000 else (reg << 1)
            reg &= 0xFFFF
        table.append(reg)
    return table


_TABLE16 = _crc16_table()


def crc16(data: bytes, crc: int = 0) -> int:
    """CRC-16, polynomial 0x39B7, most significant bit first, no reflection, no final XOR."""
    for b in data:
        crc = ((crc << 8) & 0xFFFF) ^ _TABLE16[((crc >> 8) ^ b) & 0xFF]
    return crc


def crc16_bitwise(data: bytes, crc: int = 0) -> int:
    """The same CRC computed bit by bit (a cross-check of the table)."""
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ CRC16_POLYNOMIAL) if crc & 0x8000 else (crc << 1)
            crc &= 0xFFFF
    return crc


def slot_crc(command: int, sequence: int, connection_id: int, crc0: int, safe: bytes, index: int) -> int:
    """CRC of slot ``index`` of a frame whose safe data is ``safe`` (its full size)."""
    head = bytes((crc0 & 0xFF, crc0 >> 8, connection_id & 0xFF, connection_id >> 8,
                  sequence & 0xFF, sequence >> 8, command & 0xFF))
    if index == 0:
        body = safe[0:1] if len(safe) == 1 else safe[0:2]
    else:
        body = bytes((index & 0xFF, index >> 8)) + safe[2 * index:2 * index + 2]
    return crc16(head + body + b"\x00\x00\x00")


def slot_count(size: int) -> int:
    return (size + 1) // 2


def image_length(size: int) -> int:
    return 2 * slot_count(size) + size + 3


def next_sequence(sequence: int) -> int:
    return 1 if sequence == 0xFFFF else sequence + 1


# --- Frames ----------------------------------------------------------------------------------

@dataclass
class Frame:
    """One frame: its command, connection id, safe data and CRC words as they travel."""

    command: int
    connection_id: int
    safe: bytes
    crcs: list

    def image(self) -> bytes:
        size = len(self.safe)
        out = bytearray([self.command & 0xFF])
        for slot in range(slot_count(size)):
            out += self.safe[2 * slot:2 * slot + 2]
            out += self.crcs[slot].to_bytes(2, "little")
        out += self.connection_id.to_bytes(2, "little")
        return bytes(out)

    @classmethod
    def parse(cls, image: bytes, size: int) -> "Frame":
        """Parses an image of exactly ``image_length(size)`` bytes."""
        if len(image) != image_length(size):
            raise ValueError(f"a frame of {size} safe bytes has {image_length(size)} bytes, got {len(image)}")
        safe = bytearray()
        crcs = []
        pos = 1
        for slot in range(slot_count(size)):
            width = 1 if size - 2 * slot == 1 else 2
            safe += image[pos:pos + width]
            pos += width
            crcs.append(int.from_bytes(image[pos:pos + 2], "little"))
            pos += 2
        return cls(image[0], int.from_bytes(image[pos:pos + 2], "little"), bytes(safe), crcs)

    def expected_crcs(self, sequence: int, crc0: int) -> list:
        return [slot_crc(self.command, sequence, self.connection_id, crc0, self.safe, i)
                for i in range(slot_count(len(self.safe)))]

    @property
    def crc0(self) -> int:
        return self.crcs[0] if self.crcs else 0


def build_frame(command: int, connection_id: int, safe: bytes, sequence: int, crc0: int,
                last_crc0: Optional[int] = None) -> tuple:
    """Builds a frame with its CRCs; with ``last_crc0`` given, the cyclic rule steps the
    sequence number until CRC_0 differs from it. Returns ``(frame, sequence used)``."""
    frame = Frame(command, connection_id, bytes(safe), [])
    frame.crcs = frame.expected_crcs(sequence, crc0)
    while last_crc0 is not None and frame.crcs and frame.crcs[0] == last_crc0:
        sequence = next_sequence(sequence)
        frame.crcs = frame.expected_crcs(sequence, crc0)
    return frame, sequence


def check_frame(frame: Frame, sequence: int, crc0: int, last_crc0: Optional[int] = None) -> tuple:
    """Checks a received frame's CRCs; with ``last_crc0`` given, the cyclic rule steps the
    sequence number first. Returns ``(valid, sequence used)``."""
    if last_crc0 is not None:
        while slot_crc(frame.command, sequence, frame.connection_id, crc0, frame.safe, 0) == last_crc0:
            sequence = next_sequence(sequence)
    return frame.expected_crcs(sequence, crc0) == frame.crcs, sequence


# --- The slave -------------------------------------------------------------------------------

@dataclass(frozen=True)
class Rejection:
    """A master frame the slave refused: the error code it answered with and why."""

    error: Error
    reason: str
    request: bytes


@dataclass(frozen=True)
class Reply:
    """A new reply the slave sent: its image, command, and the fault injected into it."""

    image: bytes
    command: int
    fault: Fault
    phase: Phase


_DATA_COMMANDS = (Command.PROCESS_DATA, Command.FAILSAFE_DATA)
_VALID_CODES = frozenset(int(c) for c in Command)


class SlaveEmulator:
    """A correct FSoE slave answering master frame images; see the module docstring."""

    def __init__(self, *, slave_address: int, connection_id: int, watchdog_ms: int,
                 outputs_size: int, inputs_size: int,
                 app_params: Sequence[tuple] = (), session_id: Optional[int] = None,
                 supervise_watchdog: bool = False):
        for name, size in (("outputs_size", outputs_size), ("inputs_size", inputs_size)):
            if size != 1 and not (size % 2 == 0 and 2 <= size <= 16):
                raise ValueError(f"{name} must be 1 or an even number 2..16, got {size}")
        self.slave_address = slave_address
        self.connection_id = connection_id
        self.watchdog_ms = watchdog_ms
        self.supervise_watchdog = supervise_watchdog
        self._last_frame_ms = 0
        self.outputs_size = outputs_size
        self.inputs_size = inputs_size
        self.chunk = min(outputs_size, inputs_size)
        self.app_params = [(int(v), int(n)) for v, n in app_params]
        self.session_id = random.randint(0, 0xFFFF) if session_id is None else session_id

        self.connection_stream = connection_id.to_bytes(2, "little") + slave_address.to_bytes(2, "little")
        app_bytes = b"".join(v.to_bytes(n, "little") for v, n in self.app_params)
        self.parameter_stream = ((2).to_bytes(2, "little") + watchdog_ms.to_bytes(2, "little")
                                 + len(app_bytes).to_bytes(2, "little") + app_bytes)
        # Which error code a wrong byte at each position of the parameter stream gives.
        self._parameter_errors = ([Error.INVALID_COMMPARALEN] * 2 + [Error.INVALID_COMPARA] * 2
                                  + [Error.INVALID_USERPARALEN] * 2 + [Error.INVALID_USERPARA] * len(app_bytes))

        self.inputs = bytes(inputs_size)
        self.fail_safe = False
        self.outputs = bytes(outputs_size)
        self.outputs_fail_safe = True
        self.master_session_id: Optional[int] = None
        self.master_error: Optional[int] = None
        self.requests = 0
        self.rejections: list = []
        self.replies: list = []

        self._faults: list = []
        self._echo_fault = False
        self._silent_cycles = 0
        self._last_request: Optional[bytes] = None
        self._last_reply = b""
        # Transmit side: own sequence number and last CRC_0 (cyclic rule).
        self._tx_sequence = 1
        self._tx_last_crc0: Optional[int] = None
        self._session_start_crc0: Optional[int] = None  # _tx_last_crc0 when the session began
        # Receive side: what the master's next frame must be keyed with.
        self._rx_last_crc0: Optional[int] = None
        self._master_cyclic = False
        self._reset_link()

    # -- fault injection --------------------------------------------------------------------

    def corrupt_crc(self, slot: int = 0) -> None:
        self._faults.append((Fault.CORRUPT_CRC, slot))

    def corrupt_connection_id(self) -> None:
        self._faults.append((Fault.CORRUPT_CONNECTION_ID, None))

    def send_connection_id(self, connection_id: int) -> None:
        self._faults.append((Fault.CONNECTION_ID, int(connection_id)))

    def send_size(self, size: int) -> None:
        if size != 1 and not (size % 2 == 0 and 2 <= size <= 16):
            raise ValueError(f"size must be 1 or an even number 2..16, got {size}")
        self._faults.append((Fault.SIZE, int(size)))

    def send_command(self, code: int) -> None:
        self._faults.append((Fault.COMMAND, int(code)))

    def corrupt_echo(self) -> None:
        self._echo_fault = True

    def send_reset(self, error: int) -> None:
        self._faults.append((Fault.RESET, int(error)))

    def silence(self, cycles: int) -> None:
        self._silent_cycles += cycles

    def clear_faults(self) -> None:
        self._faults.clear()
        self._echo_fault = False
        self._silent_cycles = 0

    def pending_faults(self) -> bool:
        return bool(self._faults) or self._echo_fault or self._silent_cycles > 0

    # -- the cycle --------------------------------------------------------------------------

    def reply(self, request: bytes, now_ms: Optional[int] = None) -> bytes:
        """Answers one master frame image arriving at ``now_ms`` (the monotonic clock when
        None); see the module docstring."""
        if self._silent_cycles > 0:
            self._silent_cycles -= 1
            return self._last_reply
        if request == self._last_request:
            return self._last_reply
        self._last_request = bytes(request)
        self.requests += 1
        now_ms = time.monotonic_ns() // 1_000_000 if now_ms is None else now_ms
        expired = (self.supervise_watchdog and self._phase != Phase.RESET
                   and now_ms - self._last_frame_ms > self.watchdog_ms)
        self._last_frame_ms = now_ms
        fault = self._faults.pop(0) if self._faults else (Fault.NONE, None)
        frame, error, reason = self._receive(request, expired)
        if error is not None:
            self.rejections.append(Rejection(error, reason, bytes(request)))
        if fault[0] == Fault.RESET:
            out = self._send_reset(fault[1], fault)
        elif error is not None:
            out = self._send_reset(error, fault)
        elif frame.command == Command.RESET:
            out = self._send_reset(Error.RESET, fault)
        else:
            out = self._answer(frame, fault)
        self._last_reply = out
        return out

    @property
    def phase(self) -> Phase:
        return self._phase

    @property
    def sequence_number(self) -> int:
        """Sequence number of the slave's next frame."""
        return self._tx_sequence

    # -- receiving --------------------------------------------------------------------------

    def _reset_link(self) -> None:
        self._phase = Phase.RESET
        self._tx_sequence = 1
        self._rx_sequence = 1
        self._rx_crc0 = 0
        self._session_bytes = 0
        self._connection_received = b""
        self._parameter_received = b""
        self._session_sent = 0

    def _receive(self, request: bytes, expired: bool):
        """Parses and checks a master frame; returns (frame or None, error or None, reason)."""
        if len(request) != image_length(self.outputs_size):
            return None, Error.INVALID_CRC, f"frame of {len(request)} bytes, expected {image_length(self.outputs_size)}"
        frame = Frame.parse(request, self.outputs_size)
        crc0_key = self._rx_crc0
        last_master_crc0 = self._rx_last_crc0
        self._rx_last_crc0 = frame.crc0
        if frame.command not in _VALID_CODES:
            return frame, Error.UNKNOWN_CMD, f"unknown command 0x{frame.command:02X}"
        command = Command(frame.command)
        if command == Command.RESET:
            self._master_cyclic = False
            self.master_error = int.from_bytes(frame.safe[:2], "little")
            valid, _ = check_frame(frame, 1, 0)
            if not valid:
                self.rejections.append(Rejection(Error.INVALID_CRC, "invalid CRC in a Reset frame", bytes(request)))
            elif frame.connection_id != 0:
                text = f"connection id {frame.connection_id} in a Reset frame"
                self.rejections.append(Rejection(Error.INVALID_CONNID, text, bytes(request)))
            return frame, None, ""
        if expired:
            return frame, Error.WD_EXPIRED, f"watchdog expired: no frame for more than {self.watchdog_ms} ms"
        if not self._allowed(command):
            return frame, Error.INVALID_CMD, f"{command.name} not allowed in phase {self._phase.value}"
        if command == Command.CONNECTION:
            self._master_cyclic = True
        valid, used = check_frame(frame, self._rx_sequence, crc0_key,
                                  last_master_crc0 if self._master_cyclic else None)
        if not valid and command == Command.SESSION and self._phase == Phase.SESSION and check_frame(frame, 1, 0)[0]:
            # Keyed as the first frame of a session: the master opened a new one. Start it as
            # the half-open one started, so a repeated opening frame gets the same answer.
            self._reset_link()
            self._tx_last_crc0 = self._session_start_crc0
            valid, used = True, 1
        if not valid:
            return frame, Error.INVALID_CRC, f"invalid CRC ({command.name}, sequence {self._rx_sequence})"
        self._rx_sequence = next_sequence(used)
        expected_id = 0 if command == Command.SESSION else self.connection_id
        if frame.connection_id != expected_id:
            return frame, Error.INVALID_CONNID, f"connection id {frame.connection_id} != {expected_id}"
        return frame, self._take_data(command, frame), ""

    def _allowed(self, command: Command) -> bool:
        phase = self._phase
        if command == Command.SESSION:
            return phase in (Phase.RESET, Phase.SESSION)
        if command == Command.CONNECTION:
            return ((phase == Phase.SESSION and self._session_bytes >= 2)
                    or (phase == Phase.CONNECTION and len(self._connection_received) < len(self.connection_stream)))
        if command == Command.PARAMETER:
            return ((phase == Phase.CONNECTION and len(self._connection_received) == len(self.connection_stream))
                    or (phase == Phase.PARAMETER and len(self._parameter_received) < len(self.parameter_stream)))
        return ((phase == Phase.PARAMETER and len(self._parameter_received) == len(self.parameter_stream))
                or phase == Phase.DATA)

    def _take_data(self, command: Command, frame: Frame):
        """Takes the data of an accepted frame; returns the error of a wrong byte, or None."""
        chunk = frame.safe[:self.chunk]
        if command == Command.SESSION:
            if self._phase == Phase.RESET:
                self._phase = Phase.SESSION
                self._session_sent = 0
                self.master_session_id = 0
                self._session_start_crc0 = self._tx_last_crc0
            for b in chunk:
                if self._session_bytes < 2:
                    self.master_session_id |= b << (8 * self._session_bytes)
                    self._session_bytes += 1
            return None
        if command == Command.CONNECTION:
            self._phase = Phase.CONNECTION
            take = chunk[:len(self.connection_stream) - len(self._connection_received)]
            start = len(self._connection_received)
            self._connection_received += take
            for i, b in enumerate(take, start):
                if b != self.connection_stream[i]:
                    return Error.INVALID_CONNID if i < 2 else Error.INVALID_ADDRESS
            return None
        if command == Command.PARAMETER:
            self._phase = Phase.PARAMETER
            take = chunk[:len(self.parameter_stream) - len(self._parameter_received)]
            start = len(self._parameter_received)
            self._parameter_received += take
            for i, b in enumerate(take, start):
                if b != self.parameter_stream[i]:
                    return self._parameter_errors[i]
            return None
        self._phase = Phase.DATA
        self.outputs = frame.safe
        self.outputs_fail_safe = command == Command.FAILSAFE_DATA
        return None

    # -- sending ----------------------------------------------------------------------------

    def _answer(self, frame: Frame, fault: tuple) -> bytes:
        command = Command(frame.command)
        safe = bytearray(self.inputs_size)
        if command == Command.SESSION:
            own = self.session_id.to_bytes(2, "little")
            piece = own[self._session_sent:self._session_sent + self.chunk]
            self._session_sent += len(piece)
            safe[:len(piece)] = piece
            reply_command, connection_id = Command.SESSION, 0
        elif command in (Command.CONNECTION, Command.PARAMETER):
            safe[:self.chunk] = frame.safe[:self.chunk]
            if self._echo_fault:
                safe[0] ^= 0x01
                self._echo_fault = False
                if fault[0] == Fault.NONE:
                    fault = (Fault.CORRUPT_ECHO, None)
            reply_command, connection_id = command, self.connection_id
        elif self.fail_safe:
            reply_command, connection_id = Command.FAILSAFE_DATA, self.connection_id
        else:
            safe[:] = self.inputs
            reply_command, connection_id = Command.PROCESS_DATA, self.connection_id
        return self._send(reply_command, connection_id, bytes(safe), frame, fault)

    def _send_reset(self, error: int, fault: tuple) -> bytes:
        # Keyed as the first frame of a connection (sequence 1, reference 0, nothing to step
        # past): the same error code always gives the same Reset frame.
        safe = int(error).to_bytes(2, "little")[:self.inputs_size].ljust(self.inputs_size, b"\x00")
        self._tx_sequence, self._tx_last_crc0 = 1, None
        out = self._send(Command.RESET, 0, safe, None, fault)
        self._reset_link()
        return out

    def _send(self, command: int, connection_id: int, safe: bytes, answered: Optional[Frame],
              fault: tuple) -> bytes:
        kind, argument = fault
        if kind == Fault.COMMAND:
            command = argument
        elif kind == Fault.CONNECTION_ID:
            connection_id = argument
        elif kind == Fault.SIZE:
            safe = safe[:argument].ljust(argument, b"\x00")
        crc0_key = answered.crc0 if answered is not None else 0
        out, used = build_frame(command, connection_id, safe, self._tx_sequence, crc0_key, self._tx_last_crc0)
        if kind == Fault.CORRUPT_CRC:
            out.crcs[argument] ^= 0xFFFF
        elif kind == Fault.CORRUPT_CONNECTION_ID:
            out.connection_id ^= 0x5A5A
        self._tx_sequence = next_sequence(used)
        self._tx_last_crc0 = out.crc0
        # The master keys its next frame with the CRC_0 it received in this one.
        self._rx_crc0 = out.crc0
        image = out.image()
        self.replies.append(Reply(image, command, kind, self._phase))
        return image


class ScriptMaster:
    """Drives a slave without the package: builds master frames with the master's
    sequence-number and CRC_0 bookkeeping and checks the CRCs of every reply (``strict``
    asserts them, otherwise ``valid`` tells). ``slave`` needs ``reply``, ``outputs_size``,
    ``inputs_size``, ``chunk``, ``connection_id``, ``connection_stream`` and
    ``parameter_stream``."""

    def __init__(self, slave, strict: bool = True):
        self.slave = slave
        self.strict = strict
        self.valid = True
        self.size = slave.outputs_size
        self.reset()
        self.last_slave_crc0 = None

    def reset(self):
        self.sequence, self.crc0, self.cyclic, self.last_sent = 1, 0, False, None
        self.slave_sequence = 1

    def exchange(self, command, chunk=b"", connection_id=0, corrupt=False):
        safe = bytes(chunk).ljust(self.size, b"\x00")
        frame, used = build_frame(command, connection_id, safe, self.sequence, self.crc0,
                                  self.last_sent if self.cyclic else None)
        if corrupt:
            frame.crcs[0] ^= 1
        self.last_sent = frame.crc0
        reply = Frame.parse(self.slave.reply(frame.image()), self.slave.inputs_size)
        if command != Command.RESET:
            self.sequence = next_sequence(used)
            self.crc0 = reply.crc0
        if reply.command == Command.RESET:
            self.reset()
        else:
            self.valid, used = check_frame(reply, self.slave_sequence, frame.crc0, self.last_slave_crc0)
            if self.strict:
                assert self.valid, "the slave's reply has a wrong CRC"
            self.slave_sequence = next_sequence(used)
        self.last_slave_crc0 = reply.crc0
        return reply

    def stream(self, command, data, connection_id):
        """Streams `data` chunk by chunk, returns the replies."""
        n = self.slave.chunk
        replies = []
        for i in range(0, len(data), n):
            replies.append(self.exchange(command, data[i:i + n], connection_id))
            if replies[-1].command == Command.RESET:
                break
        return replies

    def start_up(self, session_id=0xBEEF):
        slave = self.slave
        assert self.exchange(Command.RESET, b"\x00").command == Command.RESET
        self.stream(Command.SESSION, session_id.to_bytes(2, "little"), 0)
        self.cyclic = True
        echoes = self.stream(Command.CONNECTION, slave.connection_stream, slave.connection_id)
        echoes += self.stream(Command.PARAMETER, slave.parameter_stream, slave.connection_id)
        return echoes


class Driven:
    """A slave under test driven by a ScriptMaster: it answers the frames, while the stream
    attributes the scripted master reads come from an emulator configured alike."""

    def __init__(self, slave, reference: SlaveEmulator):
        self.slave, self.reference = slave, reference

    def __getattr__(self, name):
        return getattr(self.reference, name)

    def reply(self, request: bytes) -> bytes:
        return self.slave.reply(request)

    @property
    def rejections(self):
        return self.slave.rejections
