"""Cost of one Data-state cycle of MasterHandler (set_reply of a new valid frame, then
get_request), against the master core (the same rules, no interpreter) taking the same frames;
the tail of single 16 B cycles and resident memory over a million cycles each.

The frames are recorded once from a connection with the package's slave simulator, then
replayed into a fresh handler (same session id, same outputs, so every request comes out
byte for byte the same and every reply is valid); only set_reply and get_request are timed.
Steady and changing inputs, handler and core take turns in every trial, so that each ratio
(to the core, and changing to steady) compares figures taken under the same load.
"""
import array
import os
import pathlib
import statistics
import subprocess
import sys
import time

import tamsel.tamsel as ts
from tamsel.slave import Slave

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORE = ROOT / "build" / "bench" / "bench" / "core_cycle"
SESSION_ID = 0x3C5A
MASTER_SESSION_ID = 0x2961
CYCLES = 20000
BATCH = 500
CORE_ROUNDS = 3
TRIALS = 5
MEMORY_CYCLES = 1_000_000
TAIL_CYCLES = 1_000_000


def layout(size):
    """Data type and count of the items of one direction: 16 items each way where they fit."""
    if size == 16:
        return ts.DataType.UINT8, 16
    return ts.DataType.BOOL, 8 * size


def make_handler(size):
    data_type, count = layout(size)
    outputs = [ts.DictionaryItemOutput(100 + i, f"out{i}", data_type) for i in range(count)]
    inputs = [ts.DictionaryItemInput(200 + i, f"in{i}", data_type, data_type.get_initial_value()) for i in range(count)]
    dictionary = ts.Dictionary(outputs + inputs)
    handler = ts.MasterHandler(dictionary, 0x0A, 0x1234, 10.0)
    for item in outputs:
        handler.master.dictionary_map.add(item)
        item.set(True if data_type is ts.DataType.BOOL else (item.key * 7) & 0xFF)
    for item in inputs:
        handler.slave.dictionary_map.add(item)
    return handler


def input_image(size, cycle, changing):
    if not changing:
        return bytes((0xA5 + i) & 0xFF for i in range(size))
    return bytes((cycle * 3 + i * 17) & 0xFF for i in range(size))


def connect(handler, replies=None):
    """Start and cycle to Data; returns the replies used (recorded or given)."""
    handler.start()
    used = []
    slave = None if replies else Slave.for_handler(handler, session_id=SESSION_ID)
    while handler.state is not ts.StateData or len(used) < 2:
        reply = replies[len(used)] if replies else slave.reply(handler.get_request())
        handler.set_reply(reply)
        used.append(reply)
    handler.set_fail_safe(False)
    return used, slave


def record(size, changing):
    handler = make_handler(size)
    try:
        startup, slave = connect(handler)
        control = (handler.master.frame.control, handler.slave.frame.control)
        snapshot = (control[0].sequence_number, control[0].crc0, control[1].sequence_number, control[1].crc0,
                    handler.master._last_crc0_sent, handler.slave._last_crc0_sent)
        frames = []
        for cycle in range(CYCLES):
            slave.inputs = input_image(size, cycle, changing)
            reply = slave.reply(handler.get_request())
            handler.set_reply(reply)
            frames.append((reply, handler.get_request()))
        assert not slave.rejections and handler.state is ts.StateData
        return startup, snapshot, frames
    finally:
        handler.delete()


def timed_batches(handler, frames):
    """Per-cycle nanoseconds of every batch of a replay into a connected handler."""
    set_reply, get_request = handler.set_reply, handler.get_request
    replies = [reply for reply, _ in frames]
    timings = []
    for start in range(0, len(replies), BATCH):
        batch = replies[start:start + BATCH]
        began = time.perf_counter_ns()
        for reply in batch:
            set_reply(reply)
            get_request()
        timings.append((time.perf_counter_ns() - began) / len(batch))
    assert handler.get_request() == frames[-1][1], "replay diverged from the recording"
    return timings


def replay(size, startup, frames):
    """Per-cycle nanoseconds of every batch of a replay into a fresh handler."""
    handler = make_handler(size)
    try:
        connect(handler, startup)
        return timed_batches(handler, frames)
    finally:
        handler.delete()


