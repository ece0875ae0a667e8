"""Evidence of the black-channel suite and the traceability matrix built from a run.

A test takes the ``evidence`` fixture and says what it injects and what came of it::

    evidence.inject("corruption", "Data", "CRC bit of a slave frame")
    ...                                  # cycles until the master reacts
    evidence.detected(cycles=3)          # the faults reported since inject() detected it
    evidence.recovered(cycles=12)        # back in Data after that many cycles

or, where the protocol lets the fault pass by design, ``evidence.harmless("why")``.

While such a test runs, every fault the master reports (WARNING records of the ``tamsel``
logger) is recorded, on whatever thread it happens, and with ``--safety-matrix`` also every
transition it takes (the module function ``_log_transition``). Only tests that pass count as
evidence.

``pytest --safety-matrix=PATH`` writes the matrix of the run as JSON::

    {"error_classes": {class: {state: {"tests": [...], "detected_by": [...], "cycles": n,
                                       "recovery_cycles": n, "harmless": [...]}}},
     "transitions": {name: [test ids]}}

and fails the run when a cell of ERROR_CLASSES x STATES has no test or when one of the
master's transitions was never taken.
"""
from __future__ import annotations

import json
import logging
import pathlib
import threading
from dataclasses import dataclass
from typing import List, Optional

import pytest

import tamsel.tamsel as ts

ERROR_CLASSES = ("corruption", "unintended repetition", "incorrect sequence", "loss",
                 "unacceptable delay", "insertion", "masquerade", "addressing")
STATES = ("Session", "Connection", "Parameter", "Data")
TRANSITIONS = (
    "RESET_OK", "RESET_STAY1", "RESET_WD", "RESET_START",
    "SESSION_OK", "SESSION_FAIL1", "SESSION_FAIL3", "SESSION_FAIL4", "SESSION_STAY1", "SESSION_STAY2",
    "SESSION_RESET1", "SESSION_RESET2", "SESSION_WD",
    "CONN_OK", "CONN_FAIL1", "CONN_FAIL2", "CONN_FAIL3", "CONN_FAIL4", "CONN_FAIL5", "CONNECTION_STAY1",
    "CONN_RESET1", "CONN_RESET2", "CONN_WD",
    "PARA_OK", "PARA_FAIL1", "PARA_FAIL2", "PARA_FAIL3", "PARA_FAIL4", "PARA_FAIL5", "PARA_STAY1",
    "PARA_RESET1", "PARA_RESET2", "PARA_WD",
    "DATA_OK1", "DATA_OK2", "DATA_FAIL1", "DATA_FAIL2", "DATA_FAIL3", "DATA_FAIL4", "DATA_RESET1",
    "DATA_RESET2", "DATA_WD",
)
_KEY = pytest.StashKey[list]()
_PASSED = pytest.StashKey[bool]()


class _Reports(logging.Handler):
    """Keeps the transition name of every fault the `tamsel` logger reports."""

    def __init__(self, sink):
        super().__init__(logging.WARNING)
        self.sink = sink

    def emit(self, record):
        if record.args:
            self.sink.append(str(record.args[0]))


@dataclass
class Injection:
    """One fault a test injected, and what the master made of it."""

    error_class: str
    state: str
    variant: str
    first_report: int                     # index into Evidence.reports at the injection
    detected_by: Optional[List[str]] = None
    cycles: Optional[int] = None
    recovery_cycles: Optional[int] = None
    harmless: Optional[str] = None


class Evidence:
    """What one test injected and what the master did (see the module documentation)."""

    def __init__(self):
        self.transitions = []
        self.reports = []
        self.injections: List[Injection] = []
        self._lock = threading.Lock()

    def _transition(self, name):
        with self._lock:
            self.transitions.append(str(name))

    def inject(self, error_class, state, variant=""):
        assert error_class in ERROR_CLASSES, error_class
        assert state in STATES, state
        self.injections.append(Injection(error_class, state, variant, len(self.reports)))

    def _current(self) -> Injection:
        assert self.injections, "inject() first"
        return self.injections[-1]

    def detected(self, cycles):
        """The faults reported since inject() detected the injection within `cycles` cycles."""
        injection = self._current()
        found = sorted(set(self.reports[injection.first_report:]))
        assert found, "nothing was reported since the injection"
        injection.detected_by, injection.cycles = found, cycles
        return found

    def recovered(self, cycles):
        self._current().recovery_cycles = cycles

    def harmless(self, why):
        self._current().harmless = why

    def complete(self):
        return all(i.detected_by is not None or i.harmless is not None for i in self.injections)


