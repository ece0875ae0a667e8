"""A virtual EtherCAT safety drive on a raw Ethernet interface.

Run ``python -m tamsel.ethercat.virtual_drive --interface IF`` and point an EtherCAT master
(pysoem, for instance) at the other end of the link: the drive answers as one slave device with
an SII EEPROM, the AL state machine and FMMU-mapped process data. Its process data carries the
FSoE frames, answered by the simulated FSoE slave of :mod:`tamsel.slave`:

- outputs (master to drive): ``--pdo-prefix`` bytes of non-safe data, then the master's FSoE
  frame for ``--outputs-size`` safe bytes;
- inputs (drive to master): ``--pdo-prefix`` bytes (the non-safe outputs echoed back), then the
  drive's FSoE frame for ``--inputs-size`` safe bytes.

The drive's safe inputs count up by one every new process-data frame unless set through the
control socket. It prints "ready" once it listens and ends on SIGTERM or SIGINT. Malformed
EtherCAT frames are dropped and counted.

Control socket (``--control PATH``, a UNIX stream socket): one command per line, one JSON answer
per line. ``python -m tamsel.ethercat.virtual_drive --control PATH --send "COMMAND"`` sends one.
Commands: ``status``; the FSoE slave's faults ``corrupt_crc [SLOT]``, ``corrupt_connection_id``,
``send_command BYTE``, ``send_reset CODE``, ``corrupt_echo``, ``silence CYCLES``,
``clear_faults``; ``fail_safe on|off``; ``inputs HEX`` (fixed safe inputs) or ``inputs counter``;
``al_error CODE`` (the device drops to SAFE-OP with this AL status code).
"""
from __future__ import annotations

import argparse
import collections
import json
import os
import selectors
import signal
import socket
import struct
import sys
import traceback
from typing import Dict, List, Optional

from tamsel.ethercat import frame_size, parse_application_parameters
from tamsel.ethercat._esc import AlState, Esc
from tamsel.ethercat._sii import (SM_TYPE_INPUTS, SM_TYPE_OUTPUTS, DeviceInfo, Pdo, SyncManager,
                                  build_image)

ETHERTYPE_ETHERCAT = 0x88A4
ETHERNET_HEADER = 14
PACKET_OUTGOING = 4

VENDOR_ID = 0x00007A35
PRODUCT_CODE = 0x0000F50E
REVISION = 0x00010000
DEVICE_NAME = "tamsel virtual safety drive"
OUTPUTS_ADDRESS = 0x1000
INPUTS_ADDRESS = 0x1400
# Object indices of the process data entries: non-safe bytes and FSoE frame bytes.
RX_PDO, TX_PDO = 0x1600, 0x1A00
PLAIN_OUTPUTS, PLAIN_INPUTS = 0x7000, 0x6000
FSOE_OUTPUTS, FSOE_INPUTS = 0x7700, 0x6700


def _pdos(index: int, sync_manager: int, plain_index: int, safe_index: int, prefix: int, frame: int) -> List[Pdo]:
    pdos = []
    if prefix:
        pdos.append(Pdo(index, sync_manager, [(plain_index, i + 1, 8) for i in range(prefix)]))
    pdos.append(Pdo(index + 1, sync_manager, [(safe_index, i + 1, 8) for i in range(frame)]))
    return pdos


