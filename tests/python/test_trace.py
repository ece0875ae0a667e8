import os
import subprocess
import sys
import textwrap
from types import SimpleNamespace

import pytest

import tamsel.tamsel as ts

CONTROL_LINES = ["Reference CRC0:    0x0", "Connection ID:     0x1234", "Sequence number:   0x1",
                 "Command:           0x2a"]


@pytest.fixture
def logging_on(monkeypatch):
    monkeypatch.setattr(ts, "TAMSEL_LOGGING", True)


def traced_frame():
    frame = ts.FSOEFrame(7)
    frame.control.command = ts.FSOECommand.RESET
    frame.control.connection_id = 0x1234
    frame.control.sequence_number = 1
    frame.crcs[0] = 0x0A05
    return frame


@pytest.mark.parametrize("value, enabled", [(None, False), ("", False), ("0", True), ("false", True)])
def test_switch_is_read_from_the_environment_once(value, enabled):
    env = {k: v for k, v in os.environ.items() if k != "TAMSEL_LOGGING"}
    if value is not None:
        env["TAMSEL_LOGGING"] = value
    code = """
        import os
        import tamsel.tamsel as ts
        os.environ["TAMSEL_LOGGING"] = "" if ts.TAMSEL_LOGGING else "1"
        print(ts.TAMSEL_LOGGING)
        frame = ts.FSOEFrame(7)
        frame.control.command = ts.FSOECommand.SESSION
        frame.generate_crcs()
        frame.check_crcs()
        ts._log_transition("RESET_OK")
    """
    lines = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                           check=True, cwd="/").stdout.splitlines()
    assert lines[0] == str(enabled)
    if enabled:
        assert lines.count("MASTER | CRC | Generating") == 1 and lines.count("MASTER | CRC | Check") == 1
        assert lines[-1] == "MASTER | TRANSITION | RESET_OK"
    else:
        assert lines[1:] == []


def test_generate_and_check_lines(logging_on, capsys):
    frame = traced_frame()
    ts._log_generate_crc(frame)
    assert capsys.readouterr().out.splitlines() == [
        "MASTER | CRC | Generating", "Calculated CRC[0]: 0xa05", *CONTROL_LINES]
    frame.crcs[7] = 0xBEEF
    for result, verdict in [(True, "VALID"), (0, "INVALID!")]:
        ts._log_check_crc([0x0A05, 1, 0, 0, 0, 0, 0, 0xFFFF], frame, result)
        assert capsys.readouterr().out.split("\n") == [
            "MASTER | CRC | Check",
            "Calculated CRCs:   0A05 0001 0000 0000 0000 0000 0000 FFFF ",
            "Received CRCs:     0A05 0000 0000 0000 0000 0000 0000 BEEF ",
            *CONTROL_LINES, verdict, ""]


def test_lines_read_any_frame_like_object(logging_on, capsys):
    control = SimpleNamespace(crc0=0, connection_id=0x1234, sequence_number=1, command=ts.FSOECommand.RESET)
    ts._log_generate_crc(SimpleNamespace(crcs={0: 0x0A05}, control=control))
    assert capsys.readouterr().out.splitlines() == [
        "MASTER | CRC | Generating", "Calculated CRC[0]: 0xa05", *CONTROL_LINES]


@pytest.mark.parametrize("name, text", [("RESET_OK", "RESET_OK"), (42, "42"), (None, "None")])
def test_transition_line(logging_on, capsys, name, text):
    assert ts._log_transition(name) is None
    assert capsys.readouterr().out == f"MASTER | TRANSITION | {text}\n"


def test_unknown_command_raises_after_the_lines_before_it(logging_on, capsys):
    frame = ts.FSOEFrame.frame_from_array(b"\x99\x00\x00\x00\x00\x00\x00")
    with pytest.raises(ValueError):
        frame.check_crcs()
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "MASTER | CRC | Check" and out[-1] == "Sequence number:   0x0"


def test_switched_at_run_time(monkeypatch, capsys):
    frame = traced_frame()
    monkeypatch.setattr(ts, "TAMSEL_LOGGING", False)
    frame.generate_crcs()
    ts._log_transition("A")
    assert capsys.readouterr().out == ""
    ts.TAMSEL_LOGGING = True
    frame.generate_crcs_cyclic(frame.calc_crc0())
    assert capsys.readouterr().out.count("MASTER | CRC | Generating") == 2, "one block per pass"
    ts.TAMSEL_LOGGING = 0
    frame.check_crcs()
    assert capsys.readouterr().out == ""


def test_switched_at_run_time_when_no_namespace_watcher_is_left():
    env = {k: v for k, v in os.environ.items() if k != "TAMSEL_LOGGING"}
    code = """
        import ctypes
        callback_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.py_object, ctypes.py_object,
                                         ctypes.py_object)
        callback = callback_type(lambda *args: 0)
        add_watcher = ctypes.pythonapi.PyDict_AddWatcher
        add_watcher.argtypes = [callback_type]
        add_watcher.restype = ctypes.c_int
        try:
            while True:
                add_watcher(callback)
        except RuntimeError:
            pass  # every dictionary watcher of the interpreter is taken
        import tamsel.tamsel as ts
        frame = ts.FSOEFrame(7)
        frame.control.command = ts.FSOECommand.SESSION
        frame.generate_crcs()
        ts.TAMSEL_LOGGING = True
        frame.generate_crcs()
        ts.TAMSEL_LOGGING = False
        frame.generate_crcs()
    """
    lines = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                           check=True, cwd="/").stdout.splitlines()
    assert lines.count("MASTER | CRC | Generating") == 1 and len(lines) == 6


def test_frames_call_the_functions_bound_in_the_module(monkeypatch):
    calls = []
    monkeypatch.setattr(ts, "_log_generate_crc", lambda frame: calls.append(("generate", frame.crcs[0])))
    monkeypatch.setattr(ts, "_log_check_crc", lambda calc, frame, result: calls.append(("check", calc, result)))
    frame = ts.FSOEFrame(11)
    frame.generate_crcs_cyclic(frame.calc_crc0())
    crc0, crc1 = frame.crcs[0], frame.crcs[1]
    assert calls == [("generate", calls[0][1]), ("generate", crc0)] and calls[0][1] != crc0
    calls.clear()
    frame.crcs[1] ^= 1
    assert frame.check_crcs() is False
    assert calls == [("check", [crc0, crc1, 0, 0, 0, 0, 0, 0], False)] and type(calls[0][2]) is bool


def fail(*args):
    raise KeyError("boom")


@pytest.mark.parametrize(
    "name, replacement, error",
    [("_log_generate_crc", fail, KeyError), ("_log_check_crc", fail, KeyError),
     ("_log_generate_crc", None, NameError), ("_log_check_crc", None, NameError)],
)
def test_trace_errors_propagate(monkeypatch, name, replacement, error):
    if replacement is None:
        monkeypatch.delattr(ts, name)
    else:
        monkeypatch.setattr(ts, name, replacement)
    frame = ts.FSOEFrame(7)
    with pytest.raises(error):
        frame.generate_crcs_cyclic(5) if "generate" in name else frame.check_crcs_cyclic(5)


class Discard:
    """A standard output that keeps nothing, so no capture buffer grows while memory is measured."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def test_traced_operations_do_not_leak(no_leak, logging_on, monkeypatch):
    frame = ts.FSOEFrame(35)
    frame.control.command = ts.FSOECommand.PROCESS_DATA
    monkeypatch.setattr(sys, "stdout", Discard())

    def run():
        frame.generate_crcs()
        frame.check_crcs()
        ts._log_transition("RESET_OK")

    no_leak(run)
