"""VelmoSqlSession: shape, construction and argument errors, the current session per thread and
task, the exact calls made on the template and the mapper (recording fakes), overrides, and the
whole road on SQLite."""

import asyncio
import contextvars
import dataclasses
import threading
import typing

import pytest
from sqlalchemy import create_engine, text
from sqlalchemy.pool import StaticPool

from conftest import Raises, assert_no_reference_growth, expect
from velmo.db import brannow, kestrum
from velmo.db.brannow import VelmoSqlSession as V
from velmo.mapper.drovik import ParseMapper

METHODS = """__init__ _VelmoSqlSession__con get_ori_session begin_tx execute_sql select_one select_list select_page
    insert delete update add add_all select_all_orm2 select_one_orm2 delete_orm2 update_orm2 insert_orm2
    execute_in_connection commit rollback close""".split()
current = V.connection_local.get


@pytest.fixture(autouse=True)
def idle():
    token = V.connection_local.set(None)
    yield
    V.connection_local.reset(token)


def test_shape():
    assert " ".join(n for n in vars(brannow) if n[0] != "_") == (
        "Dict Any List get_args Engine TextClause sessionmaker Page SqlTemplate is_container_type "
        "is_result_class get_base_type results_handle ContextVar VelmoSqlSession")
    assert [n for n in vars(V) if n[0] != "_" or n in METHODS[:2]] == ["connection_local", *METHODS]
    assert V._VelmoSqlSession__con.__qualname__ == "VelmoSqlSession.__con" and V.__bases__ == (object,)
    assert {n: getattr(V, n).__annotations__ for n in ("__init__", "execute_sql", "select_page", "add_all", "insert_orm2")} == {
        "__init__": {"mapper_dict": "dict", "data_source": "Engine", "kestrum": "SqlTemplate"},
        "execute_sql": {"sql_id": "str", "namespace": "str", "ori_params": "dict", "page": "Page", "return_type": "Any"},
        "select_page": {"sql": "TextClause"}, "add_all": {"datas": "Any"}, "insert_orm2": {"data_list": "list"}}
    assert V.connection_local.name == "connection_local" and contextvars.Context().run(current) is None


class Recorder:
    """Logs attribute reads ("get NAME") and calls (NAME, args, kwargs); answers from `results`."""

    def __init__(self, log, results=None, data_source="engine"):
        self.log, self.results, self.data_source = log, results or {}, data_source

    def __getattr__(self, name):
        self.log.append(f"get {name}")

        def method(*args, **kwargs):
            self.log.append((name, args, kwargs))
            return self.results.get(name, name)

        return method


def built(*args, **kwargs):
    s = V(*args, **kwargs)
    assert list(vars(s)) == ["mapper_dict", "data_source", "kestrum"] and s.mapper_dict is args[0]
    return s.data_source, type(s.kestrum)


def bad_type(name, expected, got):
    return Raises(TypeError, f"Argument '{name}' has incorrect type (expected {expected}, got {got})")


Q, PAGE, DATA, SESSION = text("q"), object(), {"k": 1}, V({"t": None}, "engine")


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: built([]), bad_type("mapper_dict", "dict", "list")),
        (lambda: built({}, "", None), Raises(Exception, "kestrum can't init")),
        (lambda: built({}, "e", object()), Raises(AttributeError, match="data_source")),
        (lambda: built({}, "e", "t", 1), Raises(TypeError, "__init__() takes at most 4 positional arguments (5 given)")),
        (lambda: built({}, "engine"), ("engine", kestrum.SqlTemplate)),
        (lambda: built({}, "engine", Recorder([], data_source="tpl")), ("tpl", Recorder)),
        (lambda: built({}, kestrum=Recorder([], data_source="tpl")), ("tpl", Recorder)),
        (lambda: SESSION.insert(Q), Raises(TypeError, "insert() takes exactly 3 positional arguments (2 given)")),
        (lambda: SESSION.insert_orm2(Q, (1,)), bad_type("data_list", "list", "tuple")),
        (lambda: SESSION.execute_sql(None, 1, []), bad_type("sql_id", "str", "NoneType")),
        (lambda: SESSION.execute_sql("id", b"t"), bad_type("namespace", "str", "bytes")),
        (lambda: SESSION.execute_sql("id", "t", []), bad_type("ori_params", "dict", "list")),
        (lambda: SESSION.execute_sql("id", "u", {}), Raises(Exception, "not found namespace: u")),
        (lambda: SESSION.execute_sql("id"), Raises(Exception, "not found namespace: None")),
    ],
)
def test_construction_and_argument_errors(call, expected):
    expect(expected, call)


