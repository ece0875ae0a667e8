"""Calls every public callable of one target with wrong and hostile arguments.

Run as ``python call_contract_driver.py MODULE[:CLASS]``. Each call is printed (and flushed)
before it is made, so whoever runs this in a child process can name the call that killed it.
A call must raise an ordinary exception or return; a ``SystemError`` is printed as
``SYSTEMERROR <call>``, a call refused with TypeError that changed its object's readable state
as ``CHANGED <call>: <attributes>``. The last line is ``DONE <number of calls>``.
"""

import ast
import importlib
import importlib.resources
import inspect
import math
import sys
import threading

import tamsel.slave
import tamsel.tamsel as ts

MODULES = ("tamsel.tamsel", "tamsel._slave", "tamsel.slave")
STUBS = {"tamsel.tamsel": "tamsel.pyi", "tamsel._slave": "_slave.pyi"}

# Protocol methods worth calling directly; other dunders are the interpreter's own.
PROTOCOL = {
    "__init__", "__getitem__", "__setitem__", "__delitem__", "__contains__", "__len__", "__iter__",
    "__next__", "__call__", "__repr__", "__str__", "__eq__", "__ne__", "__lt__", "__hash__", "__bool__",
    "__index__", "__int__", "__enter__", "__exit__",
}  # fmt: skip

# Calls that wait by design: a watchdog's loop runs until its thread is told to stop.
BLOCKING = {("Watchdog", "run")}


class Raising:
    """An argument whose conversions and comparisons raise."""

    def _refuse(self, *args):
        raise RuntimeError("hostile conversion")

    __index__ = __int__ = __float__ = __eq__ = __bool__ = __len__ = __iter__ = _refuse
    __hash__ = None


def hostile_values():
    return [None, "", b"", bytes(40), 1.5, math.nan, -1, 2**70, object(), [], [None], Raising()]


