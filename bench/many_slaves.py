"""1,000 handlers on one core: each handler has its own simulated slave, and one pass exchanges
one frame pair with every slave, once per millisecond.

Prints the time of one pass (median, p99), the watchdog expiries during the run and whether
any of them was false (an expiry although every handler was fed well within its timeout),
the construction and deletion time per handler and the resident memory per handler.

    python bench/many_slaves.py [handlers] [seconds]
"""
import os
import statistics
import sys
import time

import tamsel.tamsel as ts
from tamsel.slave import Slave

HANDLERS = 1000
SECONDS = 3.0
PERIOD_S = 0.001
WATCHDOG_S = 0.1  # handler and slave alike
ITEMS = 16  # UINT8 each way: 16 bytes of safe data per frame


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def dictionary_and_maps():
    outputs = [ts.DictionaryItemOutput(100 + i, f"out{i}", ts.DataType.UINT8) for i in range(ITEMS)]
    inputs = [ts.DictionaryItemInput(200 + i, f"in{i}", ts.DataType.UINT8, 0) for i in range(ITEMS)]
    return ts.Dictionary(outputs + inputs), outputs, inputs


def build(count):
    """Handlers with laid-out maps and their slaves; the constructor's time per handler."""
    pairs, constructor_s = [], []
    for index in range(count):
        dictionary, outputs, inputs = dictionary_and_maps()
        began = time.perf_counter()
        handler = ts.MasterHandler(dictionary, 1 + index % 0xFFFE, 1 + index % 0xFFFE, WATCHDOG_S)
        constructor_s.append(time.perf_counter() - began)
        for item in outputs:
            handler.master.dictionary_map.add(item)
            item.set(index & 0xFF)
        for item in inputs:
            handler.slave.dictionary_map.add(item)
        slave = Slave.for_handler(handler)
        slave.inputs = bytes((index + i) & 0xFF for i in range(ITEMS))
        pairs.append((handler, slave))
    return pairs, constructor_s


def one_pass(pairs):
    for handler, slave in pairs:
        handler.set_reply(slave.reply(handler.get_request()))


def connect(pairs):
    for handler, _ in pairs:
        handler.start()
    for _ in range(50):
        one_pass(pairs)
        if all(handler.state is ts.StateData for handler, _ in pairs):
            for handler, _ in pairs:
                handler.set_fail_safe(False)
            return
    raise SystemExit("not every handler reached the Data state")


def paced_passes(pairs, seconds):
    """Runs a pass every PERIOD_S; returns the pass times and the longest span between the
    start of one pass and the end of the next (the longest any handler waited for a frame)."""
    durations = []
    longest_gap = 0.0
    count = int(seconds / PERIOD_S)
    start = time.perf_counter()
    previous_start = None
    for k in range(count):
        deadline = start + k * PERIOD_S
        while (now := time.perf_counter()) < deadline:
            if deadline - now > 0.0002:
                time.sleep(deadline - now - 0.0001)
        began = time.perf_counter()
        one_pass(pairs)
        ended = time.perf_counter()
        durations.append(ended - began)
        if previous_start is not None:
            longest_gap = max(longest_gap, ended - previous_start)
        previous_start = began
    return durations, longest_gap


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else HANDLERS
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else SECONDS
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})  # one core for the host loop
    before_kib = resident_kib()
    pairs, constructor_s = build(count)
    connect(pairs)
    resident_per_handler = (resident_kib() - before_kib) / count
    one_pass(pairs)  # warm
    durations, longest_gap = paced_passes(pairs, seconds)
    expiries = sum(handler.statistics.watchdog_expiries for handler, _ in pairs)
    in_data = sum(handler.state is ts.StateData for handler, _ in pairs)
    rejections = sum(len(slave.rejections) for _, slave in pairs)
    deletion_s = []
    for handler, _ in pairs:
        began = time.perf_counter()
        handler.delete()
        deletion_s.append(time.perf_counter() - began)

    print(f"{count} handlers, each with a simulated slave, {ITEMS} UINT8 items each way; "
          f"one pass over all every {PERIOD_S * 1e3:g} ms for {seconds:g} s on one core")
    print(f"pass time: median {statistics.median(durations) * 1e3:.3f} ms, "
          f"p99 {percentile(durations, 0.99) * 1e3:.3f} ms, max {max(durations) * 1e3:.3f} ms "
          f"({len(durations)} passes; {statistics.median(durations) / count * 1e9:.0f} ns per handler)")
    fed_in_time = longest_gap < WATCHDOG_S
    false_expiries = expiries if fed_in_time else 0
    print(f"watchdog expiries: {expiries} (timeout {WATCHDOG_S * 1e3:g} ms, longest wait for a frame "
          f"{longest_gap * 1e3:.1f} ms); false expiries: {false_expiries}"
          + ("" if fed_in_time else " (the loop itself was late: expiries may be genuine)"))
    print(f"still in the Data state: {in_data} of {count}; slave rejections: {rejections}")
    print(f"per handler: construction {statistics.median(constructor_s) * 1e6:.0f} us median "
          f"(p99 {percentile(constructor_s, 0.99) * 1e6:.0f} us), deletion {statistics.median(deletion_s) * 1e6:.0f} us "
          f"median (p99 {percentile(deletion_s, 0.99) * 1e6:.0f} us), resident memory {resident_per_handler:.1f} KiB "
          f"(handler, its items and its slave, connected)")
    return 0 if false_expiries == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
