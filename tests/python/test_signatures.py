"""Every published constructor and method shows its real parameters, and the declared
parameters behave as declared: keywords by any equal string, defaults as if passed."""
import inspect

import pytest

import tamsel._slave
import tamsel.tamsel as ts

DT = ts.DataType


NATIVE = ("method_descriptor", "classmethod_descriptor", "builtin_function_or_method")


def native_callables():
    """(label, callable) for every constructor and C routine of the extension modules."""
    for module in (ts, tamsel._slave):
        for name, value in vars(module).items():
            if type(value).__name__ == "builtin_function_or_method":
                yield f"{name}", value
            if not isinstance(value, type) or value.__module__ != module.__name__:
                continue
            if not issubclass(value, (BaseException, ts.Enum)):
                yield name, value
            for attr, member in vars(value).items():
                if type(member).__name__ in NATIVE and attr not in ("__init_subclass__", "__new__", "_new_member_"):
                    yield f"{name}.{attr}", getattr(value, attr)


CALLABLES = list(native_callables())


@pytest.mark.parametrize("label, target", CALLABLES, ids=[label for label, _ in CALLABLES])
def test_every_native_callable_has_a_signature(label, target):
    parameters = inspect.signature(target).parameters.values()
    assert all(p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD) for p in parameters), label


def test_signatures_name_the_declared_parameters_and_defaults():
    assert str(inspect.signature(ts.MasterHandler)) == (
        "(dictionary, slave_address, connection_id, watchdog_timeout_s, application_parameters=None, "
        "report_error_callback=None, state_change_callback=None, dictionary_map_is_editable=True)")
    assert str(inspect.signature(ts.MasterHandler.set_reply)) == "(self, /, data)"
    assert str(inspect.signature(ts.FSOEFrame.frame_from_array)) == "(data)"
    assert str(inspect.signature(ts.DictionaryMap.get_text_representation)) == "(self, /, item_space=40)"
    assert str(inspect.signature(tamsel._slave.SlaveCore)).endswith("app_parameters=b'', session_id=None, "
                                                                     "supervise_watchdog=True)")
    assert ts.MasterHandler.__doc__ == "Handles the connection with a single slave from a master's point of view"
    assert ts.MasterHandler.start.__doc__ == "Start the FSoE connection"


def test_keywords_match_by_equality_when_not_the_interned_name():
    frame = ts.FSOEFrame()
    name = "".join(["last_sent_", "crc_0"])  # built at run time: equal, not identical
    assert frame.check_crcs_cyclic(**{name: 0}) == frame.check_crcs_cyclic(0)
    with pytest.raises(TypeError, match=r"^check_crcs_cyclic\(\) got multiple values for keyword argument"):
        frame.check_crcs_cyclic(0, **{name: 0})


def test_a_default_is_the_value_a_caller_would_pass():
    dictionary = ts.Dictionary([ts.DictionaryItemOutput(1, "a", DT.UINT8)])
    given = ts.DictionaryMap(dictionary, {ts.DictionaryItemOutput})
    absent = ts.DictionaryMap(dictionary, {ts.DictionaryItemOutput})
    given.add(dictionary.key_map[1], None, None)
    absent.add(dictionary.key_map[1])
    assert given.get_text_representation(40) == absent.get_text_representation()
    given._lock(True)
    absent._lock()
    assert given.locked and absent.locked


def test_a_subclass_constructs_through_the_declared_constructor():
    class Items(ts.Dictionary):
        def __init__(self, items, extra):
            super().__init__(items)
            self.extra = extra

    made = Items([ts.DictionaryItemOutput(1, "a", DT.UINT8)], extra=2)
    assert list(made.key_map) == [1] and made.extra == 2
    with pytest.raises(TypeError, match=r"^Argument 'items' has incorrect type \(expected list, got int\)$"):
        Items(1, 2)
    assert str(inspect.signature(Items)) == "(items, extra)"


@pytest.mark.parametrize("value, message", [(-1, "can't convert negative int to unsigned"),
                                            (2 ** 32, "int too big to convert"),
                                            (2 ** 64, "int too big to convert")])
def test_float_integer_form_out_of_range(value, message):
    with pytest.raises(OverflowError, match=f"^{message}$"):
        DT.FLOAT.unserialize_value(value)