class VirtualDrive:
    """The drive without its sockets: an ESC and the FSoE slave behind its process data."""

    KEPT_REJECTIONS = 16  # the status shows this many of the last rejected master frames

    def __init__(self, *, outputs_size: int = 2, inputs_size: int = 2, slave_address: int = 0x000A,
                 connection_id: int = 0x1234, pdo_prefix: int = 0, watchdog_ms: int = 100,
                 application_parameters: bytes = b""):
        from tamsel.slave import Slave

        if not 0 <= pdo_prefix <= 256:
            raise ValueError(f"pdo_prefix must be 0..256 bytes, got {pdo_prefix}")
        self.prefix = pdo_prefix
        self.request_size = frame_size(outputs_size)
        self.reply_size = frame_size(inputs_size)
        self.outputs_length = pdo_prefix + self.request_size
        self.inputs_length = pdo_prefix + self.reply_size
        parameters = [(byte, 1) for byte in application_parameters]
        self.slave = Slave(slave_address, connection_id, watchdog_ms, outputs_size, inputs_size, parameters)
        outputs = SyncManager(OUTPUTS_ADDRESS, self.outputs_length, 0x64, SM_TYPE_OUTPUTS)
        inputs = SyncManager(INPUTS_ADDRESS, self.inputs_length, 0x20, SM_TYPE_INPUTS)
        self.info = DeviceInfo(
            VENDOR_ID, PRODUCT_CODE, REVISION, serial=1, name=DEVICE_NAME, sync_managers=[outputs, inputs],
            rx_pdos=_pdos(RX_PDO, 0, PLAIN_OUTPUTS, FSOE_OUTPUTS, pdo_prefix, self.request_size),
            tx_pdos=_pdos(TX_PDO, 1, PLAIN_INPUTS, FSOE_INPUTS, pdo_prefix, self.reply_size))
        self.esc = Esc(build_image(self.info), outputs, inputs, on_state_change=self._state_changed)
        self.counter_inputs = True
        self.counter = 0
        self.state_log: List[str] = []
        # The last rejections of master frames and how many of each error code: a drive runs
        # for as long as its master sends, so nothing here grows with the run.
        self.rejections: collections.deque = collections.deque(maxlen=self.KEPT_REJECTIONS)
        self.rejection_counts: collections.Counter = collections.Counter()

    def _state_changed(self, previous: AlState, state: AlState) -> None:
        self.state_log.append(f"{previous.name}->{state.name}")

    def handle(self, payload: bytes) -> Optional[bytearray]:
        """One EtherCAT payload in, the payload to send back out (None: dropped)."""
        answer = self.esc.process(payload)
        if answer is not None and self.esc.outputs_written:
            self.esc.outputs_written = False
            if self.esc.al_state is AlState.OP:
                self._application_cycle()
        return answer

    def _application_cycle(self) -> None:
        outputs = self.esc.read(OUTPUTS_ADDRESS, self.outputs_length)
        slave = self.slave
        if self.counter_inputs:
            self.counter = (self.counter + 1) & 0xFFFFFFFF
            size = slave.inputs_size
            slave.inputs = (self.counter & ((1 << (8 * size)) - 1)).to_bytes(size, "little")
        request = outputs[self.prefix:]
        # Outputs still all zero: the master has not started its connection, there is no frame
        # to answer (the simulated slave would answer it as an unknown command).
        reply = slave.reply(request) if any(request) else slave.last_reply
        self.esc.write_local(INPUTS_ADDRESS, outputs[:self.prefix] + reply)
        for rejection in slave.take_rejections():
            self.rejections.append(rejection)
            self.rejection_counts[getattr(rejection.error, "name", str(rejection.error))] += 1

    # -- control ---------------------------------------------------------------------------

    def status(self) -> Dict[str, object]:
        slave, esc = self.slave, self.esc
        fault = slave.last_fault
        return {
            "al_state": esc.al_state.name, "al_error": esc.al_error, "al_status_code": esc.al_status_code,
            "station_address": esc.station_address, "phase": slave.phase.name, "requests": slave.requests,
            "outputs": slave.outputs.hex(), "outputs_fail_safe": slave.outputs_fail_safe,
            "inputs": slave.inputs.hex(), "rejections": [[int(e), r] for e, r in self.rejections],
            "rejection_counts": dict(self.rejection_counts),
            "last_fault": [fault.kind.name, fault.argument], "frames": esc.frames, "dropped": esc.dropped,
            "al_transitions": list(self.state_log),
        }

    def command(self, line: str) -> Dict[str, object]:
        """Runs one control command; the answer has "ok" and, on success, the status."""
        words = line.split()
        if not words:
            return {"ok": False, "error": "empty command"}
        name, args = words[0], words[1:]
        slave = self.slave
        try:
            number = [int(a, 0) for a in args] if name not in ("inputs", "fail_safe") else []
            if name == "status":
                pass
            elif name in ("corrupt_crc", "silence", "send_command", "send_reset") and len(number) <= 1:
                if name != "corrupt_crc" and not number:
                    raise ValueError(f"{name} takes one number")
                getattr(slave, name)(*number)
            elif name in ("corrupt_connection_id", "corrupt_echo", "clear_faults") and not args:
                getattr(slave, name)()
            elif name == "fail_safe" and args in (["on"], ["off"]):
                slave.fail_safe = args[0] == "on"
            elif name == "inputs" and len(args) == 1:
                if args[0] == "counter":
                    self.counter_inputs = True
                else:
                    data = bytes.fromhex(args[0])
                    if len(data) != slave.inputs_size:
                        raise ValueError(f"inputs take {slave.inputs_size} bytes, got {len(data)}")
                    self.counter_inputs = False
                    slave.inputs = data
            elif name == "al_error" and len(number) == 1:
                self.esc.fail(number[0])
            else:
                return {"ok": False, "error": f"unknown command or wrong arguments: {line.strip()}"}
        except Exception as error:  # a bad command never ends the drive
            return {"ok": False, "error": f"{type(error).__name__}: {error}"}
        return {"ok": True, "status": self.status()}


