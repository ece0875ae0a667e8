"""An FSoE connection over a real EtherCAT bus: pysoem moves the process data, tamsel runs the
safety master, SafetyChannel puts the frames where the device expects them.

    python examples/pysoem_loop.py --interface eth0 [--cycles 1000] [--connect-cycles 2000]
        [--slave-position 0] [--output-offset 0] [--input-offset 0]
        [--outputs-size 2] [--inputs-size 2] [--slave-address 0x000a] [--connection-id 0x1234]
        [--watchdog-ms 100] [--application-parameters VALUE:BYTES,...]
        [--period-ms 1] [--return-timeout-us 2000]

The offsets are where the FSoE frames start in the device's process data (bytes of non-safe
data before them), the sizes the safe data bytes of each direction, the slave address,
connection id, watchdog time and application parameters what the device is configured to
expect, as its documentation gives them (``--application-parameters 3000:2,40:1``: the value
3000 in 2 bytes, then 40 in 1 byte, in the order the device expects them).

It prints the bus and connection state changes and "reached Data after N cycles" (or the
reason it did not get there), switches fail-safe data off, then for ``--cycles`` cycles sends
changing safe outputs and prints, now and then, what it sent and what it received. It exits
with 0 when the connection is in Data at the end. Needs raw socket rights (root or
CAP_NET_RAW). ``make demo-bus`` runs it against the virtual drive
(``python -m tamsel.ethercat.virtual_drive``) in a private network namespace.
"""
import argparse
import sys
import time

import tamsel.tamsel as ts
from tamsel.ethercat import SafetyChannel, parse_application_parameters

AL_STATES = {1: "INIT", 2: "PRE-OP", 3: "BOOT", 4: "SAFE-OP", 8: "OP"}


def number(text):
    return int(text, 0)


