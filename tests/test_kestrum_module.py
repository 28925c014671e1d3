"""velmo.db.kestrum as a Python module: its namespace, class shapes, signatures, Page, PageInfo
and the count / limit statement texts."""

import contextlib
import dataclasses
import inspect
import typing

import pytest
import sqlalchemy
import sqlalchemy.orm
from sqlalchemy import text

from conftest import Raises, expect
from velmo.db import kestrum
from velmo.db.kestrum import Page, PageInfo, SqlTemplate, count_query, limit_query

METHODS = [
    "__init__", "insert", "insert_orm2", "add", "add_all", "delete", "delete_orm2", "update_orm2",
    "update", "select_one_orm2", "select_all_orm2", "select_one", "select_list", "select_page",
    "execute_in_connection", "get_session",
]


def test_module_namespace_order_and_imports():
    names = [n for n in vars(kestrum) if not n.startswith("__")]
    assert names == [
        "contextlib", "Any", "TextClause", "text", "sessionmaker", "dataclass", "PageInfo", "Page",
        "SqlTemplate", "count_query", "limit_query",
    ]
    # As in a Python module, __builtins__ comes before the module's own names.
    assert list(vars(kestrum)).index("__builtins__") < list(vars(kestrum)).index("contextlib")
    assert kestrum.contextlib is contextlib
    assert kestrum.Any is typing.Any
    assert kestrum.TextClause is sqlalchemy.TextClause
    assert kestrum.text is sqlalchemy.text
    assert kestrum.sessionmaker is sqlalchemy.orm.sessionmaker
    assert kestrum.dataclass is dataclasses.dataclass


def test_sql_template_class_shape():
    assert SqlTemplate.__bases__ == (object,)
    assert SqlTemplate.__doc__ is None
    assert SqlTemplate.__module__ == "velmo.db.kestrum"
    assert [n for n in vars(SqlTemplate) if not n.startswith("__") or n == "__init__"] == METHODS
    for name in METHODS:
        member = vars(SqlTemplate)[name]
        assert callable(member) and not isinstance(member, (staticmethod, classmethod)), name
        assert member.__qualname__ == f"SqlTemplate.{name}"
    template = SqlTemplate(data_source="anything")
    assert vars(template) == {"data_source": "anything"}


def test_get_session_is_a_contextmanager_over_a_native_generator_function():
    helper = SqlTemplate.get_session
    native = helper.__wrapped__
    assert helper.__code__ is contextlib.contextmanager(lambda: None).__code__
    assert native.__name__ == "get_session" and native.__qualname__ == "SqlTemplate.get_session"
    assert helper.__module__ == native.__module__ == "velmo.db.kestrum"
    generator = native(SqlTemplate(None), object())
    assert hasattr(generator, "send") and hasattr(generator, "throw") and hasattr(generator, "close")
    assert iter(generator) is generator
    assert "SqlTemplate.get_session" in repr(generator)
    assert str(inspect.signature(helper)) == "(self, session=None)"


@pytest.mark.parametrize(
    "function, signature, annotations",
    [
        (SqlTemplate.__init__, "(self, data_source)", {}),
        (SqlTemplate.insert, "(self, sql: 'TextClause', con=None, args=None)", {"sql": "TextClause"}),
        (SqlTemplate.insert_orm2, "(self, statement, data_list, con)", {}),
        (SqlTemplate.add, "(self, data: 'Any', con=None)", {"data": "Any"}),
        (SqlTemplate.add_all, "(self, data: 'Any', con=None)", {"data": "Any"}),
        (SqlTemplate.delete, "(self, sql: 'TextClause', con=None, args=None)", {"sql": "TextClause"}),
        (SqlTemplate.delete_orm2, "(self, statement, con=None)", {}),
        (SqlTemplate.update_orm2, "(self, statement, con=None)", {}),
        (SqlTemplate.update, "(self, sql: 'TextClause', con=None, args=None)", {"sql": "TextClause"}),
        (SqlTemplate.select_one_orm2, "(self, statement, con=None)", {}),
        (SqlTemplate.select_all_orm2, "(self, statement, con=None)", {}),
        (SqlTemplate.select_one, "(self, sql: 'TextClause', con=None, args=None)", {"sql": "TextClause"}),
        (SqlTemplate.select_list, "(self, sql: 'TextClause', con=None, args=None)", {"sql": "TextClause"}),
        (
            SqlTemplate.select_page,
            "(self, sql: 'TextClause', page: 'Page', con=None, args=None)",
            {"sql": "TextClause", "page": "Page"},
        ),
        (SqlTemplate.execute_in_connection, "(self, fun)", {}),
        (Page.__init__, "(self, page_num: 'int', page_size: 'int')", {"page_num": "int", "page_size": "int"}),
        (count_query, "(sql: 'TextClause')", {"sql": "TextClause"}),
        (limit_query, "(sql: 'TextClause', page: 'Page')", {"sql": "TextClause", "page": "Page"}),
    ],
)
def test_signatures_and_string_annotations(function, signature, annotations):
    assert str(inspect.signature(function)) == signature
    assert function.__annotations__ == annotations


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: SqlTemplate(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: SqlTemplate(None).insert_orm2("statement", []), "insert_orm2() takes exactly 4 positional arguments (3 given)"),
        (lambda: SqlTemplate(None).select_page(text("x")), "select_page() takes at least 3 positional arguments (2 given)"),
        (lambda: SqlTemplate(None).select_one(text("x"), None, None, None), "select_one() takes at most 4 positional arguments (5 given)"),
        (lambda: SqlTemplate(None).update(sql=text("x"), cursor=None), "update() got an unexpected keyword argument 'cursor'"),
        (lambda: count_query(), "count_query() takes exactly 1 positional argument (0 given)"),
        (lambda: limit_query(text("x")), "limit_query() takes exactly 2 positional arguments (1 given)"),
        # Page wants exactly int.
        (lambda: Page(True, 10), "Argument 'page_num' has incorrect type (expected int, got bool)"),
        (lambda: Page(1.0, 10), "Argument 'page_num' has incorrect type (expected int, got float)"),
        (lambda: Page(None, None), "Argument 'page_num' has incorrect type (expected int, got NoneType)"),
        (lambda: Page(1, None), "Argument 'page_size' has incorrect type (expected int, got NoneType)"),
        (lambda: Page(1, "10"), "Argument 'page_size' has incorrect type (expected int, got str)"),
        (lambda: Page(type("MyInt", (int,), {})(1), 10), "Argument 'page_num' has incorrect type (expected int, got MyInt)"),
    ],
)
def test_wrong_arguments(call, message):
    expect(Raises(TypeError, message), call)


