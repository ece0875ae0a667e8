import contextlib
import enum
import gc
import logging
import threading
import time
import types
import weakref

import pytest

import tamsel.tamsel as ts

NOT_RUNNING = "FSoE Watchdog thread is not running"
CRASH = "FSoE Watchdog thread crashed. Restarting..."
SOON = 5.0  # upper bound for anything that should happen; generous for a loaded machine
QUICK = 2.5  # well below the 5 s a caller waiting for an acknowledgement would lose


class Recorder:
    """Callback recording the thread and the time of every call; `action` runs after recording."""

    def __init__(self, action=None):
        self.calls = []
        self.action = action
        self._changed = threading.Condition()

    def __call__(self):
        with self._changed:
            self.calls.append((threading.get_ident(), time.monotonic()))
            self._changed.notify_all()
        if self.action:
            self.action()

    def wait_for(self, count):
        with self._changed:
            assert self._changed.wait_for(lambda: len(self.calls) >= count, SOON), f"{len(self.calls)} calls"

    def settled_count(self):
        """Number of calls once a callback that was already under way has finished."""
        time.sleep(0.1)
        return len(self.calls)


@pytest.fixture
def make_watchdog():
    made = []

    def make(timeout_s, callback, start=True, cls=ts.Watchdog):
        watchdog = cls(timeout_s, callback)
        made.append(watchdog)
        if start:
            watchdog.start()
        return watchdog

    yield make
    for watchdog in made:
        with contextlib.suppress(RuntimeError):
            if watchdog.is_alive():
                watchdog.stop()
        if watchdog.ident is not None:
            watchdog.join(SOON)
        assert not watchdog.is_alive()


def test_watchdog_command():
    assert issubclass(ts.WatchdogCommand, enum.Enum) and not issubclass(ts.WatchdogCommand, int)
    assert [(m.name, m.value) for m in ts.WatchdogCommand] == [
        ("ACTIVATE", 1), ("DEACTIVATE", 2), ("RESET", 3), ("STOP", 4)]
    assert ts.WatchdogCommand.__doc__ is None


def test_watchdog_is_a_plain_thread_class(make_watchdog):
    def callback():
        pass

    class Sub(ts.Watchdog):
        pass

    watchdog = make_watchdog(timeout_s=2, callback=callback, start=False, cls=Sub)
    assert isinstance(watchdog, threading.Thread) and ts.Watchdog.__module__ == "tamsel.tamsel"
    assert not watchdog.daemon and watchdog.name.startswith("Thread-") and not watchdog.is_alive()
    assert watchdog.active is False
    assert (watchdog._Watchdog__timeout, watchdog._Watchdog__callback) == (2.0, callback)
    watchdog.note = "kept"
    assert watchdog.__dict__["note"] == "kept"


@pytest.mark.parametrize("timeout", [0, 0.0, -0.5, float("nan"), float("inf"), float("-inf")])
def test_timeout_must_be_a_positive_finite_number(timeout):
    with pytest.raises(ValueError, match=r"^timeout_s must be a positive finite number of seconds \(got "):
        ts.Watchdog(timeout, lambda: None)


def test_commands_before_start(make_watchdog):
    watchdog = make_watchdog(0.01, Recorder(), start=False)
    for command in (watchdog.reset, watchdog.activate, watchdog.activate_and_reset, watchdog.stop):
        with pytest.raises(RuntimeError, match=NOT_RUNNING):
            command()
    watchdog.deactivate()  # inactive: nothing to send


def test_inactive_watchdog_never_expires(make_watchdog):
    recorder = Recorder()
    watchdog = make_watchdog(0.02, recorder)
    time.sleep(0.3)
    assert recorder.calls == [] and watchdog.is_alive() and not watchdog.active


def test_active_watchdog_expires_every_timeout_on_its_thread(make_watchdog):
    recorder = Recorder()
    watchdog = make_watchdog(0.05, recorder)
    activated = time.monotonic()
    watchdog.activate()
    watchdog.activate()  # already active: no effect
    recorder.wait_for(3)
    assert watchdog.active
    assert {ident for ident, _ in recorder.calls} == {watchdog.ident}
    times = [activated] + [when for _, when in recorder.calls[:3]]
    assert all(later - earlier >= 0.05 - 1e-3 for earlier, later in zip(times, times[1:]))


def test_resets_keep_the_watchdog_quiet(make_watchdog):
    recorder = Recorder()
    watchdog = make_watchdog(0.5, recorder)
    watchdog.activate()
    end = time.monotonic() + 1.0
    while time.monotonic() < end:
        watchdog.reset()
        time.sleep(0.02)
    watchdog.deactivate()
    assert recorder.calls == []