class World:
    """Fresh, valid objects for one round of calls; handlers are deleted when the round ends."""

    def __init__(self):
        self.handlers = []
        self.dictionary = ts.Dictionary(
            [
                ts.DictionaryItemOutput(1, "out8", ts.DataType.UINT8),
                ts.DictionaryItemInput(2, "in8", ts.DataType.UINT8, 0),
                ts.DictionaryItemInputOutput(3, "both", ts.DataType.UINT16, 7),
            ]
        )
        self.items = self.dictionary.key_map

    def handler(self):
        handler = ts.MasterHandler(self.dictionary, 3, 9, 5.0)
        # The watchdog is kept apart: a call may replace the handler's reference to it.
        self.handlers.append((handler, handler._watchdog))
        handler.master.dictionary_map.add(self.items[1])
        handler.slave.dictionary_map.add(self.items[2])
        return handler

    def close(self):
        for handler, watchdog in self.handlers:
            for stop in (handler.delete, watchdog.stop):
                try:
                    stop()
                except Exception:
                    pass

    def dictionary_map(self):
        mapping = ts.DictionaryMap(self.dictionary, {ts.DictionaryItemOutput, ts.DictionaryItemInputOutput})
        mapping.add(self.items[1])
        return mapping

    def dynamic_map(self):
        dynamic = ts.FSOEDynamicMap()
        dynamic.add(ts.DynamicMappableItem(5, ts.DataType.UINT16))
        return dynamic

    def instance(self, cls):
        """A valid instance of `cls` (given once per class)."""
        if issubclass(cls, BaseException):
            return cls("message")
        if issubclass(cls, tuple) and hasattr(cls, "_fields"):
            return cls(*[1] * len(cls._fields))
        if isinstance(cls, type) and issubclass(cls, __import__("enum").Enum):
            return next(iter(cls))
        if issubclass(cls, ts.State):  # the abstract base through its first concrete state
            return (ts.StateReset if cls is ts.State else cls)(self.handler())
        if issubclass(cls, tamsel.slave.Slave):
            return cls.for_handler(self.handler())
        factories = {
            ts.FSOEFrameControl: lambda: ts.FSOEFrame(4).control,
            ts.U16Array: lambda: ts.FSOEFrame(4).safe_data,
            ts.FSOEFrame: lambda: ts.FSOEFrame(4),
            ts.DictionaryItem: lambda: ts.DictionaryItem(9, "plain", ts.DataType.INT16),
            ts.DictionaryItemInput: lambda: self.items[2],
            ts.DictionaryItemOutput: lambda: self.items[1],
            ts.DictionaryItemInputOutput: lambda: self.items[3],
            ts.Dictionary: lambda: self.dictionary,
            ts.DictionaryMappedItem: lambda: self.dictionary_map()[0],
            ts.DictionaryMap: self.dictionary_map,
            ts.DynamicMappableItem: lambda: ts.DynamicMappableItem(5, ts.DataType.UINT16),
            ts.FSOEDynamicMap: self.dynamic_map,
            ts.Session: lambda: ts.Session(3, 9, 100),
            ts.ApplicationParameter: lambda: ts.ApplicationParameter("param", 3, 2),
            ts.Node: lambda: self.handler().master,
            ts.Watchdog: lambda: self.handler()._watchdog,
            ts.MasterHandler: self.handler,
            tamsel._slave.SlaveCore: lambda: tamsel._slave.SlaveCore(3, 9, 100, 1, 1),
        }
        return factories[cls]()

    def sample(self, annotation):
        """A valid-looking value for a parameter annotated `annotation` (an ast node or None)."""
        node = annotation
        if node is None:
            return 1
        if isinstance(node, ast.Constant) and isinstance(node.value, str):
            node = ast.parse(node.value, mode="eval").body
        if isinstance(node, ast.BinOp):  # X | None
            return self.sample(node.left)
        if isinstance(node, ast.Subscript):
            outer = ast.unparse(node.value)
            inner = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
            if outer in ("Optional", "Union"):
                return self.sample(inner[0])
            if outer == "Type":
                return ts.StateReset if ast.unparse(inner[0]) == "State" else ts.DictionaryItemOutput
            if outer == "Set":
                return {ts.DictionaryItemOutput}
            if outer == "Callable":
                return lambda *args, **kwargs: None
            if outer in ("Mapping", "dict", "Dict"):
                return {"out8": 1}
            return []
        name = ast.unparse(node).rpartition(".")[2]
        simple = {
            "int": 1, "bool": True, "float": 0.5, "str": "out8", "bytes": bytes(6), "object": 1,
            "DICTIONARY_VALUE_TYPES": 1, "DataType": ts.DataType.UINT8, "BaseError": ts.BaseError.RESET,
            "FSOECommand": ts.FSOECommand.RESET, "Any": 1,
        }  # fmt: skip
        if name in simple:
            return simple[name]
        objects = {
            "FSOEFrame": lambda: ts.FSOEFrame(4),
            "DictionaryItem": lambda: self.items[1],
            "Dictionary": lambda: self.dictionary,
            "DictionaryMappedItem": lambda: self.dictionary_map()[0],
            "DictionaryMap": self.dictionary_map,
            "DynamicMappableItem": lambda: ts.DynamicMappableItem(5, ts.DataType.UINT16),
            "FSOEDynamicMap": self.dynamic_map,
            "MasterHandler": self.handler,
        }
        return objects[name]() if name in objects else 1


def stub_functions():
    """{(module, class or module, name): ast.FunctionDef} from the shipped stubs."""
    found = {}
    for module, stub in STUBS.items():
        tree = ast.parse((importlib.resources.files("tamsel") / stub).read_text())
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                found[(module, module, node.name)] = node
            elif isinstance(node, ast.ClassDef):
                for item in node.body:
                    if isinstance(item, ast.FunctionDef):
                        found.setdefault((module, node.name, item.name), item)
    return found


class Parameter:
    def __init__(self, name, annotation, required, keyword):
        self.name, self.annotation, self.required, self.keyword = name, annotation, required, keyword


