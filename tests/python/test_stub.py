"""The shipped type stubs describe the installed extension modules name for name."""

import abc
import ast
import enum
import functools
import importlib.resources
import inspect
import pathlib
import queue
import random
import subprocess
import sys
import types
import typing

import pytest

import tamsel._core
import tamsel._slave
import tamsel.tamsel as ts

# Standard-library modules whose names the extension binds in its namespace.
STANDARD_SOURCES = (abc, enum, functools, queue, random, typing)


def stub_tree(module_name):
    text = (importlib.resources.files("tamsel") / f"{module_name}.pyi").read_text()
    return ast.parse(text)


def defined_names(body):
    names = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets if isinstance(t, ast.Name))
    return names


def stub_classes(tree):
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def is_standard_binding(name, value):
    if isinstance(value, types.ModuleType):
        return True
    return any(getattr(source, name, None) is value for source in STANDARD_SOURCES)


def own_names(module):
    return {
        name
        for name, value in vars(module).items()
        if not (name.startswith("__") and name.endswith("__")) and not is_standard_binding(name, value)
    }


def own_classes(module):
    return {
        name: value
        for name, value in vars(module).items()
        if isinstance(value, type) and value.__module__ == module.__name__
    }


MODULES = [(ts, "tamsel"), (tamsel._slave, "_slave"), (tamsel._core, "_core")]


def test_stubs_are_installed_with_the_marker():
    assert (importlib.resources.files("tamsel") / "py.typed").is_file()


@pytest.mark.parametrize("module, stub", MODULES, ids=[s for _, s in MODULES])
def test_stub_defines_exactly_the_published_names(module, stub):
    assert defined_names(stub_tree(stub).body) == own_names(module)


def class_cases():
    for module, stub in MODULES:
        classes = stub_classes(stub_tree(stub))
        for name, cls in own_classes(module).items():
            yield pytest.param(cls, classes.get(name), id=f"{stub}.{name}")


@pytest.mark.parametrize("cls, node", list(class_cases()))
def test_class_members_match(cls, node):
    assert node is not None
    stubbed = defined_names(node.body)
    runtime_public = {name for name in vars(cls) if not name.startswith("_")}
    assert {name for name in stubbed if not name.startswith("_")} == runtime_public
    # Host-usable underscore names of the stub must exist on the class (a typo would hide them).
    missing = {name for name in stubbed if name.startswith("_") and not hasattr(cls, name)}
    assert missing == set()


@pytest.mark.parametrize("cls, node", list(class_cases()))
def test_method_parameters_match(cls, node):
    """Keyword names in the stub are the ones the runtime accepts."""
    checked = 0
    for fn in node.body:
        if not isinstance(fn, ast.FunctionDef) or fn.name not in vars(cls):
            continue
        try:
            signature = inspect.signature(vars(cls)[fn.name])
        except (TypeError, ValueError):
            continue
        params = list(signature.parameters.values())
        # Slot wrappers take positional-only arguments, whose names a caller never uses.
        if any(p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD, p.POSITIONAL_ONLY) for p in params[1:]):
            continue
        runtime = [p.name for p in params if p.name not in ("self", "cls", "module")]
        stubbed = [a.arg for a in fn.args.posonlyargs + fn.args.args][1:]
        assert stubbed == runtime, fn.name
        checked += 1
    if cls is ts.Dictionary:
        assert checked >= 5


def test_stubs_pass_the_standard_stub_checker(tmp_path):
    """mypy's stubtest finds no difference between the stubs and the loaded modules."""
    allowlist = pathlib.Path(__file__).with_name("stubtest_allowlist.txt")
    command = [sys.executable, "-m", "mypy.stubtest", "tamsel.tamsel", "tamsel._slave", "tamsel._core", "tamsel.slave"]
    command += ["--allowlist", str(allowlist), "--concise"]
    run = subprocess.run(command, capture_output=True, text=True, cwd=tmp_path, timeout=600)
    assert run.returncode == 0, run.stdout + run.stderr


# The attributes a native type declares are the getset and member descriptors in its own
# namespace. Dunder names belong to the interpreter's protocols and class-private names
# (`_Class__name`) to the class alone: the stub describes neither.
DECLARED = (types.GetSetDescriptorType, types.MemberDescriptorType)

# Types whose instances do not come from a bare __new__ (State is abstract).
INSTANCES = {
    ts.State: lambda: ts.StateReset.__new__(ts.StateReset),
    ts.FSOEFrameControl: lambda: ts.FSOEFrame().control,
    tamsel._slave.SlaveCore: lambda: tamsel._slave.SlaveCore(1, 2, 100, 2, 2),
}


def described(cls, name):
    is_dunder = name.startswith("__") and name.endswith("__")
    return not is_dunder and not name.startswith(f"_{cls.__name__.lstrip('_')}__")


def assignable(cls, name):
    """Whether the declaration has a setter. Deleting through a descriptor without one fails with
    the interpreter's read-only error before anything else is looked at; one with a setter hands
    the deletion to it (a throwaway instance takes it)."""
    instance = INSTANCES.get(cls, lambda: cls.__new__(cls))()
    try:
        vars(cls)[name].__delete__(instance)
    except (AttributeError, TypeError) as error:
        return not ("is not writable" in str(error) or str(error) == "readonly attribute")
    return True


def declared_fields(cls):
    return {
        name: assignable(cls, name)
        for name, value in vars(cls).items()
        if isinstance(value, DECLARED) and described(cls, name)
    }


def is_class_variable(annotation):
    target = annotation.value if isinstance(annotation, ast.Subscript) else annotation
    return isinstance(target, ast.Name) and target.id == "ClassVar"


def stub_fields(node):
    """The attributes a stub class describes, each True when it may be assigned: annotated names
    (class variables aside) are, a property is only with its setter."""
    fields = {}
    for item in node.body:
        if isinstance(item, ast.AnnAssign) and not is_class_variable(item.annotation):
            fields[item.target.id] = True
        elif isinstance(item, ast.FunctionDef):
            for decorator in item.decorator_list:
                if isinstance(decorator, ast.Name) and decorator.id == "property":
                    fields.setdefault(item.name, False)
                elif isinstance(decorator, ast.Attribute) and decorator.attr == "setter":
                    fields[item.name] = True
    return fields


@pytest.mark.parametrize("cls, node", list(class_cases()))
def test_stub_attributes_are_the_declared_fields(cls, node):
    """Every declared field is in the stub and every stub attribute is declared, each read-only
    in the stub exactly when it has no setter."""
    assert stub_fields(node) == declared_fields(cls)
