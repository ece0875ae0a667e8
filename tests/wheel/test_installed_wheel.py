"""Run by `make wheel` in a fresh environment holding nothing but one built wheel and pytest:
the wheel is a manylinux one for this interpreter, its console scripts are on the path, and a
master reaches the Data state with the simulated slave and comes back after a fault."""
import importlib.metadata
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

import tamsel.tamsel as ts
from tamsel.slave import Slave
from tamsel.trace import FrameRecorder


def test_installed_from_a_manylinux_wheel_for_this_python():
    distribution = importlib.metadata.distribution("tamsel")
    tags = [line.split(": ", 1)[1] for line in distribution.read_text("WHEEL").splitlines()
            if line.startswith("Tag: ")]
    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    assert tags and all(t.startswith(f"{python}-{python}-manylinux") for t in tags), tags
    site = pathlib.Path(sysconfig.get_paths()["purelib"])
    assert pathlib.Path(ts.__file__).parent == site / "tamsel"
    assert (site / "tamsel" / "fsoe.lua").is_file() and (site / "tamsel" / "tamsel.pyi").is_file()


@pytest.mark.parametrize("script", ["tamsel-trace", "tamsel-virtual-drive"])
def test_console_script_is_on_the_path(script):
    found = shutil.which(script)
    assert found and pathlib.Path(found).parent == pathlib.Path(sys.executable).parent
    done = subprocess.run([found, "--help"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0 and done.stdout.startswith(f"usage: {script} "), done.stdout + done.stderr


def test_smoke_cycle_against_the_simulated_slave(tmp_path):
    dictionary = ts.Dictionary([ts.DictionaryItemOutput(1, "STO_COMMAND", ts.DataType.BOOL),
                                ts.DictionaryItemInput(2, "SPEED", ts.DataType.UINT16, 0)])
    reports = []
    handler = ts.MasterHandler(dictionary, 0x0A, 0x1234, 1.0,
                               report_error_callback=lambda *report: reports.append(report))
    handler.master.dictionary_map.add(dictionary.name_map["STO_COMMAND"])
    handler.slave.dictionary_map.add(dictionary.name_map["SPEED"])
    slave = Slave.for_handler(handler)
    with handler, FrameRecorder(handler) as recorder:
        handler.start()

        def run_until_data():
            for _ in range(100):
                handler.set_reply(slave.reply(handler.get_request()))
                if handler.state is ts.StateData:
                    return
            raise AssertionError(f"stuck in {handler.state.__name__}: {reports}")

        run_until_data()
        slave.corrupt_crc()
        for _ in range(2):
            handler.set_reply(slave.reply(handler.get_request()))
        assert [name for name, _ in reports] == ["DATA_FAIL1"]
        run_until_data()
        handler.stop()
        recorder.save(tmp_path / "smoke.pcapng")
    shown = subprocess.run(["tamsel-trace", "show", str(tmp_path / "smoke.pcapng")],
                           capture_output=True, text=True, timeout=60)
    assert shown.returncode == 0 and "fault  DATA_FAIL1: Invalid slave CRC" in shown.stdout, shown.stderr
