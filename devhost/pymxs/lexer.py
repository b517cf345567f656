"""Turns MAXScript text into tokens.

Newlines are tokens because they end expressions in MAXScript; the parser decides where a
newline is only a continuation. Names are case-insensitive, so NAME and keyword tokens carry
the lower-cased text as ``value`` and the original spelling as ``text`` for messages.
"""

from __future__ import annotations

from dataclasses import dataclass

from .errors import syntax_error

# Token kinds.
NAME = "name"
KEYWORD = "keyword"
NUMBER = "number"
STRING = "string"
NAME_LITERAL = "#name"
ARRAY_OPEN = "#("
OP = "op"
NEWLINE = "newline"
EOF = "eof"

KEYWORDS = frozenset(
    "if then else do fn function struct global local and or not true false undefined ok".split()
)

# Reserved by MAXScript but not run by the stand-in. Spelling them out turns a script that
# leans on them into an immediate, clear error instead of a call to an undefined function.
UNSUPPORTED_KEYWORDS = frozenset(
    """about animate as at by case catch collect continue coordsys dontcollect exit for from in
    macroscript mapped max of off on parameters persistent plugin private public rcmenu return
    rollout set throw to tool try undo utility when where while with""".split()
)

_TWO_CHAR_OPS = ("==", "!=", "<=", ">=", "+=", "-=", "*=", "/=")
_ONE_CHAR_OPS = "+-*/=<>()[].,;:"

_SIMPLE_ESCAPES = {
    '"': '"',
    "\\": "\\",
    "n": "\n",
    "t": "\t",
    "r": "\r",
    "%": "%",
    "*": "*",
    "?": "?",
}
_HEX_DIGITS = frozenset("0123456789abcdefABCDEF")


@dataclass(frozen=True, slots=True)
class Token:
    kind: str
    value: object
    text: str
    line: int


def _is_name_start(ch: str) -> bool:
    return ch == "_" or ch.isalpha()


def _is_name_char(ch: str) -> bool:
    return ch == "_" or ch.isalnum()