def core(size, snapshot, frames):
    data_type, count = layout(size)
    handler = make_handler(size)
    try:
        outputs = " ".join(f"{e.position_bits} {e.bits} {e._read()}" for e in handler.master.dictionary_map)
        inputs = " ".join(f"{e.position_bits} {e.bits}" for e in handler.slave.dictionary_map)
    finally:
        handler.delete()
    lines = [f"{size} {size}", f"{count} {outputs}", f"{count} {inputs}",
             " ".join(str(v) for v in snapshot), f"{ts.FSOECommand.PROCESS_DATA.value} {0x1234}",
             f"{CORE_ROUNDS} {BATCH} {len(frames)}"]
    lines += [f"{reply.hex()} {request.hex()}" for reply, request in frames]
    done = subprocess.run([str(CORE)], input="\n".join(lines), capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise SystemExit(f"core_cycle failed: {done.stderr.strip()}")
    return float(done.stdout)


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def memory_growth(size):
    handler = make_handler(size)
    try:
        _, slave = connect(handler)
        for cycle in range(20000):
            slave.inputs = input_image(size, cycle, True)
            slave.exchange(handler)
        before = resident_kib()
        for cycle in range(MEMORY_CYCLES):
            slave.inputs = input_image(size, cycle, True)
            slave.exchange(handler)
        assert handler.state is ts.StateData and not slave.rejections
        return resident_kib() - before
    finally:
        handler.delete()


def tail_latency(size):
    """Times of TAIL_CYCLES single cycles against the live slave (inputs steady), in ns, and the
    cost of the clock read that each of them includes."""
    handler = make_handler(size)
    try:
        _, slave = connect(handler)
        slave.inputs = input_image(size, 0, False)
        set_reply, get_request = handler.set_reply, handler.get_request
        reply_to, clock = slave.reply, time.perf_counter_ns
        samples = array.array("q", bytes(8 * TAIL_CYCLES))
        request = get_request()
        for index in range(TAIL_CYCLES):
            reply = reply_to(request)
            began = clock()
            set_reply(reply)
            request = get_request()
            samples[index] = clock() - began
        assert handler.state is ts.StateData and not slave.rejections
    finally:
        handler.delete()
    clock_ns = statistics.median(-(clock() - clock()) for _ in range(10001))
    return sorted(samples), clock_ns


def quantile(ordered, fraction):
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def main():
    # Both session ids fixed, so a replay computes the very requests of the recording.
    ts.randint = lambda low, high: MASTER_SESSION_ID
    if not CORE.exists():
        raise SystemExit(f"{CORE} is missing: run `make bench`")
    print(f"{'safe data':>10} {'inputs':>9} {'cycle ns':>9} {'core ns':>8} {'ratio':>6} {'ratio min-max':>14} "
          f"{'vs steady':>9}")
    results = {}
    for size in (1, 2, 16):
        recordings = {changing: record(size, changing) for changing in (False, True)}
        trials = {False: [], True: []}  # per trial: (handler batch timings, core ns)
        for _ in range(TRIALS):  # core and handler, steady and changing alternately: all see the same load
            for changing, (startup, snapshot, frames) in recordings.items():
                trials[changing].append((replay(size, startup, frames), core(size, snapshot, frames)))
        for changing in (False, True):
            ratios = [statistics.median(timed) / core_ns for timed, core_ns in trials[changing]]
            cycle_ns = statistics.median([t for timed, _ in trials[changing] for t in timed])
            core_ns = statistics.median([core_ns for _, core_ns in trials[changing]])
            # Changing against steady, paired trial by trial.
            versus = statistics.median(statistics.median(timed) / statistics.median(steady)
                                       for (timed, _), (steady, _) in zip(trials[True], trials[False]))
            results[size, changing] = cycle_ns, statistics.median(ratios), versus
            print(f"{size:>8} B {'changing' if changing else 'steady':>9} {cycle_ns:>9.0f} {core_ns:>8.1f} "
                  f"{results[size, changing][1]:>5.2f}x {min(ratios):>6.2f}-{max(ratios):.2f}x "
                  f"{f'{versus:.2f}x' if changing else '':>9}")
    ordered, clock_ns = tail_latency(16)
    print(f"16 B cycle, inputs steady, {TAIL_CYCLES:,} single cycles: median {quantile(ordered, 0.5)} ns, "
          f"p99 {quantile(ordered, 0.99)} ns, p99.9 {quantile(ordered, 0.999)} ns, max {ordered[-1]} ns "
          f"(each includes one clock read, about {clock_ns:.0f} ns)")
    growth = memory_growth(16)
    print(f"resident memory growth over {MEMORY_CYCLES:,} cycles (16 B, inputs changing): {growth} KiB")
    within = (results[16, False][1] <= 2.0 and all(results[size, False][1] <= 2.5 for size in (1, 2))
              and all(results[size, True][2] <= 1.3 for size in (1, 2, 16))
              and growth < 1024)
    print("budget (core ratio at most 2x for 16 B and 2.5x for 1 B and 2 B, changing inputs at most 1.3x steady, "
          "growth below 1 MiB):", "met" if within else "NOT met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
