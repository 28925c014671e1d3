"""velmo.utils.zimbard: CDATA replacement, XML escaping and SQL literal rendering."""

import datetime
import inspect
import types
from decimal import Decimal

import pytest
import regex

from conftest import Raises, StrSubclass, expect
from velmo.utils import zimbard

CDATA_PATTERN = r"(<!\[CDATA\[)([\s\S]*?)(\]\]>)"


def test_public_namespace_in_order():
    public = [name for name in vars(zimbard) if not name.startswith("_")]
    assert public == ["re", "replace_cdata", "convert_cdata", "sql_string_format", "param_str"]
    assert zimbard.re is regex


@pytest.mark.parametrize(
    ("func", "signature", "annotations", "defaults"),
    [
        (zimbard.replace_cdata, "(raw_text)", {}, None),
        (zimbard.convert_cdata, "(string, reverse=False)", {}, (False,)),
        (zimbard.sql_string_format, "(sql_str_value: 'str')", {"sql_str_value": "str"}, None),
        (zimbard.param_str, "(param_value)", {}, None),
    ],
)
def test_signatures(func, signature, annotations, defaults):
    assert str(inspect.signature(func)) == signature
    assert func.__annotations__ == annotations
    assert func.__defaults__ == defaults
    assert func.__module__ == "velmo.utils.zimbard"


# replace_cdata


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("a <![CDATA[x < y & z]]> b", "a x &lt; y &amp; z b"),
        ("<![CDATA[a<b]]> and <![CDATA[c>d]]>", "a&lt;b and <![CDATA[c>d]]>"),
        ("<![CDATA[<]]>-<![CDATA[<]]>", "&lt;-&lt;"),
        ("x<![CDATA[]]>y", "xy"),
        ('<![CDATA[a\n"b"\r\n>c]]>', "a\n&quot;b&quot;\r\n&gt;c"),
        ("<![CDATA[<![CDATA[x]]>]]>", "&lt;![CDATA[x]]>"),
        ("<![CDATA[é ✓ 𝄞 <]]>", "é ✓ 𝄞 &lt;"),
        # Without a section the argument itself comes back.
        ("plain <b> & text", "plain <b> & text"),
        ("", ""),
        ("<![CDATA[never closed", "<![CDATA[never closed"),
        ("]]> <![CDATA", "]]> <![CDATA"),
    ],
)
def test_replace_cdata(text, expected):
    expect(expected, zimbard.replace_cdata, text)
    expect(expected, zimbard.replace_cdata, raw_text=text)
    if expected == text:
        assert zimbard.replace_cdata(text) is text


@pytest.mark.parametrize("value", [5, None, b"<![CDATA[x]]>", bytearray(b"x")])
def test_replace_cdata_refuses_non_text_as_the_pattern_search_does(value):
    with pytest.raises(TypeError) as expected:
        regex.compile(CDATA_PATTERN).search(value)
    expect(Raises(TypeError, str(expected.value)), zimbard.replace_cdata, value)


def test_replace_cdata_goes_through_the_module_globals(monkeypatch):
    compiled = []
    original_compile = regex.compile
    monkeypatch.setattr(regex, "compile", lambda p: compiled.append(p) or original_compile(p))
    monkeypatch.setattr(zimbard, "convert_cdata", lambda s, reverse=False: f"[{s}|{reverse}]")
    assert zimbard.replace_cdata("a<![CDATA[<]]>b<![CDATA[<]]>") == "a[<|True]b[<|True]"
    assert compiled == [CDATA_PATTERN]
    monkeypatch.setattr(zimbard, "convert_cdata", lambda s, reverse=False: 5)
    with pytest.raises(TypeError, match="^replace\\(\\) argument 2 must be str, not int$"):
        zimbard.replace_cdata("<![CDATA[x]]>")
    monkeypatch.delattr(zimbard, "convert_cdata")
    with pytest.raises(NameError, match="^name 'convert_cdata' is not defined$"):
        zimbard.replace_cdata("<![CDATA[x]]>")
    monkeypatch.setattr(zimbard, "convert_cdata", lambda s, reverse=False: s.upper(), raising=False)
    monkeypatch.setattr(zimbard, "re", types.SimpleNamespace(compile=lambda p: original_compile("(x)(y)(z)")))

    class OwnReplace(str):
        def replace(self, old, new):
            return (old, new)

    assert zimbard.replace_cdata("axyzb") == "aYb"
    assert zimbard.replace_cdata(OwnReplace("xyz")) == ("xyz", "Y")


