"""velmo.utils.harlune: leading and trailing override replacement by regular expression."""

import inspect
import re as stdlib_re

import pytest
import regex

from conftest import Raises, StrSubclass, assert_no_reference_growth, expect
from velmo.utils import harlune

first = harlune.replace_sql_first
last = harlune.replace_sql_last
TEMPLATES = {first: r"^[\s]*?({})", last: r"({})(\s+--.+)?$"}


def through_regex(func, string, overrides, replace):
    """What the functions compute, through regex.sub itself."""
    pattern = TEMPLATES[func].format(overrides)
    return regex.sub(pattern, replace, string.strip(), count=1, flags=regex.IGNORECASE)


def test_namespace_in_order():
    names = [name for name in vars(harlune) if not name.startswith("__")]
    assert names == ["re", "replace_sql_first", "replace_sql_last"]
    assert harlune.re is regex


@pytest.mark.parametrize(("func", "overrides"), [(first, "prefix_overrides"), (last, "suffix_overrides")])
def test_signatures(func, overrides):
    assert str(inspect.signature(func)) == f"(string: 'str', {overrides}: 'str', replace: 'str')"
    assert func.__annotations__ == {"string": "str", overrides: "str", "replace": "str"}
    assert func.__defaults__ is None
    assert func.__module__ == "velmo.utils.harlune"


@pytest.mark.parametrize(
    ("func", "string", "overrides", "replace", "expected"),
    [
        (first, "  and a = 1 AND b = 2 ", "AND |OR ", "WHERE ", "WHERE a = 1 AND b = 2"),
        (first, "or x = 1", "AND |OR ", "", "x = 1"),
        (first, "ORDER BY x", "OR", "", "DER BY x"),
        (first, "ORDER BY x", "OR ", "", "ORDER BY x"),
        (first, " x = 1 ", "AND |OR ", "", "x = 1"),
        (first, "\u3000\tAnD x\u2003\n", "and ", "", "x"),
        (first, "ÉTÉ x", "été ", "", "x"),
        (first, "and x", "AND ", "(\\1)\\n", "(and )\nx"),
        (first, "or x", "(AND|OR) ", "\\g<2>:", "or:x"),
        (first, "", "AND |OR ", "WHERE ", ""),
        (first, " x = 1 ", "", "WHERE ", "WHERE x = 1"),
        (first, "a.b", ".", "", ".b"),
        (last, "a = 1, b = 2,", ",", "", "a = 1, b = 2"),
        (last, "a = 1, -- note", ",", "", "a = 1"),
        (last, "a = 1,\n  -- note", ",", "", "a = 1"),
        (last, "a = 1, -- one\n-- two", ",", "", "a = 1, -- one\n-- two"),
        (last, "a = 1 -- note", ",", "", "a = 1 -- note"),
        (last, "a = 1, --", ",", "", "a = 1, --"),
        (last, "a, b,", ",", " ", "a, b "),
        (last, "x = 1 AND", "and|or", "", "x = 1 "),
        (last, "a, -- c", ",", "[\\2]", "a[ -- c]"),
        (last, "", ",", "X", ""),
        (last, "ab", "", "X", "abX"),
        (last, "ab -- c", "", "X", "abX"),
        *[
            (func, "a", overrides, replace, Raises(error))
            for func in (first, last)
            for overrides, replace, error in [
                ("(", "", regex.error), ("[a", "", regex.error), ("a", "\\3", regex.error), ("a", "\\g<x>", IndexError),
            ]
        ],
    ],
)
def test_replacement(func, string, overrides, replace, expected):
    got = expect(expected, func, string, overrides, replace)
    # regex.sub itself gives the same value, or an error of the same type and message.
    same = Raises(type(got), str(got)) if isinstance(expected, Raises) else expected
    expect(same, through_regex, func, string, overrides, replace)


def test_keywords():
    assert first(replace="", prefix_overrides="AND ", string="and x") == "x"
    assert last(replace="", suffix_overrides=",", string="x,") == "x"


