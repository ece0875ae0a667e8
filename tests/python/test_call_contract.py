"""No call crashes: wrong arguments raise the module's usual errors."""

import pathlib
import re
import subprocess
import sys

import pytest

import call_contract_driver
import tamsel.tamsel as ts


def native_instances():
    dictionary = ts.Dictionary(
        [
            ts.DictionaryItemOutput(1, "out8", ts.DataType.UINT8),
            ts.DictionaryItemInput(2, "in8", ts.DataType.UINT8, 0),
            ts.DictionaryItemInputOutput(3, "both", ts.DataType.UINT16, 7),
        ]
    )
    handler = ts.MasterHandler(dictionary, 3, 9, 5.0)
    return handler, [handler, dictionary, *dictionary.key_map.values()]


def method_cases():
    handler, instances = native_instances()
    try:
        for obj in instances:
            for name, member in vars(type(obj)).items():
                if type(member).__name__ == "method_descriptor":
                    yield pytest.param(type(obj), name, id=f"{type(obj).__name__}.{name}")
    finally:
        handler.delete()


@pytest.mark.parametrize("cls, name", list(method_cases()))
def test_unknown_keyword_is_refused(cls, name):
    handler, instances = native_instances()
    try:
        obj = next(o for o in instances if type(o) is cls)
        with pytest.raises(TypeError) as raised:
            getattr(obj, name)(unknown_keyword=1)
        # A private method names itself without the class prefix the host mangling adds.
        shown = re.sub(r"^_[A-Za-z]+(?=__)", "", name)
        assert str(raised.value) == f"{shown}() got an unexpected keyword argument 'unknown_keyword'"
    finally:
        handler.delete()


DRIVER = pathlib.Path(__file__).with_name("call_contract_driver.py")


@pytest.mark.parametrize("target", list(call_contract_driver.targets()))
def test_every_call_raises_or_returns(target):
    """Wrong counts, unknown keywords, hostile values and attribute changes never crash, never
    raise SystemError, and a call refused with TypeError leaves its object as it was.

    The calls run in a child process that prints each call before making it, so a crash or
    a hang fails this test with the call that caused it.
    """
    command = [sys.executable, "-X", "faulthandler", str(DRIVER), target]
    try:
        run = subprocess.run(command, capture_output=True, text=True, timeout=600)
        output, status, errors = run.stdout, run.returncode, run.stderr
    except subprocess.TimeoutExpired as expired:
        output, status, errors = expired.stdout or "", "hung", expired.stderr or ""
        output = output.decode() if isinstance(output, bytes) else output
        errors = errors.decode() if isinstance(errors, bytes) else errors
    lines = output.splitlines()
    calls = [line.removeprefix("CALL ") for line in lines if line.startswith("CALL ")]
    last = calls[-1] if calls else "building the first instance"
    assert lines and lines[-1].startswith("DONE"), f"child {status} during: {last}\n{errors[-3000:]}"
    assert [line for line in lines if line.startswith(("SYSTEMERROR", "CHANGED"))] == []