class _Control:
    """The UNIX stream control socket: lines in, JSON lines out.

    Nothing here ever blocks the drive's loop: answers wait in a per-client buffer and go out
    as the client reads them. A client that sends more than it reads (its unsent answers pass
    ``MAX_PENDING`` bytes) or an over-long line is disconnected."""

    MAX_LINE = 65536
    MAX_PENDING = 1 << 20

    def __init__(self, path: str, drive: VirtualDrive, selector: selectors.BaseSelector):
        self.path, self.drive, self.selector = path, drive, selector
        if os.path.exists(path):
            os.unlink(path)
        self.server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self.server.bind(path)
            self.server.listen(4)
        except OSError:
            self.server.close()
            raise
        self.server.setblocking(False)
        selector.register(self.server, selectors.EVENT_READ, self._accept)
        self.buffers: Dict[socket.socket, bytearray] = {}
        self.pending: Dict[socket.socket, bytearray] = {}

    def _accept(self) -> None:
        try:
            connection, _ = self.server.accept()
        except OSError:  # the client went away before it was accepted
            return
        connection.setblocking(False)
        self.buffers[connection] = bytearray()
        self.pending[connection] = bytearray()
        self.selector.register(connection, selectors.EVENT_READ, lambda: self._ready(connection))

    def _ready(self, connection: socket.socket) -> None:
        # The callback does not learn which event came: both are tried, neither blocks.
        if not (self._write(connection) and self._read(connection)):
            self._close(connection)

    def _read(self, connection: socket.socket) -> bool:
        try:
            data = connection.recv(4096)
        except (BlockingIOError, InterruptedError):
            return True
        except OSError:
            data = b""
        buffer = self.buffers[connection]
        buffer += data
        if not data or len(buffer) > self.MAX_LINE:
            return False
        while b"\n" in buffer:
            line, _, rest = bytes(buffer).partition(b"\n")
            buffer[:] = rest
            answer = self.drive.command(line.decode("utf-8", "replace"))
            self.pending[connection] += json.dumps(answer).encode() + b"\n"
            if len(self.pending[connection]) > self.MAX_PENDING:
                return False
        return self._write(connection)

    def _write(self, connection: socket.socket) -> bool:
        """Sends what the socket takes now; watches for writability while some is left."""
        pending = self.pending[connection]
        if pending:
            try:
                sent = connection.send(pending)
            except (BlockingIOError, InterruptedError):
                sent = 0
            except OSError:
                return False
            del pending[:sent]
        events = selectors.EVENT_READ | (selectors.EVENT_WRITE if pending else 0)
        if self.selector.get_key(connection).events != events:
            self.selector.modify(connection, events, lambda: self._ready(connection))
        return True

    def _close(self, connection: socket.socket) -> None:
        self.selector.unregister(connection)
        self.buffers.pop(connection, None)
        self.pending.pop(connection, None)
        connection.close()

    def close(self) -> None:
        for connection in list(self.buffers):
            self._close(connection)
        self.selector.unregister(self.server)
        self.server.close()
        if os.path.exists(self.path):
            os.unlink(self.path)


