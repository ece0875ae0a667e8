"""The watchdog expiry and the host's operations on one handler never interleave, and no
wait for a watchdog acknowledgement runs into its 5-second limit because of that."""
import threading
import time

import pytest

import tamsel.tamsel as ts

LIMIT_S = 2.0  # well below the 5-second acknowledgement limit
INVALID_IN_RESET = bytes([0x99, 0, 0, 0, 0, 0])


@pytest.fixture
def handler_factory():
    made = []

    def make(timeout_s=0.05, **kwargs):
        d = ts.Dictionary([ts.DictionaryItemOutput(1, "o", ts.DataType.UINT8),
                           ts.DictionaryItemInput(2, "i", ts.DataType.UINT8, 0)])
        handler = ts.MasterHandler(d, 1, 7, timeout_s, **kwargs)
        handler.master.dictionary_map.add(d.name_map["o"])
        handler.slave.dictionary_map.add(d.name_map["i"])
        made.append(handler)
        return handler

    yield make
    for handler in made:
        handler.delete()
        assert not handler._watchdog.is_alive()


class Journal:
    """Records entry and exit of every callback with its thread."""

    def __init__(self):
        self.events = []
        self.lock = threading.Lock()

    def add(self, *event):
        with self.lock:
            self.events.append((threading.current_thread().name,) + event)

    def names(self, kind):
        return [e[2] for e in self.events if e[1] == kind]

    def assert_not_interleaved(self):
        open_by = None
        for thread, kind, _ in self.events:
            if kind == "enter":
                assert open_by in (None, thread), f"callbacks of two threads overlapped: {self.events}"
                open_by = thread
            else:
                open_by = None


def test_expiry_waits_for_a_host_callback_that_sleeps(handler_factory):
    journal = Journal()
    host = threading.current_thread().name

    def report(name, message):
        journal.add("enter", name)
        if threading.current_thread().name == host:
            time.sleep(0.3)  # the watchdog expires meanwhile and must wait
        journal.add("exit", name)

    handler = handler_factory(report_error_callback=report)
    handler.start()
    began = time.monotonic()
    handler.set_reply(INVALID_IN_RESET)
    assert time.monotonic() - began < LIMIT_S
    deadline = time.monotonic() + LIMIT_S
    while "RESET_WD" not in journal.names("exit") and time.monotonic() < deadline:
        time.sleep(0.01)
    handler.stop()
    journal.assert_not_interleaved()
    assert journal.names("enter")[:2] == ["RESET_STAY1", "RESET_WD"]
    expiry_thread = [e[0] for e in journal.events if e[2] == "RESET_WD"][0]
    assert expiry_thread == handler._watchdog.name != host


def test_stop_inside_a_host_callback_while_an_expiry_waits(handler_factory):
    journal = Journal()
    durations = []
    handler = None

    def report(name, message):
        journal.add("enter", name)
        if name == "RESET_STAY1":
            time.sleep(0.2)  # an expiry becomes due and waits for the handler
            began = time.monotonic()
            handler.stop()
            durations.append(time.monotonic() - began)
        journal.add("exit", name)

    handler = handler_factory(report_error_callback=report)
    handler.start()
    began = time.monotonic()
    handler.set_reply(INVALID_IN_RESET)
    total = time.monotonic() - began
    time.sleep(0.2)
    assert durations and durations[0] < LIMIT_S and total < LIMIT_S
    assert not handler.running and not handler._watchdog.active
    # the expiry that was due before the stop is stale and dropped
    assert "RESET_WD" not in journal.names("enter")
    journal.assert_not_interleaved()


def test_stop_from_another_thread_while_an_expiry_callback_sleeps(handler_factory):
    entered = threading.Event()
    journal = Journal()

    def changed(state):
        journal.add("enter", state.__name__)
        if threading.current_thread().name != threading.main_thread().name:
            entered.set()
            time.sleep(0.3)
        journal.add("exit", state.__name__)

    handler = handler_factory(state_change_callback=changed)
    handler.start()
    assert entered.wait(LIMIT_S)  # the expiry (Reset -> Session) is running its callback
    began = time.monotonic()
    handler.stop()
    assert time.monotonic() - began < LIMIT_S
    journal.assert_not_interleaved()
    assert handler.state is ts.StateReset and not handler._watchdog.active


