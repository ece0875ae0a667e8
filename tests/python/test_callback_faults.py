"""A callback or subscriber that raises never stops the master's own reaction to a fault: the
transition, the error code of the next Reset request, the fail-safe inputs and the watchdog
feed all happen, and only then does the exception reach the caller (or, on the watchdog
thread, the log). Over the module's own objects and over host-subclassed ones alike."""
import logging
import time

import pytest

import tamsel.tamsel as ts
from end_to_end_link import Link
from slave_emulator import Command, Error
from test_handler_paths import Frame, SubHandler

SOON = 5.0
STATES = {"data": ts.StateData, "connection": ts.StateConnection, "watchdog": ts.StateData}


class Boom(Exception):
    pass


class Raising:
    """Calls `inner`, then raises Boom while armed."""

    def __init__(self, inner=None, probe=None):
        self.inner = inner
        self.probe = probe
        self.armed = False
        self.raised = []
        self.seen = []

    def __call__(self, *args):
        if self.inner:
            self.inner(*args)
        if self.probe:
            self.seen.append(self.probe())
        if self.armed:
            self.raised.append(Boom(*args))
            raise self.raised[-1]


@pytest.fixture
def links():
    """Makes links; at the end disarms their raising callbacks and closes them."""
    made = []

    def make(**kwargs):
        link = Link.make(**kwargs)
        link.raising = []
        made.append(link)
        return link

    yield make
    for link in made:
        for raising in link.raising:
            raising.armed = False
        link.close()


def arm(link, kind):
    handler = link.handler
    if kind == "report":
        raising = Raising(handler._MasterHandler__report_error_callback,
                          probe=lambda: (handler.state, link.input_values()))
        handler._MasterHandler__report_error_callback = raising
    elif kind == "change":
        raising = Raising(handler._MasterHandler__state_change_callback)
        handler._MasterHandler__state_change_callback = raising
    else:
        raising = Raising()
        for name, _ in link.inputs:
            link.handler.dictionary.name_map[name].subscribe_changed(raising)
    raising.armed = True
    link.raising.append(raising)
    return raising


def non_fail_safe_inputs(link):
    """Data with process data whose inputs differ from their fail-safe values."""
    link.connect()
    link.handler.set_fail_safe(False)
    link.set_slave_inputs([1, 1])
    link.cycle()
    assert link.input_values() != [t.get_initial_value() for _, t in link.inputs]


def reset_code(link):
    request = link.handler.get_request()
    assert request[0] == Command.RESET
    return int.from_bytes(request[1:3], "little")


# (kind of callback, where the fault happens, report, error code of the next Reset request)
CASES = [
    (kind, place, report, code)
    for place, report, code in [("data", "DATA_FAIL1", Error.INVALID_CRC),
                                ("connection", "CONN_FAIL1", Error.INVALID_CRC),
                                ("watchdog", "DATA_WD", Error.WD_EXPIRED)]
    for kind in ["report", "change", "subscriber"]
    if not (kind == "subscriber" and place == "connection")  # the inputs are fail-safe there already
]


@pytest.mark.parametrize("objects", ["own", "subclassed frames", "subclassed handler"])
@pytest.mark.parametrize("kind, place, report, code", CASES, ids=[f"{k}-{p}" for k, p, _, _ in CASES])
def test_a_raising_callback_does_not_stop_the_reaction(links, caplog, objects, kind, place, report, code):
    link = links(timeout_s=1.0 if place == "watchdog" else 10.0,
                 handler_cls=SubHandler if objects == "subclassed handler" else None)
    if objects == "subclassed frames":
        link.handler.master.frame = Frame()
        link.handler.slave.frame = Frame()
    if place == "connection":
        link.handler.start()
        link.run_until(ts.StateConnection)
    else:
        non_fail_safe_inputs(link)
    inputs_before = link.input_values()
    raising = arm(link, kind)
    if place == "watchdog":
        with caplog.at_level(logging.ERROR):
            crashes = []
            deadline = time.monotonic() + SOON
            while not crashes and time.monotonic() < deadline:
                time.sleep(0.01)
                crashes = [r for r in caplog.records if r.exc_info and r.exc_info[0] is Boom]
        assert len(crashes) == 1 and "FSoE Watchdog thread crashed" in crashes[0].getMessage()
    else:
        link.slave.corrupt_crc(0)
        with pytest.raises(Boom):
            link.cycle()
    # Taken at once: a watchdog expiry moves Reset on to Session a timeout later.
    state, request, inputs, active = (link.handler.state, link.handler.get_request(), link.input_values(),
                                      link.handler._watchdog.active)
    assert link.errors[-1][0] == report
    if kind == "report":  # reported before the transition, with the inputs as they were
        assert raising.seen[0] == (STATES[place], inputs_before)
    assert state is ts.StateReset and ts.StateReset in link.changes
    assert request[0] == Command.RESET and int.from_bytes(request[1:3], "little") == code
    assert inputs == [t.get_initial_value() for _, t in link.inputs]
    assert active
    raising.armed = False
    link.connect()
    assert link.slave.rejections == []


def test_a_raising_subscriber_still_lets_every_input_and_the_watchdog_feed_through(links):
    link = links()
    link.connect()
    link.handler.set_fail_safe(False)
    raising = arm(link, "subscriber")
    notified = []
    link.handler.dictionary.name_map[link.inputs[1][0]].subscribe_changed(lambda: notified.append(True))
    link.set_slave_inputs([5, -3])
    with pytest.raises(Boom) as raised:
        link.cycle()
    assert raised.value is raising.raised[0] and len(raising.raised) == 2  # the first one
    assert link.input_values() == [5, -3] and notified == [True]
    assert link.handler.state is ts.StateData and link.errors == []
    raising.armed = False
    link.cycle(3)
    assert link.handler.state is ts.StateData and link.slave.rejections == []


def test_stop_completes_when_the_state_change_callback_raises(links):
    link = links()
    link.connect()
    arm(link, "change")
    with pytest.raises(Boom):
        link.handler.stop()
    assert not link.handler.running and not link.handler._watchdog.active
    assert link.handler.state is ts.StateReset and reset_code(link) == Error.RESET
    link.handler.master.dictionary_map.add_padding(8)  # the maps are editable again