def application_parameters(text):
    try:
        return parse_application_parameters(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def items(kind, prefix, key, size, *initial):
    """Items filling ``size`` safe bytes: one UINT8 for a 1-byte frame, UINT16 words otherwise."""
    if size == 1:
        return [kind(key, f"{prefix}0", ts.DataType.UINT8, *initial)]
    return [kind(key + i, f"{prefix}{i}", ts.DataType.UINT16, *initial) for i in range(size // 2)]


class Loop:
    def __init__(self, args):
        import pysoem  # only the host program needs it, not tamsel

        self.pysoem = pysoem
        self.args = args
        pysoem.settings.timeouts.ret = args.return_timeout_us
        self.master = pysoem.Master()
        self.cycles = 0
        self.last_report = None
        self.quiet = False
        self.handler = None

    def fail(self, reason):
        print(f"did not reach Data: {reason}")
        return 1

    def bring_up(self):
        """The bus from INIT to OP; returns the reason when it does not get there."""
        pysoem, master = self.pysoem, self.master
        found = master.config_init()
        if found <= self.args.slave_position:
            return f"{max(found, 0)} slave(s) found on {self.args.interface}"
        slave = master.slaves[self.args.slave_position]
        print(f"bus: {found} slave(s); slave {self.args.slave_position} is '{slave.name}' "
              f"(vendor {slave.man:#010x}, product {slave.id:#010x})")
        master.config_map()
        if master.state_check(pysoem.SAFEOP_STATE, 500000) != pysoem.SAFEOP_STATE:
            return f"SAFE-OP not reached, AL status code {slave.al_status:#06x}"
        print("bus: SAFE-OP")
        master.state = pysoem.OP_STATE
        master.write_state()
        deadline = time.monotonic() + 5
        while master.state_check(pysoem.OP_STATE, 5000) != pysoem.OP_STATE:
            if time.monotonic() > deadline:
                return f"OP not reached, AL status code {slave.al_status:#06x}"
            self.process_data()
        print("bus: OP")
        return None

    def process_data(self):
        self.master.send_processdata()
        return self.master.receive_processdata(20000)

    def on_state(self, state):
        if not self.quiet:
            print(f"cycle {self.cycles:5}  FSoE state -> {state.__name__}")
        if state is ts.StateData:
            self.handler.set_fail_safe(False)  # the application decides: here, process data at once

    def on_report(self, transition, message):
        self.last_report = f"{transition}: {message}"
        if not self.quiet:
            print(f"cycle {self.cycles:5}  reported {self.last_report}")

    def run(self):
        args = self.args
        self.master.open(args.interface)
        try:
            reason = self.bring_up()
            if reason:
                return self.fail(reason)
            return self.connect()
        finally:
            self.master.state = self.pysoem.INIT_STATE
            self.master.write_state()
            self.master.close()

    def connect(self):
        args = self.args
        outputs = items(ts.DictionaryItemOutput, "OUT", 0x100, args.outputs_size)
        inputs = items(ts.DictionaryItemInput, "IN", 0x200, args.inputs_size, 0)
        parameters = [ts.ApplicationParameter(f"P{i}", value, n_bytes=size)
                      for i, (value, size) in enumerate(args.application_parameters)]
        with ts.MasterHandler(ts.Dictionary(outputs + inputs), args.slave_address, args.connection_id,
                              args.watchdog_ms / 1000, application_parameters=parameters,
                              report_error_callback=self.on_report, state_change_callback=self.on_state) as handler:
            for item in outputs:
                handler.master.dictionary_map.add(item)
            for item in inputs:
                handler.slave.dictionary_map.add(item)
            try:
                channel = SafetyChannel(handler, self.master.slaves[args.slave_position],
                                        input_offset=args.input_offset, output_offset=args.output_offset)
            except ValueError as error:
                return self.fail(error)
            self.handler = handler
            handler.start()
            try:
                while handler.state is not ts.StateData:
                    if self.cycles >= args.connect_cycles:
                        return self.fail(f"still {handler.state.__name__} after {self.cycles} cycles"
                                         + (f", last report {self.last_report}" if self.last_report else ""))
                    self.cycle(channel)
                print(f"reached Data after {self.cycles} cycles")
                return self.exchange_values(handler, channel, outputs, inputs)
            finally:
                self.quiet = True  # stopping resets the connection: not news for the reader
                handler.stop()

    def cycle(self, channel):
        started = time.perf_counter()
        if self.process_data() < self.master.expected_wkc:
            pass  # a lost frame: the reply stays the last one, the watchdog covers it
        channel.exchange()
        self.cycles += 1
        time.sleep(max(0.0, self.args.period_ms / 1000 - (time.perf_counter() - started)))

    def exchange_values(self, handler, channel, outputs, inputs):
        """Changing safe outputs for --cycles cycles; prints what went out and came in."""
        args = self.args
        every = max(1, args.cycles // 10)
        for n in range(args.cycles):
            for i, item in enumerate(outputs):
                item.set((n // 10 + i) & ((1 << item.data_type.bits) - 1))
            self.cycle(channel)
            if n % every == every - 1 or n == args.cycles - 1:
                sent = " ".join(f"{item.name}={item.get()}" for item in outputs)
                received = " ".join(f"{item.name}={item.get()}" for item in inputs)
                print(f"cycle {self.cycles:5}  sent {sent}  received {received}")
        print(f"exchanged values for {args.cycles} cycles, ended in {handler.state.__name__}")
        return 0 if handler.state is ts.StateData else 1


# option, type, default, meaning
OPTIONS = [
    ("--cycles", int, 1000, "cycles to exchange values once in Data"),
    ("--connect-cycles", int, 2000, "cycles to try for Data"),
    ("--slave-position", int, 0, "the safety device's position on the bus"),
    ("--output-offset", int, 0, "FSoE frame offset in the device's outputs"),
    ("--input-offset", int, 0, "FSoE frame offset in the device's inputs"),
    ("--outputs-size", int, 2, "safe data bytes to the device"),
    ("--inputs-size", int, 2, "safe data bytes from the device"),
    ("--slave-address", number, "0x000a", "FSoE slave address"),
    ("--connection-id", number, "0x1234", "FSoE connection id"),
    ("--watchdog-ms", int, 100, "FSoE watchdog time"),
    ("--application-parameters", application_parameters, "", "application parameters, VALUE:BYTES,..."),
    ("--period-ms", float, 1.0, "cycle time"),
    ("--return-timeout-us", int, 2000, "how long a frame may take to come back before it is repeated"),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--interface", required=True, help="network interface of the EtherCAT bus")
    for option, kind, default, meaning in OPTIONS:
        parser.add_argument(option, type=kind, default=default, help=f"{meaning} (default {default})")
    args = parser.parse_args()
    try:
        return Loop(args).run()
    except ImportError:
        print("did not reach Data: pysoem is not installed (pip install tamsel[ethercat])")
        return 1
    except Exception as error:  # pysoem raises for missing interfaces and rights
        print(f"did not reach Data: {type(error).__name__}: {error}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
