"""Cost of the frame recorder: Data-state cycles (set_reply of a new valid frame, then
get_request) of a handler without a recorder and of one with a FrameRecorder attached,
measured alternately in one run on the same recorded frames. A cycle captures two frames.
"""
import statistics
import sys

import cycle
import tamsel.tamsel as ts
from tamsel.trace import FrameRecorder

ROUNDS = 5


def timed_replay(size, startup, frames, attach):
    handler = cycle.make_handler(size)
    recorder = None
    try:
        cycle.connect(handler, startup)
        recorder = FrameRecorder(handler) if attach else None
        return cycle.timed_batches(handler, frames)
    finally:
        if recorder:
            recorder.close()
        handler.delete()


def main():
    ts.randint = lambda low, high: cycle.MASTER_SESSION_ID
    print(f"{'safe data':>10} {'detached ns':>12} {'attached ns':>12} {'per frame ns':>13}")
    for size in (1, 16):
        startup, _, frames = cycle.record(size, changing=False)
        detached, attached = [], []
        for _ in range(ROUNDS):
            detached += timed_replay(size, startup, frames, attach=False)
            attached += timed_replay(size, startup, frames, attach=True)
        plain, recorded = statistics.median(detached), statistics.median(attached)
        print(f"{size:>8} B {plain:>12.0f} {recorded:>12.0f} {(recorded - plain) / 2:>13.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