# convert_cdata


class Refusing:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize(
    ("text", "reverse", "expected"),
    [
        ("a<b & c>d", True, "a&lt;b &amp; c&gt;d"),
        ("a&lt;b &amp; c&gt;d", False, "a<b & c>d"),
        ('"q" \'a\'', True, "&quot;q&quot; 'a'"),
        ("&quot;q&quot; &#39; &apos;", False, "\"q\" &#39; &apos;"),
        ("&amp;lt;", False, "<"),
        ("&amp;amp;", False, "&amp;"),
        ("<>", 1, "&lt;&gt;"),
        ("&lt;", "", "<"),
        # replace's own errors; reverse is tested before anything is replaced.
        (None, True, Raises(AttributeError)),
        (5, True, Raises(AttributeError)),
        (b"a<b", True, Raises(TypeError)),
        (None, Refusing(), Raises(ZeroDivisionError, "no truth")),
    ],
)
def test_convert_cdata(text, reverse, expected):
    expect(expected, zimbard.convert_cdata, text, reverse)


def test_convert_cdata_calls_replace_of_any_object_in_order():
    class Recorder:
        def __init__(self):
            self.calls = []

        def replace(self, old, new):
            self.calls.append((old, new))
            return self

    escaping = Recorder()
    assert zimbard.convert_cdata(escaping, True) is escaping
    assert escaping.calls == [("&", "&amp;"), ("<", "&lt;"), (">", "&gt;"), ('"', "&quot;")]
    unescaping = Recorder()
    zimbard.convert_cdata(unescaping)
    assert unescaping.calls == [("&amp;", "&"), ("&lt;", "<"), ("&gt;", ">"), ("&quot;", '"')]


# sql_string_format


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ("abc", "'abc'"),
        ("'abc'", "'abc'"),
        ("'abc", "'abc'"),
        ("abc'", "'abc'"),
        ("O'Brien", "'O''Brien'"),
        ("'O''Brien'", "'O''Brien'"),
        ("'" * 3, "'" * 4),
        ("it's'", "'it''s'"),
        ("x' OR '1'='1", "'x'' OR ''1''=''1'"),
        ("a''b" + "'" * 3 + "c", "'a''b" + "'" * 4 + "c'"),
        ("", "''"),
        ("'", "''"),
        ("''", "''"),
        ("𝄞'", "'𝄞'"),
        ("𝄞'x", "'𝄞''x'"),
    ],
)
def test_sql_string_format(value, expected):
    # Argument type errors are in test_runtime.py.
    result = expect(expected, zimbard.sql_string_format, value)
    if expected == value:
        assert result is value


# param_str


class Falsy:
    def __bool__(self):
        return False


class NoTruth:
    def __bool__(self):
        raise ValueError("ambiguous")


class NoText:
    def __str__(self):
        raise RuntimeError("unprintable")


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (None, "null"),
        ("", "null"),
        ([], "null"),
        ({}, "null"),
        (b"", "null"),
        (Falsy(), "null"),
        (0, "0"),
        (0.0, "0.0"),
        (False, "False"),
        (Decimal(0), "0"),
        (0j, "0j"),
        ("x", "'x'"),
        ("'x'", "'x'"),
        ("x'y", "'x''y'"),
        (42, "42"),
        (1.5, "1.5"),
        (True, "True"),
        ([1, 2], "[1, 2]"),
        (StrSubclass("x"), "x"),
        (datetime.datetime(2024, 5, 1, 13, 45), "2024-05-01 13:45:00"),
        (NoTruth(), Raises(ValueError, "ambiguous")),
        (NoText(), Raises(RuntimeError, "unprintable")),
    ],
)
def test_param_str(value, expected):
    expect(expected, zimbard.param_str, value)


def test_param_str_looks_up_sql_string_format_at_call_time(monkeypatch):
    monkeypatch.setattr(zimbard, "sql_string_format", lambda value: f"<{value}>")
    assert zimbard.param_str(param_value="x") == "<x>"
    monkeypatch.delattr(zimbard, "sql_string_format")
    with pytest.raises(NameError, match="^name 'sql_string_format' is not defined$"):
        zimbard.param_str("x")
    assert zimbard.param_str(3) == "3"

