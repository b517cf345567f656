"""Evaluates syntax trees with MAXScript's scoping and value rules.

Scopes are run-time chains: each block and each function call opens one, and a function keeps
the chain it was defined in, so functions defined in a block still see the block's locals
after the block has finished (the bootstrap stores such functions in a global struct).
"""

from __future__ import annotations

from . import parser as ast
from .builtins import make_builtins
from .errors import MAXScriptError, runtime_error
from .values import (
    Array,
    Builtin,
    Function,
    Interface,
    StructDef,
    StructValue,
    is_number,
    mxs_equal,
    mxs_repr,
)

# Marks a name declared ``global`` inside a scope: it resolves to the global, not outward.
_GLOBAL = object()


class Scope:
    __slots__ = ("parent", "top", "vars")

    def __init__(self, parent: Scope | None, top: bool = False) -> None:
        self.parent = parent
        self.top = top  # the outermost level of an evaluated text or file
        self.vars: dict[str, object] = {}


def _no_function(op: str, value: object) -> MAXScriptError:
    return MAXScriptError(f'-- No ""{op}"" function for {mxs_repr(value)}')


def _unable_to_convert(value: object, target: str) -> MAXScriptError:
    return MAXScriptError(f"-- Unable to convert: {mxs_repr(value)} to type: {target}")


def _require_bool(what: str, value: object) -> bool:
    if not isinstance(value, bool):
        raise MAXScriptError(f"-- Type error: {what} requires BooleanClass, got: {mxs_repr(value)}")
    return value


def unknown_property(name: str, target: object) -> MAXScriptError:
    return MAXScriptError(f'-- Unknown property: "{name}" in {mxs_repr(target)}')


