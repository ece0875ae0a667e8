"""A simulated FSoE slave, for testing host applications without a safety device.

:class:`Slave` answers the master's frames the way a correct FSoE slave does, through every
phase of a connection (Reset, Session, Connection, Parameter, Data), checks the master's frames
as a real slave would, and sends faults on request. Its protocol core is C++.

Run it in place of the device, once per cycle::

    from tamsel.slave import Slave, pack_safe_data, unpack_safe_data

    handler.start()
    slave = Slave.for_handler(handler)     # takes address, ids, sizes and parameters
    while running:
        slave.exchange(handler)            # handler.set_reply(slave.reply(handler.get_request()))
        slave.inputs = pack_safe_data(handler.slave.dictionary_map, {"STO_ACTIVE": True})
        print(unpack_safe_data(handler.master.dictionary_map, slave.outputs))

What the slave sends, per phase of the master:

- to a master Reset frame: a Reset frame with error code 0 (acknowledgement); the slave resets;
- Session: Session frames carrying its own session id;
- Connection and Parameter: frames of the same command echoing the start-up bytes just
  received (the smaller of the two frame sizes per frame);
- Data: PROCESS_DATA frames with :attr:`inputs`, or FAILSAFE_DATA frames (zero data) while
  :attr:`fail_safe` is true.

Every reply is keyed with the CRC_0 of the request it answers and with the slave's own
sequence number, which restarts at 1 after every reset, and follows the cyclic rule (no two
consecutive frames with the same CRC_0). A Reset frame starts a connection afresh and is keyed
as its first frame (sequence number 1, reference 0, no earlier CRC_0 to step past), as the
master keys its own: it depends on the error code alone, so a master Reset that the bus delivers
twice is acknowledged with the same frame twice, which the master does not take for a second
reset. A request equal to the last one is not a new frame: :meth:`reply` returns the last reply
again and nothing changes.

A Session frame keyed as the first of a session (sequence number 1, reference 0) while a session
is half open means the master has opened a new one: the slave starts it afresh and answers it
as it answered the opening frame of the half-open one, so an opening frame delivered twice gets
the same answer twice.

Checks of each master frame, in this order: image length, known command (a Reset frame then
resets the slave whatever else is wrong with it), the slave's watchdog, command allowed in the
slave's phase, CRCs with the expected sequence number and the cyclic rule, connection id (0 in
Session frames), then the streamed connection and parameter data against the configuration. A
refused frame is recorded in :attr:`rejections` and answered with a Reset frame carrying the
error code (``UNKNOWN_CMD``, ``WD_EXPIRED``, ``INVALID_CMD``, ``INVALID_CRC``,
``INVALID_CONNID``, ``INVALID_ADDRESS``, ``INVALID_COMMPARALEN``, ``INVALID_COMPARA``,
``INVALID_USERPARALEN``, ``INVALID_USERPARA``).

Fault injection. Each of these applies to the next new reply, whatever it is, in the order
injected: :meth:`corrupt_crc`, :meth:`corrupt_connection_id` (the id changed after the CRCs were
computed, as on a faulty wire: where the master does not compare the id, in Session, it shows
as a CRC fault), :meth:`send_command` (another command byte, valid or unknown, with CRCs
computed over it), :meth:`send_reset` (a Reset frame
with an error code in place of the answer; the slave resets). :meth:`corrupt_echo` flips the
first echoed byte of the next Connection or Parameter reply. :meth:`silence` makes the slave
answer nothing new for a number of cycles (the last reply is returned again, the request stays
unanswered), long enough and the master's watchdog expires. Silence that outlasts the watchdog
time by much shows more than one fault: the master's watchdog expires again in its Reset state,
and the slave's own supervision answers the next frame with ``WD_EXPIRED``; end it with
:meth:`clear_faults` once the master has reported. :attr:`last_fault` tells what the
last new reply carried (read it right after the cycle that sent the fault). After a fault the
slave carries on as if it had sent the right frame; the master's reaction brings the connection
back.
"""
from __future__ import annotations