def stub_parameters(fn):
    args = fn.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    params = [
        Parameter(a.arg, a.annotation, default is None, a not in args.posonlyargs)
        for a, default in zip(positional, defaults)
    ]
    params += [Parameter(a.arg, a.annotation, d is None, True) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return params[1:] if positional and positional[0].arg in ("self", "cls") else params


def runtime_parameters(fn):
    """Parameters from the runtime signature, or None when there is none to read."""
    try:
        signature = inspect.signature(fn)
    except (TypeError, ValueError):
        return None
    params = []
    for p in signature.parameters.values():
        if not params and p.name in ("self", "cls"):
            continue
        if p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD):
            return None
        annotation = ast.parse(p.annotation, mode="eval").body if isinstance(p.annotation, str) else None
        params.append(Parameter(p.name, annotation, p.default is p.empty, p.kind != p.POSITIONAL_ONLY))
    return params


class Driver:
    def __init__(self):
        self.stubs = stub_functions()
        self.calls = 0

    def attempt(self, label, action, watched=None):
        """Makes one call; a refused call (TypeError) must leave `watched` as it was."""
        self.calls += 1
        sys.stdout.write(f"CALL {label}\n")
        sys.stdout.flush()
        before = snapshot(watched)
        try:
            action()
        except SystemError as error:
            sys.stdout.write(f"SYSTEMERROR {label}: {error}\n")
        except TypeError:
            after = snapshot(watched)
            changed = sorted(name for name in before if after.get(name) != before[name])
            if changed:
                sys.stdout.write(f"CHANGED {label}: {changed}\n")
        except Exception:
            pass

    def parameters(self, module, owner, name):
        """The parameters of `owner.name` (`owner` itself for name None): stub first, then runtime."""
        key = (module, owner.__name__, name or "__init__")
        stub = self.stubs.get(key) or (name is None and self.stubs.get(key[:2] + ("__new__",)))
        if stub:
            return stub_parameters(stub)
        return runtime_parameters(getattr(owner, name) if name else owner)

    def sweep(self, label, bind, params):
        """Calls `bind()` (a fresh world's callable) with every wrong and hostile argument list."""
        world = World()
        try:
            fn = bind(world)
            watched = getattr(fn, "__self__", None)
            if isinstance(watched, type) or inspect.ismodule(watched):
                watched = None
            if params is None:  # arity unknown: hostile values in every count up to three
                for count in range(4):
                    for value in hostile_values():
                        self.attempt(f"{label}(*[{value!r}] * {count})", lambda: fn(*[value] * count), watched)
                self.attempt(f"{label}(unknown_keyword=1)", lambda: fn(unknown_keyword=1), watched)
                return
            valid = [world.sample(p.annotation) for p in params]
            required = [v for v, p in zip(valid, params) if p.required]
            self.attempt(f"{label}(<valid>, unknown_keyword=1)", lambda: fn(*required, unknown_keyword=1), watched)
            self.attempt(f"{label}(unknown_keyword=1)", lambda: fn(unknown_keyword=1), watched)
            self.attempt(f"{label}(<{len(valid) + 1} positional>)", lambda: fn(*valid, 1), watched)
            if required:
                self.attempt(f"{label}(<{len(required) - 1} positional>)", lambda: fn(*required[:-1]), watched)
            for index, param in enumerate(params):
                for value in hostile_values():
                    args = valid[:index] + [value] + required[index + 1 :]
                    self.attempt(f"{label}({param.name}={value!r}) positional", lambda: fn(*args), watched)
                    if param.keyword:
                        before = valid[:index] if param.required else required
                        kwargs = {param.name: value}
                        self.attempt(f"{label}({param.name}={value!r}) keyword", lambda: fn(*before, **kwargs), watched)
        finally:
            world.close()

    def attributes(self, label, cls, names):
        """Sets (to its own value and to each hostile value) and deletes every attribute."""
        for name in names:
            world = World()
            try:
                obj = world.instance(cls)
                try:
                    own = getattr(obj, name)
                except Exception:
                    own = None
                for value in [own, *hostile_values()]:
                    self.attempt(f"{label}.{name} = {value!r}", lambda: setattr(obj, name, value), obj)
                    self.attempt(f"{label}.{name} read back", lambda: repr(getattr(obj, name)))
                self.attempt(f"del {label}.{name}", lambda: delattr(obj, name), obj)
                self.attempt(f"{label}.{name} read after del", lambda: repr(getattr(obj, name)))
                self.exercise(label, obj, world)
            finally:
                world.close()
            saved = cls.__dict__.get(name)
            if saved is not None:
                for action, text in ((lambda: setattr(cls, name, None), "= None"), (lambda: delattr(cls, name), "del")):
                    self.attempt(f"class {cls.__name__}.{name} {text}", action)
                    if cls.__dict__.get(name) is not saved:
                        setattr(cls, name, saved)

    def exercise(self, label, obj, world):
        """Calls each of the object's methods with valid arguments after an attribute changed."""
        for owner, name, fn in own_callables(type(obj)):
            if (owner.__name__, name) in BLOCKING or name.startswith("__"):
                continue
            params = self.parameters(owner.__module__, owner, name) or []
            args = [world.sample(p.annotation) for p in params if p.required]
            self.attempt(f"{label}.{name}(<valid>) after attribute change", lambda: getattr(obj, name)(*args))

    def run_module_functions(self, module):
        for name, value in public_names(module):
            if callable(value) and not isinstance(value, type):
                params = self.parameters(module.__name__, module, name)
                self.sweep(f"{module.__name__}.{name}", lambda world, value=value: value, params)

    def run_class(self, module, cls):
        label = cls.__name__
        self.sweep(label, lambda world: cls, self.parameters(module.__name__, cls, None))
        for owner, name, fn in own_callables(cls):
            if (owner.__name__, name) in BLOCKING:
                continue
            params = self.parameters(owner.__module__, owner, name)
            if isinstance(inspect.getattr_static(owner, name), (classmethod, staticmethod)):
                bind = lambda world, name=name: getattr(cls, name)
            else:
                bind = lambda world, name=name: getattr(world.instance(cls), name)
            self.sweep(f"{label}.{name}", bind, params)
        world = World()
        try:
            names = [n for n in dir(world.instance(cls)) if not n.startswith("__") and not is_sunder(n)]
        finally:
            world.close()
        self.attributes(label, cls, names)


