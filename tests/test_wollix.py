"""velmo.utils.wollix: type-name resolution, container and result-class tests."""

import builtins
import collections
import dataclasses
import datetime
import decimal
import sys
import typing

import pytest
from pydantic import BaseModel
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column

from conftest import Raises, StrSubclass, assert_no_reference_growth, expect
from velmo.utils import wollix


@dataclasses.dataclass
class Point:
    x: int = 0


class Model(BaseModel):
    x: int = 0


class Base(DeclarativeBase):
    pass


class Row(Base):
    __tablename__ = "wollix_row"
    id: Mapped[int] = mapped_column(primary_key=True)


class Counter(dict):
    pass


def test_module_namespace_order():
    names = [n for n in vars(wollix) if not n.startswith("__")]
    assert names == [
        "Container", "Iterable", "builtins", "is_dataclass", "import_module", "get_origin", "List",
        "BaseModel", "DeclarativeBase", "is_container_type_by_str", "get_type_from_string",
        "is_container_type", "get_base_type", "is_result_class",
    ]
    assert wollix.BaseModel is BaseModel and wollix.DeclarativeBase is DeclarativeBase


def test_annotations():
    assert wollix.is_container_type_by_str.__annotations__ == {"type_str": "str", "return": "bool"}
    assert wollix.get_type_from_string.__annotations__ == {"type_str": "str"}
    assert wollix.is_container_type.__annotations__ == {"return": "bool"}
    assert wollix.get_base_type.__annotations__ == {}
    assert wollix.is_result_class.__annotations__ == {}


@pytest.mark.parametrize("fn", [wollix.is_container_type_by_str, wollix.get_type_from_string])
@pytest.mark.parametrize("value, got", [(None, "NoneType"), (1, "int"), (StrSubclass("int"), "StrSubclass")])
def test_type_str_must_be_exactly_str(fn, value, got):
    expect(Raises(TypeError, f"Argument 'type_str' has incorrect type (expected str, got {got})"), fn, value)
    assert fn(type_str="int") in (int, False)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("list", True), ("tuple", True), ("dict", True), ("set", True),
        ("frozenset", False), ("int", False), ("str", False), ("bytes", False),
        ("Container", False), ("Iterable", False), ("List", False), ("BaseModel", False),
        ("collections.OrderedDict", False), ("nothing_here", False), ("", False),
        ("False", False), ("print", False),
    ],
)
def test_is_container_type_by_str(text, expected):
    assert wollix.is_container_type_by_str(text) is expected


def test_is_container_type_by_str_reads_module_globals(monkeypatch):
    monkeypatch.setitem(vars(wollix), "Rows", Counter)
    monkeypatch.setitem(vars(wollix), "NotAClass", [1])
    assert wollix.is_container_type_by_str("Rows") is True
    assert wollix.is_container_type_by_str("NotAClass") is False
    # A falsy builtin falls through to the globals.
    monkeypatch.setitem(vars(wollix), "None", Counter)
    assert wollix.is_container_type_by_str("None") is True


@pytest.mark.parametrize(
    "text, expected",
    [
        ("int", int), ("str", str), ("dict", dict), ("BaseException", BaseException),
        ("BaseModel", BaseModel), ("DeclarativeBase", DeclarativeBase),
        ("Container", collections.abc.Container), ("Iterable", collections.abc.Iterable),
        ("datetime.datetime", datetime.datetime), ("decimal.Decimal", decimal.Decimal),
        ("collections.OrderedDict", collections.OrderedDict), (f"{__name__}.Point", Point),
    ],
)
def test_get_type_from_string_resolves(text, expected):
    assert wollix.get_type_from_string(text) is expected


@pytest.mark.parametrize(
    "text, message, context",
    [
        *[(text, "未知的类型: " + text, None) for text in ["List", "os.path", "nothing_here", "", "print", "datetime.MINYEAR"]],
        ("no_such_module_x.Model", "No module named 'no_such_module_x'", ModuleNotFoundError),
        ("datetime.nope", "module 'datetime' has no attribute 'nope'", AttributeError),
        ("datetime.", "module 'datetime' has no attribute ''", AttributeError),
        ("os.path.nope.X", "No module named 'os.path.nope'; 'os.path' is not a package", ModuleNotFoundError),
    ],
)
def test_get_type_from_string_failures(text, message, context):
    # An unknown name raises afresh; a failed import is the context of the ValueError.
    if context is not None:
        message = f"无法导入类型 {text}: {message}"
    error = expect(Raises(ValueError, message), wollix.get_type_from_string, text)
    assert type(error.__context__) is (context or type(None))
    assert error.__cause__ is None and not error.__suppress_context__


