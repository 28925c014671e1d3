"""velmo.utils.zimbard: CDATA replacement, XML escaping and SQL literal rendering."""

import datetime
import inspect
import types
from decimal import Decimal

import pytest
import regex

from velmo.utils import zimbard

CDATA_PATTERN = r"(<!\[CDATA\[)([\s\S]*?)(\]\]>)"


class StrSubclass(str):
    pass


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
    ],
)
def test_replace_cdata(text, expected):
    assert zimbard.replace_cdata(text) == expected
    assert zimbard.replace_cdata(raw_text=text) == expected


@pytest.mark.parametrize("text", ["plain <b> & text", "", "<![CDATA[never closed", "]]> <![CDATA"])
def test_replace_cdata_without_a_section_returns_its_argument(text):
    assert zimbard.replace_cdata(text) is text


@pytest.mark.parametrize("value", [5, None, b"<![CDATA[x]]>", bytearray(b"x")])
def test_replace_cdata_refuses_non_text_as_the_pattern_search_does(value):
    with pytest.raises(TypeError) as expected:
        regex.compile(CDATA_PATTERN).search(value)
    with pytest.raises(TypeError) as info:
        zimbard.replace_cdata(value)
    assert str(info.value) == str(expected.value)


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
    ],
)
def test_convert_cdata(text, reverse, expected):
    assert zimbard.convert_cdata(text, reverse) == expected


def test_convert_cdata_defaults_to_unescaping():
    assert zimbard.convert_cdata("&lt;&gt;") == "<>"
    assert zimbard.convert_cdata(string="&lt;", reverse=True) == "&amp;lt;"


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


def test_convert_cdata_tests_reverse_before_replacing():
    class Refusing:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    with pytest.raises(ZeroDivisionError, match="no truth"):
        zimbard.convert_cdata(None, Refusing())


@pytest.mark.parametrize(
    ("value", "error"),
    [(None, AttributeError), (5, AttributeError), (b"a<b", TypeError)],
)
def test_convert_cdata_propagates_replace_errors(value, error):
    with pytest.raises(error):
        zimbard.convert_cdata(value, True)


# sql_string_format


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ("abc", "'abc'"),
        ("'abc'", "'abc'"),
        ("'abc", "'abc'"),
        ("abc'", "'abc'"),
        ("O'Brien", "'O'Brien'"),
        ("", "''"),
        ("'", "''"),
        ("''", "''"),
        ("𝄞'", "'𝄞'"),
    ],
)
def test_sql_string_format(value, expected):
    assert zimbard.sql_string_format(value) == expected


def test_sql_string_format_returns_a_quoted_value_itself():
    value = "'quoted'"
    assert zimbard.sql_string_format(value) is value


@pytest.mark.parametrize(
    ("value", "type_name"),
    [(None, "NoneType"), (1, "int"), (b"a", "bytes"), (StrSubclass("a"), "StrSubclass")],
)
def test_sql_string_format_refuses_other_types(value, type_name):
    with pytest.raises(TypeError) as info:
        zimbard.sql_string_format(value)
    assert str(info.value) == f"Argument 'sql_str_value' has incorrect type (expected str, got {type_name})"


# param_str


class Falsy:
    def __bool__(self):
        return False


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
        (42, "42"),
        (1.5, "1.5"),
        (True, "True"),
        ([1, 2], "[1, 2]"),
        (StrSubclass("x"), "x"),
        (datetime.datetime(2024, 5, 1, 13, 45), "2024-05-01 13:45:00"),
    ],
)
def test_param_str(value, expected):
    assert zimbard.param_str(value) == expected


def test_param_str_looks_up_sql_string_format_at_call_time(monkeypatch):
    monkeypatch.setattr(zimbard, "sql_string_format", lambda value: f"<{value}>")
    assert zimbard.param_str(param_value="x") == "<x>"
    monkeypatch.delattr(zimbard, "sql_string_format")
    with pytest.raises(NameError, match="^name 'sql_string_format' is not defined$"):
        zimbard.param_str("x")
    assert zimbard.param_str(3) == "3"


def test_param_str_propagates_errors_of_truth_test_and_str():
    class NoTruth:
        def __bool__(self):
            raise ValueError("ambiguous")

    class NoText:
        def __str__(self):
            raise RuntimeError("unprintable")

    with pytest.raises(ValueError, match="ambiguous"):
        zimbard.param_str(NoTruth())
    with pytest.raises(RuntimeError, match="unprintable"):
        zimbard.param_str(NoText())


# Argument binding


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: zimbard.replace_cdata(), "replace_cdata() takes exactly 1 positional argument (0 given)"),
        (lambda: zimbard.replace_cdata("a", "b"), "replace_cdata() takes exactly 1 positional argument (2 given)"),
        (lambda: zimbard.replace_cdata(text="a"), "replace_cdata() takes exactly 1 positional argument (0 given)"),
        (lambda: zimbard.replace_cdata("a", text="b"), "replace_cdata() got an unexpected keyword argument 'text'"),
        (lambda: zimbard.param_str(), "param_str() takes exactly 1 positional argument (0 given)"),
        (lambda: zimbard.param_str(1, param_value=2), "param_str() got multiple values for keyword argument 'param_value'"),
        (lambda: zimbard.sql_string_format("a", sql_str_value="b"), "sql_string_format() got multiple values for keyword argument 'sql_str_value'"),
        (lambda: zimbard.convert_cdata("a", True, reversed=1), "convert_cdata() got an unexpected keyword argument 'reversed'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
