"""pysoem and SafetyChannel against the virtual drive, over a veth pair in a private network
namespace: real EtherCAT frames, the FSoE connection inside their process data."""
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import uuid
from pathlib import Path

import pytest

pysoem = pytest.importorskip("pysoem", reason="pysoem is not installed (pip install tamsel[ethercat])")

from tamsel.ethercat.virtual_drive import DEVICE_NAME, PRODUCT_CODE, REVISION, VENDOR_ID  # noqa: E402

HERE = Path(__file__).parent


def run(*command, check=True):
    return subprocess.run(command, capture_output=True, text=True, check=check, timeout=60)


@pytest.fixture
def namespace(tmp_path):
    """A private network namespace with a veth pair: the drive's end and the master's end."""
    if os.geteuid() != 0:
        pytest.skip("network namespaces and raw sockets need root")
    if shutil.which("ip") is None:
        pytest.skip("the 'ip' tool (iproute2) is not installed")
    name = f"tamsel-{uuid.uuid4().hex[:10]}"
    made = run("ip", "netns", "add", name, check=False)
    if made.returncode != 0:
        pytest.skip(f"cannot create a network namespace: {made.stderr.strip()}")
    try:
        for command in (["ip", "link", "add", "drive0", "type", "veth", "peer", "name", "master0"],
                        ["ip", "link", "set", "drive0", "up"], ["ip", "link", "set", "master0", "up"]):
            result = run("ip", "netns", "exec", name, *command, check=False)
            if result.returncode != 0:
                pytest.skip(f"cannot set up a veth pair: {result.stderr.strip()}")
        yield name
    finally:
        run("ip", "netns", "delete", name, check=False)


