"""The package's native callables, as the fuzz harness (tests/fuzz_calls.py)
and the memory gate (bench/memory_loop.py) both walk them: every module
function, class (its constructor), method and property accessor the
runtime made, found by importing each extension module."""
import importlib
import importlib.machinery
import inspect
import pkgutil
import types

PACKAGE = "tavro_experiment_tracking"


def is_native(obj):
    """A function of the package's runtime (each module has its own type of it)."""
    kind = type(obj)
    return kind.__name__ == "function" and kind is not types.FunctionType


def importable(name):
    """The module, or None for an integration whose framework is not installed."""
    try:
        return importlib.import_module(name)
    except ImportError:
        if name.startswith(PACKAGE + ".integrations."):
            return None
        raise


def native_modules():
    package = importlib.import_module(PACKAGE)
    names = [info.name for info in pkgutil.walk_packages(package.__path__, PACKAGE + ".") if not info.ispkg]
    return sorted(name for name in names if importable(name) is not None and isinstance(
        importlib.import_module(name).__loader__, importlib.machinery.ExtensionFileLoader))


class Target:
    """One callable: a module function, a class (called to construct), or a
    function found in a class body (method, static or class method, property
    accessor), called through the function itself with `self` as an argument."""

    def __init__(self, name, func, owner=None, construct=False, first=None):
        self.name, self.func, self.owner, self.construct, self.first = name, func, owner, construct, first
        init = owner.__init__ if construct else func
        self.params = list(inspect.signature(init).parameters.values())[1 if construct else 0:]
        self.code_name = init.__name__

    def __repr__(self):
        return self.name


def class_members(name, member):
    """(qualified name, function, first parameter's role) of a class-body entry."""
    if is_native(member):
        yield name, member, "self"
    elif isinstance(member, staticmethod) and is_native(member.__func__):
        yield name, member.__func__, None
    elif isinstance(member, classmethod) and is_native(member.__func__):
        yield name, member.__func__, "cls"
    elif isinstance(member, property):
        for part in ("fget", "fset", "fdel"):
            if is_native(getattr(member, part)):
                yield name + "." + part, getattr(member, part), "self"


def targets(module):
    found = []
    for name, value in vars(module).items():
        if is_native(value) and value.__module__ == module.__name__:
            found.append(Target(name, value))
        elif isinstance(value, type) and value.__module__ == module.__name__:
            if is_native(value.__init__):
                found.append(Target(name + "()", value, owner=value, construct=True))
            for attr, member in vars(value).items():
                for qualname, func, first in class_members(name + "." + attr, member):
                    found.append(Target(qualname, func, owner=value, first=first))
    return found
