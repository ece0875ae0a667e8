"""How a handler's life ends: `with`, the end of the program without delete(), daemon threads
still inside a handler while the interpreter finalises; and how it shows itself."""
import contextlib
import logging
import subprocess
import sys
import textwrap
import threading

import pytest

import tamsel.tamsel as ts
from end_to_end_link import Link

EXIT_LIMIT_S = 30.0  # a hang fails; the exit itself takes a fraction of a second

PROGRAM_HEAD = """
import sys, threading
import tamsel.tamsel as ts
d = ts.Dictionary([ts.DictionaryItemOutput(1, "o", ts.DataType.UINT8),
                   ts.DictionaryItemInput(2, "i", ts.DataType.UINT8, 0)])
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
    # On a loaded machine a pause longer than the watchdog time only makes it connect again.
    state = None
    while state is not ts.StateData:
        slave.exchange(h)
        state = h.state
    print(state.__name__, h.running, flush=True)
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


# The program's handler `h` with `report` as its error callback, cycled by its simulated slave
# until Data (an expiry on a loaded machine only makes it connect again).
IN_DATA_WITH_REPORT = """
from tamsel.slave import Slave
h = ts.MasterHandler(d, 1, 7, 0.02, report_error_callback=report)
h.master.dictionary_map.add(d.name_map["o"])
h.slave.dictionary_map.add(d.name_map["i"])
slave = Slave.for_handler(h)
h.start()
while h.state is not ts.StateData:
    slave.exchange(h)
"""


STOP_BEHIND_A_STUCK_CALLBACK = """
import os, signal, time
held, entered = threading.Lock(), threading.Event()
def report(name, message):
    entered.set()
    if MODE == "returns":  # after a while of Python work, while stop() waits for it
        while not stopping:
            time.sleep(0.001)
        for _ in range(50):
            sum(range(20000))
        return
    with held:  # a lock the stopping thread holds
        pass
h = ts.MasterHandler(d, 1, 7, 0.02, report_error_callback=report)
h.start()
class Interrupted(Exception):
    pass
stopping = []
def interrupt(signum, frame):
    if stopping:
        raise Interrupted
signal.signal(signal.SIGUSR1, interrupt)
def keep_signalling():
    while not finished.is_set():
        os.kill(os.getpid(), signal.SIGUSR1)
        finished.wait(0.05)
finished = threading.Event()
with held if MODE != "returns" else threading.Lock():
    entered.wait()
    if MODE == "signal":
        threading.Thread(target=keep_signalling, daemon=True).start()
    stopping.append(1)
    try:
        h.stop()
        print("stopped")
    except (RuntimeError, Interrupted) as error:
        print(type(error).__name__, error, h.running)
    stopping.clear()
finished.set()
h.stop()  # the callback returned: stop and delete work
print(h.running, h.state.__name__)
h.delete()
"""


@pytest.mark.parametrize("mode, first", [
    ("held", "RuntimeError stop() gave up after 5 seconds: a callback or subscriber running on another thread "
             "(such as the watchdog's expiry) did not return; the handler was left unchanged True"),
    ("signal", "Interrupted  True"),
    ("returns", "stopped"),
])
def test_stop_gives_up_on_a_callback_that_never_returns(mode, first):
    """The expiry's callback waits for a lock the thread calling stop() holds: stop() raises
    after 5 seconds (or at once for a signal on the main thread) and changes nothing. A callback
    that returns while stop() waits lets it stop."""
    done = run_program(f"MODE = {mode!r}\n" + STOP_BEHIND_A_STUCK_CALLBACK)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [first, "False StateReset"]


FORKED = """
import os
release, entered = threading.Event(), threading.Event()
def report(name, message):
    if IN_CALLBACK and name == "DATA_WD":
        entered.set()
        release.wait()
""" + IN_DATA_WITH_REPORT + """if IN_CALLBACK:
    entered.wait()  # an expiry callback runs while the process forks
