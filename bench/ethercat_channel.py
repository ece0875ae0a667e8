"""Cost of SafetyChannel.exchange() over the module's own cycle (set_reply + get_request).

Frames recorded once from a connection with the simulated slave are replayed, 1,000 cycles per
loop, into fresh handlers: once bare, once through a SafetyChannel over a process-data object
holding the reply among non-safe bytes (as pysoem's slave objects do). Both loops also store
the cycle's input image in the process-data object, as the bus would.
"""
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import tamsel.tamsel as ts  # noqa: E402
from cycle import MASTER_SESSION_ID, connect, make_handler, record  # noqa: E402
from tamsel.ethercat import SafetyChannel, frame_size  # noqa: E402

LOOP_CYCLES = 1000
ROUNDS = 30
PREFIX, SUFFIX = 4, 2


class ProcessData:
    __slots__ = ("input", "output")

    def __init__(self, input_size, output_size):
        self.input = bytes(input_size)
        self.output = bytes(output_size)


def loop_ns(size, startup, frames, through_channel):
    """Per-cycle nanoseconds of each 1,000-cycle loop, one fresh handler per loop."""
    images = [bytes(PREFIX) + reply + bytes(SUFFIX) for reply, _ in frames[:LOOP_CYCLES]]
    replies = [reply for reply, _ in frames[:LOOP_CYCLES]]
    timings = []
    for _ in range(ROUNDS):
        handler = make_handler(size)
        try:
            connect(handler, startup)
            pd = ProcessData(len(images[0]), PREFIX + frame_size(size) + SUFFIX)
            if through_channel:
                exchange = SafetyChannel(handler, pd, input_offset=PREFIX, output_offset=PREFIX).exchange
                began = time.perf_counter_ns()
                for image in images:
                    pd.input = image
                    exchange()
            else:
                set_reply, get_request = handler.set_reply, handler.get_request
                began = time.perf_counter_ns()
                for image, reply in zip(images, replies):
                    pd.input = image
                    set_reply(reply)
                    get_request()
            timings.append((time.perf_counter_ns() - began) / LOOP_CYCLES)
            expected = frames[LOOP_CYCLES - 1][1]
            got = pd.output[PREFIX:PREFIX + len(expected)] if through_channel else handler.get_request()
            assert got == expected, "replay diverged from the recording"
        finally:
            handler.delete()
    return statistics.median(timings)


def main():
    ts.randint = lambda low, high: MASTER_SESSION_ID
    print(f"{'safe data':>10} {'module cycle ns':>16} {'via channel ns':>15} {'exchange() adds':>16}")
    for size in (1, 2, 16):
        startup, _, frames = record(size, changing=True)
        bare, channel = [], []
        for _ in range(3):  # alternate, so both see the same load
            bare.append(loop_ns(size, startup, frames, False))
            channel.append(loop_ns(size, startup, frames, True))
        bare_ns, channel_ns = statistics.median(bare), statistics.median(channel)
        print(f"{size:>8} B {bare_ns:>16.0f} {channel_ns:>15.0f} {channel_ns - bare_ns:>13.0f} ns")
    return 0


if __name__ == "__main__":
    sys.exit(main())
