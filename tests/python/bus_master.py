"""The master side of the bus test: pysoem on one end of a veth pair, the virtual drive on the
other. Brings the bus to OP, runs an FSoE connection through SafetyChannel, injects faults
through the drive's control socket and prints what it saw as one JSON object."""
import argparse
import json
import time

import pysoem

import tamsel.tamsel as ts
from tamsel.ethercat import SafetyChannel
from tamsel.ethercat.virtual_drive import send_command

RECEIVE_TIMEOUT_US = 20000


class Bus:
    def __init__(self, args):
        self.args = args
        # A loaded test machine may keep the drive from answering within the 2 ms a master
        # waits by default before it repeats a datagram.
        pysoem.settings.timeouts.ret = 20000
        self.master = pysoem.Master()
        self.master.open(args.interface)
        self.cycles = 0
        self.reports = []
        self.states = []
        self.low_wkc = 0

    def bring_up(self, result):
        master = self.master
        result["slaves"] = master.config_init()
        result["identity"] = [[s.man, s.id, s.rev, s.name] for s in master.slaves]
        result["io_map"] = master.config_map()
        result["safe_op"] = master.state_check(pysoem.SAFEOP_STATE, 500000)
        master.state = pysoem.OP_STATE
        master.write_state()
        deadline = time.monotonic() + 10
        while master.state_check(pysoem.OP_STATE, 5000) != pysoem.OP_STATE and time.monotonic() < deadline:
            self.process_data()
        result["op"] = master.state == pysoem.OP_STATE
        slave = master.slaves[0]
        result["sizes"] = [len(slave.output), len(slave.input)]

    def process_data(self):
        self.master.send_processdata()
        if self.master.receive_processdata(RECEIVE_TIMEOUT_US) < self.master.expected_wkc:
            self.low_wkc += 1

    def cycle(self, channel):
        self.process_data()
        channel.exchange()
        self.cycles += 1

    def until_data(self, handler, channel, reports_before=None, limit=3000):
        """Cycles until the connection is in Data; with ``reports_before``, first until a fault
        beyond that many reports was reported."""
        start = self.cycles
        while reports_before is not None and len(self.reports) <= reports_before:
            if self.cycles - start > limit:
                raise RuntimeError(f"no fault reported after {limit} cycles")
            self.cycle(channel)
        while not (handler.state is ts.StateData and self.states and self.states[-1] == "StateData"):
            if self.cycles - start > limit:
                raise RuntimeError(f"no Data after {limit} cycles; last reports {self.reports[-5:]}")
            self.cycle(channel)
        for _ in range(3):
            self.cycle(channel)
        return self.cycles - start

    def close(self, handler):
        """Ends the handler and takes the bus back to INIT."""
        handler.stop()
        handler.delete()
        self.master.state = pysoem.INIT_STATE
        self.master.write_state()
        self.master.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--interface", required=True)
    parser.add_argument("--control", required=True)
    parser.add_argument("--prefix", type=int, default=0)
    parser.add_argument("--watchdog-s", type=float, default=1.0)
    parser.add_argument("--cycles", type=int, default=1000)
    args = parser.parse_args()
    result = {}
    bus = Bus(args)
    bus.bring_up(result)

    dictionary = ts.Dictionary([ts.DictionaryItemOutput(0x10, "SPEED_LIMIT", ts.DataType.UINT16),
                                ts.DictionaryItemInput(0x20, "COUNTER", ts.DataType.UINT16, 0)])

    def on_state(state):
        bus.states.append(state.__name__)
        if state is ts.StateData:
            handler.set_fail_safe(False)

    handler = ts.MasterHandler(dictionary, 0x000A, 0x1234, args.watchdog_s,
                               report_error_callback=lambda t, m: bus.reports.append([bus.cycles, t, m]),
                               state_change_callback=on_state)
    try:
        handler.master.dictionary_map.add(dictionary.name_map["SPEED_LIMIT"])
        handler.slave.dictionary_map.add(dictionary.name_map["COUNTER"])
        channel = SafetyChannel(handler, bus.master.slaves[0], input_offset=args.prefix, output_offset=args.prefix)
        handler.start()
        result["cycles_to_data"] = bus.until_data(handler, channel)

        # Values both ways: the drive counts its inputs up, the master sends a changing output
        # and holds it now and then to read it back at the drive.
        inputs_seen, outputs_checked = set(), []
        for i in range(args.cycles):
            value = (1000 + i // 10) & 0xFFFF
            dictionary.set("SPEED_LIMIT", value)
            bus.cycle(channel)
            inputs_seen.add(dictionary.get("COUNTER"))
            if i % 200 == 199:
                # a value needs a few cycles to reach the drive (more when a frame is lost)
                for _ in range(50):
                    bus.cycle(channel)
                    seen = send_command(args.control, "status")["status"]["outputs"]
                    seen = int.from_bytes(bytes.fromhex(seen), "little")
                    if seen == value:
                        break
                outputs_checked.append([value, seen])
        result["data_cycles"] = args.cycles
        result["inputs_distinct"] = len(inputs_seen)
        result["outputs_checked"] = outputs_checked
        result["states_before_faults"] = list(bus.states)

        reports_before = len(bus.reports)
        assert send_command(args.control, "corrupt_crc")["ok"]
        result["crc_recovery_cycles"] = bus.until_data(handler, channel, reports_before)
        result["crc_reports"] = bus.reports[reports_before:]

        reports_before = len(bus.reports)
        time.sleep(3 * args.watchdog_s)
        result["pause_recovery_cycles"] = bus.until_data(handler, channel, reports_before)
        result["pause_reports"] = bus.reports[reports_before:]
        for _ in range(50):
            bus.cycle(channel)
        result["final_state"] = handler.state.__name__
        result["drive"] = send_command(args.control, "status")["status"]
        result["low_wkc_cycles"] = bus.low_wkc
    finally:
        bus.close(handler)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
