"""A connection always comes back to Data on a bus with latency.

The master and each slave (the package's simulated slave and the tests' emulator) run on the
simulated bus of bus_link with 0 to 3 cycles of latency each way. In every state of the master
one event happens: a frame corrupted in transit either way, a slave Reset with each error code, a
host reset, two watchdog expiries 0 to 5 cycles apart, or a stall of the host loop longer than
both watchdogs. Every run must be back in Data, and stay there, within

    bound = stall + 2 * W + (STARTUP + 1) * RT

cycles of the event, where W is the master's watchdog in cycles, RT = d_ms + d_sm + 1 the cycles
from one master frame to the next in lock step with the slave, and STARTUP the frames of a
start-up from Reset (Reset, Session, Connection and Parameter frames). The worst case is a fault
the bus cannot show: a slave Reset frame equal to the one already there. The watchdog notices it
(W), the slave's acknowledgement of the master's Reset is the frame already there too, so the
watchdog runs out once more in Reset (W), then the start-up runs, with one round trip of frames
still in flight from before.
"""

import math
import statistics

import pytest

import tamsel.tamsel as ts
from bus_link import BusLink, corrupt_at, replace_at

W = 60  # the master's watchdog in cycles; the simulated slave's is the same
SIZE = 2  # safe-data bytes each way
PARAMS = ((0x12, 1),)
STARTUP = 1 + math.ceil(2 / SIZE) + math.ceil(4 / SIZE) + math.ceil((6 + sum(n for _, n in PARAMS)) / SIZE)
LATENCIES = [(d_ms, d_sm) for d_ms in range(4) for d_sm in range(4)]
STATES = ["StateSession", "StateConnection", "StateParameter", "StateData"]
STALL = W + 5


def events(side):
    out = [("corrupt to slave", None), ("corrupt to master", None), ("host reset", None)]
    out += [("slave reset", code) for code in range(12)]
    out += [("watchdog twice", gap) for gap in range(6)]
    out.append(("stall", STALL))
    return out


def inject(link, event, argument, cycle):
    if event == "corrupt to slave":
        link.to_slave.hook = corrupt_at(cycle)
    elif event == "corrupt to master":
        link.to_master.hook = corrupt_at(cycle)
    elif event == "host reset":
        link.at(cycle, lambda link: link.handler.reset())
    elif event == "slave reset":
        link.at(cycle, lambda link: link.side.obj.send_reset(argument))
    elif event == "watchdog twice":
        link.at(cycle, BusLink.expire_watchdog)
        link.at(cycle + argument, BusLink.expire_watchdog)
    else:
        link.stall(argument)


def bound(d_ms, d_sm, stall=0):
    return stall + 2 * W + (STARTUP + 1) * (d_ms + d_sm + 1)


def recovery(side, d_ms, d_sm, state, event, argument):
    """Runs one case; returns (cycles from the event to Data for good, or None; the link)."""
    link = BusLink.make(side, d_ms=d_ms, d_sm=d_sm, watchdog_cycles=W, slave_watchdog_cycles=W, out_size=SIZE,
                        in_size=SIZE, params=PARAMS, session_id=0x4242)
    link.run_until(lambda link: link.handler.state.__name__ == state, 20 * (d_ms + d_sm + 1))
    if state == "StateData":
        link.run(d_ms + d_sm + 2)  # both sides in Data
    start = link.cycle
    inject(link, event, argument, start)
    limit = bound(d_ms, d_sm, STALL if event == "stall" else 0)
    # Data must last longer than any trouble still in flight, and than a watchdog period.
    hold = W + 3 * (d_ms + d_sm + 1)
    left = False
    while link.cycle < start + limit + hold:
        link.step()
        left = left or not link.in_data()
        settled = link.settled_in_data(start)
        if left and settled is not None and link.cycle - settled >= hold:
            return settled - start, link
    return None, link


