"""How a handler's life ends: `with`, the end of the program without delete(), daemon threads
still inside a handler while the interpreter finalises; and how it shows itself."""
import contextlib
import subprocess
import sys
import textwrap

import pytest

import tamsel.tamsel as ts
from end_to_end_link import Link

EXIT_LIMIT_S = 30.0  # a hang fails; the exit itself takes a fraction of a second

PROGRAM_HEAD = """
import sys, threading
import tamsel.tamsel as ts
d = ts.Dictionary([ts.DictionaryItemOutput(1, "o", ts.DataType.UINT8), ts.DictionaryItemInput(2, "i", ts.DataType.UINT8, 0)])
h = ts.MasterHandler(d, 1, 7, 0.02, report_error_callback=lambda name, message: None)
h.master.dictionary_map.add(d.name_map["o"])
h.slave.dictionary_map.add(d.name_map["i"])
"""


def run_program(body):
    return subprocess.run([sys.executable, "-c", PROGRAM_HEAD + textwrap.dedent(body)], capture_output=True,
                          text=True, timeout=EXIT_LIMIT_S)


@pytest.mark.parametrize("started", [False, True])
@pytest.mark.parametrize("ending, status", [("pass", 0), ("sys.exit(3)", 3), ("raise KeyError('end')", 1)])
def test_a_program_that_never_calls_delete_ends_with_its_own_status(started, ending, status):
    done = run_program(("h.start()\n" if started else "") + ending)
    assert done.returncode == status, done.stderr
    assert "Watchdog" not in done.stderr  # no expiry was reported while ending


def test_a_watchdog_never_started_lets_the_program_end_silently():
    done = run_program("w = ts.Watchdog(1.0, lambda: None)\n")
    assert (done.returncode, done.stderr) == (0, "")


WORKER_AFTER_MAIN = """
from tamsel.slave import Slave
slave = Slave.for_handler(h)
def work():
    import time
    h.start()
    for _ in range(100):
        slave.exchange(h)
        time.sleep(0.002)
    print(h.state.__name__, h.running, flush=True)
threading.Thread(target=work).start()
"""


def test_a_worker_thread_drives_its_handler_after_the_main_thread_returned():
    """The watchdog ends with the program, not with its main thread."""
    done = run_program(WORKER_AFTER_MAIN)
    assert (done.returncode, done.stdout, done.stderr) == (0, "StateData True\n", "")


DAEMONS_IN_SET_REPLY = """
h.start()
def spin(first):
    n = first
    while True:
        n += 1
        try:
            h.set_reply(bytes([0x2A, n & 0xFF, 0, 0, 0, 0]))
        except RuntimeError:
            pass
for first in (0, 128):
    threading.Thread(target=spin, args=(first,), daemon=True).start()
import time; time.sleep(0.02)
h.delete()
"""


def test_daemon_threads_inside_the_handler_never_abort_the_exit():
    statuses = [run_program(DAEMONS_IN_SET_REPLY).returncode for _ in range(20)]
    assert statuses == [0] * 20


@pytest.mark.parametrize("raises", [False, True])
def test_with_returns_the_handler_and_ends_its_thread_on_every_way_out(raises):
    link = Link.make()

    class Stop(Exception):
        pass

    with pytest.raises(Stop) if raises else contextlib.nullcontext():
        with link.handler as handler:
            assert handler is link.handler
            link.connect()
            if raises:
                raise Stop
    assert not link.handler._watchdog.is_alive()
    link.handler.delete()  # may be repeated


def test_repr_shows_state_running_slave_address_and_connection_id():
    with Link.make(slave_address=0x0A, connection_id=0x1234).handler as handler:
        assert repr(handler) == "<MasterHandler StateReset stopped slave=0x000a conn=0x1234>"
    link = Link.make(slave_address=0xBEEF, connection_id=0xFFFF)
    with link.handler:
        link.connect()
        assert repr(link.handler) == "<MasterHandler StateData running slave=0xbeef conn=0xffff>"


def test_repr_of_a_handler_whose_constructor_did_not_run():
    class Sub(ts.MasterHandler):
        def __init__(self):
            pass

    assert repr(Sub()) == "<Sub (not initialized)>"
