"""The soak of the bus test: pysoem and SafetyChannel against the virtual drive at a 1 ms cycle,
with stalls of the host loop longer than the FSoE watchdog; after each the connection must come
back to Data. Prints one JSON object: the time and cycles each recovery took and what the
master reported."""
import argparse
import json
import time

import tamsel.tamsel as ts
from bus_master import Bus
from tamsel.ethercat import SafetyChannel


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--interface", required=True)
    parser.add_argument("--watchdog-ms", type=int, default=100)
    parser.add_argument("--stalls", type=int, default=20)
    parser.add_argument("--stall-ms", type=int, default=250)
    parser.add_argument("--period-ms", type=float, default=1.0)
    parser.add_argument("--limit-s", type=float, default=10.0, help="longest a recovery may take")
    args = parser.parse_args()
    result = {}
    bus = Bus(args)
    bus.bring_up(result)
    period = args.period_ms / 1000
    dictionary = ts.Dictionary([ts.DictionaryItemOutput(0x10, "SPEED_LIMIT", ts.DataType.UINT16),
                                ts.DictionaryItemInput(0x20, "COUNTER", ts.DataType.UINT16, 0)])
    entered_data = []

    def on_state(state):
        bus.states.append(state.__name__)
        if state is ts.StateData:
            entered_data.append(time.monotonic())
            handler.set_fail_safe(False)

    handler = ts.MasterHandler(dictionary, 0x000A, 0x1234, args.watchdog_ms / 1000,
                               report_error_callback=lambda t, m: bus.reports.append([bus.cycles, t, m]),
                               state_change_callback=on_state)

    def paced_cycle(channel):
        started = time.monotonic()
        bus.cycle(channel)
        time.sleep(max(0.0, period - (time.monotonic() - started)))

    recoveries, stall_reports = [], []
    try:
        handler.master.dictionary_map.add(dictionary.name_map["SPEED_LIMIT"])
        handler.slave.dictionary_map.add(dictionary.name_map["COUNTER"])
        channel = SafetyChannel(handler, bus.master.slaves[0])
        handler.start()
        result["cycles_to_data"] = bus.until_data(handler, channel)
        result["reports_at_start"] = list(bus.reports)
        for _ in range(args.stalls):
            for _ in range(100):  # Data at the cycle time before the stall
                paced_cycle(channel)
            reports_before, data_before = len(bus.reports), len(entered_data)
            time.sleep(args.stall_ms / 1000)  # the host loop stalls: no bus cycle at all
            resumed, cycles = time.monotonic(), bus.cycles
            while len(entered_data) == data_before or handler.state is not ts.StateData:
                if time.monotonic() - resumed > args.limit_s:
                    raise RuntimeError(f"no Data {args.limit_s} s after a stall; reports {bus.reports[-8:]}")
                paced_cycle(channel)
            recoveries.append([round((entered_data[-1] - resumed) * 1000, 1), bus.cycles - cycles])
            stall_reports.append([[t, m] for _, t, m in bus.reports[reports_before:]])
        for _ in range(100):
            paced_cycle(channel)
        result["final_state"] = handler.state.__name__
    finally:
        bus.close(handler)
    result["recoveries"] = recoveries  # [ms, cycles] from the end of each stall to Data
    result["stall_reports"] = stall_reports
    print(json.dumps(result))


if __name__ == "__main__":
    main()
