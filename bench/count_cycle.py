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
    python bench/count_cycle.py --profile   # and, per size, the functions a cycle spends in
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
ROOT = pathlib.Path(__file__).resolve().parent.parent
SIZES = (1, 16)
BUDGET = {1: 1400, 16: 1950}
PROFILE_ROWS = 25


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


GNU_BUILD_ID = b"\x04\x00\x00\x00\x14\x00\x00\x00\x03\x00\x00\x00GNU\x00"


def build_id(path):
    data = path.read_bytes()
    at = data.find(GNU_BUILD_ID)
    return data[at + len(GNU_BUILD_ID):at + len(GNU_BUILD_ID) + 20] if at >= 0 else None


def with_symbols(workdir):
    """A copy of the installed package whose extensions are the build tree's, which keep their
    symbols (the installed ones are stripped), so that a profile names the functions. None when
    the build tree holds no extension of the very build that is installed."""
    package = pathlib.Path(ts.__file__).parent
    overlay = workdir / "overlay"
    shutil.copytree(package, overlay / package.name, ignore=shutil.ignore_patterns("__pycache__"))
    for installed in package.glob("*.so"):
        built = [candidate for candidate in ROOT.glob(f"build/*/{installed.name}")
                 if build_id(candidate) == build_id(installed)]
        if not built:
            return None
        shutil.copy2(built[0], overlay / package.name / installed.name)
    return overlay


def instructions(path, cycles, workdir, overlay=None):
    out = workdir / f"callgrind.{cycles}"
    command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
               str(pathlib.Path(__file__).resolve()), "--child", str(path), str(cycles)]
    # The overlay comes first on the path; the bench folder (cycle.py) stays the script's own.
    extra = {"PYTHONPATH": str(overlay)} if overlay else {}
    done = subprocess.run(command, capture_output=True, text=True, check=False,
                          env={**os.environ, "PYTHONHASHSEED": "0", **extra})
    if done.returncode != 0:
        raise SystemExit(f"the counted replay failed:\n{done.stderr[-2000:]}")
    totals = re.search(r"^summary:\s+(\d+)", out.read_text(), re.MULTILINE)
    if not totals:
        raise SystemExit(f"no instruction total in {out}")
    return int(totals.group(1))


def short_name(function):
    """A C++ function's qualified name without its parameters and template arguments."""
    name = function.replace("(anonymous namespace)", "{anonymous}").split("(")[0].removesuffix("'2")
    return name.split("<")[0] + "<...>" if "<" in name else name


def self_costs(out):
    """Instructions spent in each function itself (with what was inlined into it), from a
    callgrind file."""
    done = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", str(out)],
                          capture_output=True, text=True, check=True)
    costs = {}
    for line in done.stdout.splitlines():
        row = re.match(r"^\s*([\d,]+) \([^)]*\)\s+[^:\s]*:(.+?)(?: \[[^\]]*\])?$", line)
        if row:
            function = short_name(row.group(2))
            costs[function] = costs.get(function, 0) + int(row.group(1).replace(",", ""))
    return costs


def print_profile(workdir):
    """The functions of one cycle by the instructions they spend themselves, per cycle."""
    short, long = (self_costs(workdir / f"callgrind.{cycles}") for cycles in (SHORT, LONG))
    per_cycle = {name: (long.get(name, 0) - short.get(name, 0)) / (LONG - SHORT) for name in short.keys() | long.keys()}
    rows = sorted(per_cycle.items(), key=lambda row: -row[1])[:PROFILE_ROWS]
    for name, cost in rows:
        print(f"{cost:>12.1f}  {name}")
    shown, whole = sum(cost for _, cost in rows), sum(per_cycle.values())
    print(f"{shown:>12.1f}  (the {len(rows)} rows above; the cycle: {whole:.1f})")


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
        return 0
    profile = sys.argv[1:] == ["--profile"]
    if not shutil.which("valgrind"):
        raise SystemExit("valgrind is missing: install it (apt-get install valgrind)")
    fix_session_ids()
    print(f"{'safe data':>10} {'items each way':>15} {'instructions per cycle':>23}")
    counted = {}
    with tempfile.TemporaryDirectory() as directory:
        workdir = pathlib.Path(directory)
        overlay = with_symbols(workdir) if profile else None
        if profile and overlay is None:
            print("(no unstripped build of the installed extensions under build/: their functions go unnamed)")
        for size in SIZES:
            startup, _, frames = record(size, changing=False)
            frames = frames[:LONG]
            check_replay(size, startup, frames)
            path = workdir / f"recording.{size}"
            path.write_bytes(marshal.dumps((size, startup, frames)))
            short, long = (instructions(path, cycles, workdir, overlay) for cycles in (SHORT, LONG))
            counted[size] = (long - short) / (LONG - SHORT)
            data_type, count = layout(size)
            print(f"{size:>8} B {f'{count} {data_type.name}':>15} {counted[size]:>23.0f}")
            if profile:
                print_profile(workdir)
    within = all(counted[size] <= BUDGET[size] for size in SIZES)
    print(f"budget (at most {BUDGET[1]:,} instructions at 1 B and {BUDGET[16]:,} at 16 B):",
          "met" if within else "NOT met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
