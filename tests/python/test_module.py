import subprocess
import sys
import textwrap

import pytest

import tamsel.tamsel as ts


def test_import_twice_returns_the_same_module():
    import importlib

    again = importlib.import_module("tamsel.tamsel")
    assert again is ts
    assert sys.modules["tamsel.tamsel"] is ts


def test_module_from_spec_returns_the_loaded_module_without_running_the_body():
    import importlib.util

    spec = importlib.util.find_spec("tamsel.tamsel")
    module = importlib.util.module_from_spec(spec)
    assert module is ts
    spec.loader.exec_module(module)  # the body does not run again
    assert module.BaseError is ts.BaseError


def test_module_spec_attributes():
    assert ts.__name__ == "tamsel.tamsel"
    assert ts.__package__ == "tamsel"
    assert ts.__file__.endswith(".so")
    assert ts.__loader__ is not None


@pytest.mark.parametrize(
    "name",
    ["struct", "os", "logging", "ABC", "abstractmethod", "Dict", "Union", "List", "Optional", "Type",
     "Callable", "Set", "Iterator", "threading", "Queue", "Empty", "Enum", "auto", "IntEnum", "randint",
     "cached_property"],
)
def test_standard_names_are_bound(name):
    assert hasattr(ts, name)


def test_base_error():
    import enum

    assert issubclass(ts.BaseError, enum.IntEnum)
    assert ts.BaseError.__doc__ == "Basic FSoE Error"
    assert len(ts.BaseError) == 12
    assert [m.value for m in ts.BaseError] == list(range(12))
    assert ts.BaseError.INVALID_USERPARA == 11
    with pytest.raises(ValueError):
        ts.BaseError(12)


def test_fsoe_error():
    import enum

    assert issubclass(ts.FSOEError, enum.Enum) and issubclass(ts.FSOEError, int)
    assert len(ts.FSOEError) == 140
    assert ts.FSOEError(5) is ts.FSOEError.WD_EXPIRED
    assert ts.FSOEError(5) == 5 == ts.BaseError.WD_EXPIRED
    assert ts.FSOEError(200).name == "INVALID_SAFEPARA_200"
    assert [m.name for m in ts.FSOEError][:12] == [m.name for m in ts.BaseError]
    assert [m.value for m in ts.FSOEError] == list(range(12)) + list(range(128, 256))
    for bad in (12, 127, 256, -1):
        with pytest.raises(ValueError):
            ts.FSOEError(bad)


@pytest.mark.parametrize(
    "name,doc",
    [
        ("TamselRunningException", "Exception for raised when the master is already running"),
        ("TamselMappingLockedException", "Exception raised when trying to map an item on a locked dictionary map"),
        ("FSoEAlreadyMappedException", "Exception raised when trying to map an item that is already mapped"),
    ],
)
def test_exception_classes(name, doc):
    cls = getattr(ts, name)
    assert cls.__bases__ == (ts.TamselException,)
    assert cls.__doc__ == doc
    assert cls.__module__ == "tamsel.tamsel"
    with pytest.raises(ts.TamselException) as info:
        raise cls("boom")
    assert str(info.value) == "boom"


def test_base_exception_class():
    assert ts.TamselException.__bases__ == (Exception,)
    assert ts.TamselException.__doc__ == "Exception for FSoE Master"


def test_second_interpreter_is_refused(tmp_path):
    code = textwrap.dedent(
        """
        import tamsel.tamsel
        try:
            import _interpreters as interpreters  # 3.13
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            # 3.13 returns a description of the exception, 3.12 raises it.
            print(interpreters.run_string(interp, "import tamsel.tamsel"))
        except Exception as exc:
            print(type(exc).__name__, exc)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in (
        out.stdout + out.stderr
    )


def test_namespace_follows_the_loading_order():
    names = list(vars(ts))
    native = ["FSOEFrameControl", "U16Array", "FSOEFrame", "DictionaryItem", "DictionaryItemInput",
              "DictionaryItemOutput", "DictionaryItemInputOutput", "Dictionary", "DictionaryMappedItem",
              "DictionaryMap", "DynamicMappableItem", "FSOEDynamicMap"]
    ordered = [
        *native, "struct", "os", "logging", "ABC", "abstractmethod", "Dict", "Union", "List", "Optional", "Type",
        "Callable", "Set", "Iterator", "threading", "Queue", "Empty", "Enum", "auto", "IntEnum", "randint",
        "cached_property", "BYTES_PER_WORD", "MAX_DATA_WORDS", "MAX_DATA_BYTES", "MAX_CRC_WORDS", "align_bits",
        "FSOECommand", "TamselException", "TamselRunningException", "TamselMappingLockedException",
        "FSoEAlreadyMappedException", "DataType", "MasterHandler", "calculate_sra_crc", "TAMSEL_LOGGING",
        "_log_transition", "_log_generate_crc", "_log_check_crc",
    ]
    positions = [names.index(name) for name in ordered]
    assert positions == sorted(positions)
    # MasterHandler is the last definition before calculate_sra_crc and the trace
    assert names[names.index("MasterHandler") + 1] == "calculate_sra_crc"
    assert names[-5:] == ["calculate_sra_crc", "TAMSEL_LOGGING", "_log_transition", "_log_generate_crc",
                          "_log_check_crc"]