class Interpreter:
    def __init__(self, host: object) -> None:
        self.host = host  # configuration and records the built-ins use
        self.globals: dict[str, object] = {}
        self.builtins: dict[str, object] = make_builtins()
        self._dispatch = {
            ast.Literal: self._literal,
            ast.Var: self._var,
            ast.Member: self._member,
            ast.Index: self._index,
            ast.Call: self._call,
            ast.Block: self._block,
            ast.ArrayLiteral: self._array,
            ast.Negate: self._negate,
            ast.Not: self._not,
            ast.Binary: self._binary,
            ast.Logical: self._logical,
            ast.Assign: self._assign,
            ast.If: self._if,
            ast.Declare: self._declare,
            ast.FunctionDefinition: self._function_def,
            ast.StructDefinition: self._struct_def,
        }

    # -- entry points -----------------------------------------------------------------------

    def run_text(self, text: str, source: str = "<execute>") -> object:
        """Evaluates ``text`` in global scope; the value of its last expression."""
        exprs = ast.parse(text, source)
        scope = Scope(None, top=True)
        value = None
        for node in exprs:
            value = self.eval(node, scope)
        return value

    def eval(self, node: object, scope: Scope) -> object:
        return self._dispatch[type(node)](node, scope)

    # -- names ------------------------------------------------------------------------------

    def lookup_global(self, name: str) -> object:
        if name in self.globals:
            return self.globals[name]
        return self.builtins.get(name)

    def set_global(self, name: str, value: object) -> None:
        self.globals[name] = value

    @staticmethod
    def _find(name: str, scope: Scope | None) -> Scope | object | None:
        """The scope holding local ``name``, _GLOBAL if declared global on the way, or None."""
        while scope is not None:
            if name in scope.vars:
                return _GLOBAL if scope.vars[name] is _GLOBAL else scope
            scope = scope.parent
        return None

    def _lookup(self, name: str, scope: Scope) -> object:
        found = self._find(name, scope)
        if isinstance(found, Scope):
            return found.vars[name]
        return self.lookup_global(name)

    def assign_name(self, name: str, value: object, scope: Scope) -> None:
        found = self._find(name, scope)
        if isinstance(found, Scope):
            found.vars[name] = value
        elif found is _GLOBAL or scope.top or name in self.globals or name in self.builtins:
            self.globals[name] = value
        else:
            # First assignment inside a block or function: a local of that block.
            scope.vars[name] = value

    def _define(self, name: str, value: object, scope: Scope) -> None:
        # fn and struct definitions inside a block belong to that block, even when a global
        # of the same name exists.
        found = self._find(name, scope)
        if found is scope:
            scope.vars[name] = value
        elif found is _GLOBAL or scope.top:
            self.globals[name] = value
        else:
            scope.vars[name] = value

    # -- nodes ------------------------------------------------------------------------------

    def _literal(self, node: ast.Literal, scope: Scope) -> object:
        return node.value

    def _var(self, node: ast.Var, scope: Scope) -> object:
        return self._lookup(node.name, scope)

    def _member(self, node: ast.Member, scope: Scope) -> object:
        return self.get_member(self.eval(node.target, scope), node.name, node.text)

    def _index(self, node: ast.Index, scope: Scope) -> object:
        target = self.eval(node.target, scope)
        index = self.eval(node.index, scope)
        if isinstance(target, Array):
            position = self._position(index)
            return target.items[position] if position < len(target.items) else None
        if isinstance(target, str):
            position = self._position(index)
            if position >= len(target):
                raise runtime_error(f"String index out of range: {index}")
            return target[position]
        raise _no_function("[]", target)

    @staticmethod
    def _position(index: object) -> int:
        if not isinstance(index, int) or isinstance(index, bool):
            raise _unable_to_convert(index, "Integer")
        if index < 1:
            raise runtime_error(f"Array index must be positive number, got: {index}")
        return index - 1

    def _call(self, node: ast.Call, scope: Scope) -> object:
        func = self.eval(node.func, scope)
        args = [self.eval(arg, scope) for arg in node.args]
        kwargs = {key: self.eval(value, scope) for key, value in node.kwargs}
        return self.call(func, args, kwargs)

    def _block(self, node: ast.Block, scope: Scope) -> object:
        inner = Scope(scope)
        value = None
        for expr in node.exprs:
            value = self.eval(expr, inner)
        return value

    def _array(self, node: ast.ArrayLiteral, scope: Scope) -> object:
        return Array([self.eval(item, scope) for item in node.items])

    def _negate(self, node: ast.Negate, scope: Scope) -> object:
        value = self.eval(node.operand, scope)
        if not is_number(value):
            raise _no_function("-", value)
        return -value

    def _not(self, node: ast.Not, scope: Scope) -> object:
        value = self.eval(node.operand, scope)
        if not isinstance(value, bool):
            raise _no_function("not", value)
        return not value

    def _logical(self, node: ast.Logical, scope: Scope) -> object:
        left = _require_bool(node.op, self.eval(node.left, scope))
        if left == (node.op == "or"):
            return left
        return _require_bool(node.op, self.eval(node.right, scope))

    def _binary(self, node: ast.Binary, scope: Scope) -> object:
        left = self.eval(node.left, scope)
        right = self.eval(node.right, scope)
        op = node.op
        if op == "==":
            return mxs_equal(left, right)
        if op == "!=":
            return not mxs_equal(left, right)
        if op in ("<", ">", "<=", ">="):
            return _compare(op, left, right)
        return _arithmetic(op, left, right)

    def _assign(self, node: ast.Assign, scope: Scope) -> object:
        value = self.eval(node.value, scope)
        target = node.target
        if isinstance(target, ast.Var):
            self.assign_name(target.name, value, scope)
        elif isinstance(target, ast.Member):
            self.set_member(self.eval(target.target, scope), target.name, target.text, value)
        else:
            array = self.eval(target.target, scope)
            if not isinstance(array, Array):
                raise _no_function("[]=", array)
            position = self._position(self.eval(target.index, scope))
            # Storing past the end grows the array, filling the gap with undefined.
            array.items.extend([None] * (position + 1 - len(array.items)))
            array.items[position] = value
        return value

    def _if(self, node: ast.If, scope: Scope) -> object:
        if _require_bool("if-test", self.eval(node.cond, scope)):
            return self.eval(node.then, scope)
        if node.otherwise is None:
            return None
        return self.eval(node.otherwise, scope)

    def _declare(self, node: ast.Declare, scope: Scope) -> object:
        value = None
        for name, init in node.items:
            value = None if init is None else self.eval(init, scope)
            if node.scope == "local":
                scope.vars[name] = value
                continue
            scope.vars[name] = _GLOBAL
            if init is not None:
                self.globals[name] = value
            else:
                # Declaring again keeps what the global already holds.
                value = self.globals.setdefault(name, None)
        return value

    def _function_def(self, node: ast.FunctionDefinition, scope: Scope) -> object:
        func = Function(node.text, list(node.params), node.body, scope)
        self._define(node.name, func, scope)
        return func

    def _struct_def(self, node: ast.StructDefinition, scope: Scope) -> object:
        definition = StructDef(node.text, list(node.members), scope)
        self._define(node.name, definition, scope)
        return definition

    # -- operations shared with the Python bridge -------------------------------------------

    def call(self, func: object, args: list, kwargs: dict) -> object:
        if isinstance(func, Builtin):
            return func.impl(self, args, kwargs)
        if isinstance(func, Function):
            if kwargs:
                raise MAXScriptError(
                    f"-- Argument error: {func.name}() takes no keyword arguments, "
                    f"got: {', '.join(k + ':' for k in kwargs)}"
                )
            if len(args) != len(func.params):
                raise MAXScriptError(
                    f"-- Argument count error: {func.name} wanted {len(func.params)}, "
                    f"got {len(args)}"
                )
            frame = Scope(func.closure)
            frame.vars.update(zip(func.params, args, strict=True))
            return self.eval(func.body, frame)
        if isinstance(func, StructDef):
            return self._construct(func, args, kwargs)
        raise MAXScriptError(f"-- Type error: Call needs function or class, got: {mxs_repr(func)}")

    def _construct(self, definition: StructDef, args: list, kwargs: dict) -> StructValue:
        members = definition.members
        if len(args) > len(members):
            raise MAXScriptError(
                f"-- Argument count error: {definition.name} wanted at most {len(members)}, "
                f"got {len(args)}"
            )
        keys = {key for key, _, _ in members}
        for key in kwargs:
            if key not in keys:
                raise unknown_property(key, definition)
        value = StructValue(definition)
        for position, (key, _, default) in enumerate(members):
            if position < len(args):
                value.fields[key] = args[position]
            elif key in kwargs:
                value.fields[key] = kwargs[key]
            elif default is not None:
                # Defaults are evaluated afresh for every instance.
                value.fields[key] = self.eval(default, Scope(definition.closure))
            else:
                value.fields[key] = None
        return value

    def get_member(self, target: object, name: str, text: str | None = None) -> object:
        if isinstance(target, StructValue) and name in target.fields:
            return target.fields[name]
        if isinstance(target, Interface):
            if name in target.properties:
                return target.properties[name](self)
            if name in target.methods:
                return target.methods[name]
        if isinstance(target, str | Array) and name == "count":
            return len(target) if isinstance(target, str) else len(target.items)
        raise unknown_property(text or name, target)

    def set_member(self, target: object, name: str, text: str | None, value: object) -> None:
        if isinstance(target, StructValue) and name in target.fields:
            target.fields[name] = value
            return
        raise unknown_property(text or name, target)


def _number_type(value: object) -> str:
    return "Integer" if isinstance(value, int) else "Float"


def _compare(op: str, left: object, right: object) -> bool:
    if is_number(left):
        if not is_number(right):
            raise _unable_to_convert(right, _number_type(left))
    elif isinstance(left, str):
        if not isinstance(right, str):
            raise _unable_to_convert(right, "String")
    else:
        raise _no_function(op, left)
    if op == "<":
        return left < right
    if op == ">":
        return left > right
    if op == "<=":
        return left <= right
    return left >= right


def _arithmetic(op: str, left: object, right: object) -> object:
    if isinstance(left, str) and op == "+":
        if not isinstance(right, str):
            raise _unable_to_convert(right, "String")
        return left + right
    if not is_number(left):
        raise _no_function(op, left)
    if not is_number(right):
        raise _unable_to_convert(right, _number_type(left))
    if op == "+":
        return left + right
    if op == "-":
        return left - right
    if op == "*":
        return left * right
    if right == 0:
        raise runtime_error("Divide by zero")
    if isinstance(left, int) and isinstance(right, int):
        # Integer division truncates toward zero, as in C.
        quotient = abs(left) // abs(right)
        return quotient if (left < 0) == (right < 0) else -quotient
    return left / right
