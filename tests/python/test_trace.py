import os
import subprocess
import sys
import textwrap

import pytest

import tamsel.tamsel as ts


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


def run_python(code, **env_changes):
    env = {k: v for k, v in os.environ.items() if k != "TAMSEL_LOGGING"}
    env.update(env_changes)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                          check=True, cwd="/").stdout


@pytest.mark.parametrize("value, enabled", [(None, False), ("", False), ("0", True), ("false", True)])
def test_switch_is_read_from_the_environment(value, enabled):
    env = {} if value is None else {"TAMSEL_LOGGING": value}
    out = run_python(
        """
        import tamsel.tamsel as ts
        print(ts.TAMSEL_LOGGING)
        frame = ts.FSOEFrame(7)
        frame.control.command = ts.FSOECommand.SESSION
        frame.generate_crcs()
        frame.check_crcs()
        ts._log_transition("RESET_OK")
        """,
        **env,
    )
    lines = out.splitlines()
    assert lines[0] == str(enabled)
    if enabled:
        assert "MASTER | CRC | Generating" in lines and "MASTER | CRC | Check" in lines
        assert lines[-1] == "MASTER | TRANSITION | RESET_OK"
    else:
        assert lines[1:] == []


def test_environment_is_read_only_at_load():
    out = run_python(
        """
        import os
        import tamsel.tamsel as ts
        os.environ["TAMSEL_LOGGING"] = "1"
        ts._log_transition("X")
        print(ts.TAMSEL_LOGGING)
        """
    )
    assert out == "False\n"


def test_generate_lines(logging_on, capsys):
    ts._log_generate_crc(traced_frame())
    assert capsys.readouterr().out.splitlines() == [
        "MASTER | CRC | Generating",
        "Calculated CRC[0]: 0xa05",
        "Reference CRC0:    0x0",
        "Connection ID:     0x1234",
        "Sequence number:   0x1",
        "Command:           0x2a",
    ]


@pytest.mark.parametrize("result, verdict", [(True, "VALID"), (False, "INVALID!"), (0, "INVALID!"), ([1], "VALID")])
def test_check_lines(logging_on, capsys, result, verdict):
    frame = traced_frame()
    frame.crcs[7] = 0xBEEF
    ts._log_check_crc([0x0A05, 1, 0, 0, 0, 0, 0, 0xFFFF], frame, result)
    assert capsys.readouterr().out.split("\n") == [
        "MASTER | CRC | Check",
        "Calculated CRCs:   0A05 0001 0000 0000 0000 0000 0000 FFFF ",
        "Received CRCs:     0A05 0000 0000 0000 0000 0000 0000 BEEF ",
        "Reference CRC0:    0x0",
        "Connection ID:     0x1234",
        "Sequence number:   0x1",
        "Command:           0x2a",
        verdict,
        "",
    ]


@pytest.mark.parametrize("name, text", [("RESET_OK", "RESET_OK"), (42, "42"), (None, "None")])
def test_transition_line(logging_on, capsys, name, text):
    assert ts._log_transition(name) is None
    assert capsys.readouterr().out == f"MASTER | TRANSITION | {text}\n"


def test_frame_operations_trace_each_pass(logging_on, capsys):
    frame = ts.FSOEFrame(7)
    frame.control.command = ts.FSOECommand.PROCESS_DATA
    frame.generate_crcs_cyclic(frame.calc_crc0())
    out = capsys.readouterr().out.splitlines()
    assert out.count("MASTER | CRC | Generating") == 2
    assert out[-2] == "Sequence number:   0x1"
    assert frame.check_crcs() is True
    assert capsys.readouterr().out.splitlines()[-1] == "VALID"


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
    frame.generate_crcs()
    assert capsys.readouterr().out.startswith("MASTER | CRC | Generating\n")
    ts.TAMSEL_LOGGING = 0
    frame.generate_crcs()
    assert capsys.readouterr().out == ""


def test_frames_call_the_functions_bound_in_the_module(monkeypatch):
    calls = []
    monkeypatch.setattr(ts, "TAMSEL_LOGGING", False)
    monkeypatch.setattr(ts, "_log_generate_crc", lambda frame: calls.append(("generate", frame.crcs[0])))
    monkeypatch.setattr(ts, "_log_check_crc", lambda calc, frame, result: calls.append(("check", calc, result)))
    frame = ts.FSOEFrame(11)
    frame.generate_crcs_cyclic(frame.calc_crc0())
    crc0 = frame.crcs[0]
    assert [c[0] for c in calls] == ["generate", "generate"] and calls[-1][1] == crc0
    calls.clear()
    frame.crcs[1] ^= 1
    assert frame.check_crcs() is False
    assert calls == [("check", [crc0, frame.crcs[1] ^ 1, 0, 0, 0, 0, 0, 0], False)]
    assert type(calls[0][2]) is bool


def test_errors_of_a_replaced_function_propagate(monkeypatch):
    def fail(frame):
        raise KeyError("boom")

    monkeypatch.setattr(ts, "_log_generate_crc", fail)
    frame = ts.FSOEFrame(7)
    with pytest.raises(KeyError):
        frame.generate_crcs()
    with pytest.raises(KeyError):
        frame.generate_crcs_cyclic(5)


def test_missing_function_is_a_name_error(monkeypatch):
    monkeypatch.delattr(ts, "_log_check_crc")
    with pytest.raises(NameError, match="_log_check_crc"):
        ts.FSOEFrame(7).check_crcs()


def test_missing_switch_is_a_name_error(monkeypatch):
    monkeypatch.delattr(ts, "TAMSEL_LOGGING")
    with pytest.raises(NameError, match="TAMSEL_LOGGING"):
        ts._log_transition("X")


def test_trace_argument_counts():
    with pytest.raises(TypeError) as info:
        ts._log_check_crc([], None)
    assert str(info.value) == "_log_check_crc() takes exactly 3 positional arguments (2 given)"


def test_traced_operations_do_not_leak(no_leak, monkeypatch, capsys):
    monkeypatch.setattr(ts, "TAMSEL_LOGGING", True)
    frame = ts.FSOEFrame(35)
    frame.control.command = ts.FSOECommand.PROCESS_DATA

    def run():
        frame.generate_crcs()
        frame.check_crcs()
        capsys.readouterr()

    no_leak(run, rounds=500)