def send_command(path: str, line: str, timeout_s: float = 5.0) -> Dict[str, object]:
    """Sends one command to a running drive's control socket and returns its answer."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as connection:
        connection.settimeout(timeout_s)
        connection.connect(path)
        connection.sendall(line.encode() + b"\n")
        answer = bytearray()
        while not answer.endswith(b"\n"):
            data = connection.recv(65536)
            if not data:
                break
            answer += data
    return json.loads(answer)


def _raw_socket(interface: str) -> socket.socket:
    raw = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETHERTYPE_ETHERCAT))
    raw.bind((interface, ETHERTYPE_ETHERCAT))
    raw.setblocking(False)
    return raw


def serve(drive: VirtualDrive, interface: str, control_path: Optional[str] = None) -> int:
    """Answers EtherCAT frames on ``interface`` until SIGTERM or SIGINT."""
    selector = selectors.DefaultSelector()
    control = None
    try:
        if control_path:
            try:
                control = _Control(control_path, drive, selector)
            except OSError as error:
                print(f"virtual drive: control socket {control_path}: {error}", file=sys.stderr, flush=True)
                selector.close()
                return 1
        raw = _raw_socket(interface)
    except BaseException:
        if control is not None:
            control.close()
        selector.close()
        raise
    stop, failed = [], []
    read_signal, write_signal = os.pipe()
    os.set_blocking(write_signal, False)
    previous = {sig: signal.signal(sig, lambda *_: stop.append(1)) for sig in (signal.SIGTERM, signal.SIGINT)}
    previous_fd = signal.set_wakeup_fd(write_signal)

    def on_frame() -> None:
        while True:
            try:
                frame, address = raw.recvfrom(65536)
            except (BlockingIOError, InterruptedError):
                return
            except OSError as error:  # the interface went away or down
                print(f"virtual drive: {interface}: {error}", file=sys.stderr, flush=True)
                failed.append(error)
                stop.append(1)
                return
            if address[2] == PACKET_OUTGOING:
                continue
            if len(frame) < ETHERNET_HEADER or struct.unpack_from("!H", frame, 12)[0] != ETHERTYPE_ETHERCAT:
                drive.esc.dropped += 1
                continue
            try:
                answer = drive.handle(frame[ETHERNET_HEADER:])
            except Exception:  # a fault of the drive itself: reported, the frame dropped, the bus served on
                drive.esc.dropped += 1
                traceback.print_exc(file=sys.stderr)
                continue
            if answer is None:
                continue
            header = bytearray(frame[:ETHERNET_HEADER])
            header[6] |= 0x02  # as a slave's port 0 does: the source address becomes locally administered
            try:
                raw.send(bytes(header) + answer)
            except OSError as error:
                print(f"send failed: {error}", file=sys.stderr, flush=True)

    try:
        selector.register(raw, selectors.EVENT_READ, on_frame)
        selector.register(read_signal, selectors.EVENT_READ, lambda: os.read(read_signal, 512))
        print("ready", flush=True)
        while not stop:
            for key, _ in selector.select(timeout=0.5):
                key.data()
    finally:
        if control is not None:
            control.close()
        selector.close()
        raw.close()
        signal.set_wakeup_fd(previous_fd)
        for sig, handler in previous.items():
            signal.signal(sig, handler)
        os.close(read_signal)
        os.close(write_signal)
    print(f"stopped: {drive.esc.frames} frames answered, {drive.esc.dropped} dropped", flush=True)
    return 1 if failed else 0


def _number(text: str) -> int:
    return int(text, 0)


def _parameters(text: str) -> bytes:
    """VALUE:BYTES,... as little-endian bytes, the way the master streams its parameters."""
    try:
        parameters = parse_application_parameters(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return b"".join(value.to_bytes(size, "little") for value, size in parameters)


def main(argv: Optional[List[str]] = None) -> int:
    script = "tamsel-virtual-drive"
    prog = script if os.path.basename(sys.argv[0]) == script else "python -m tamsel.ethercat.virtual_drive"
    parser = argparse.ArgumentParser(
        prog=prog, description=__doc__.split("\n")[0],
        usage=f"{prog} --interface IF [options]\n       {prog} --control PATH --send COMMAND")
    parser.add_argument("--interface", metavar="IF", help="Ethernet interface to answer on (required unless --send)")
    parser.add_argument("--outputs-size", type=_number, default=2, help="safe data bytes from the master (default 2)")
    parser.add_argument("--inputs-size", type=_number, default=2, help="safe data bytes to the master (default 2)")
    parser.add_argument("--slave-address", type=_number, default=0x000A, help="FSoE slave address (default 0x000a)")
    parser.add_argument("--connection-id", type=_number, default=0x1234, help="FSoE connection id (default 0x1234)")
    parser.add_argument("--pdo-prefix", type=_number, default=0,
                        help="non-safe bytes before the FSoE frames (default 0)")
    parser.add_argument("--watchdog-ms", type=_number, default=100,
                        help="FSoE watchdog time the master must send (default 100)")
    parser.add_argument("--application-parameters", type=_parameters, default=b"", metavar="VALUE:BYTES,...",
                        help="application parameters the master must send, e.g. 3000:2,40:1")
    parser.add_argument("--control", metavar="PATH", help="UNIX socket for fault injection and status")
    parser.add_argument("--send", metavar="COMMAND", help="send COMMAND to the drive at --control PATH and exit")
    args = parser.parse_args(argv)
    if args.send is not None:
        if not args.control:
            parser.error("--send needs --control PATH")
        answer = send_command(args.control, args.send)
        print(json.dumps(answer, indent=2))
        return 0 if answer.get("ok") else 1
    if not args.interface:
        parser.error("--interface is required")
    try:
        drive = VirtualDrive(outputs_size=args.outputs_size, inputs_size=args.inputs_size,
                             slave_address=args.slave_address, connection_id=args.connection_id,
                             pdo_prefix=args.pdo_prefix, watchdog_ms=args.watchdog_ms,
                             application_parameters=args.application_parameters)
    except (ValueError, OverflowError, TypeError) as error:
        parser.error(str(error))
    try:
        return serve(drive, args.interface, args.control)
    except OSError as error:
        print(f"virtual drive: {args.interface}: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
