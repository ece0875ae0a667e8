import enum
import math
import struct

import pytest
from hypothesis import given, strategies as st

import tamsel.tamsel as ts

DT = ts.DataType

INTEGER_TYPES = {
    DT.UINT8: (8, False),
    DT.INT8: (8, True),
    DT.UINT16: (16, False),
    DT.INT16: (16, True),
    DT.UINT32: (32, False),
    DT.INT32: (32, True),
}


def type_range(data_type):
    bits, signed = INTEGER_TYPES[data_type]
    return (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)


def test_enumeration_shape():
    assert issubclass(DT, enum.Enum) and not issubclass(DT, int)
    assert [(m.name, m.value) for m in DT] == [
        ("BOOL", 1), ("FLOAT", 2), ("UINT8", 3), ("INT8", 4),
        ("UINT16", 5), ("INT16", 6), ("UINT32", 7), ("INT32", 8),
    ]
    assert DT(3) is DT.UINT8
    assert DT.__doc__ == "Type of dictionary item"
    assert DT.__module__ == "tamsel.tamsel"
    assert DT.bits.__doc__ == "Get number of bits necessary to represent a value with the datatype"
    assert DT.UINT8.serialize_value.__doc__ == "Convert value to integer representation"
    assert ts.DICTIONARY_VALUE_TYPES == __import__("typing").Union[float, int, bool]


@pytest.mark.parametrize(
    "member,bits,nbytes,is_integer,is_signed,initial",
    [
        (DT.BOOL, 1, 1, False, False, False),
        (DT.FLOAT, 32, 4, False, False, 0.0),
        (DT.UINT8, 8, 1, True, False, 0),
        (DT.INT8, 8, 1, True, True, 0),
        (DT.UINT16, 16, 2, True, False, 0),
        (DT.INT16, 16, 2, True, True, 0),
        (DT.UINT32, 32, 4, True, False, 0),
        (DT.INT32, 32, 4, True, True, 0),
    ],
)
def test_member_facts(member, bits, nbytes, is_integer, is_signed, initial):
    assert (member.bits, member.bytes, member.is_integer, member.is_signed) == (bits, nbytes, is_integer, is_signed)
    value = member.get_initial_value()
    assert value == initial and type(value) is type(initial)
    # cached on the member
    assert "bits" in vars(member) and vars(member)["bits"] == bits
    if is_integer:
        assert (member.min_value, member.max_value) == type_range(member)
    else:
        for name in ("min_value", "max_value"):
            with pytest.raises(NotImplementedError):
                getattr(member, name)


@pytest.mark.parametrize("member", list(INTEGER_TYPES))
@given(data=st.data())
def test_integer_round_trip(member, data):
    low, high = type_range(member)
    value = data.draw(st.integers(low, high))
    raw = member.serialize_value(value)
    assert type(raw) is int and 0 <= raw < (1 << member.bits)
    assert raw == value % (1 << member.bits)
    assert member.serialize_bytes(value) == raw.to_bytes(member.bytes, "little")
    back = member.unserialize_value(raw)
    assert back == value and type(back) is int


@pytest.mark.parametrize("member", list(INTEGER_TYPES))
def test_integer_range_errors_have_no_message(member):
    low, high = type_range(member)
    for bad in (low - 1, high + 1, float(high + 1), -(10**30), 10**30):
        with pytest.raises(ValueError) as info:
            member.serialize_value(bad)
        assert info.value.args == ()


@pytest.mark.parametrize(
    "member,value,type_name",
    [(DT.UINT8, 3.0, "float"), (DT.INT8, True, "bool"), (DT.INT16, -1.5, "float"), (DT.UINT32, math.nan, "float")],
)
def test_in_range_non_integers_are_type_errors(member, value, type_name):
    with pytest.raises(TypeError) as info:
        member.serialize_value(value)
    assert str(info.value) == f"Expected int, got {type_name}"


@pytest.mark.parametrize("member", list(INTEGER_TYPES))
def test_floats_exactly_at_the_range_limits_are_type_errors(member):
    for limit in type_range(member):
        with pytest.raises(TypeError) as info:
            member.serialize_value(float(limit))
        assert str(info.value) == "Expected int, got float"


def test_host_comparisons_decide_for_other_objects():
    class Big:
        """Compares as inside every range and adds up to an int."""

        def __lt__(self, other):
            return other == 0

        def __gt__(self, other):
            return False

        def __add__(self, other):
            return other - 1

    assert DT.INT8.serialize_value(Big()) == 255
    with pytest.raises(TypeError, match="'<' not supported"):
        DT.UINT8.serialize_value("5")


@pytest.mark.parametrize("value,expected", [(True, 1), (1, 1), (1.0, 1), (False, 0), (0, 0), (-0.0, 0)])
def test_bool_serialize(value, expected):
    assert DT.BOOL.serialize_value(value) == expected
    assert DT.BOOL.serialize_bytes(value) == bytes([expected])
    assert DT.BOOL.unserialize_value(expected + 2 * expected) is bool(expected)


