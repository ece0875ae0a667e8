"""A pysoem master that brings the virtual drive's FSoE connection to Data, prints "data", and
keeps it there, cycling, until a line arrives on its standard input; then prints what it saw
as one JSON object."""
import argparse
import json
import select
import sys

import tamsel.tamsel as ts
from bus_master import Bus
from tamsel.ethercat import SafetyChannel


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--interface", required=True)
    args = parser.parse_args()
    bus = Bus(args)
    result = {}
    bus.bring_up(result)
    dictionary = ts.Dictionary([ts.DictionaryItemOutput(0x10, "SPEED_LIMIT", ts.DataType.UINT16),
                                ts.DictionaryItemInput(0x20, "COUNTER", ts.DataType.UINT16, 0)])
    handler = ts.MasterHandler(dictionary, 0x000A, 0x1234, 1.0,
                               report_error_callback=lambda t, m: bus.reports.append([bus.cycles, t, m]),
                               state_change_callback=lambda state: bus.states.append(state.__name__))
    try:
        handler.master.dictionary_map.add(dictionary.name_map["SPEED_LIMIT"])
        handler.slave.dictionary_map.add(dictionary.name_map["COUNTER"])
        channel = SafetyChannel(handler, bus.master.slaves[0])
        handler.start()
        bus.until_data(handler, channel)
        reports_at_data, cycles_at_data = len(bus.reports), bus.cycles
        print("data", flush=True)
        inputs = set()
        while not select.select([sys.stdin], [], [], 0)[0]:
            bus.cycle(channel)
            inputs.add(dictionary.get("COUNTER"))
        result.update(reports=bus.reports[reports_at_data:], states=list(bus.states),
                      final_state=handler.state.__name__, cycles_in_data=bus.cycles - cycles_at_data,
                      inputs_distinct=len(inputs))
    finally:
        bus.close(handler)
    print(json.dumps(result), flush=True)


if __name__ == "__main__":
    main()