def test_feeding_does_not_wake_the_thread(make_watchdog):
    watchdog = make_watchdog(3600, Recorder())
    watchdog.activate()
    time.sleep(0.05)  # the activation itself wakes the thread once
    clock = time.pthread_getcpuclockid(watchdog.ident)
    before = time.clock_gettime(clock)
    for _ in range(100_000):
        watchdog.activate_and_reset()
    # Waking the thread on each call costs it milliseconds of CPU time over this loop.
    assert time.clock_gettime(clock) - before < 0.002


def test_feeding_restarts_the_timer(make_watchdog):
    recorder = Recorder()
    watchdog = make_watchdog(0.6, recorder)
    watchdog.activate()
    time.sleep(0.1)
    fed = time.monotonic()
    watchdog.activate_and_reset()
    recorder.wait_for(1)
    assert recorder.calls[0][1] - fed >= 0.6 - 1e-3


def test_deactivate_ends_the_expiries(make_watchdog):
    recorder = Recorder()
    watchdog = make_watchdog(0.03, recorder)
    watchdog.activate()
    recorder.wait_for(1)
    watchdog.deactivate()
    assert not watchdog.active
    settled = recorder.settled_count()
    watchdog.deactivate()  # already inactive: returns at once
    time.sleep(0.3)
    assert len(recorder.calls) == settled
    watchdog.activate()
    recorder.wait_for(settled + 1)


@pytest.mark.parametrize("active", [False, True])
def test_stop_ends_the_thread(make_watchdog, active):
    recorder = Recorder()
    watchdog = make_watchdog(0.5, recorder)
    if active:
        watchdog.activate()
    watchdog.stop()
    assert not watchdog.is_alive()
    assert watchdog.active is active  # stopping leaves the flag as it was
    for command in (watchdog.reset, watchdog.stop, watchdog.deactivate if active else watchdog.activate):
        with pytest.raises(RuntimeError, match=NOT_RUNNING):
            command()
    watchdog.activate() if active else watchdog.deactivate()  # nothing to send: returns quietly
    time.sleep(0.1)
    assert recorder.calls == []


def test_a_raising_callback_is_logged_once_per_expiry_and_the_thread_goes_on(make_watchdog, caplog):
    caplog.set_level(logging.ERROR)

    def fail():
        raise ZeroDivisionError("boom")

    recorder = Recorder(action=fail)
    watchdog = make_watchdog(0.03, recorder)
    watchdog.activate()
    recorder.wait_for(3)
    watchdog.deactivate()
    calls = recorder.settled_count()
    assert watchdog.is_alive()
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [("root", logging.ERROR, CRASH)] * calls
    assert all(r.exc_info[0] is ZeroDivisionError for r in caplog.records)


@pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")
def test_an_interpreter_exit_from_the_callback_ends_the_thread(make_watchdog):
    def leave():
        raise SystemExit

    watchdog = make_watchdog(0.02, leave)
    watchdog.activate()
    watchdog.join(SOON)
    assert not watchdog.is_alive()
    with pytest.raises(RuntimeError, match=NOT_RUNNING):
        watchdog.reset()


@pytest.mark.parametrize("command", ["deactivate", "stop"])
def test_blocking_commands_wait_for_a_running_callback(make_watchdog, command):
    entered = threading.Event()
    finished = []

    def callback():
        entered.set()
        time.sleep(0.3)
        finished.append(time.monotonic())

    watchdog = make_watchdog(0.02, callback)
    watchdog.activate()
    assert entered.wait(SOON)
    began = time.monotonic()
    getattr(watchdog, command)()
    returned = time.monotonic()
    assert finished and finished[0] <= returned  # acknowledged only after the callback returned
    assert returned - began < QUICK
    assert not watchdog.active if command == "deactivate" else not watchdog.is_alive()
    time.sleep(0.1)
    assert len(finished) == 1  # and none started afterwards


def test_commands_from_the_callback_take_effect_at_once(make_watchdog):
    durations = []

    def callback():
        began = time.monotonic()
        watchdog.deactivate()
        watchdog.activate()
        watchdog.stop()
        durations.append(time.monotonic() - began)

    watchdog = make_watchdog(0.02, callback)
    watchdog.activate()
    watchdog.join(SOON)
    assert not watchdog.is_alive()
    assert len(durations) == 1 and durations[0] < QUICK