import enum
from typing import Any, Dict, Iterable, Mapping, NamedTuple, Optional, Protocol, Tuple, Union

from tamsel._slave import SlaveCore
from tamsel.tamsel import BaseError

__all__ = ["Slave", "Phase", "FaultKind", "Fault", "Rejection", "pack_safe_data", "unpack_safe_data"]


class Phase(enum.IntEnum):
    """Phase of the slave's side of the connection."""

    RESET = 0
    SESSION = 1
    CONNECTION = 2
    PARAMETER = 3
    DATA = 4


class FaultKind(enum.IntEnum):
    """What was wrong with a reply on purpose."""

    NONE = 0
    CORRUPT_CRC = 1
    CORRUPT_CONNECTION_ID = 2
    COMMAND = 3
    RESET = 4
    CORRUPT_ECHO = 5


class Fault(NamedTuple):
    """A fault sent in a reply: its kind and argument (slot, command byte or error code)."""

    kind: FaultKind
    argument: int


class Rejection(NamedTuple):
    """A master frame the slave refused: the error code it answered with, and why."""

    error: Union[BaseError, int]
    reason: str


class SerializableParameter(Protocol):
    """An application parameter as the slave expects it (``ApplicationParameter`` is one)."""

    @property
    def raw_value(self) -> int: ...

    @property
    def n_bytes(self) -> int: ...


ParameterSpec = Union[SerializableParameter, Tuple[int, int]]
_MAX_APP_PARAMETER_BYTES = 256  # what the slave keeps; more is refused


def _parameter_bytes(parameters: Iterable[ParameterSpec]) -> bytes:
    """Serializes application parameters: objects with ``raw_value`` and ``n_bytes`` (such as
    ``ApplicationParameter``) or ``(raw_value, n_bytes)`` pairs, each low byte first."""
    pairs = []
    for parameter in parameters:
        if isinstance(parameter, tuple):
            raw, n_bytes = parameter
        else:
            raw, n_bytes = parameter.raw_value, parameter.n_bytes
        pairs.append((int(raw), int(n_bytes)))
    # Sizes first: a huge one is refused before any memory is asked for it.
    if sum(n_bytes for _, n_bytes in pairs) > _MAX_APP_PARAMETER_BYTES:
        raise ValueError(f"app_parameters must not exceed {_MAX_APP_PARAMETER_BYTES} bytes")
    return b"".join(raw.to_bytes(n_bytes, "little") for raw, n_bytes in pairs)


