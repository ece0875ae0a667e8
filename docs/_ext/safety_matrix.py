"""The page "safety-matrix": the traceability matrix of the black-channel suite, rendered from
build/safety-matrix.json, which `make safety-report` writes from a run of the suite. The build
fails when the file is missing, when a cell of the matrix has neither tests nor a reason, or
when one of the master's transitions has no test."""
import json
import pathlib
import sys

from sphinx.errors import ExtensionError

ROOT = pathlib.Path(__file__).resolve().parents[2]
MATRIX = ROOT / "build" / "safety-matrix.json"
PAGE = "safety-matrix"
PLACEHOLDER = "<!-- matrix -->"

sys.path.insert(0, str(ROOT / "tests" / "python"))
from safety_evidence import gaps  # noqa: E402  (the suite's own rule for a complete matrix)


def load(path=MATRIX):
    if not path.exists():
        raise ExtensionError(f"{path} is missing: run `make safety-report` first")
    matrix = json.loads(path.read_text())
    problems = gaps(matrix)
    if problems:
        raise ExtensionError("the safety matrix is incomplete: " + "; ".join(problems))
    return matrix


def _short(test_id):
    """A test id without its file when the file is the suite's."""
    return test_id.removeprefix("tests/python/test_black_channel.py::")


def _cell_row(state, cell):
    if cell.get("not_applicable"):
        return f"| {state} | not applicable: {cell['not_applicable']} | | | |"
    names = ", ".join(f"`{name}`" for name in cell["detected_by"]) or "not detected (harmless)"
    cycles = "" if cell.get("cycles") is None else str(cell["cycles"])
    recovery = "" if cell.get("recovery_cycles") is None else str(cell["recovery_cycles"])
    return f"| {state} | {names} | {cycles} | {recovery} | {len(cell['tests'])} |"


def render(matrix):
    classes = matrix["error_classes"]
    cells = [cell for states in classes.values() for cell in states.values()]
    tests = {test for cell in cells for test in cell.get("tests", ())}
    lines = [
        f"{len(cells)} cells ({len(classes)} error classes in {len(next(iter(classes.values())))} states), "
        f"{len(tests)} tests, {sum(1 for tests in matrix['transitions'].values() if tests)} of "
        f"{len(matrix['transitions'])} transitions taken.",
        "",
    ]
    for error_class, states in classes.items():
        lines += [f"## {error_class.capitalize()}", "",
                  "| State | Detected by | Cycles | Back in Data after | Tests |", "|---|---|---|---|---|"]
        lines += [_cell_row(state, cell) for state, cell in states.items()]
        lines.append("")
        for state, cell in states.items():
            for reason in cell.get("harmless", ()):
                lines.append(f"- {state}, not detected by design: {reason}.")
        lines.append("")
        for state, cell in states.items():
            if cell.get("tests"):
                lines += [f"{state}:", ""] + [f"- `{_short(test)}`" for test in cell["tests"]] + [""]
    lines += ["## Transitions", "", "| Transition | Tests | For example |", "|---|---|---|"]
    for name, tests in matrix["transitions"].items():
        lines.append(f"| `{name}` | {len(tests)} | `{_short(min(tests, key=len))}` |")
    return "\n".join(lines) + "\n"


def _fill(app, docname, source):
    if docname == PAGE:
        source[0] = source[0].replace(PLACEHOLDER, render(load()))


def setup(app):
    app.connect("source-read", _fill)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