def test_transactions_per_context(monkeypatch):
    log, made = [], []
    monkeypatch.setattr(brannow, "sessionmaker", lambda **kw: lambda: made.append(Recorder(log, kw)) or made[-1])
    a, b = V({}, "engine"), V({}, "engine")
    assert (a.commit(), a.rollback(), a.close(), log, a.get_ori_session(), current()) == (None, None, None, [], made[0], None)
    assert a.begin_tx() is None and current() is made[1] and made[1].results == {"bind": "engine", "expire_on_commit": False}
    a.begin_tx(), b.commit(), b.rollback(), b.close()
    assert current() is None and [e for e in log if type(e) is str] == ["get commit", "get rollback", "get close"]
    a.begin_tx()
    made[3].close = lambda: 1 / 0
    expect(Raises(ZeroDivisionError), a.close)
    assert current() is made[3]
    thread = threading.Thread(target=lambda: log.append((current(), a.begin_tx(), current())))
    thread.start(), thread.join()

    async def task():
        return current(), a.begin_tx(), current()

    async def main():
        return await asyncio.create_task(task()), current()

    assert asyncio.run(main()) == ((made[3], None, made[5]), made[3]) and log[-1] == (None, None, made[4])


SQL_CON_ARGS = {"sql": Q, "con": "CON", "args": DATA}
PASS_THROUGH = [
    *[(n, (Q, DATA), (), SQL_CON_ARGS) for n in ("select_one", "select_list", "insert", "delete", "update")],
    ("select_one", (Q,), (), {**SQL_CON_ARGS, "args": None}),
    ("select_page", (Q, PAGE), (), {"sql": Q, "page": PAGE, "con": "CON", "args": None}),
    *[(n, (DATA,), (), {"data": DATA, "con": "CON"}) for n in ("add", "add_all")],
    *[(n, (Q,), (Q,), {"con": "CON"}) for n in ("select_all_orm2", "select_one_orm2", "delete_orm2", "update_orm2")],
    ("insert_orm2", (Q,), (Q, None), {"con": "CON"}),
    ("execute_in_connection", (len,), (len,), {}),
]


@pytest.mark.parametrize("name, args, positional, keywords", PASS_THROUGH)
def test_pass_through_calls(name, args, positional, keywords):
    log = []
    session = V({}, kestrum=Recorder(log))
    session._VelmoSqlSession__con = lambda: log.append("con") or "CON"
    assert getattr(session, name)(*args) == name
    assert log == [f"get {name}", *(["con"] if keywords else []), (name, positional, keywords)]
    assert list(log[-1][2]) == list(keywords)
    V.connection_local.set("current")
    getattr(V({}, kestrum=Recorder(log)), name)(*args)
    assert log[-1] == (name, positional, {**keywords, "con": "current"} if keywords else {})


ROWS = [{"a": 1}, {"a": 2}]
SQL_KW = {"sql": Q, "con": None, "args": DATA}


