"""tamsel demo: an FSoE master running a safety connection with a simulated slave.

1. start-up through Reset, Session, Connection, Parameter and Data, transitions as they happen;
2. safe outputs and inputs changing over a few hundred cycles;
3. one fault of each kind injected by the slave, the master's report and its way back to Data;
4. a summary: cycles run, faults detected, time per cycle.

Run it with ``make demo``; ``python examples/demo.py --record demo.pcapng`` also saves every
frame for Wireshark or ``python -m tamsel.trace show demo.pcapng``.
"""
import argparse
import math
import time

import tamsel.tamsel as ts
from tamsel.slave import Slave, pack_safe_data, unpack_safe_data
from tamsel.trace import FrameRecorder

DT = ts.DataType
SLAVE_ADDRESS = 0x000A
CONNECTION_ID = 0x1234
WATCHDOG_S = 0.25
OUTPUTS = ["STO_COMMAND", "SS1_COMMAND", "SPEED_LIMIT"]
INPUTS = ["STO_ACTIVE", "TEMPERATURE", "ACTUAL_SPEED"]


class Demo:
    """The host application: a handler, the simulated slave and a cycle counter."""

    def __init__(self):
        dictionary = ts.Dictionary([
            ts.DictionaryItemOutput(0x10, "STO_COMMAND", DT.BOOL),
            ts.DictionaryItemOutput(0x11, "SS1_COMMAND", DT.BOOL),
            ts.DictionaryItemOutput(0x12, "SPEED_LIMIT", DT.UINT16),
            ts.DictionaryItemInput(0x20, "STO_ACTIVE", DT.BOOL, True),
            ts.DictionaryItemInput(0x21, "TEMPERATURE", DT.UINT8, 0),
            ts.DictionaryItemInput(0x22, "ACTUAL_SPEED", DT.INT16, 0),
        ])
        parameters = [ts.ApplicationParameter("MAX_SPEED", 3000, n_bytes=2),
                      ts.ApplicationParameter("STO_DELAY_MS", 40, n_bytes=1)]
        self.cycle_count = 0
        self.reports = []
        self.state_log = []
        self.quiet = False
        self.handler = ts.MasterHandler(dictionary, SLAVE_ADDRESS, CONNECTION_ID, WATCHDOG_S,
                                        application_parameters=parameters,
                                        report_error_callback=self.on_report,
                                        state_change_callback=self.on_state)
        outputs, inputs = self.handler.master.dictionary_map, self.handler.slave.dictionary_map
        outputs.add(dictionary.name_map["STO_COMMAND"])
        outputs.add(dictionary.name_map["SS1_COMMAND"])
        outputs.add(dictionary.name_map["SPEED_LIMIT"], align_to_bits=16)
        inputs.add(dictionary.name_map["STO_ACTIVE"])
        inputs.add(dictionary.name_map["TEMPERATURE"], align_to_bits=8)
        inputs.add(dictionary.name_map["ACTUAL_SPEED"])
        self.slave = Slave.for_handler(self.handler)
        # The module calls the `_log_transition` it finds in its namespace for every
        # transition, so a host can watch them without the console trace.
        self.show_transitions = False
        ts._log_transition = self.on_transition
        self.master_time = 0.0
        self.master_cycles = 0

    # -- callbacks: printed as they happen ----------------------------------------------------

    def on_report(self, transition, message):
        self.reports.append((transition, message))
        if not self.quiet:
            print(f"  cycle {self.cycle_count:5}  reported  {transition}: {message}")

    def on_transition(self, transition):
        if self.show_transitions:
            print(f"  cycle {self.cycle_count:5}  transition {transition}")

    def on_state(self, state):
        self.state_log.append(state)
        if not self.quiet:
            print(f"  cycle {self.cycle_count:5}  state  -> {state.__name__:16} slave phase {self.slave.phase.name}")
        if state is ts.StateData:
            # The master starts every connection in fail-safe mode; this host enables
            # process data as soon as the connection is up.
            self.handler.set_fail_safe(False)

    # -- the host cycle -----------------------------------------------------------------------

    def cycle(self):
        request = self.handler.get_request()
        reply = self.slave.reply(request)
        started = time.perf_counter()
        self.handler.set_reply(reply)
        self.handler.get_request()
        self.master_time += time.perf_counter() - started
        self.master_cycles += 1
        self.cycle_count += 1

    def run_until_data(self, limit=500):
        for _ in range(limit):
            if self.handler.state is ts.StateData and self.slave.phase.name == "DATA":
                return
            self.cycle()
        raise RuntimeError(f"no connection after {limit} cycles")

    def outputs_seen_by_slave(self):
        return unpack_safe_data(self.handler.master.dictionary_map, self.slave.outputs)

    def set_slave_inputs(self, values):
        self.slave.inputs = pack_safe_data(self.handler.slave.dictionary_map, values)


