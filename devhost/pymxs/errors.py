"""The one exception type the stand-in raises for anything the host would report."""


class MAXScriptError(RuntimeError):
    """A MAXScript error, worded as the host words it (``-- Syntax error: ...`` and so on).

    The host's bridge raises RuntimeError subclasses, so callers that catch RuntimeError
    behave the same against the stand-in.
    """


def syntax_error(at: str, expected: str, line: int, source: str) -> MAXScriptError:
    return MAXScriptError(
        f"-- Syntax error: at {at}, expected {expected}\n--  In {source}, line {line}"
    )


def runtime_error(message: str) -> MAXScriptError:
    return MAXScriptError(f"-- Runtime error: {message}")