class Slave(SlaveCore):
    """Simulated FSoE slave (see the module documentation).

    Slave(slave_address, connection_id, watchdog_ms, outputs_size, inputs_size,
          application_parameters=(), session_id=None, supervise_watchdog=True)

    - ``slave_address``, ``connection_id``, ``watchdog_ms``: what the slave expects the master
      to send (the handler's slave address, connection id and watchdog time in milliseconds);
    - ``outputs_size``: safe-data bytes of the master's frames, ``inputs_size``: of the
      slave's frames (1 or an even number 2..16, the byte sizes of the handler's two maps);
    - ``application_parameters``: the parameters the slave expects, in order, as
      ``ApplicationParameter`` objects or ``(raw_value, n_bytes)`` pairs;
    - ``session_id``: the slave's own session id, random when omitted;
    - ``supervise_watchdog``: like a real slave, answer a frame that comes more than
      ``watchdog_ms`` after the previous one (from the first Session frame on, until a reset)
      with a Reset frame carrying ``WD_EXPIRED``; the host loop must then keep the pace.
      ``reply(request, now_ms)`` takes the arrival time from a millisecond clock of the
      caller's (a simulated cycle clock, say) instead of the monotonic clock.

    Attributes: ``inputs`` (bytes to send, settable), ``fail_safe`` (settable), ``outputs``
    and ``outputs_fail_safe`` (the master's last Data frame), ``phase``, ``rejections``,
    ``last_fault``, ``last_reply``, ``requests``, ``sequence_number``,
    ``master_session_id``, ``master_error``, and the configuration values.
    """

    __slots__ = ()

    def __new__(cls, slave_address: int, connection_id: int, watchdog_ms: int, outputs_size: int,
                inputs_size: int, application_parameters: Iterable[ParameterSpec] = (),
                session_id: Optional[int] = None, supervise_watchdog: bool = True):
        return super().__new__(cls, slave_address, connection_id, watchdog_ms, outputs_size, inputs_size,
                               _parameter_bytes(application_parameters), session_id, supervise_watchdog)

    @classmethod
    def for_handler(cls, handler, session_id: Optional[int] = None, supervise_watchdog: bool = True) -> "Slave":
        """A slave that matches a handler: its slave address, connection id, watchdog time,
        application parameters and the byte sizes of its two maps (lay the maps out first,
        each 1 byte or an even number of bytes up to 16)."""
        session = handler.master.session
        return cls(handler.get_slave_address(), session.connection_id.value, session.watchdog_ms.value,
                   handler.master.dictionary_map.safety_bytes, handler.slave.dictionary_map.safety_bytes,
                   handler.master.application_parameters, session_id, supervise_watchdog)

    def exchange(self, handler) -> bytes:
        """One cycle: answers the handler's request and hands the reply to it."""
        answer = self.reply(handler.get_request())
        handler.set_reply(answer)
        return answer

    def __repr__(self) -> str:
        return (f"<{type(self).__name__} phase={self.phase.name} requests={self.requests} "
                f"rejections={len(self._rejections)}>")

    def send_command(self, command) -> None:
        """Sends this command in the next reply: a byte, or an ``FSOECommand`` member."""
        super().send_command(getattr(command, "value", command))

    @property
    def phase(self) -> Phase:
        """The slave's phase: RESET until a session starts, then SESSION ... DATA."""
        return Phase(self._phase)

    @property
    def rejections(self) -> list:
        """Every master frame the slave refused, oldest first, as :class:`Rejection`."""
        return _rejections(self._rejections)

    def take_rejections(self) -> list:
        """The rejections so far, as :attr:`rejections` gives them, and forgets them: a slave
        that runs for long keeps only what was not taken yet."""
        return _rejections(self._take_rejections())

    @property
    def last_fault(self) -> Fault:
        """The fault sent in the last new reply (kind ``NONE`` when it was a correct one)."""
        kind, argument = self._last_fault
        return Fault(FaultKind(kind), argument)


def _rejections(pairs) -> list:
    return [Rejection(BaseError(code) if code in BaseError._value2member_map_ else code, reason)
            for code, reason in pairs]


def pack_safe_data(dictionary_map, values: Mapping[str, Any]) -> bytes:
    """The safe data a map's layout carries for the given item values, by item name.

    Each mapped item named in ``values`` is put at its bit position in its integer form
    (``data_type.serialize_value``), least significant bit first; items not named and paddings
    are 0. The result has ``dictionary_map.safety_bytes`` bytes: use the slave map of a handler
    to build :attr:`Slave.inputs`."""
    stream = 0
    for entry in dictionary_map:
        item = entry.item
        if item is None or item.name not in values:
            continue
        raw = item.data_type.serialize_value(values[item.name])
        stream |= (raw & ((1 << entry.bits) - 1)) << entry.position_bits
    return stream.to_bytes(dictionary_map.safety_bytes, "little")


def unpack_safe_data(dictionary_map, data: bytes) -> Dict[str, Any]:
    """The item values that safe data carries in a map's layout, by item name (the inverse of
    :func:`pack_safe_data`): use the master map of a handler to read :attr:`Slave.outputs`."""
    stream = int.from_bytes(data, "little")
    values = {}
    for entry in dictionary_map:
        item = entry.item
        if item is not None:
            raw = (stream >> entry.position_bits) & ((1 << entry.bits) - 1)
            values[item.name] = item.data_type.unserialize_value(raw)
    return values