def test_start_and_stop_race_a_fast_watchdog(handler_factory):
    changes = []
    handler = handler_factory(timeout_s=0.005, state_change_callback=changes.append)
    worst = 0.0
    for round_ in range(30):
        handler.start()
        time.sleep((round_ % 4) * 0.004)
        began = time.monotonic()
        handler.stop()
        worst = max(worst, time.monotonic() - began)
        assert handler.state is ts.StateReset
    assert worst < LIMIT_S
    assert ts.StateSession in changes  # expiries did happen between starts and stops


@pytest.mark.parametrize("operation", ["reset", "stop", "start"])
def test_host_operation_from_a_callback_on_the_watchdog_thread_does_not_deadlock(handler_factory, operation):
    done = threading.Event()
    handler = None

    def report(name, message):
        if name == "RESET_WD" and not done.is_set():
            began = time.monotonic()
            getattr(handler, operation)()  # re-enters the handler from inside its own expiry
            assert time.monotonic() - began < LIMIT_S
            done.set()

    handler = handler_factory(report_error_callback=report)
    handler.start()
    assert done.wait(LIMIT_S)
    handler.stop()


def test_two_handlers_whose_callbacks_call_each_other_never_hang(handler_factory):
    """A's callback (host thread, A busy) resets B while B's expiry (its watchdog thread, B busy)
    resets A: whichever operation would close the circle is refused instead of waiting."""
    entered = threading.Event()
    refused = []
    a = b = None

    def attempt(operation):
        try:
            operation()
        except RuntimeError as error:
            refused.append(str(error))

    def a_report(name, message):
        if name == "RESET_STAY1":
            b.start()  # B's watchdog expires while A is busy here
            assert entered.wait(LIMIT_S)
            time.sleep(0.05)
            attempt(b.reset)

    def b_changed(state):
        if threading.current_thread() is not threading.main_thread():
            entered.set()
            attempt(a.reset)

    a = handler_factory(timeout_s=5.0, report_error_callback=a_report)
    b = handler_factory(state_change_callback=b_changed)
    a.start()
    began = time.monotonic()
    a.set_reply(INVALID_IN_RESET)
    assert time.monotonic() - began < LIMIT_S
    assert len(refused) == 1 and "deadlock" in refused[0]
    b.stop()
    assert a.state is ts.StateReset and b.state is ts.StateReset


def test_delete_inside_a_host_callback_while_an_expiry_waits(handler_factory):
    """The expiry waiting for the handler gives up once stale, so the thread ends at once."""
    durations = []
    handler = None

    def report(name, message):
        if name == "RESET_STAY1":
            time.sleep(0.2)  # an expiry becomes due and waits for the handler
            began = time.monotonic()
            handler.delete()
            durations.append(time.monotonic() - began)

    handler = handler_factory(report_error_callback=report)
    handler.start()
    handler.set_reply(INVALID_IN_RESET)
    assert durations and durations[0] < LIMIT_S
    assert not handler._watchdog.is_alive()


def test_a_second_thread_waits_for_the_outer_call_while_a_callback_re_enters_the_handler(handler_factory):
    """The callback holds the handler's lock a second time and gives it back; the outer call
    still holds it, so another thread's set_reply gets in only after the outer call returned."""
    journal = Journal()
    second_reported = threading.Event()
    seen_during_outer_call = []
    second = threading.Thread(target=lambda: handler.set_reply(INVALID_IN_RESET[:-1] + b"\x01"))

    def report(name, message):
        journal.add("enter", name)
        if threading.current_thread() is second:
            second_reported.set()
        elif not second.is_alive():
            handler._set_next_state(ts.StateReset)  # a nested hold of the lock, given back
            second.start()
            # the window in which a second thread that got in would report
            seen_during_outer_call.append(second_reported.wait(0.5))
        journal.add("exit", name)

    handler = handler_factory(timeout_s=10.0, report_error_callback=report)
    handler.start()
    handler.set_reply(INVALID_IN_RESET)
    second.join(LIMIT_S)
    assert seen_during_outer_call == [False] and second_reported.is_set()
    journal.assert_not_interleaved()
    assert journal.names("enter") == ["RESET_STAY1", "RESET_STAY1"]