class _Lexer:
    def __init__(self, text: str, source: str) -> None:
        self.text = text
        self.source = source
        self.pos = 0
        self.line = 1
        self.tokens: list[Token] = []

    def error(self, at: str, expected: str):
        return syntax_error(at, expected, self.line, self.source)

    def add(self, kind: str, value: object, text: str, line: int | None = None) -> None:
        self.tokens.append(Token(kind, value, text, self.line if line is None else line))

    def run(self) -> list[Token]:
        text = self.text
        while self.pos < len(text):
            ch = text[self.pos]
            if ch in " \t\f\v":
                self.pos += 1
            elif ch in "\r\n":
                self.newline()
                self.add(NEWLINE, None, "<end of line>", self.line - 1)
            elif text.startswith("--", self.pos):
                end = self.find_line_end(self.pos)
                self.pos = end
            elif text.startswith("/*", self.pos):
                self.block_comment()
            elif ch == "\\":
                self.line_continuation()
            elif ch == '"':
                self.string()
            elif ch == "@" and text.startswith('@"', self.pos):
                self.verbatim_string()
            elif ch.isdigit():
                self.number()
            elif _is_name_start(ch):
                self.name()
            elif ch == "#":
                self.hash()
            else:
                self.operator()
        self.add(EOF, None, "<end of script>")
        return self.tokens

    def find_line_end(self, start: int) -> int:
        end = start
        while end < len(self.text) and self.text[end] not in "\r\n":
            end += 1
        return end

    def newline(self) -> None:
        if self.text.startswith("\r\n", self.pos):
            self.pos += 2
        else:
            self.pos += 1
        self.line += 1

    def block_comment(self) -> None:
        end = self.text.find("*/", self.pos + 2)
        if end < 0:
            raise self.error("<end of script>", "*/ closing the comment")
        self.line += self.text.count("\n", self.pos, end)
        self.pos = end + 2

    def line_continuation(self) -> None:
        # A backslash ends a line that carries on below; nothing else may follow it.
        end = self.find_line_end(self.pos + 1)
        rest = self.text[self.pos + 1 : end]
        if rest.strip() and not rest.strip().startswith("--"):
            raise self.error("\\", "<end of line> after a line continuation")
        self.pos = end
        if self.pos < len(self.text):
            self.newline()

    def string(self) -> None:
        text = self.text
        start_line = self.line
        i = self.pos + 1
        out: list[str] = []
        while True:
            if i >= len(text):
                raise self.error("<end of script>", '" closing the string')
            ch = text[i]
            if ch == '"':
                break
            if ch == "\n":
                self.line += 1
            if ch != "\\" or i + 1 >= len(text):
                out.append(ch)
                i += 1
                continue
            nxt = text[i + 1]
            if nxt in _SIMPLE_ESCAPES:
                out.append(_SIMPLE_ESCAPES[nxt])
                i += 2
            elif nxt in "xX" and i + 2 < len(text) and text[i + 2] in _HEX_DIGITS:
                j = i + 2
                while j < len(text) and text[j] in _HEX_DIGITS:
                    j += 1
                code = int(text[i + 2 : j], 16)
                if code > 0x10FFFF:
                    raise self.error(text[i:j], "a character code in the \\x escape")
                out.append(chr(code))
                i = j
            else:
                # Not an escape: the backslash stays, as in "C:\Kolvaren".
                out.append("\\")
                i += 1
        self.add(STRING, "".join(out), text[self.pos : i + 1], start_line)
        self.pos = i + 1

    def verbatim_string(self) -> None:
        end = self.text.find('"', self.pos + 2)
        if end < 0:
            raise self.error("<end of script>", '" closing the string')
        value = self.text[self.pos + 2 : end]
        self.add(STRING, value, self.text[self.pos : end + 1])
        self.line += value.count("\n")
        self.pos = end + 1

    def number(self) -> None:
        text = self.text
        start = i = self.pos
        if text.startswith(("0x", "0X"), i):
            i += 2
            while i < len(text) and text[i] in _HEX_DIGITS:
                i += 1
            value: int | float = int(text[start + 2 : i], 16) if i > start + 2 else 0
            if i == start + 2:
                raise self.error(text[start:i], "hexadecimal digits")
        else:
            while i < len(text) and text[i].isdigit():
                i += 1
            is_float = False
            if i < len(text) and text[i] == "." and not (i + 1 < len(text) and text[i + 1] == "."):
                is_float = True
                i += 1
                while i < len(text) and text[i].isdigit():
                    i += 1
            if i < len(text) and text[i] in "eE":
                j = i + 1
                if j < len(text) and text[j] in "+-":
                    j += 1
                if j < len(text) and text[j].isdigit():
                    is_float = True
                    i = j
                    while i < len(text) and text[i].isdigit():
                        i += 1
            literal = text[start:i]
            value = float(literal) if is_float else int(literal)
        if i < len(text) and _is_name_char(text[i]):
            end = i
            while end < len(text) and _is_name_char(text[end]):
                end += 1
            raise self.error(text[start:end], "a number")
        self.add(NUMBER, value, text[start:i])
        self.pos = i

    def read_name(self, start: int) -> int:
        end = start
        while end < len(self.text) and _is_name_char(self.text[end]):
            end += 1
        return end

    def name(self) -> None:
        end = self.read_name(self.pos)
        word = self.text[self.pos : end]
        key = word.lower()
        if key in UNSUPPORTED_KEYWORDS:
            raise self.error(word, f"something the stand-in runs ({key!r} is not supported)")
        self.add(KEYWORD if key in KEYWORDS else NAME, key, word)
        self.pos = end

    def hash(self) -> None:
        nxt = self.text[self.pos + 1 : self.pos + 2]
        if nxt == "(":
            self.add(ARRAY_OPEN, None, "#(")
            self.pos += 2
        elif nxt and _is_name_char(nxt):
            end = self.read_name(self.pos + 1)
            word = self.text[self.pos + 1 : end]
            self.add(NAME_LITERAL, word, "#" + word)
            self.pos = end
        else:
            raise self.error("#" + nxt, "a name or #( after #")

    def operator(self) -> None:
        pair = self.text[self.pos : self.pos + 2]
        if pair in _TWO_CHAR_OPS:
            self.add(OP, pair, pair)
            self.pos += 2
            return
        ch = self.text[self.pos]
        if ch not in _ONE_CHAR_OPS:
            raise self.error(ch, "<factor>")
        self.add(OP, ch, ch)
        self.pos += 1


def tokenize(text: str, source: str = "<execute>") -> list[Token]:
    return _Lexer(text, source).run()
