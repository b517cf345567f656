"""INI files read and written the way the Windows profile functions do it.

Section and key names match without regard to case, the first matching section and key win,
values are trimmed (and lose one pair of enclosing quotes), and a write touches only the one
line it changes. Paths here are already file-system paths.
"""

from __future__ import annotations

import codecs
import os
import re

_LINE = re.compile(r"[^\r\n]*(?:\r\n|\n|\r)|[^\r\n]+\Z")


class _Document:
    def __init__(self, lines: list[str], encoding: str, bom: bytes) -> None:
        self.lines = lines
        self.encoding = encoding
        self.bom = bom

    @property
    def newline(self) -> str:
        for line in self.lines:
            if line.endswith("\r\n"):
                return "\r\n"
            if line.endswith("\n"):
                return "\n"
        return "\r\n"


def _load(path: str) -> _Document | None:
    try:
        with open(path, "rb") as handle:
            data = handle.read()
    except OSError:
        return None
    for bom, encoding in (
        (codecs.BOM_UTF8, "utf-8"),
        (codecs.BOM_UTF16_LE, "utf-16-le"),
        (codecs.BOM_UTF16_BE, "utf-16-be"),
    ):
        if data.startswith(bom):
            text = data[len(bom) :].decode(encoding, errors="replace")
            return _Document(_LINE.findall(text), encoding, bom)
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        # An old ANSI file: read it, and write it back as UTF-8.
        text = data.decode("latin-1")
    return _Document(_LINE.findall(text), "utf-8", b"")


def _header(line: str) -> str | None:
    stripped = line.strip()
    if not stripped.startswith("["):
        return None
    end = stripped.find("]")
    return (stripped[1:] if end < 0 else stripped[1:end]).strip()


def _entry(line: str) -> tuple[str, str] | None:
    if "=" not in line or _header(line) is not None:
        return None
    key, _, value = line.partition("=")
    return key.strip(), value.strip()


def _section_range(doc: _Document, section: str) -> tuple[int, int] | None:
    """Line indices (header, end) of the first section named ``section``."""
    wanted = section.lower()
    start = None
    for index, line in enumerate(doc.lines):
        name = _header(line)
        if name is None:
            continue
        if start is not None:
            return start, index
        if name.lower() == wanted:
            start = index
    return None if start is None else (start, len(doc.lines))


def _find_key(doc: _Document, first: int, end: int, key: str) -> int | None:
    wanted = key.lower()
    for index in range(first, end):
        entry = _entry(doc.lines[index])
        if entry is not None and entry[0].lower() == wanted:
            return index
    return None


def _unquote(value: str) -> str:
    if len(value) >= 2 and value[0] == value[-1] and value[0] in "\"'":
        return value[1:-1]
    return value


def read_value(path: str, section: str, key: str) -> str:
    doc = _load(path)
    found = doc and _section_range(doc, section)
    if not found:
        return ""
    index = _find_key(doc, found[0] + 1, found[1], key)
    if index is None:
        return ""
    return _unquote(_entry(doc.lines[index])[1])


def read_sections(path: str) -> list[str]:
    doc = _load(path)
    names: dict[str, str] = {}
    for line in doc.lines if doc else []:
        name = _header(line)
        if name is not None:
            names.setdefault(name.lower(), name)
    return list(names.values())


def read_keys(path: str, section: str) -> list[str]:
    doc = _load(path)
    found = doc and _section_range(doc, section)
    if not found:
        return []
    keys: dict[str, str] = {}
    for line in doc.lines[found[0] + 1 : found[1]]:
        entry = _entry(line)
        if entry is not None:
            keys.setdefault(entry[0].lower(), entry[0])
    return list(keys.values())


def _ensure_line_end(doc: _Document, index: int) -> None:
    line = doc.lines[index]
    if not line.endswith(("\n", "\r")):
        doc.lines[index] = line + doc.newline


def write_value(path: str, section: str, key: str, value: str) -> bool:
    """Sets ``key`` in ``section``; False when the file cannot be written."""
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder) or os.path.isdir(path):
        return False
    doc = _load(path) or _Document([], "utf-8", b"")
    nl = doc.newline
    found = _section_range(doc, section)
    if found is None:
        if doc.lines:
            _ensure_line_end(doc, len(doc.lines) - 1)
        doc.lines += [f"[{section}]{nl}", f"{key}={value}{nl}"]
    else:
        start, end = found
        index = _find_key(doc, start + 1, end, key)
        if index is not None:
            line = doc.lines[index]
            ending = line[len(line.rstrip("\r\n")) :]
            doc.lines[index] = f"{_entry(line)[0]}={value}{ending or nl}"
        else:
            # New keys go after the section's last non-blank line, ahead of any blank lines
            # that separate it from the next section.
            last = start
            for position in range(start + 1, end):
                if doc.lines[position].strip():
                    last = position
            _ensure_line_end(doc, last)
            doc.lines.insert(last + 1, f"{key}={value}{nl}")
    try:
        with open(path, "wb") as handle:
            handle.write(doc.bom + "".join(doc.lines).encode(doc.encoding))
    except OSError:
        return False
    return True