@pytest.mark.parametrize(("func", "second"), [(first, "prefix_overrides"), (last, "suffix_overrides")])
@pytest.mark.parametrize(
    ("args", "position", "type_name"),
    [
        ((None, "a", "b"), 0, "NoneType"),
        ((1, None, None), 0, "int"),
        (("a", None, 1), 1, "NoneType"),
        (("a", b"a", "b"), 1, "bytes"),
        (("a", "a", None), 2, "NoneType"),
        (("a", "a", StrSubclass()), 2, "StrSubclass"),
    ],
)
def test_type_errors_name_the_first_failing_parameter(func, second, args, position, type_name):
    name = ["string", second, "replace"][position]
    expect(Raises(TypeError, f"Argument '{name}' has incorrect type (expected str, got {type_name})"), func, *args)


@pytest.mark.parametrize("func", [first, last])
@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda f: f(), "{}() takes exactly 3 positional arguments (0 given)"),
        (lambda f: f("a", "b"), "{}() takes exactly 3 positional arguments (2 given)"),
        (lambda f: f("a", "b", "c", "d"), "{}() takes exactly 3 positional arguments (4 given)"),
        (lambda f: f("a", "b", replac="c"), "{}() takes exactly 3 positional arguments (2 given)"),
        (lambda f: f("a", "b", "c", overrides="d"), "{}() got an unexpected keyword argument 'overrides'"),
        (lambda f: f("a", "b", "c", string="d"), "{}() got multiple values for keyword argument 'string'"),
    ],
)
def test_argument_count_and_keyword_errors(func, call, message):
    expect(Raises(TypeError, message.format(func.__name__)), call, func)


# The module global `re` and its `sub` are looked up on every call.


@pytest.mark.parametrize("func", [first, last])
def test_calls_module_level_sub_with_count_and_flags(func, monkeypatch):
    calls = []

    def sub(*args, **kwargs):
        calls.append((args, kwargs))
        return "result"

    monkeypatch.setattr(regex, "sub", sub)
    assert func("  text  ", "A|B", "R") == "result"
    assert calls == [((TEMPLATES[func].format("A|B"), "R", "text"), {"count": 1, "flags": regex.IGNORECASE})]


def test_rebinding_re_takes_effect(monkeypatch):
    monkeypatch.setattr(harlune, "re", stdlib_re)
    assert first("AND x", "and ", "") == "x"
    with pytest.raises(stdlib_re.error):
        first("x", "(?V1)", "")
    monkeypatch.delattr(harlune, "re")
    with pytest.raises(NameError, match="^name 're' is not defined$"):
        last("x,", ",", "")


def test_follows_the_regex_default_version(monkeypatch):
    # Under VERSION1, IGNORECASE folds fully, so "ss" matches "ß".
    assert first("ß x", "ss ", "") == "ß x"
    monkeypatch.setattr(regex, "DEFAULT_VERSION", regex.VERSION1)
    assert first("ß x", "ss ", "") == "x"
    monkeypatch.undo()
    assert first("ß x", "ss ", "") == "ß x"


def test_many_distinct_overrides_stay_correct():
    for i in range(1000):
        assert first(f"w{i} x", f"W{i} ", "") == "x"
        assert last(f"x w{i}", f" W{i}", "") == "x"


def test_calls_do_not_leak_references(monkeypatch):
    text, overrides, replace = "and x -- c", "AND |OR ", "\\1"

    def calls():
        first(text, overrides, replace)
        last(text, overrides, replace)
        with pytest.raises((regex.error, stdlib_re.error)):
            first(text, "(", replace)
        with pytest.raises(TypeError):
            last(text, overrides, None)

    # The first calls fill the pattern cache.
    assert_no_reference_growth([text, overrides, replace], calls, 2000, warmup=10)
    monkeypatch.setattr(harlune, "re", stdlib_re)
    assert_no_reference_growth([text, overrides, replace], calls, 2000, warmup=10)