def test_page_sets_camel_case_attributes_in_order():
    page = Page(3, 20)
    assert list(vars(page).items()) == [("pageSize", 20), ("pageNum", 3)]
    assert Page.__bases__ == (object,)
    assert [n for n in vars(Page) if not n.startswith("__") or n == "__init__"] == ["__init__"]
    assert vars(Page(page_size=-5, page_num=0)) == {"pageSize": -5, "pageNum": 0}


def test_page_info_is_a_plain_dataclass():
    assert dataclasses.is_dataclass(PageInfo)
    assert PageInfo.__bases__ == (object,)
    fields = dataclasses.fields(PageInfo)
    assert [(f.name, f.type, f.default) for f in fields] == [
        ("pageSize", "int", None), ("pageNum", "int", None), ("total", "int", None), ("list", "list", None),
    ]
    assert PageInfo.__annotations__ == {"pageSize": "int", "pageNum": "int", "total": "int", "list": "list"}
    params = PageInfo.__dataclass_params__
    assert (params.init, params.repr, params.eq, params.order, params.frozen) == (True, True, True, False, False)
    assert vars(PageInfo()) == {"pageSize": None, "pageNum": None, "total": None, "list": None}
    answer = {"pageNum": 3, "pageSize": 10, "total": 25, "list": [{"id": 21}]}
    info = PageInfo(**answer)
    assert (info.pageNum, info.pageSize, info.total, info.list) == (3, 10, 25, [{"id": 21}])
    assert info == PageInfo(10, 3, 25, [{"id": 21}])
    assert repr(PageInfo()) == "PageInfo(pageSize=None, pageNum=None, total=None, list=None)"


@pytest.mark.parametrize(
    "sql, expected",
    [
        (text("select * from t where a = :a"), "select count(*) from ( select * from t where a = :a ) temp"),
        (text("select * from t where a = :a and b = :b"),
         "select count(*) from ( select * from t where a = :a and b = :b ) temp"),
        (text(""), "select count(*) from (  ) temp"),
        (text("select 1;"), "select count(*) from ( select 1; ) temp"),
        (type("Clause", (), {"text": 42})(), "select count(*) from ( 42 ) temp"),
        ("not a clause", Raises(AttributeError)),
    ],
)
def test_count_query(sql, expected):
    if isinstance(expected, Raises):
        expect(expected, count_query, sql)
        return
    clause = count_query(sql)
    assert isinstance(clause, sqlalchemy.TextClause)
    assert clause.text == expected
    # The binds of the statement are kept.
    assert sorted(clause._bindparams) == sorted(getattr(sql, "_bindparams", {}))


@pytest.mark.parametrize(
    "page, expected",
    [
        (Page(1, 10), "select * from t limit 0,10"),
        (Page(3, 20), "select * from t limit 40,20"),
        (Page(0, 5), "select * from t limit -5,5"),
        (type("P", (), {"pageNum": 2.5, "pageSize": 4})(), "select * from t limit 6.0,4"),
        (object(), Raises(AttributeError)),
        (type("P", (), {"pageNum": "1", "pageSize": 2})(), Raises(TypeError)),
    ],
)
def test_limit_query(page, expected):
    if isinstance(expected, Raises):
        expect(expected, limit_query, text("select * from t"), page)
        return
    clause = limit_query(text("select * from t"), page)
    assert isinstance(clause, sqlalchemy.TextClause)
    assert clause.text == expected


def test_limit_query_reads_page_size_twice_and_page_num_once():
    reads = []

    class CountingPage:
        def __getattr__(self, name):
            reads.append(name)
            return {"pageNum": 2, "pageSize": 7}[name]

    assert limit_query(text("q"), CountingPage()).text == "q limit 7,7"
    assert reads == ["pageNum", "pageSize", "pageSize"]


def test_count_and_limit_use_the_module_global_text(monkeypatch):
    made = []
    monkeypatch.setattr(kestrum, "text", lambda s: made.append(s) or s)
    assert count_query(text("q")) == "select count(*) from ( q ) temp"
    assert limit_query(text("q"), Page(1, 2)) == "q limit 0,2"
    assert made == ["select count(*) from ( q ) temp", "q limit 0,2"]
    monkeypatch.delattr(kestrum, "text")
    with pytest.raises(NameError, match="^name 'text' is not defined$") as info:
        count_query(text("q"))
    assert info.value.name == "text"
