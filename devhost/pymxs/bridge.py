"""Conversions between MAXScript values and Python, as the host's bridge makes them.

Strings, numbers, booleans and ``undefined`` (None) cross as themselves. Structs, interfaces,
arrays and functions cross as proxies that act on the live value and, like the host, refuse
to be used off the user-interface thread.
"""

from __future__ import annotations

from .errors import MAXScriptError
from .values import OK, Array, Builtin, Function, Interface, Name, StructDef, StructValue, mxs_repr


class _Proxy:
    __slots__ = ("_interp", "_value")

    def __init__(self, interp, value) -> None:
        object.__setattr__(self, "_interp", interp)
        object.__setattr__(self, "_value", value)

    def __repr__(self) -> str:
        return mxs_repr(self._value)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, _Proxy) and other._value is self._value

    def __hash__(self) -> int:
        return id(self._value)


class MemberProxy(_Proxy):
    """A struct value or host interface; member names ignore case."""

    __slots__ = ()

    def __getattr__(self, name: str):
        if name.startswith("__"):
            raise AttributeError(name)
        self._interp.host.check_thread()
        return to_python(self._interp, self._interp.get_member(self._value, name.lower(), name))

    def __setattr__(self, name: str, value: object) -> None:
        self._interp.host.check_thread()
        self._interp.set_member(self._value, name.lower(), name, to_mxs(value))


class ArrayProxy(_Proxy):
    """A MAXScript array, indexed from 0 as Python sequences are."""

    __slots__ = ()

    def __len__(self) -> int:
        self._interp.host.check_thread()
        return len(self._value.items)

    def __getitem__(self, index):
        self._interp.host.check_thread()
        if isinstance(index, slice):
            return [to_python(self._interp, item) for item in self._value.items[index]]
        return to_python(self._interp, self._value.items[index])

    def __setitem__(self, index: int, value: object) -> None:
        self._interp.host.check_thread()
        self._value.items[index] = to_mxs(value)

    def __iter__(self):
        return iter(self[:])


class FunctionProxy(_Proxy):
    """A host function, script function or struct definition; calling it calls it."""

    __slots__ = ()

    def __call__(self, *args: object, **kwargs: object):
        self._interp.host.check_thread()
        result = self._interp.call(
            self._value,
            [to_mxs(arg) for arg in args],
            {key.lower(): to_mxs(value) for key, value in kwargs.items()},
        )
        return to_python(self._interp, result)


def to_python(interp, value: object) -> object:
    if isinstance(value, Array):
        return ArrayProxy(interp, value)
    if isinstance(value, Function | Builtin | StructDef):
        return FunctionProxy(interp, value)
    if isinstance(value, StructValue | Interface):
        return MemberProxy(interp, value)
    return value  # None, bool, int, float, str, Name, ok


def to_mxs(value: object) -> object:
    if value is None or value is OK or isinstance(value, bool | Name):
        return value
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        return float(value)
    if isinstance(value, str):
        return str(value)
    if isinstance(value, _Proxy):
        return value._value
    if isinstance(value, list | tuple):
        return Array([to_mxs(item) for item in value])
    raise MAXScriptError(
        f"-- Unable to convert: Python {type(value).__name__} value to a MAXScript value"
    )