def snapshot(obj):
    """The readable state of `obj`: the repr of each data attribute, by name."""
    if obj is None:
        return {}
    state = {}
    for name in dir(obj):
        if name.startswith("__"):
            continue
        try:
            value = getattr(obj, name)
        except Exception as error:
            value = error
        if not callable(value):
            state[name] = repr(value)
    return state


def is_sunder(name):
    return len(name) > 2 and name[0] == name[-1] == "_" and name[1] != "_"


def own_callables(cls):
    """(defining class, name, object) for the callables the package's classes define."""
    seen = set()
    for owner in cls.__mro__:
        if owner.__module__ not in MODULES:
            continue
        for name, value in vars(owner).items():
            if name in seen or is_sunder(name) or (name.startswith("__") and name not in PROTOCOL):
                continue
            if isinstance(value, (classmethod, staticmethod)) or callable(value):
                if not isinstance(value, type):
                    seen.add(name)
                    yield owner, name, value


def public_names(module):
    names = getattr(module, "__all__", None) or dir(module)
    for name in names:
        value = getattr(module, name)
        if name.startswith("__") or inspect.ismodule(value):
            continue
        if getattr(value, "__module__", module.__name__) != module.__name__:
            continue
        yield name, value


def targets():
    """Every target this driver accepts: each module's functions, then each class."""
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        yield module_name
        for name, value in public_names(module):
            if isinstance(value, type):
                yield f"{module_name}:{name}"


def main(target):
    module_name, _, class_name = target.partition(":")
    module = importlib.import_module(module_name)
    driver = Driver()
    if class_name:
        driver.run_class(module, getattr(module, class_name))
    else:
        driver.run_module_functions(module)
    # Handlers the constructor sweep built are never deleted; their threads must not keep
    # the process alive.
    for thread in threading.enumerate():
        if isinstance(thread, ts.Watchdog):
            try:
                thread.stop()
            except Exception:
                pass
    sys.stdout.write(f"DONE {driver.calls}\n")


if __name__ == "__main__":
    main(sys.argv[1])
