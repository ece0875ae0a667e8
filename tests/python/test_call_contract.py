"""Every native method refuses a keyword it does not take with the same TypeError."""

import re

import pytest

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
