"""Instructions of one steady Data-state cycle (set_reply of a new valid frame, then
get_request) called from Python, counted with callgrind.

A connection is recorded once with the package's slave simulator, inputs and outputs steady,
both session ids fixed; every request of a replay into a fresh handler is then checked byte
for byte against the recording. Two replays of that recording, SHORT and LONG cycles long, run
in child processes under callgrind; everything but the replayed cycles is the same in both
(start-up, loading the recording, the final check), so the difference of the two instruction
totals divided by LONG - SHORT is the cost of one cycle, with the loop that calls the two
methods.

    python bench/count_cycle.py          # the table
    python bench/count_cycle.py --child FILE CYCLES   # one replay (run under callgrind)
"""
import marshal
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import tamsel.tamsel as ts
from cycle import MASTER_SESSION_ID, connect, layout, make_handler, record

SHORT = 500
LONG = 2500
# Safe-data bytes each way: 8 BOOL items (1 B) and 16 UINT8 items (16 B), as cycle.py lays them out.
SIZES = (1, 16)
BUDGET = {1: 1400, 16: 1950}


def fix_session_ids():
    ts.randint = lambda low, high: MASTER_SESSION_ID


def replayed_handler(size, startup):
    handler = make_handler(size)
    connect(handler, startup)
    return handler


def check_replay(size, startup, frames):
    """Every request of a replay equals the recorded one."""
    handler = replayed_handler(size, startup)
    try:
        for index, (reply, request) in enumerate(frames):
            handler.set_reply(reply)
            if handler.get_request() != request:
                raise SystemExit(f"{size} B: the replay's request {index} differs from the recording")
    finally:
        handler.delete()


def child(path, cycles):
    """The counted run: start-up, then `cycles` replayed cycles in the loop cycle.py times."""
    fix_session_ids()
    with open(path, "rb") as file:
        size, startup, frames = marshal.load(file)
    handler = replayed_handler(size, startup)
    try:
        replies = [reply for reply, _ in frames]
        # Both runs copy the same number of references: the slice sizes add up to LONG.
        counted, rest = replies[:cycles], replies[cycles:LONG]
        set_reply, get_request = handler.set_reply, handler.get_request
        for reply in counted:
            set_reply(reply)
            get_request()
        assert handler.get_request() == frames[cycles - 1][1] and len(counted) + len(rest) == LONG
    finally:
        handler.delete()


def instructions(path, cycles, workdir):
    out = workdir / f"callgrind.{cycles}"
    command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
               str(pathlib.Path(__file__).resolve()), "--child", str(path), str(cycles)]
    done = subprocess.run(command, capture_output=True, text=True, check=False,
                          env={**os.environ, "PYTHONHASHSEED": "0"})
    if done.returncode != 0:
        raise SystemExit(f"the counted replay failed:\n{done.stderr[-2000:]}")
    totals = re.search(r"^summary:\s+(\d+)", out.read_text(), re.MULTILINE)
    if not totals:
        raise SystemExit(f"no instruction total in {out}")
    return int(totals.group(1))


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
        return 0
    if not shutil.which("valgrind"):
        raise SystemExit("valgrind is missing: install it (apt-get install valgrind)")
    fix_session_ids()
    print(f"{'safe data':>10} {'items each way':>15} {'instructions per cycle':>23}")
    counted = {}
    with tempfile.TemporaryDirectory() as directory:
        workdir = pathlib.Path(directory)
        for size in SIZES:
            startup, _, frames = record(size, changing=False)
            frames = frames[:LONG]
            check_replay(size, startup, frames)
            path = workdir / f"recording.{size}"
            path.write_bytes(marshal.dumps((size, startup, frames)))
            short, long = (instructions(path, cycles, workdir) for cycles in (SHORT, LONG))
            counted[size] = (long - short) / (LONG - SHORT)
            data_type, count = layout(size)
            print(f"{size:>8} B {f'{count} {data_type.name}':>15} {counted[size]:>23.0f}")
    within = all(counted[size] <= BUDGET[size] for size in SIZES)
    print(f"budget (at most {BUDGET[1]:,} instructions at 1 B and {BUDGET[16]:,} at 16 B):",
          "met" if within else "NOT met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
