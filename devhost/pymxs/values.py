"""MAXScript values that have no plain Python counterpart, and how the host prints values.

Strings, integers, floats and booleans are the Python types themselves; ``undefined`` is
``None``.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field


class _Ok:
    """MAXScript's ``ok``: the value of commands that have nothing to return."""

    __slots__ = ()

    def __repr__(self) -> str:
        return "OK"


OK = _Ok()


class Name:
    """A ``#name`` value; names compare without regard to case."""

    __slots__ = ("key", "text")

    def __init__(self, text: str) -> None:
        self.text = text
        self.key = text.lower()

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Name) and other.key == self.key

    def __hash__(self) -> int:
        return hash(self.key)

    def __str__(self) -> str:
        return self.text

    def __repr__(self) -> str:
        return "#" + self.text


class Array:
    """A MAXScript array. Script indices count from 1."""

    __slots__ = ("items",)

    def __init__(self, items: list | None = None) -> None:
        self.items = list(items or [])


@dataclass(eq=False)
class Function:
    """A script-defined function; ``closure`` is the scope it was defined in."""

    name: str
    params: list
    body: object
    closure: object


@dataclass(eq=False)
class Builtin:
    """A host function: ``impl(interpreter, args, kwargs)``."""

    name: str
    impl: Callable


@dataclass(eq=False)
class StructDef:
    name: str
    members: list  # (key, text, default node or None)
    closure: object


@dataclass(eq=False)
class StructValue:
    definition: StructDef
    fields: dict = field(default_factory=dict)  # member key -> value, in definition order


@dataclass(eq=False)
class Interface:
    """A host interface such as ``sysinfo``: read-only properties and methods."""

    name: str
    properties: dict  # key -> getter(interpreter)
    methods: dict  # key -> Builtin


def is_number(value: object) -> bool:
    return isinstance(value, int | float) and not isinstance(value, bool)


def class_name(value: object) -> str:
    if value is None:
        return "UndefinedClass"
    if isinstance(value, bool):
        return "BooleanClass"
    names = {int: "Integer", float: "Float", str: "String", Name: "Name", Array: "Array"}
    return names.get(type(value), type(value).__name__)


def mxs_repr(value: object) -> str:
    """The value printed the way the Listener prints it, for messages."""
    if value is None:
        return "undefined"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'
    if isinstance(value, int | float | Name | _Ok):
        return repr(value)
    if isinstance(value, Array):
        return "#(" + ", ".join(mxs_repr(item) for item in value.items) + ")"
    if isinstance(value, Function | Builtin):
        return f"{value.name}()"
    if isinstance(value, StructDef):
        return f"#Struct:{value.name}(" + ", ".join(text for _, text, _ in value.members) + ")"
    if isinstance(value, StructValue):
        members = value.definition.members
        shown = " ".join(f"{text}:{mxs_repr(value.fields[key])}" for key, text, _ in members)
        return f"({value.definition.name} {shown})"
    if isinstance(value, Interface):
        return f"<Interface:{value.name}>"
    return f"<{type(value).__name__}>"


def mxs_equal(a: object, b: object) -> bool:
    if is_number(a) and is_number(b):
        return a == b
    if isinstance(a, bool) and isinstance(b, bool):
        return a is b
    if isinstance(a, str) and isinstance(b, str):
        return a == b  # case-sensitive, as the host compares strings
    if isinstance(a, Name) and isinstance(b, Name):
        return a == b
    return a is b