@pytest.fixture
def evidence(monkeypatch, request):
    record = Evidence()
    if request.config.getoption("--safety-matrix"):
        # Rebinding the trace function makes the master take its general path for accepted
        # Data frames too; without the option the same tests run on the fast path.
        original = ts._log_transition

        def log_transition(name):
            record._transition(name)
            return original(name)

        monkeypatch.setattr(ts, "_log_transition", log_transition)
    logger = logging.getLogger("tamsel")
    handler = _Reports(record.reports)
    level = logger.level
    logger.setLevel(logging.WARNING)
    logger.addHandler(handler)
    yield record
    logger.removeHandler(handler)
    logger.setLevel(level)
    if request.node.stash.get(_PASSED, False):
        assert record.complete(), "an injection was neither detected nor shown harmless"


def pytest_addoption(parser):
    parser.addoption("--safety-matrix", metavar="PATH", default=None,
                     help="write the black-channel traceability matrix of this run to PATH")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.when == "call" and "evidence" in getattr(item, "funcargs", {}):
        item.stash[_PASSED] = report.passed
    if report.when == "teardown" and item.stash.get(_PASSED, False) and report.passed:
        item.config.stash.setdefault(_KEY, []).append((item.nodeid, item.funcargs["evidence"]))


def build_matrix(records):
    """The matrix of the evidence of passed tests: [(test id, Evidence), ...]."""
    cells = {c: {s: {"tests": [], "detected_by": set(), "cycles": None, "recovery_cycles": None,
                     "harmless": set()} for s in STATES} for c in ERROR_CLASSES}
    transitions = {name: [] for name in TRANSITIONS}
    for test_id, record in records:
        for injection in record.injections:
            cell = cells[injection.error_class][injection.state]
            if test_id not in cell["tests"]:
                cell["tests"].append(test_id)
            if injection.detected_by is not None:
                cell["detected_by"] |= set(injection.detected_by)
                cell["cycles"] = max(injection.cycles, cell["cycles"] or 0)
            if injection.recovery_cycles is not None:
                cell["recovery_cycles"] = max(injection.recovery_cycles, cell["recovery_cycles"] or 0)
            if injection.harmless is not None:
                cell["harmless"].add(injection.harmless)
        for name in dict.fromkeys(record.transitions):
            transitions.setdefault(name, []).append(test_id)
    for states in cells.values():
        for cell in states.values():
            cell["detected_by"] = sorted(cell["detected_by"])
            cell["harmless"] = sorted(cell["harmless"])
    return {"error_classes": cells, "transitions": transitions}


def gaps(matrix):
    """What the matrix lacks: cells of ERROR_CLASSES x STATES with neither tests that show a
    detection or a harmless outcome nor a reason why the class cannot occur there, and
    transitions no test took."""
    classes = matrix.get("error_classes", {})
    missing = []
    for error_class in ERROR_CLASSES:
        for state in STATES:
            cell = classes.get(error_class, {}).get(state, {})
            shown = cell.get("tests") and (cell.get("detected_by") or cell.get("harmless"))
            if not (shown or cell.get("not_applicable")):
                missing.append(f"no test for {error_class} in {state}")
    missing += [f"no test takes {name}" for name in TRANSITIONS if not matrix.get("transitions", {}).get(name)]
    return missing


def pytest_sessionfinish(session, exitstatus):
    path = session.config.getoption("--safety-matrix")
    if not path:
        return
    matrix = build_matrix(session.config.stash.get(_KEY, []))
    target = pathlib.Path(path)
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_text(json.dumps(matrix, indent=1) + "\n")
    problems = gaps(matrix)
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    for problem in problems:
        reporter.write_line(f"safety matrix: {problem}", red=True)
    reporter.write_line(f"safety matrix written to {target}")
    if problems and session.exitstatus == 0:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