def test_get_type_from_string_lookup_order(monkeypatch):
    # builtins beat the module's globals, and the globals beat a dotted path.
    monkeypatch.setitem(vars(wollix), "int", float)
    monkeypatch.setitem(vars(wollix), "no_such_module_x.Model", Counter)
    assert wollix.get_type_from_string("int") is int
    assert wollix.get_type_from_string("no_such_module_x.Model") is Counter


@pytest.mark.parametrize(
    "raised",
    [ImportError("refused"), RuntimeError("inside the module"), ValueError("Empty module name"), KeyError("k")],
)
def test_import_module_is_the_module_global(monkeypatch, raised):
    # Only an ImportError becomes the ValueError; any other error propagates as it is.
    seen = []

    def failing(path):
        seen.append(path)
        raise raised

    monkeypatch.setattr(wollix, "import_module", failing)
    with pytest.raises(Exception) as info:
        wollix.get_type_from_string("a.b.C")
    assert seen == ["a.b"]
    if isinstance(raised, ImportError):
        assert type(info.value) is ValueError and str(info.value) == "无法导入类型 a.b.C: refused"
    else:
        assert info.value is raised


def test_error_inside_imported_module_propagates(tmp_path, monkeypatch):
    (tmp_path / "wollix_broken_mod.py").write_text("raise ZeroDivisionError('during import')\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(ZeroDivisionError, match="during import"):
        wollix.get_type_from_string("wollix_broken_mod.Thing")
    sys.modules.pop("wollix_broken_mod", None)


def test_missing_global_is_a_name_error(monkeypatch):
    monkeypatch.delitem(vars(wollix), "get_origin")
    with pytest.raises(NameError, match="^name 'get_origin' is not defined$"):
        wollix.get_base_type(int)
    # As for any global name, a builtin of that name stands in.
    monkeypatch.setattr(builtins, "get_origin", lambda obj: dict, raising=False)
    assert wollix.get_base_type(int) is dict


@pytest.mark.parametrize(
    "obj, expected",
    [
        (typing.List[int], True), (typing.Dict[str, int], True), (typing.List, True),
        (typing.Tuple[int], True), (list, True), (set, True), (Counter, True),
        (collections.OrderedDict, True), (list[int], True),
        (int, False), (str, False), (frozenset, False), (Point, False), (collections.abc.Sequence, False),
        *[(obj, Raises(TypeError, match="issubclass")) for obj in [typing.Optional[int], None, 3, "list"]],
    ],
)
def test_is_container_type(obj, expected):
    expect(expected, wollix.is_container_type, obj)


@pytest.mark.parametrize(
    "obj, expected",
    [
        (typing.List[Point], list), (typing.Dict[str, typing.Any], dict), (typing.List, list),
        (int, int), (Point, Point), (None, None), (0, 0),
    ],
)
def test_get_base_type(obj, expected):
    assert wollix.get_base_type(obj) is expected


@pytest.mark.parametrize(
    "cls, expected",
    [
        (Point, True), (Model, True), (Row, True), (dict, False), (int, False), (Base, True),
        # The BaseModel test comes first, so even a dataclass instance is refused.
        *[(obj, Raises(TypeError, match="issubclass")) for obj in [None, Point(), typing.List[int], 5]],
    ],
)
def test_is_result_class(cls, expected):
    expect(expected, wollix.is_result_class, cls)


def test_no_reference_leaks():
    def calls():
        wollix.get_type_from_string("int")
        wollix.is_container_type_by_str("list")
        wollix.get_base_type(typing.List[Point])
        wollix.get_base_type(Point)
        wollix.is_result_class(Point)
        with pytest.raises(ValueError):
            wollix.get_type_from_string("datetime.nope")

    assert_no_reference_growth([int, list, Point], calls, 2000)
