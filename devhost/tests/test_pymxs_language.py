"""The MAXScript the stand-in runs: syntax, values, scopes and errors."""

import re

import pymxs
import pytest
from pymxs import MAXScriptError, runtime


@pytest.fixture(autouse=True)
def _fresh_host():
    pymxs.host.reset()
    yield
    pymxs.host.reset()


def run(text):
    return runtime.execute(text)


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("42", 42),
        ("2.5e2", 250.0),
        ("0x1F", 31),
        ("7 / 2", 3),
        ("-7 / 2", -3),
        ("7 / 2.0", 3.5),
        ("1 + 2 * 3", 7),
        ("(1 + 2) * 3", 9),
        ("10 - 2 - 3", 5),
        ("-2 * -3", 6),
        ('"ab" + "cd"', "abcd"),
        ("1 < 2 and 2 <= 2", True),
        ("not 1 == 2", True),
        ("1 != 1 or 3 >= 4", False),
        ('"abc" == "ABC"', False),
        ('"b" > "a"', True),
        ("#MaxData == #maxdata", True),
        ("1 == 1.0", True),
        ("undefined == false", False),
        ("1 -- comment\n", 1),
        ("/* a\n b */ 2", 2),
        ("1 /* inline */ + 2", 3),
        ("1 +\n2", 3),
        ("1 \\\n+ 2", 3),
        ("(1; 2; 3)", 3),
        ("(\n1\n\n2\n)", 2),
        ("()", None),
        ("", None),
        ("#(1, 2, 3)[2]", 2),
        ("#(1)[5]", None),
        ("x = #(); x[3] = 1; x.count", 3),
        ('"abc".count + 0', 3),
        ('"abc"[2]', "b"),
        ("if 1 < 2 then 10 else 20", 10),
        ("if 1 > 2 then 10", None),
        ("if 1 < 2 do 10", 10),
        ("if 1 > 2 do 10", None),
        ("if false then 1\nelse if false then 2\nelse 3", 3),
        ("if true then\n  1\nelse\n  2", 1),
        ("if true then 1\n2", 2),
        ("false and (undefined + 1)", False),
        ("true or (undefined + 1)", True),
        ("IF TRUE THEN 1 ELSE 2", 1),
        ("global Mixed_Case = 1\nMIXED_CASE + mixed_case", 2),
        ("FN Twice v = v * 2\nTWICE 4", 8),
        ("fn g = 42\ng()", 42),
        ("fn fact n = if n <= 1 then 1 else n * fact (n - 1)\nfact 5", 120),
        # A call binds tighter than operators; a parenthesized operand is one argument.
        ("fn first a b c = a\nfirst (1 + 2) 5 6 + 10", 13),
        ("struct st (run)\nfn twice v = v * 2\ns1 = st run:twice\ns1.run 4", 8),
        ("struct s (a)\n(s a:-1).a", -1),
        ("struct t (items = #())\na = t(); b = t(); a.items[1] = 1; b.items.count", 0),
        ("global k = 5\nglobal k\nk", 5),
        ("(local q = 1)\nq", None),
        ("(local v = 1; (v = 2); v)", 2),
        ("(local n = 10; fn addn v = v + n; global h = addn)\nh 5", 15),
        ("fn f = (t = 1; t)\nf()\nt", None),
        # execute runs in global scope, not in the caller's
        ('(local p = 1; execute "p")', None),
    ],
)
def test_values(text, expected):
    result = run(text)
    assert result == expected
    assert type(result) is type(expected)


@pytest.mark.parametrize(
    ("literal", "expected"),
    [
        (r'"say \"hi\""', 'say "hi"'),
        (r'"a\\b"', "a\\b"),
        (r'"a\nb\tc\rd"', "a\nb\tc\rd"),
        (r'"100\% \* \?"', "100% * ?"),
        (r'"\x41"', "A"),
        (r'"\xa9 1997"', "\xa9 1997"),
        (r'"\x"', "\\x"),
        (r'"C:\Kolvaren\kolvaren.ini"', "C:\\Kolvaren\\kolvaren.ini"),
        (r'"\releases"', "\releases"),
        (r'@"C:\temp\new\x41"', "C:\\temp\\new\\x41"),
        ('"two\nlines"', "two\nlines"),
        ('"-- not a comment"', "-- not a comment"),
    ],
)
def test_string_literals(literal, expected):
    assert run(literal) == expected


@pytest.mark.parametrize(
    ("text", "globals_after"),
    [
        ("x = 5", {"x": 5}),
        ("(y = 5)", {}),
        ("(global z = 3)", {"z": 3}),
        ("global a, b = 2", {"a": None, "b": 2}),
        ("g = 1\n(g = 2)", {"g": 2}),
        ("g = 1\n(local g = 2)", {"g": 1}),
        ("(fn f = 1; struct s (a))", {}),
        ("(local w = 1; (global w; w = 7); w = 8)", {"w": 7}),
        ("(fn f = (global r = 1; u = 2); f())", {"r": 1}),
    ],
)
def test_scopes(text, globals_after):
    run(text)
    assert dict(pymxs.host.globals) == globals_after


@pytest.mark.parametrize(
    ("constructor", "fields"),
    [
        ("s()", (None, None, 3)),
        ("s 1 2", (1, 2, 3)),
        ("s b:5", (None, 5, 3)),
        ("s 1 c:9", (1, None, 9)),
        ("s 1 2 4", (1, 2, 4)),
    ],
)
def test_struct_construction(constructor, fields):
    run("struct s (a, B, c = 3)")
    value = run(constructor)
    assert (value.a, value.b, value.C) == fields


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("1 +", "-- Syntax error: at <end of script>, expected <factor>"),
        ("(1", "-- Syntax error: at <end of script>, expected )"),
        ("1)", "-- Syntax error: at ), expected <end of expression>"),
        ('"open', '-- Syntax error: at <end of script>, expected " closing the string'),
        ("/* never closed", "-- Syntax error: at <end of script>, expected */"),
        ("for i = 1 to 3 do i", "-- Syntax error: at for"),
        ("a += 1", "-- Syntax error: at +="),
        ("fn f v = v\nf 1 = 2", "-- Syntax error: at ="),
        ("5abc", "-- Syntax error: at 5abc"),
        ("$box01", "-- Syntax error: at $"),
        ("x = 1 2", "-- Type error: Call needs function or class, got: 1"),
        ("nosuchfunction 1", "-- Type error: Call needs function or class, got: undefined"),
        ("if 1 then 2", "-- Type error: if-test requires BooleanClass, got: 1"),
        ("1 and true", "-- Type error: and requires BooleanClass, got: 1"),
        ("not 1", '-- No ""not"" function for 1'),
        ("undefined + 1", '-- No ""+"" function for undefined'),
        ("true + true", '-- No ""+"" function for true'),
        ('"a" + 1', "-- Unable to convert: 1 to type: String"),
        ("1 / 0", "-- Runtime error: Divide by zero"),
        ("sysinfo.nosuch", '-- Unknown property: "nosuch" in <Interface:sysinfo>'),
        ("undefined.x", '-- Unknown property: "x" in undefined'),
        ("struct s (a)\ns b:1", '-- Unknown property: "b"'),
        ("struct s (a)\n(s()).b = 1", '-- Unknown property: "b"'),
        ("fn f v = v\nf()", "-- Argument count error: f wanted 1, got 0"),
        ("getinisetting 1 2 3 4 5", "-- Argument count error: getINISetting"),
    ],
)
def test_errors(text, message):
    with pytest.raises(MAXScriptError, match=re.escape(message)):
        run(text)