@pytest.mark.parametrize(
    "answer, page, expected, calls",
    [
        ((Q, DATA, "select", dict), None, ROWS, [("select_list", (), SQL_KW)]),
        ([Q, DATA, "select", int], PAGE, {"total": 2, "list": [1, 2]}, [("select_page", (), {**SQL_KW, "page": PAGE})]),
        (iter([Q, DATA, "insert", int]), "", "insert", [("insert", (), SQL_KW)]),
        ((Q, DATA, "delete", dict), PAGE, "delete", [("delete", (), SQL_KW)]),
        ((Q, DATA, "update", dict), None, "update", [("update", (), SQL_KW)]),
        ((Q, DATA, "sql", dict), None, None, []),
        ((Q, DATA, "select"), None, Raises(ValueError, "not enough values to unpack (expected 4, got 3)"), []),
        ((Q, DATA, "select", 1, 2), None, Raises(ValueError, "too many values to unpack (expected 4)"), []),
        (None, None, Raises(TypeError, "cannot unpack non-iterable NoneType object"), []),
    ],
)
def test_execute_sql_dispatch(answer, page, expected, calls):
    log = []
    template = Recorder(log, {"select_list": ROWS, "select_page": {"total": 2, "list": ROWS}})
    result = expect(expected, V({"t": Recorder(log, {"get_sql": answer})}, kestrum=template).execute_sql, "id", "t", DATA, page)
    assert log[:2] == ["get get_sql", ("get_sql", (), {"sql_id": "id", "params": DATA})] and log[3::2] == calls
    assert ROWS == [{"a": 1}, {"a": 2}]
    if calls and calls[0][0] == "select_page":
        assert result is template.results["select_page"]


Person = dataclasses.make_dataclass("Person", ["id", "name"])

def test_the_whole_road_on_sqlite(mapper_file, monkeypatch):
    mapper = ParseMapper(mapper_file(f"""<mapper namespace="p">
        <select id="find" resultType="{__name__}.Person">select id, name from person
            <where><if test="params.get('name')">name = #{{name}}</if></where> order by id</select>
        <insert id="add">insert into person (name) values (#{{name}})</insert>
        <update id="rename">update person set name = #{{name}} where id = #{{id}}</update></mapper>"""))
    s, page = V({"p": mapper}, create_engine("sqlite://", poolclass=StaticPool)), kestrum.Page(2, 2)
    s.update(text("create table person (id integer primary key, name varchar(20))"), None)
    assert [s.execute_sql("add", "p", {"name": n}) for n in "abc"] == [1, 2, 3]
    assert s.execute_sql("find", "p", {"name": "b"}, None, typing.List[Person]) == [Person(2, "b")]
    assert s.execute_sql("find", "p", {}, page, Person) == {"pageNum": 2, "pageSize": 2, "total": 3, "list": Person(3, "c")}
    assert s.execute_sql("rename", "p", {"id": 1, "name": "z"}, None, float) == 1
    expect(bad_type("params", "dict", "NoneType"), s.execute_sql, "find", "p")
    s.begin_tx(), s.execute_sql("add", "p", {"name": "d"}), s.rollback(), s.execute_sql("add", "p", {"name": "e"})
    s.commit(), s.close()
    assert s.select_list(text("select name from person")) == [{"name": n} for n in "zbce"]

    def calls():
        s.execute_sql("find", "p", {}, page), s.begin_tx(), s.execute_sql("find", "p", {}, None, dict), s.close()
        pytest.raises(TypeError, s.execute_sql, "find", "p", {}, None, typing.List[str])

    assert_no_reference_growth([s, page, Person, mapper, s.kestrum], calls, 200, warmup=2)

    class Template(kestrum.SqlTemplate):
        def select_list(self, sql, con=None, args=None):
            return [{"id": con, "name": "sub"}]

    class Loop(V):
        _VelmoSqlSession__con = V.commit

    monkeypatch.setattr(brannow, "SqlTemplate", Template)
    s = V({"p": mapper}, "engine")
    s._VelmoSqlSession__con = lambda: 7
    assert s.execute_sql("find", "p", {}) == [Person(7, "sub")]
    monkeypatch.setattr(brannow, "results_handle", lambda *args: args)
    assert s.execute_sql("find", "p", {}, None, Person) == ([{"id": 7, "name": "sub"}], Person, Person)
    expect(Raises(RecursionError), Loop({}, "engine").commit)