@pytest.mark.parametrize("side", ["simulated", "emulator"])
def test_every_run_of_the_latency_grid_is_back_in_data_within_the_bound(side):
    taken_by_latency = {}
    for d_ms, d_sm in LATENCIES:
        for state in STATES:
            for event, argument in events(side):
                taken, link = recovery(side, d_ms, d_sm, state, event, argument)
                try:
                    limit = bound(d_ms, d_sm, STALL if event == "stall" else 0)
                    assert taken is not None and taken <= limit, (
                        f"{side}, latency {d_ms}/{d_sm}, {state}, {event} {argument}: "
                        f"{'never back in Data' if taken is None else f'{taken} cycles > {limit}'}\n"
                        + link.describe(20))
                finally:
                    link.close()
                taken_by_latency.setdefault((d_ms, d_sm), []).append(taken - (STALL if event == "stall" else 0))
    print(f"\n{side}: cycles back to Data after the event (after the stall's end), by latency "
          f"master-to-slave/slave-to-master: median, worst, bound")
    for (d_ms, d_sm), taken in sorted(taken_by_latency.items()):
        print(f"  {d_ms}/{d_sm}: {statistics.median(taken)}, {max(taken)}, {bound(d_ms, d_sm)}")


@pytest.mark.parametrize("side", ["simulated", "emulator"])
def test_a_master_reset_delivered_twice_is_acknowledged_once(side):
    """Latency 1/0, a slave frame corrupted in Data: the master answers with Reset(INVALID_CRC),
    then with Reset(RESET) to the old frame still on the bus; the slave gets both and
    acknowledges both with the same frame, so the master opens one session and gets its
    answer."""
    link = BusLink.make(side, d_ms=1, d_sm=0, watchdog_cycles=W)
    try:
        link.run_until_data(30)
        link.run(60 - link.cycle)
        link.to_master.hook = corrupt_at(60)
        link.run(40)
        assert link.reports_since(60) == [("DATA_FAIL1", "Invalid slave CRC"),
                                          ("RESET_STAY1", "Invalid slave frame command")], link.describe(40)
        got = {r.cycle: r for r in link.records}
        assert got[61].master_sent[:3] == bytes([0x2A, 4, 0])  # Reset(INVALID_CRC)
        assert got[62].master_sent[:3] == bytes([0x2A, 0, 0])  # Reset(RESET) after RESET_STAY1
        assert got[62].slave_got == got[61].master_sent and got[63].slave_got == got[62].master_sent
        assert got[62].slave_sent == got[63].slave_sent == bytes.fromhex("2a0000c42d0000")
        assert link.settled_in_data(60) is not None and not link.side.rejections
    finally:
        link.close()


@pytest.mark.parametrize("handler_cls", [None, type("HostHandler", (ts.MasterHandler,), {})], ids=["own", "host"])
@pytest.mark.parametrize("size, answered", [(2, False), (1, False), (1, True)])
def test_a_copy_of_the_reset_frame_that_opened_the_session_opens_no_other(handler_cls, size, answered):
    """In Session, before a valid Session frame came, a slave Reset frame equal to the one that
    opened the session is that reset seen again; after a valid one it is a new reset."""
    link = BusLink.make("emulator", out_size=size, in_size=size, handler_cls=handler_cls)
    try:
        link.run_until_data(40)
        link.side.obj.send_reset(4)
        link.run_until(lambda link: link.handler.state is ts.StateSession, 5)
        opening = link.records[-1].master_got
        assert opening[0] == 0x2A and link.reports_since(0)[-1][0] == "DATA_RESET1"
        if answered:  # one byte per frame: the first valid Session answer leaves the state as it is
            link.step()
            assert link.handler._second_session_frame_sent and link.handler.state is ts.StateSession
        else:  # an answer to an older Session frame
            link.to_master.hook = replace_at(link.cycle, [bytes([0x4E]) + bytes(len(opening) - 1)])
            link.step()
            assert link.records[-1].reports == [("SESSION_STAY2", "Invalid slave CRC")]
        request = link.handler.get_request()
        link.to_master.hook = replace_at(link.cycle, [opening])
        link.step()
        if answered:
            assert [name for name, _ in link.records[-1].reports] == ["SESSION_RESET1"]
        else:
            assert link.records[-1].reports == [] and link.handler.get_request() == request
            assert link.handler.state is ts.StateSession
    finally:
        link.close()