pid = os.fork()
if pid == 0:
    refused = []
    for call in (h.get_request, lambda: h.set_reply(b"\\x2a" + bytes(5)), h.reset, h.stop, h.start,
                 lambda: h._set_next_state(ts.StateReset)):
        try:
            call()
        except RuntimeError as error:
            refused.append("fork" in str(error))
    h.delete()
    print(refused, flush=True)
    os._exit(0)
release.set()
print(os.waitpid(pid, 0)[1], flush=True)
h.reset()  # the parent's handler goes on
print(h.state.__name__, h._watchdog.is_alive(), flush=True)
h.delete()
"""


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("in_callback", [False, True])
def test_a_forked_child_refuses_the_parents_handler_and_never_blocks(in_callback):
    done = run_program(f"IN_CALLBACK = {in_callback}\n" + FORKED)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [str([True] * 6), "0", "StateReset True"], done.stderr


EXPIRY_AT_EXIT = """
import atexit
entered = threading.Event()
def report(name, message):
    if name == "DATA_WD":
        entered.set()
        while True:  # until the program ends and stops the watchdog
            try:
                h._watchdog.reset()
            except RuntimeError:
                break
            threading.Event().wait(0.001)
""" + IN_DATA_WITH_REPORT + """atexit.register(lambda: print(h.state.__name__, hex(h.get_request()[0]), flush=True))
entered.wait()
"""


def test_an_expiry_that_the_program_end_stops_still_completes_its_reaction():
    done = run_program(EXPIRY_AT_EXIT)
    assert (done.returncode, done.stdout) == (0, "StateReset 0x2a\n"), done.stderr


def data_handler(**callbacks):
    """A handler with a 20 ms watchdog and its simulated slave, cycled until Data (an expiry on
    a loaded machine only makes it start again); then no more cycles come."""
    from tamsel.slave import Slave

    d = ts.Dictionary([ts.DictionaryItemOutput(1, "o", ts.DataType.UINT8),
                       ts.DictionaryItemInput(2, "i", ts.DataType.UINT8, 0)])
    handler = ts.MasterHandler(d, 1, 7, 0.02, **callbacks)
    handler.master.dictionary_map.add(d.name_map["o"])
    handler.slave.dictionary_map.add(d.name_map["i"])
    slave = Slave.for_handler(handler)
    handler.start()
    while handler.state is not ts.StateData:
        slave.exchange(handler)
    return handler, slave


def test_delete_inside_a_data_expiry_callback_completes_the_reaction():
    def report(name, message):
        if name == "DATA_WD":
            handler.delete()

    handler, _ = data_handler(report_error_callback=report)
    handler._watchdog.join(60)
    assert not handler._watchdog.is_alive()
    assert handler.state is ts.StateReset
    assert handler.get_request()[0] == ts.FSOECommand.RESET.value
    assert handler.dictionary.get("i") == 0  # inputs went fail-safe with the reaction


@pytest.mark.parametrize("where", ["report_error_callback", "state_change_callback"])
@pytest.mark.parametrize("leave", [SystemExit, KeyboardInterrupt])
def test_an_interpreter_exit_raised_by_a_callback_on_the_watchdog_thread_is_logged_and_supervision_goes_on(
        caplog, where, leave):
    raised = threading.Event()

    def callback(*args):
        if isinstance(threading.current_thread(), ts.Watchdog) and not raised.is_set():
            raised.set()
            raise leave

    with caplog.at_level(logging.ERROR):
        handler, slave = data_handler(**{where: callback})
        assert raised.wait(60)
        handler._watchdog.deactivate()  # waits for the expiry that raised to return
    assert handler._watchdog.is_alive()
    assert handler.state is ts.StateReset and handler.get_request()[0] == ts.FSOECommand.RESET.value
    assert any(r.getMessage() == "FSoE Watchdog thread crashed. Restarting..." and r.exc_info[0] is leave
               for r in caplog.records)
    while handler.state is not ts.StateData:  # a new connection is supervised again
        slave.exchange(handler)
    assert handler._watchdog.active
    handler.delete()
