import gc
import sys

import pytest

import tamsel.tamsel as ts


@pytest.fixture
def module():
    return ts


def _total_refs():
    if hasattr(sys, "gettotalrefcount"):
        return sys.gettotalrefcount()
    return None


@pytest.fixture
def no_leak():
    """Runs a callable many times and fails if memory keeps growing.

    Without a debug build the check uses tracemalloc over the whole process.
    """
    import tracemalloc

    def check(fn, rounds=2000, slack=32 * 1024):
        for _ in range(200):
            fn()
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
        assert after - before < slack, f"memory grew by {after - before} bytes over {rounds} calls"

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
