"""The traceability matrix of the black-channel suite: built from the evidence of the tests,
complete only when every cell and every transition has a test."""
import itertools

import pytest

from safety_evidence import ERROR_CLASSES, STATES, TRANSITIONS, Evidence, build_matrix, gaps


def injected(error_class, state, reports, cycles=None, harmless=None, recovery=None):
    record = Evidence()
    record.inject(error_class, state)
    record.reports.extend(reports)
    if harmless:
        record.harmless(harmless)
    else:
        record.detected(cycles)
    if recovery is not None:
        record.recovered(recovery)
    return record


def complete_run():
    records = [(f"test_{n}", injected(c, s, [f"{s.upper()}_FAIL1"], cycles=1))
               for n, (c, s) in enumerate(itertools.product(ERROR_CLASSES, STATES))]
    every = Evidence()
    for name in TRANSITIONS:
        every._transition(name)
    return records + [("test_every_transition", every)]


def test_a_complete_run_has_no_gaps():
    assert gaps(build_matrix(complete_run())) == []


def test_a_cell_keeps_each_test_once_every_detection_and_the_worst_cycles():
    first = injected("loss", "Data", ["DATA_WD"], cycles=22, recovery=30)
    first.inject("loss", "Data")
    first.harmless("late copies only delay")
    second = injected("loss", "Data", ["DATA_RESET1", "DATA_WD"], cycles=20, recovery=25)
    cell = build_matrix([("a", first), ("b", second)])["error_classes"]["loss"]["Data"]
    assert cell == {"tests": ["a", "b"], "detected_by": ["DATA_RESET1", "DATA_WD"], "cycles": 22,
                    "recovery_cycles": 30, "harmless": ["late copies only delay"]}


def test_only_reports_after_the_injection_count_as_its_detection():
    record = Evidence()
    record.reports.append("DATA_FAIL1")
    record.inject("corruption", "Data")
    with pytest.raises(AssertionError, match="nothing was reported"):
        record.detected(1)
    assert not record.complete()


@pytest.mark.parametrize("damage, gap", [
    (lambda m: m["error_classes"]["loss"]["Data"].update(tests=[]), "no test for loss in Data"),
    (lambda m: m["error_classes"]["loss"]["Data"].update(detected_by=[], harmless=[]), "no test for loss in Data"),
    (lambda m: m["error_classes"]["masquerade"].pop("Session"), "no test for masquerade in Session"),
    (lambda m: m["error_classes"].pop("addressing") and None, None),
    (lambda m: m["transitions"].update(DATA_OK2=[]), "no test takes DATA_OK2"),
    (lambda m: m["transitions"].pop("CONNECTION_STAY1"), "no test takes CONNECTION_STAY1"),
])
def test_an_empty_cell_or_an_untested_transition_is_a_gap(damage, gap):
    matrix = build_matrix(complete_run())
    damage(matrix)
    expected = [gap] if gap else [f"no test for addressing in {state}" for state in STATES]
    assert gaps(matrix) == expected


@pytest.mark.parametrize("cell", [{"not_applicable": "the class cannot occur here"},
                                  {"tests": ["a"], "detected_by": [], "harmless": ["not new"]}])
def test_a_reason_or_a_harmless_outcome_fills_a_cell(cell):
    matrix = build_matrix(complete_run())
    matrix["error_classes"]["insertion"]["Session"] = cell
    assert gaps(matrix) == []
