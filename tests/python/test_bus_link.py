"""The simulated bus the latency tests run on: delays, transit faults and the watchdog model."""

import pytest

import tamsel.tamsel as ts
from bus_link import (BusLink, Channel, chain, corrupt_at, drop_at, hold_back, replace_at, swap_at)

FRAMES = [bytes([n]) * 4 for n in range(1, 13)]


def seen(channel, frames=FRAMES):
    """What the receiver sees in each cycle when `frames[t]` is sent at cycle t."""
    out = []
    for cycle, frame in enumerate(frames):
        channel.send(cycle, frame)
        out.append(channel.receive(cycle))
    return out


@pytest.mark.parametrize("delay", range(4))
@pytest.mark.parametrize("hook, expected", [
    (None, lambda f: f),
    (drop_at(3, 4), lambda f: f[:3] + [f[2], f[2]] + f[5:]),
    (swap_at(5), lambda f: f[:5] + [f[4], f[6], f[5]] + f[8:]),
    (hold_back(2, 6), lambda f: f[:2] + [f[1], f[3], f[4], f[5], f[2]] + f[7:]),
    (replace_at(4, [FRAMES[0], FRAMES[0]]), lambda f: f[:4] + [f[0], f[0]] + f[6:]),
    (corrupt_at(7, lambda f: b"bad"), lambda f: f[:7] + [b"bad"] + f[8:]),
    (chain(drop_at(2), corrupt_at(3, lambda f: b"bad")), lambda f: f[:2] + [f[1], b"bad"] + f[4:]),
])
def test_channel_delivers_the_latest_arrival_late_and_as_the_hook_says(delay, hook, expected):
    # Frame t, as the hook passes it on, is seen from cycle t + delay until a newer one arrives.
    want = [None] * delay + expected(list(FRAMES))[:len(FRAMES) - delay]
    assert seen(Channel(delay, hook)) == want


@pytest.mark.parametrize("side", ["simulated", "emulator"])
@pytest.mark.parametrize("d_ms, d_sm", [(d_ms, d_sm) for d_ms in range(4) for d_sm in range(4)])
def test_a_connection_opens_at_every_latency_without_a_report(side, d_ms, d_sm):
    link = BusLink.make(side, d_ms=d_ms, d_sm=d_sm, out_size=2, in_size=2)
    try:
        # Reset, Session, Connection (2 frames), Parameter (4 frames), each one round trip.
        taken = link.run_until_data(8 * (d_ms + d_sm + 1) + 2)
        link.run(3 * (d_ms + d_sm + 1))
        assert link.in_data() and link.side.phase == "DATA"
        assert link.reports_since(0) == [], link.describe()
        assert taken > 0 and not link.side.rejections
    finally:
        link.close()


@pytest.mark.parametrize("watchdog_cycles", [3, 7, 60])
def test_the_master_watchdog_runs_out_after_its_cycles_without_a_new_slave_frame(watchdog_cycles):
    link = BusLink.make("simulated", d_ms=1, d_sm=1, watchdog_cycles=watchdog_cycles)
    try:
        link.run_until_data(40)
        link.run(5)
        link.to_master.hook = drop_at(*range(link.cycle - link.to_master.delay, 10_000))
        link.run(watchdog_cycles + 3)
        got = [r.master_got for r in link.records]
        last_new = max(c for c in range(1, len(got)) if got[c] != got[c - 1])
        expired = [r.cycle for r in link.since(last_new) if r.expiries]
        assert expired == [last_new + watchdog_cycles]
        assert link.reports_since(last_new) == [("DATA_WD", "The watchdog of the master expired")]
        link.at(link.cycle, BusLink.expire_watchdog)
        link.step()
        assert link.records[-1].expiries == 1 and link.handler.state is ts.StateSession
    finally:
        link.close()


@pytest.mark.parametrize("side", ["simulated", "emulator"])
@pytest.mark.parametrize("stall, expired", [(5, False), (9, False), (10, True), (30, True)])
def test_the_slave_supervises_the_master_in_cycles(side, stall, expired):
    # In lock step a new master frame reaches the slave every cycle: a stall of n cycles is a
    # gap of n + 1, and more than 10 cycles is too long.
    link = BusLink.make(side, watchdog_cycles=None, slave_watchdog_cycles=10)
    try:
        link.run_until_data(40)
        link.run(6)
        link.stall(stall)
        link.run(stall + 4)
        assert sum(r.stalled for r in link.records) == stall
        rejected = [int(r.error) for r in link.side.rejections]
        assert rejected == ([ts.BaseError.WD_EXPIRED] if expired else []), link.describe()
    finally:
        link.close()