def show_start_up(demo):
    print("1. Start-up")
    print(f"  slave address {SLAVE_ADDRESS:#06x}, connection id {CONNECTION_ID:#06x}, watchdog "
          f"{WATCHDOG_S * 1000:.0f} ms, {demo.slave.outputs_size} safe bytes out, {demo.slave.inputs_size} in,"
          f" {demo.slave.chunk} start-up bytes per frame, 2 application parameters")
    demo.show_transitions = True
    demo.handler.start()
    print(f"  cycle {demo.cycle_count:5}  start()  state    {demo.handler.state.__name__}")
    demo.run_until_data()
    demo.cycle()
    demo.show_transitions = False
    print(f"  connected after {demo.cycle_count} cycles; slave received session id "
          f"{demo.slave.master_session_id:#06x}, rejections: {len(demo.slave.rejections)}")


def show_data(demo, cycles=300, every=25):
    print(f"\n2. Data exchange over {cycles} cycles (a row every {every})")
    header = (f"  {'cycle':>5} | {'master sets':^24} | {'slave receives':^24} | {'slave sends':^17} |"
              f" {'master reads':^17}")
    print(header)
    print("  " + "-" * (len(header) - 2))
    dictionary = demo.handler.dictionary
    for i in range(cycles):
        dictionary.set("STO_COMMAND", (i // 100) % 2 == 1)
        dictionary.set("SS1_COMMAND", (i // 50) % 2 == 1)
        dictionary.set("SPEED_LIMIT", 1000 + 10 * i)
        sent_inputs = {"STO_ACTIVE": (i // 100) % 2 == 1, "TEMPERATURE": 20 + i // 10,
                       "ACTUAL_SPEED": int(1500 * math.sin(i / 30))}
        demo.set_slave_inputs(sent_inputs)
        demo.cycle()
        if i % every == every - 1:
            out = [dictionary.get(name) for name in OUTPUTS]
            seen = demo.outputs_seen_by_slave()
            got = [dictionary.get(name) for name in INPUTS]
            print(f"  {demo.cycle_count:5} | {fmt(out):^24} | {fmt([seen[n] for n in OUTPUTS]):^24} |"
                  f" {fmt([sent_inputs[n] for n in INPUTS]):^17} | {fmt(got):^17}")
    print("  (an output reaches the slave with the next request, one cycle after the master sets it)")


def fmt(values):
    return " ".join(("1" if v else "0") if isinstance(v, bool) else str(v) for v in values)


def inject_faults(demo):
    print("\n3. Faults, one of each kind, and the way back to Data")
    slave, handler = demo.slave, demo.handler
    faults = [
        ("corrupted CRC", lambda: slave.corrupt_crc()),
        ("wrong connection id", lambda: slave.corrupt_connection_id()),
        ("command of another state (SESSION)", lambda: slave.send_command(ts.FSOECommand.SESSION)),
        ("unknown command 0x99", lambda: slave.send_command(0x99)),
        ("slave reset with error INVALID_DATA", lambda: slave.send_reset(ts.BaseError.INVALID_DATA)),
        ("wrong echo in the Connection state (after a host reset)", lambda: host_reset_then(demo, slave.corrupt_echo)),
    ]
    injected = 0
    for title, inject in faults:
        print(f"  -- {title}")
        start, states = demo.cycle_count, len(demo.state_log)
        inject()
        injected += 1
        demo.cycle()
        demo.run_until_data()
        demo.cycle()
        show_recovery(demo, start, states)

    print("  -- fail-safe data from the slave for 5 cycles (no fault: inputs take their fail-safe values)")
    demo.set_slave_inputs({"STO_ACTIVE": False, "TEMPERATURE": 30, "ACTUAL_SPEED": 700})
    demo.cycle()
    slave.fail_safe = True
    for _ in range(5):
        demo.cycle()
    print(f"  cycle {demo.cycle_count:5}  inputs   {dict((n, handler.dictionary.get(n)) for n in INPUTS)}")
    slave.fail_safe = False
    demo.cycle()
    demo.cycle()
    print(f"  cycle {demo.cycle_count:5}  inputs   {dict((n, handler.dictionary.get(n)) for n in INPUTS)}")
    injected += 1

    print(f"  -- the slave falls silent until the master's watchdog ({WATCHDOG_S * 1000:.0f} ms) expires")
    start, states = demo.cycle_count, len(demo.state_log)
    slave.silence(1 << 30)
    deadline = time.monotonic() + 10 * WATCHDOG_S
    while handler.state is not ts.StateReset and time.monotonic() < deadline:
        demo.cycle()
        time.sleep(0.002)
    slave.clear_faults()
    injected += 1
    demo.run_until_data()
    demo.cycle()
    show_recovery(demo, start, states)
    return injected


def host_reset_then(demo, inject):
    print(f"  cycle {demo.cycle_count:5}  host reset() (never reported)")
    demo.handler.reset()
    inject()


def show_recovery(demo, start, states):
    if ts.StateReset in demo.state_log[states:]:
        how = f"the master's Reset request carried {ts.BaseError(demo.slave.master_error).name}"
    else:
        how = "through a new session, without a Reset"
    print(f"     back in Data after {demo.cycle_count - start} cycles; {how}")


def main(argv=None):
    parser = argparse.ArgumentParser(description="An FSoE master against a simulated slave.")
    parser.add_argument("--record", metavar="FILE", help="save every frame to this pcapng file")
    args = parser.parse_args(argv)
    print("tamsel demo: FSoE master against a simulated slave\n")
    demo = Demo()
    recorder = FrameRecorder(demo.handler, capacity=1 << 16) if args.record else None
    try:
        show_start_up(demo)
        demo.master_time, demo.master_cycles = 0.0, 0
        show_data(demo)
        data_time, data_cycles = demo.master_time, demo.master_cycles
        injected = inject_faults(demo)
        print("\n4. Summary")
        print(f"  cycles run             {demo.cycle_count}")
        print(f"  faults injected        {injected} (fail-safe data is not a fault for the master)")
        print(f"  faults reported        {len(demo.reports)}: {', '.join(t for t, _ in demo.reports)}")
        print(f"  slave rejected frames  {len(demo.slave.rejections)}")
        print(f"  final state            {demo.handler.state.__name__}, slave {demo.slave.phase.name}")
        print(f"  time per Data cycle    {1e6 * data_time / data_cycles:.2f} us in the master"
              f" (set_reply + get_request, mean of {data_cycles})")
    finally:
        demo.quiet = True
        demo.handler.stop()
        demo.handler.delete()
        if recorder:
            saved = recorder.save(args.record)
            recorder.close()
            print(f"  frames recorded        {saved} in {args.record} (python -m tamsel.trace show {args.record})")


if __name__ == "__main__":
    main()
