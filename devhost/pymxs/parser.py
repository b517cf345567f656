"""Builds a syntax tree from tokens, with MAXScript's precedence.

From loosest to tightest: assignment, ``or``, ``and``, ``not``, comparisons, ``+ -``,
``* /``, unary minus, calls by juxtaposition, then member access and indexing. Call arguments
are operands, so ``getdir #maxdata + "\\x"`` adds to the result of the call. A newline ends an
expression unless the expression cannot end there (after an operator, ``=``, ``then``...).
"""

from __future__ import annotations

from dataclasses import dataclass

from . import lexer
from .errors import syntax_error
from .lexer import Token
from .values import OK, Name


@dataclass(slots=True)
class Literal:
    value: object


@dataclass(slots=True)
class Var:
    name: str


@dataclass(slots=True)
class Member:
    target: object
    name: str
    text: str


@dataclass(slots=True)
class Index:
    target: object
    index: object


@dataclass(slots=True)
class Call:
    func: object
    args: list
    kwargs: list  # (name, node) pairs, in source order


@dataclass(slots=True)
class Block:
    exprs: list


@dataclass(slots=True)
class ArrayLiteral:
    items: list


@dataclass(slots=True)
class Negate:
    operand: object


@dataclass(slots=True)
class Not:
    operand: object


@dataclass(slots=True)
class Binary:
    op: str
    left: object
    right: object


@dataclass(slots=True)
class Logical:
    op: str  # "and" / "or"
    left: object
    right: object


@dataclass(slots=True)
class Assign:
    target: object  # Var, Member or Index
    value: object


@dataclass(slots=True)
class If:
    cond: object
    then: object
    otherwise: object | None


@dataclass(slots=True)
class Declare:
    scope: str  # "global" / "local"
    items: list  # (name, node or None)


@dataclass(slots=True)
class FunctionDefinition:
    name: str
    text: str
    params: list
    body: object


@dataclass(slots=True)
class StructDefinition:
    name: str
    text: str
    members: list  # (name, text, default node or None)


_COMPARISONS = ("==", "!=", "<", ">", "<=", ">=")
_CONSTANTS = {"true": True, "false": False, "undefined": None, "ok": OK}


