"""1,000 handlers on one core: each handler has its own simulated slave, and one pass exchanges
one frame pair with every slave, once per millisecond.

Prints the time of one pass (median, p99), the watchdog expiries during the run and whether
any of them was false (an expiry although every handler was fed well within its timeout),
the construction and deletion time per handler and the resident memory per handler. Then the
split of a pass: the same work done in separate sweeps over all handlers (the bare loop,
get_request, the slaves' reply, set_reply), each timed, per handler.

The host loop (construction, passes, deletion) runs on one core. Each watchdog thread is
started from it and so inherits that core; once the handlers are made, the watchdog threads
get back every core the process may use, so their wake-ups do not fall into the host's passes.

    python bench/many_slaves.py [handlers] [seconds]
"""
import os
import statistics
import sys
import threading
import time

import tamsel.tamsel as ts
from tamsel.slave import Slave

HANDLERS = 1000
SECONDS = 3.0
PERIOD_S = 0.001
WATCHDOG_S = 0.1  # handler and slave alike
ITEMS = 16  # UINT8 each way: 16 bytes of safe data per frame
SPLIT_PASSES = 300


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


def timed_pass(pairs):
    began = time.perf_counter()
    one_pass(pairs)
    return time.perf_counter() - began


def split_pass(pairs):
    """The work of one pass in separate sweeps over all handlers; the time of each sweep: the
    bare loop, the requests, the slaves' replies, the replies handed to the handlers."""
    t0 = time.perf_counter()
    for handler, slave in pairs:
        pass
    t1 = time.perf_counter()
    requests = [handler.get_request() for handler, _ in pairs]
    t2 = time.perf_counter()
    replies = [slave.reply(request) for (_, slave), request in zip(pairs, requests)]
    t3 = time.perf_counter()
    for (handler, _), reply in zip(pairs, replies):
        handler.set_reply(reply)
    t4 = time.perf_counter()
    return t1 - t0, t2 - t1, t3 - t2, t4 - t3


def watchdog_threads_cpu_s():
    """CPU time of every thread but this one (the watchdogs) so far, from the scheduler's
    statistics; None where the system does not keep them."""
    total_ns = 0
    for task in os.listdir("/proc/self/task"):
        if int(task) == threading.get_native_id():
            continue
        try:
            with open(f"/proc/self/task/{task}/schedstat") as schedstat:
                total_ns += int(schedstat.read().split()[0])
        except FileNotFoundError:  # a thread that ended meanwhile
            continue
        except OSError:
            return None
    return total_ns / 1e9


def release_watchdog_threads(cores):
    """Lets every thread but this one (the watchdogs) run on `cores` again."""
    for thread in threading.enumerate():
        if thread is not threading.current_thread() and thread.native_id is not None:
            os.sched_setaffinity(thread.native_id, cores)


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


def paced_passes(pairs, count, run=timed_pass):
    """Runs `run(pairs)` (a pass) every PERIOD_S; returns what each run returned and the longest
    span between the start of one pass and the end of the next (the longest any handler waited
    for a frame)."""
    results = []
    longest_gap = 0.0
    start = time.perf_counter()
    previous_start = None
    for k in range(count):
        deadline = start + k * PERIOD_S
        while (now := time.perf_counter()) < deadline:
            if deadline - now > 0.0002:
                time.sleep(deadline - now - 0.0001)
        began = time.perf_counter()
        results.append(run(pairs))
        ended = time.perf_counter()
        if previous_start is not None:
            longest_gap = max(longest_gap, ended - previous_start)
        previous_start = began
    return results, longest_gap


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else HANDLERS
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else SECONDS
    cores = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(cores)})  # one core for the host loop
    before_kib = resident_kib()
    pairs, constructor_s = build(count)
    release_watchdog_threads(cores)
    connect(pairs)
    resident_per_handler = (resident_kib() - before_kib) / count
    one_pass(pairs)  # warm
    watchdog_cpu_before = watchdog_threads_cpu_s()
    durations, longest_gap = paced_passes(pairs, int(seconds / PERIOD_S))
    watchdog_cpu_after = watchdog_threads_cpu_s()
    sweeps, split_gap = paced_passes(pairs, SPLIT_PASSES, split_pass)
    longest_gap = max(longest_gap, split_gap)
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
          f"(p99 {percentile(constructor_s, 0.99) * 1e6:.0f} us), "
          f"deletion {statistics.median(deletion_s) * 1e6:.0f} us "
          f"median (p99 {percentile(deletion_s, 0.99) * 1e6:.0f} us), resident memory {resident_per_handler:.1f} KiB "
          f"(handler, its items and its slave, connected)")
    loop_s, request_s, reply_s, set_reply_s = (statistics.median(column) / count * 1e9 for column in zip(*sweeps))
    print(f"pass split ({SPLIT_PASSES} passes done in separate sweeps, median per handler): loop {loop_s:.0f} ns, "
          f"get_request {request_s:.0f} ns, slave reply {reply_s:.0f} ns, set_reply {set_reply_s:.0f} ns")
    if watchdog_cpu_before is not None and watchdog_cpu_after is not None:
        print(f"watchdog threads: {(watchdog_cpu_after - watchdog_cpu_before) / len(durations) * 1e6:.0f} us of CPU "
              f"per pass period (waking once per timeout each; they may run on every core, the host loop on one)")
    return 0 if false_expiries == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
