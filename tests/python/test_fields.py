"""The assignable fields the native types declare. Deleting a getset field is refused with the
attribute's name (a bare TypeError for the fields of a frame's fixed structure) and changes
nothing; an object member may be emptied, and an empty one reads as missing."""

import types

import pytest

import tamsel._slave
import tamsel.tamsel as ts
from test_stub import INSTANCES, assignable

DT = ts.DataType


def dictionary():
    return ts.Dictionary([ts.DictionaryItemOutput(1, "out", DT.UINT8), ts.DictionaryItemInput(2, "in", DT.UINT8, 0)])


def control():
    frame = ts.FSOEFrame(4)
    frame.control.command = ts.FSOECommand.SESSION
    return frame.control


# A made object of every type with assignable fields.
MAKERS = {
    ts.FSOEFrame: lambda: ts.FSOEFrame(4),
    ts.FSOEFrameControl: control,
    ts.DynamicMappableItem: lambda: ts.DynamicMappableItem(0, DT.UINT8),
    ts.FSOEDynamicMap: ts.FSOEDynamicMap,
    ts.Session: lambda: ts.Session(1, 2, 3),
    ts.ApplicationParameter: lambda: ts.ApplicationParameter("p", 0, 1),
    ts.Node: lambda: ts.Node(1, 2, 3, [], dictionary(), {ts.DictionaryItemOutput}),
    ts.State: lambda: ts.StateReset(None),
    ts.MasterHandler: lambda: ts.MasterHandler(dictionary(), 1, 2, 1.0),
    tamsel._slave.SlaveCore: lambda: tamsel._slave.SlaveCore(1, 2, 100, 2, 2),
}
STRUCTURES = {ts.FSOEFrame, ts.FSOEFrameControl}
# Deleting the dynamic map's item list leaves None in its place.
CLEARED = {(ts.FSOEDynamicMap, "_items")}


def assignable_fields(kind):
    for cls in MAKERS:
        for name, value in vars(cls).items():
            if isinstance(value, kind) and not name.startswith("__") and assignable(cls, name):
                yield pytest.param(cls, name, id=f"{cls.__name__}.{name}")


def test_every_type_with_assignable_fields_is_swept():
    published = [*vars(ts).values(), *vars(tamsel._slave).values()]
    with_fields = {
        cls
        for cls in published
        if isinstance(cls, type)
        and any(
            isinstance(value, (types.GetSetDescriptorType, types.MemberDescriptorType))
            and not name.startswith("__")
            and assignable(cls, name)
            for name, value in vars(cls).items()
        )
    }
    assert with_fields == set(MAKERS)


@pytest.fixture
def made():
    objects = []
    yield lambda cls: objects.append(MAKERS[cls]()) or objects[-1]
    for obj in objects:
        if isinstance(obj, ts.MasterHandler):
            obj.delete()


@pytest.mark.parametrize("cls, name", list(assignable_fields(types.GetSetDescriptorType)))
def test_deleting_a_field_is_refused(cls, name, made):
    obj = made(cls)
    if (cls, name) in CLEARED:
        delattr(obj, name)
        assert getattr(obj, name) is None
        return
    before = getattr(obj, name)
    if cls in STRUCTURES:
        kind, text = TypeError, "can't delete attribute"
    else:
        kind, text = AttributeError, f"can't delete attribute '{name}'"
    with pytest.raises(kind) as raised:
        delattr(obj, name)
    assert str(raised.value) == text
    assert getattr(obj, name) == before


@pytest.mark.parametrize("cls, name", list(assignable_fields(types.MemberDescriptorType)))
def test_an_object_member_may_be_emptied(cls, name):
    obj = INSTANCES.get(cls, lambda: cls.__new__(cls))()
    with pytest.raises(AttributeError):
        getattr(obj, name)
    setattr(obj, name, "value")
    assert getattr(obj, name) == "value"
    delattr(obj, name)
    assert not hasattr(obj, name)