class _Parser:
    def __init__(self, tokens: list[Token], source: str) -> None:
        self.tokens = tokens
        self.source = source
        self.pos = 0

    # -- token helpers ----------------------------------------------------------------------

    def peek(self, ahead: int = 0) -> Token:
        return self.tokens[min(self.pos + ahead, len(self.tokens) - 1)]

    def advance(self) -> Token:
        tok = self.tokens[self.pos]
        if tok.kind != lexer.EOF:
            self.pos += 1
        return tok

    def at_op(self, *ops: str, ahead: int = 0) -> bool:
        tok = self.peek(ahead)
        return tok.kind == lexer.OP and tok.value in ops

    def at_keyword(self, *words: str) -> bool:
        tok = self.peek()
        return tok.kind == lexer.KEYWORD and tok.value in words

    def skip_newlines(self) -> None:
        while self.peek().kind == lexer.NEWLINE:
            self.pos += 1

    def error(self, expected: str, tok: Token | None = None):
        tok = tok or self.peek()
        return syntax_error(tok.text, expected, tok.line, self.source)

    def expect_op(self, op: str) -> Token:
        if not self.at_op(op):
            raise self.error(op)
        return self.advance()

    def expect_name(self, what: str) -> Token:
        if self.peek().kind != lexer.NAME:
            raise self.error(what)
        return self.advance()

    # -- sequences --------------------------------------------------------------------------

    def program(self) -> list:
        exprs = self.sequence(closing=None)
        if self.peek().kind != lexer.EOF:
            raise self.error("<end of script>")
        return exprs

    def sequence(self, closing: str | None) -> list:
        """Expressions separated by newlines or ``;`` up to ``closing`` (or the end)."""
        exprs = []
        while True:
            while self.peek().kind == lexer.NEWLINE or self.at_op(";"):
                self.advance()
            if self.peek().kind == lexer.EOF or (closing and self.at_op(closing)):
                return exprs
            exprs.append(self.expr())
            tok = self.peek()
            ends = tok.kind in (lexer.NEWLINE, lexer.EOF) or self.at_op(";")
            if not ends and not (closing and self.at_op(closing)):
                raise self.error("<end of expression>")

    # -- expressions ------------------------------------------------------------------------

    def expr(self):
        if self.at_keyword("fn", "function"):
            return self.function_def()
        if self.at_keyword("struct"):
            return self.struct_def()
        if self.at_keyword("global", "local"):
            return self.declaration()
        if self.at_keyword("if"):
            return self.if_expr()
        node = self.or_expr()
        if self.at_op("="):
            if not isinstance(node, Var | Member | Index):
                raise self.error("<end of expression> (only a variable, property or index takes =)")
            self.advance()
            self.skip_newlines()
            return Assign(node, self.expr())
        return node

    def function_def(self):
        self.advance()
        name = self.expect_name("<function name>")
        params = []
        while self.peek().kind == lexer.NAME:
            if self.at_op(":", ahead=1):
                raise self.error("= (keyword parameters are not supported)")
            params.append(self.advance().value)
        self.expect_op("=")
        self.skip_newlines()
        return FunctionDefinition(str(name.value), name.text, params, self.expr())

    def struct_def(self):
        self.advance()
        name = self.expect_name("<struct name>")
        self.skip_newlines()
        self.expect_op("(")
        members = []
        seen = set()
        while True:
            self.skip_newlines()
            member = self.expect_name("<struct member name>")
            if member.value in seen:
                raise self.error("a new member name", member)
            seen.add(member.value)
            default = None
            if self.at_op("="):
                self.advance()
                self.skip_newlines()
                default = self.expr()
            members.append((member.value, member.text, default))
            self.skip_newlines()
            if self.at_op(")"):
                self.advance()
                return StructDefinition(str(name.value), name.text, members)
            self.expect_op(",")

    def declaration(self):
        scope = str(self.advance().value)
        items = []
        while True:
            name = self.expect_name("<variable name>")
            value = None
            if self.at_op("="):
                self.advance()
                self.skip_newlines()
                value = self.expr()
            items.append((name.value, value))
            if not self.at_op(","):
                return Declare(scope, items)
            self.advance()
            self.skip_newlines()

    def if_expr(self):
        self.advance()
        self.skip_newlines()
        cond = self.expr()
        self.skip_newlines()
        if self.at_keyword("do"):
            self.advance()
            self.skip_newlines()
            return If(cond, self.expr(), None)
        if not self.at_keyword("then"):
            raise self.error("then or do")
        self.advance()
        self.skip_newlines()
        then = self.expr()
        # "else" may open the next line; anything else there is a new expression.
        mark = self.pos
        self.skip_newlines()
        if not self.at_keyword("else"):
            self.pos = mark
            return If(cond, then, None)
        self.advance()
        self.skip_newlines()
        return If(cond, then, self.expr())

    def or_expr(self):
        node = self.and_expr()
        while self.at_keyword("or"):
            self.advance()
            self.skip_newlines()
            node = Logical("or", node, self.and_expr())
        return node

    def and_expr(self):
        node = self.not_expr()
        while self.at_keyword("and"):
            self.advance()
            self.skip_newlines()
            node = Logical("and", node, self.not_expr())
        return node

    def not_expr(self):
        if self.at_keyword("not"):
            self.advance()
            self.skip_newlines()
            return Not(self.not_expr())
        return self.comparison()

    def comparison(self):
        node = self.additive()
        while self.at_op(*_COMPARISONS):
            op = str(self.advance().value)
            self.skip_newlines()
            node = Binary(op, node, self.additive())
        return node

    def additive(self):
        node = self.multiplicative()
        while self.at_op("+", "-"):
            op = str(self.advance().value)
            self.skip_newlines()
            node = Binary(op, node, self.multiplicative())
        return node

    def multiplicative(self):
        node = self.unary()
        while self.at_op("*", "/"):
            op = str(self.advance().value)
            self.skip_newlines()
            node = Binary(op, node, self.unary())
        return node

    def unary(self):
        if self.at_op("-"):
            self.advance()
            return Negate(self.unary())
        return self.call()

    def starts_operand(self) -> bool:
        tok = self.peek()
        if tok.kind in (lexer.NAME, lexer.NUMBER, lexer.STRING, lexer.NAME_LITERAL):
            return True
        if tok.kind == lexer.ARRAY_OPEN or self.at_op("("):
            return True
        return tok.kind == lexer.KEYWORD and tok.value in _CONSTANTS

    def call(self):
        head = self.operand()
        if self.at_op("(") and self.at_op(")", ahead=1):
            self.pos += 2
            return Call(head, [], [])
        args: list = []
        kwargs: list = []
        while self.starts_operand():
            if self.peek().kind == lexer.NAME and self.at_op(":", ahead=1):
                key = self.advance().value
                self.advance()
                if self.at_op("-"):
                    self.advance()
                    kwargs.append((key, Negate(self.operand())))
                else:
                    kwargs.append((key, self.operand()))
            else:
                args.append(self.operand())
        if args or kwargs:
            return Call(head, args, kwargs)
        return head

    def operand(self):
        node = self.factor()
        while True:
            if self.at_op("."):
                self.advance()
                tok = self.peek()
                if tok.kind not in (lexer.NAME, lexer.KEYWORD):
                    raise self.error("<property name>")
                self.advance()
                node = Member(node, str(tok.value), tok.text)
            elif self.at_op("["):
                self.advance()
                self.skip_newlines()
                index = self.expr()
                self.skip_newlines()
                self.expect_op("]")
                node = Index(node, index)
            else:
                return node

    def factor(self):
        tok = self.peek()
        kind = tok.kind
        if kind in (lexer.NUMBER, lexer.STRING):
            self.advance()
            return Literal(tok.value)
        if kind == lexer.NAME_LITERAL:
            self.advance()
            return Literal(Name(str(tok.value)))
        if kind == lexer.NAME:
            self.advance()
            return Var(str(tok.value))
        if kind == lexer.KEYWORD and tok.value in _CONSTANTS:
            self.advance()
            return Literal(_CONSTANTS[str(tok.value)])
        if self.at_op("("):
            self.advance()
            exprs = self.sequence(closing=")")
            self.expect_op(")")
            return Block(exprs)
        if kind == lexer.ARRAY_OPEN:
            return self.array_literal()
        raise self.error("<factor>")

    def array_literal(self):
        self.advance()
        items = []
        self.skip_newlines()
        if self.at_op(")"):
            self.advance()
            return ArrayLiteral(items)
        while True:
            self.skip_newlines()
            items.append(self.expr())
            self.skip_newlines()
            if self.at_op(")"):
                self.advance()
                return ArrayLiteral(items)
            self.expect_op(",")


def parse(text: str, source: str = "<execute>") -> list:
    """The top-level expressions of ``text``."""
    return _Parser(lexer.tokenize(text, source), source).program()