@pytest.mark.parametrize("value", [2, -1, 0.5, "1", None, math.nan])
def test_bool_serialize_refuses(value):
    with pytest.raises(ValueError, match="^Invalid value for BOOL type$"):
        DT.BOOL.serialize_value(value)


@given(st.integers(0, 0xFFFFFFFF))
def test_float_round_trips_every_bit_pattern(raw):
    value = DT.FLOAT.unserialize_value(raw)
    assert type(value) is float
    assert DT.FLOAT.serialize_value(value) == raw
    assert DT.FLOAT.serialize_bytes(value) == raw.to_bytes(4, "little")


@given(st.floats(width=32, allow_nan=False))
def test_float_values_match_struct(value):
    raw = DT.FLOAT.serialize_value(value)
    assert raw.to_bytes(4, "little") == struct.pack("<f", value)
    assert DT.FLOAT.unserialize_value(raw) == value


def test_float_edges():
    assert DT.FLOAT.serialize_value(1.0) == 0x3F800000
    assert DT.FLOAT.serialize_bytes(1.0) == bytes.fromhex("0000803f")
    assert DT.FLOAT.unserialize_value(0x3F800000) == 1.0
    assert DT.FLOAT.serialize_value(1) == 0x3F800000
    assert DT.FLOAT.serialize_value(True) == 0x3F800000
    assert DT.FLOAT.serialize_value(math.inf) == 0x7F800000
    assert DT.FLOAT.serialize_value(3.4028235e38) == 0x7F7FFFFF
    assert DT.FLOAT.serialize_value(math.nan) == 0x7FC00000
    assert math.isnan(DT.FLOAT.unserialize_value(0x7FC00000))


@pytest.mark.parametrize(
    "value,error,message",
    [
        ("a", struct.error, "required argument is not a float"),
        (None, struct.error, "required argument is not a float"),
        (10**400, struct.error, "required argument is not a float"),
        (1e300, OverflowError, "float too large to pack with f format"),
        (-3.40282357e38, OverflowError, "float too large to pack with f format"),
        (2**128, struct.error, "int too large to convert"),
    ],
)
def test_float_packing_errors_match_struct(value, error, message):
    with pytest.raises(error) as info:
        DT.FLOAT.serialize_value(value)
    assert str(info.value) == message
    with pytest.raises(error) as expected:
        struct.pack("<f", value)
    assert str(expected.value) == message


@pytest.mark.parametrize(
    "raw,message", [(-1, "can't convert negative int to unsigned"), (1 << 32, "int too big to convert")]
)
def test_float_unserialize_overflow(raw, message):
    with pytest.raises(OverflowError, match=f"^{message}$"):
        DT.FLOAT.unserialize_value(raw)


@pytest.mark.parametrize(
    "member,raw,expected",
    [
        (DT.INT16, 65535, -1),
        (DT.INT8, 0x80, -128),
        (DT.INT8, 0x17F, 0x17F),
        (DT.INT8, 0x180, 0x180 - 256),
        (DT.UINT16, 70000, 70000),
        (DT.UINT8, -5, -5),
        (DT.INT8, -1, -257),
        (DT.UINT32, 1 << 80, 1 << 80),
        (DT.INT32, (1 << 80) | (1 << 31), ((1 << 80) | (1 << 31)) - (1 << 32)),
        (DT.INT32, (1 << 80), 1 << 80),
    ],
)
def test_unserialize_has_no_range_check(member, raw, expected):
    assert member.unserialize_value(raw) == expected


@pytest.mark.parametrize("value", [1.0, True, "1", None])
def test_unserialize_wants_exact_int(value):
    with pytest.raises(TypeError) as info:
        DT.UINT8.unserialize_value(value)
    assert str(info.value) == f"Argument 'value' has incorrect type (expected int, got {type(value).__name__})"


def test_method_argument_counts():
    with pytest.raises(TypeError, match=r"^serialize_value\(\) takes exactly 2 positional arguments \(1 given\)$"):
        DT.UINT8.serialize_value()
    assert DT.UINT8.serialize_value(value=5) == 5


@pytest.mark.parametrize(
    "number,boundary,expected",
    [(9, 8, 16), (16, 8, 16), (0, 8, 0), (65535, 2, 65536), (1, 1, 1), (7, 65535, 65535)],
)
def test_align_bits(number, boundary, expected):
    assert ts.align_bits(number, boundary) == expected
    assert ts.align_bits(number=number, boundary=boundary) == expected


@pytest.mark.parametrize(
    "args,error,message",
    [
        ((1, 0), ZeroDivisionError, "integer division or modulo by zero"),
        ((-1, 8), OverflowError, "can't convert negative value to uint16_t"),
        ((65536, 8), OverflowError, "value too large to convert to uint16_t"),
        ((8, -1), OverflowError, "can't convert negative value to uint16_t"),
        ((8, 1 << 70), OverflowError, "value too large to convert to uint16_t"),
    ],
)
def test_align_bits_errors(args, error, message):
    with pytest.raises(error) as info:
        ts.align_bits(*args)
    assert str(info.value) == message