def start_drive(namespace, control, *options):
    drive = subprocess.Popen(
        ["ip", "netns", "exec", namespace, sys.executable, "-m", "tamsel.ethercat.virtual_drive",
         "--interface", "drive0", "--control", str(control), "--watchdog-ms", "1000", *options],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = drive.stdout.readline()
    if line.strip() != "ready":
        drive.kill()
        pytest.fail(f"the drive did not start: {line!r} {drive.stderr.read()}")
    return drive


def stop_drive(drive, how=signal.SIGTERM):
    drive.send_signal(how)
    out, err = drive.communicate(timeout=10)
    assert drive.returncode == 0 and "Traceback" not in err, err
    return out


def test_pysoem_reaches_data_exchanges_values_and_recovers_from_faults(namespace, tmp_path):
    control = tmp_path / "drive.sock"
    drive = start_drive(namespace, control, "--pdo-prefix", "3")
    try:
        master = run("ip", "netns", "exec", namespace, sys.executable, str(HERE / "bus_master.py"),
                     "--interface", "master0", "--control", str(control), "--prefix", "3", "--cycles", "1000",
                     check=False)
    finally:
        stopped = stop_drive(drive)
    assert master.returncode == 0, master.stderr
    result = json.loads(master.stdout)

    assert result["slaves"] == 1
    assert result["identity"] == [[VENDOR_ID, PRODUCT_CODE, REVISION, DEVICE_NAME]]
    assert result["sizes"] == [3 + 7, 3 + 7] and result["op"]
    assert result["states_before_faults"][-1] == "StateData"
    # values both ways over 1000 cycles: the drive's counter changes nearly every cycle and
    # each output held for a few cycles is what the drive received
    assert result["data_cycles"] >= 1000 and result["inputs_distinct"] > 300
    assert len(result["outputs_checked"]) == 5
    assert all(sent == seen for sent, seen in result["outputs_checked"])

    assert any("CRC" in message.upper() for _, _, message in result["crc_reports"]), result["crc_reports"]
    assert any("watchdog" in message.lower() for _, _, message in result["pause_reports"]), result["pause_reports"]
    assert result["final_state"] == "StateData"
    drive_status = result["drive"]
    assert drive_status["al_state"] == "OP" and drive_status["phase"] == "DATA"
    assert drive_status["dropped"] == 0
    assert "stopped:" in stopped


def test_soak_every_stall_longer_than_the_watchdog_is_followed_by_data(namespace, tmp_path):
    """1 ms cycle, FSoE watchdog 100 ms on both sides, twenty stalls of the host loop of 250 ms:
    the connection comes back to Data after each, without any other help."""
    control = tmp_path / "drive.sock"
    drive = start_drive(namespace, control, "--watchdog-ms", "100")
    try:
        soak = run("ip", "netns", "exec", namespace, sys.executable, str(HERE / "bus_soak.py"),
                   "--interface", "master0", "--watchdog-ms", "100", "--stalls", "20", "--stall-ms", "250",
                   check=False)
    finally:
        stopped = stop_drive(drive)
    assert soak.returncode == 0, soak.stderr
    result = json.loads(soak.stdout)
    recoveries = result["recoveries"]
    assert len(recoveries) == 20 and result["final_state"] == "StateData", result
    # every stall was noticed: the master's watchdog ran out during it
    assert all(any(name.endswith("_WD") for name, _ in reports) for reports in result["stall_reports"]), result
    times = sorted(ms for ms, _ in recoveries)
    print(f"\nrecovery after a stall: min {times[0]} ms, median {times[len(times) // 2]} ms, max {times[-1]} ms; "
          f"cycles min {min(c for _, c in recoveries)}, max {max(c for _, c in recoveries)}")
    assert "stopped:" in stopped


def test_malformed_frames_are_dropped_and_counted(namespace, tmp_path):
    """Truncated, oversized and garbage EtherCAT frames: the drive counts them and keeps answering."""
    control = tmp_path / "drive.sock"
    drive = start_drive(namespace, control)
    try:
        sent = run("ip", "netns", "exec", namespace, sys.executable, str(HERE / "bus_garbage.py"), "master0")
        assert sent.returncode == 0, sent.stderr
        counts = json.loads(sent.stdout)
        deadline = time.monotonic() + 10
        status = None
        while time.monotonic() < deadline:
            status = json.loads(run(sys.executable, "-m", "tamsel.ethercat.virtual_drive", "--control", str(control),
                                    "--send", "status").stdout)["status"]
            if status["dropped"] >= counts["malformed"]:
                break
            time.sleep(0.1)
        assert status["dropped"] == counts["malformed"]
        assert counts["answered_after"] == 1
    finally:
        assert "stopped:" in stop_drive(drive, signal.SIGINT)


@pytest.mark.parametrize("seed", [1, 2])
def test_hostile_frames_alongside_a_master_in_data(namespace, tmp_path, seed):
    """A flood of hostile frames (FMMU and sync manager programming, accesses at the edges of the
    memory, huge lengths, chains with false lengths, noise) while pysoem keeps the FSoE
    connection in Data: the drive answers or drops every one, the connection never leaves Data."""
    control = tmp_path / "drive.sock"
    drive = start_drive(namespace, control)
    master = subprocess.Popen(["ip", "netns", "exec", namespace, sys.executable, str(HERE / "bus_hold.py"),
                               "--interface", "master0"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    try:
        assert master.stdout.readline() == "data\n", master.stderr.read()
        hostile = run("ip", "netns", "exec", namespace, sys.executable, str(HERE / "bus_hostile.py"), "master0",
                      "8000", str(seed), check=False)
        out, err = master.communicate("done\n", timeout=60)
    finally:
        if master.poll() is None:
            master.kill()
            master.communicate()
        stopped = stop_drive(drive)
    assert hostile.returncode == 0, hostile.stderr
    assert master.returncode == 0, err
    result = json.loads(out)
    assert result["reports"] == [] and result["final_state"] == "StateData", result
    assert result["states"][-1] == "StateData" and result["states"].count("StateData") == 1
    assert result["cycles_in_data"] > 0
    sent = json.loads(hostile.stdout)
    assert sent["structured"] and sent["lying"] and sent["noise"]
    assert "stopped:" in stopped
