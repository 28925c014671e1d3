"""velmo.utils.plovet: the named template functions `like` and `time_format` and their registry."""

import datetime
import inspect
import time

import pytest
import regex

from conftest import Raises, StrSubclass, assert_no_reference_growth, expect
from velmo.utils import plovet, zimbard

MAY_FIRST = time.struct_time((2024, 5, 1, 13, 45, 0, 2, 122, -1))


def test_namespace_in_order_and_registry():
    names = [name for name in vars(plovet) if not name.startswith("__")]
    assert names == [
        "time",
        "re",
        "replace_cdata",
        "convert_cdata",
        "sql_string_format",
        "param_str",
        "like",
        "time_format",
        "default_fun_dict",
    ]
    assert plovet.time is time
    assert plovet.re is regex
    for name in ("replace_cdata", "convert_cdata", "sql_string_format", "param_str"):
        assert getattr(plovet, name) is getattr(zimbard, name)
    assert type(plovet.default_fun_dict) is dict
    assert list(plovet.default_fun_dict) == ["like", "time_format"]
    assert plovet.default_fun_dict["like"] is plovet.like
    assert plovet.default_fun_dict["time_format"] is plovet.time_format


@pytest.mark.parametrize(
    ("func", "signature", "annotations", "defaults"),
    [
        (plovet.like, "(value)", {}, None),
        (
            plovet.time_format,
            "(date_value, format: 'str' = '%Y-%m-%d %H:%M:%S')",
            {"format": "str"},
            ("%Y-%m-%d %H:%M:%S",),
        ),
    ],
)
def test_signatures(func, signature, annotations, defaults):
    assert str(inspect.signature(func)) == signature
    assert func.__annotations__ == annotations
    assert func.__defaults__ == defaults
    assert func.__module__ == "velmo.utils.plovet"
    assert func.__globals__ is vars(plovet)


# like


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ("abc", "'abc'"), ("'abc'", "'abc'"), ("a%", "'a%'"), ("O'Brien", "'O''Brien'"), ("", "''"), ("'", "''"),
        # Refused by sql_string_format, whose parameter the message names.
        *[(value, Raises(TypeError, f"Argument 'sql_str_value' has incorrect type (expected str, got {type_name})"))
          for value, type_name in [(None, "NoneType"), (5, "int"), (StrSubclass("a"), "StrSubclass")]],
    ],
)
def test_like(value, expected):
    expect(expected, plovet.like, value)
    expect(expected, plovet.like, value=value)


# time_format


@pytest.mark.parametrize(
    ("args", "kwargs", "expected"),
    [
        ((MAY_FIRST,), {}, "'2024-05-01 13:45:00'"),
        ((tuple(MAY_FIRST),), {}, "'2024-05-01 13:45:00'"),
        ((MAY_FIRST, "%Y"), {}, "'2024'"),
        ((), {"format": "%H:%M", "date_value": MAY_FIRST}, "'13:45'"),
        ((MAY_FIRST, "'%Y-%m'"), {}, "'2024-05'"),
        ((MAY_FIRST, "%Y'"), {}, "'2024'"),
        ((MAY_FIRST, ""), {}, "''"),
        ((MAY_FIRST, "%%"), {}, "'%'"),
        # The format is checked before the time value (here one strftime refuses) is looked at.
        *[((datetime.datetime(2024, 5, 1), value), {},
           Raises(TypeError, f"Argument 'format' has incorrect type (expected str, got {type_name})"))
          for value, type_name in [(None, "NoneType"), (b"%Y", "bytes"), (StrSubclass("%Y"), "StrSubclass")]],
    ],
)
def test_time_format(args, kwargs, expected):
    expect(expected, plovet.time_format, *args, **kwargs)


@pytest.mark.parametrize(
    ("date_value", "error"),
    [
        (datetime.datetime(2024, 5, 1), TypeError),
        (None, TypeError),
        ((2024, 5, 1), TypeError),
        ((2024, 13, 1, 0, 0, 0, 0, 1, -1), ValueError),
    ],
)
def test_time_format_propagates_strftime_errors(date_value, error):
    with pytest.raises(error) as expected:
        time.strftime("%Y", date_value)
    expect(Raises(error, str(expected.value)), plovet.time_format, date_value, "%Y")


# Globals are looked up at call time.


def test_rebinding_globals_takes_effect(monkeypatch):
    calls = []

    class FakeTime:
        @staticmethod
        def strftime(*args):
            calls.append(args)
            return "formatted"

    monkeypatch.setattr(plovet, "sql_string_format", lambda value: ("literal", value))
    monkeypatch.setattr(plovet, "time", FakeTime)
    assert plovet.like(None) == ("literal", None)
    assert plovet.time_format("when") == ("literal", "formatted")
    assert calls == [("%Y-%m-%d %H:%M:%S", "when")]


def test_missing_globals_raise_name_error(monkeypatch):
    monkeypatch.delattr(plovet, "time")
    with pytest.raises(NameError, match="^name 'time' is not defined$"):
        plovet.time_format(MAY_FIRST)
    monkeypatch.delattr(plovet, "sql_string_format")
    for call in (lambda: plovet.like("x"), lambda: plovet.time_format(MAY_FIRST)):
        with pytest.raises(NameError, match="^name 'sql_string_format' is not defined$"):
            call()


# Argument binding


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: plovet.like(), "like() takes exactly 1 positional argument (0 given)"),
        (lambda: plovet.like("a", "b"), "like() takes exactly 1 positional argument (2 given)"),
        (lambda: plovet.like(val="a"), "like() takes exactly 1 positional argument (0 given)"),
        (lambda: plovet.like("a", val="b"), "like() got an unexpected keyword argument 'val'"),
        (lambda: plovet.like("a", value="b"), "like() got multiple values for keyword argument 'value'"),
        (lambda: plovet.time_format(), "time_format() takes at least 1 positional argument (0 given)"),
        (lambda: plovet.time_format(format="%Y"), "time_format() takes at least 1 positional argument (0 given)"),
        (lambda: plovet.time_format(MAY_FIRST, "%Y", 1), "time_format() takes at most 2 positional arguments (3 given)"),
        (lambda: plovet.time_format(MAY_FIRST, fmt="%Y"), "time_format() got an unexpected keyword argument 'fmt'"),
        (lambda: plovet.time_format(MAY_FIRST, date_value=MAY_FIRST), "time_format() got multiple values for keyword argument 'date_value'"),
    ],
)
def test_argument_errors(call, message):
    expect(Raises(TypeError, message), call)


def test_calls_do_not_leak_references():
    value, fmt = "value", "%Y"

    def calls():
        plovet.like(value)
        plovet.time_format(MAY_FIRST, fmt)
        with pytest.raises(ValueError):
            plovet.time_format((2024, 13, 1, 0, 0, 0, 0, 1, -1), fmt)

    assert_no_reference_growth([value, fmt, MAY_FIRST], calls, 2000)