@pytest.mark.parametrize(
    "command,message,error",
    [
        (ts.WatchdogCommand.ACTIVATE, "WatchdogCommand.ACTIVATE received while already active", RuntimeError),
        (5, "Unknown FSoE Watchdog internal command received. Watchdog corrupted", NotImplementedError),
    ],
)
def test_internal_errors_are_logged_and_survived(make_watchdog, caplog, command, message, error):
    caplog.set_level(logging.ERROR)
    watchdog = make_watchdog(60, Recorder())
    watchdog.activate()
    watchdog._Watchdog__process_blocking_command(command)
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [(logging.ERROR, message), (logging.ERROR, CRASH)]
    assert caplog.records[1].exc_info[0] is error
    assert watchdog.active and watchdog.is_alive()
    watchdog._Watchdog__process_blocking_command(ts.WatchdogCommand.DEACTIVATE)
    assert not watchdog.active
    watchdog._Watchdog__process_blocking_command(ts.WatchdogCommand.STOP)
    assert not watchdog.is_alive()


def test_activate_and_reset_goes_through_overrides(make_watchdog):
    class Counting(ts.Watchdog):
        def __init__(self, *args):
            super().__init__(*args)
            self.seen = []

        def activate(self):
            self.seen.append("activate")
            super().activate()

        def reset(self):
            self.seen.append("reset")
            super().reset()

    watchdog = make_watchdog(60, Recorder(), cls=Counting)
    watchdog.activate_and_reset()
    assert watchdog.seen == ["activate", "reset"] and watchdog.active


def test_a_running_watchdog_cannot_be_initialised_or_run_again(make_watchdog):
    recorder = Recorder()
    watchdog = make_watchdog(0.02, recorder)
    watchdog.activate()
    recorder.wait_for(1)  # the body runs
    with pytest.raises(RuntimeError, match="already started"):
        watchdog.__init__(1.0, None)
    with pytest.raises(RuntimeError, match="already running"):
        watchdog.run()
    watchdog.stop()
    assert watchdog.run() is None  # stopped: the body returns at once


def test_a_started_watchdog_cannot_be_initialised_before_its_body_runs(make_watchdog):
    entered, release = threading.Event(), threading.Event()

    class Late(ts.Watchdog):
        def run(self):
            entered.set()
            release.wait(SOON)
            super().run()

    watchdog = make_watchdog(60, Recorder(), cls=Late)
    assert entered.wait(SOON)
    with pytest.raises(RuntimeError, match="already started"):
        watchdog.__init__(60, None)
    release.set()
    assert watchdog.is_alive()
    watchdog.stop()
    assert not watchdog.is_alive()


def test_a_stopped_watchdog_in_a_reference_cycle_is_collected():
    holder = types.SimpleNamespace()
    watchdog = ts.Watchdog(60, lambda: holder)  # noqa: F821 (the cycle the test needs)
    holder.watchdog = watchdog
    watchdog.start()
    watchdog.stop()
    ref = weakref.ref(watchdog)
    del watchdog, holder
    gc.collect()
    assert ref() is None


def test_feeding_and_creating_do_not_leak(make_watchdog, no_leak):
    watchdog = make_watchdog(60, Recorder())
    no_leak(watchdog.activate_and_reset)
    no_leak(lambda: ts.Watchdog(1.0, None))


UNCONFIGURED_LOGGING = """
import logging, sys, threading
import tamsel.tamsel as ts
expired = threading.Event()
def callback():
    expired.set()
    raise ZeroDivisionError
watchdog = ts.Watchdog(0.01, callback)
watchdog.start()
watchdog.{command}
expired.wait()
watchdog.stop()  # the thread has written its records when it has ended
print(logging.root.handlers == [], flush=True)
logging.getLogger("tamsel").warning("a tamsel warning")
"""


@pytest.mark.parametrize("command, record", [
    ("activate()", CRASH),
    ("_Watchdog__process_blocking_command(ts.WatchdogCommand.ACTIVATE)",
     "WatchdogCommand.ACTIVATE received while already active"),
])
def test_error_records_reach_the_root_logger_without_configuring_logging(command, record):
    """A program that never set up logging: the records still reach the root logger (shown by
    the logging module's last resort), and no handler was installed that would print the
    `tamsel` logger's warnings from then on."""
    import subprocess
    import sys

    if "ACTIVATE" in command:  # a duplicate activation, then the expiry as above
        command = "activate(); watchdog." + command
    done = subprocess.run([sys.executable, "-c", UNCONFIGURED_LOGGING.format(command=command)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "True\n"
    assert record in done.stderr and "a tamsel warning" not in done.stderr
