import gc
import logging

import pytest
from hypothesis import settings

import tamsel.tamsel as ts

# Property tests are judged by what they find, never by how long an example takes: a loaded
# machine must not fail them.
settings.register_profile("tamsel", deadline=None)
settings.load_profile("tamsel")
# The black-channel suite's evidence and `--safety-matrix` (see safety_evidence.py).
from safety_evidence import evidence, pytest_addoption, pytest_runtest_makereport, pytest_sessionfinish  # noqa: E402,F401


@pytest.fixture(autouse=True)
def quiet_tamsel_logger():
    """The `tamsel` logger passes only errors unless a test sets its level: pytest keeps every
    record it captures, which the memory checks would otherwise count as growth."""
    logger = logging.getLogger("tamsel")
    level = logger.level
    logger.setLevel(logging.ERROR)
    yield
    logger.setLevel(level)


@pytest.fixture
def no_leak():
    """Runs a callable many times and fails if memory keeps growing.

    The check uses tracemalloc over the whole process. One-off growth (a cache filled, a
    dict resized by unrelated code) can exceed the slack once; a leak exceeds it on every
    attempt, so only growth in all of three attempts fails.
    """
    import tracemalloc

    def measure(fn, rounds):
        gc.collect()
        tracemalloc.start()
        try:
            before, _ = tracemalloc.get_traced_memory()
            for _ in range(rounds):
                fn()
            gc.collect()
            after, _ = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        return after - before

    def check(fn, rounds=2000, slack=32 * 1024):
        for _ in range(200):
            fn()
        growth = [measure(fn, rounds)]
        while growth[-1] >= slack and len(growth) < 3:
            growth.append(measure(fn, rounds))
        assert growth[-1] < slack, f"memory grew by {growth} bytes over {rounds} calls in each attempt"

    return check


@pytest.fixture(scope="session", autouse=True)
def no_watchdog_thread_left():
    """Fails the run if a test left a watchdog thread running (it would keep the process alive)."""
    import contextlib
    import threading

    yield
    left = [thread for thread in threading.enumerate() if isinstance(thread, ts.Watchdog)]
    for thread in left:
        with contextlib.suppress(RuntimeError):
            thread.stop()
    assert not left, f"watchdog threads left running: {left}"
