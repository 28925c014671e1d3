"""velmo.db.brannow: shape, construction, the current session per thread and task, the calls made on
the template and the mapper (recording fakes), overrides, the road on SQLite; results_handle against
the same rules in Python run on brannow's globals, so that rebinding a name there changes both."""

import asyncio
import collections
import contextvars
import dataclasses
import gc
import itertools
import sys
import threading
import types
from typing import Any, Dict, List, Optional

import pydantic
import pytest
from sqlalchemy import create_engine, text
from sqlalchemy.pool import StaticPool

import velmo
from conftest import Raises, assert_no_reference_growth, expect
from velmo.db import brannow, kestrum
from velmo.db.brannow import VelmoSqlSession as V, results_handle
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
        (lambda: type("Loop", (V,), {"_VelmoSqlSession__con": V.commit})({}, "e").commit(), Raises(RecursionError)),
        (lambda: built({}, "engine"), ("engine", kestrum.SqlTemplate)),
        (lambda: built({}, "engine", Recorder([], data_source="tpl")), ("tpl", Recorder)),
        (lambda: built({}, kestrum=Recorder([], data_source="tpl")), ("tpl", Recorder)),
        (lambda: SESSION.insert(Q), Raises(TypeError, "insert() takes exactly 3 positional arguments (2 given)")),
        (lambda: SESSION.insert_orm2(Q, (1,)), bad_type("data_list", "list", "tuple")),
        (lambda: SESSION.execute_sql(1, 1, []), bad_type("sql_id", "str", "int")),
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
    made[3].close, made[3].invalidate = (lambda: 1 / 0), (lambda: log.append("invalidate") or [][0])  # the close error wins
    expect(Raises(ZeroDivisionError), a.close)
    assert current() is None and log[-1] == "invalidate"
    a.begin_tx()
    thread = threading.Thread(target=lambda: log.append((current(), a.begin_tx(), current())))
    thread.start(), thread.join()

    async def task():
        return current(), a.begin_tx(), current()

    assert asyncio.run(task()) == (made[4], None, made[6]) and current() is made[4] and log[-1] == (None, None, made[5])
    made[4].close, made[4].invalidate = (lambda: 1 / 0), sys.exit  # not an Exception: it wins
    assert isinstance(expect(Raises(SystemExit), a.close).__context__, ZeroDivisionError) and current() is None


def test_a_close_that_fails_before_the_session_lets_go_of_its_transaction_gives_the_connection_back(tmp_path):
    s, error = V({}, engine := create_engine(f"sqlite:///{tmp_path / 'c.db'}")), ZeroDivisionError()
    s.update(text("create table t (x integer)"), None), s.begin_tx(), s.insert(text("insert into t values (1)"), None)
    session = current()  # raises as a listener of the session's events may, once
    session.expunge_all = lambda: delattr(session, "expunge_all") or (_ for _ in ()).throw(error)
    assert expect(Raises(ZeroDivisionError), s.close) is error and error.__context__ is None and current() is None
    assert engine.pool.checkedout() == 0 and s.insert(text("insert into t values (2)"), None) == 1  # 1 was not written
    assert s.select_list(text("select x from t")) == [{"x": 2}]


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
    own = type("Own", (V,), {"_VelmoSqlSession__con": lambda self: log.append("con") or "CON"})
    session = own({}, kestrum=Recorder(log))
    assert getattr(session, name)(*args) == name
    assert log == [f"get {name}", *(["con"] if keywords else []), (name, positional, keywords)]
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
        ((Q, DATA, "sql", dict), None, None, []),
        ((Q, DATA, "select"), None, Raises(ValueError, "not enough values to unpack (expected 4, got 3)"), []),
        ((Q, DATA, "select", 1, 2), None, Raises(ValueError, "too many values to unpack (expected 4)"), []),
        (None, None, Raises(TypeError, "cannot unpack non-iterable NoneType object"), []),
    ],
)
def test_execute_sql_dispatch(answer, page, expected, calls):
    template = Recorder(log := [], {"select_list": ROWS, "select_page": {"total": 2, "list": ROWS}})
    result = expect(expected, V({"t": Recorder(log, {"get_sql": answer})}, kestrum=template).execute_sql, "id", "t", DATA, page)
    assert log[:2] == ["get get_sql", ("get_sql", (), {"sql_id": "id", "params": DATA})] and log[3::2] == calls
    assert result is template.results["select_page"] or calls[:1] != [("select_page", (), {**SQL_KW, "page": PAGE})]


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
    assert s.execute_sql("find", "p", {"name": "b"}, None, List[Person]) == [Person(2, "b")]
    assert s.execute_sql("find", "p", {}, page, Person) == {"pageNum": 2, "pageSize": 2, "total": 3, "list": Person(3, "c")}
    assert s.execute_sql("rename", "p", {"id": 1, "name": "z"}, None, float) == 1
    expect(bad_type("params", "dict", "NoneType"), s.execute_sql, "find", "p")
    s.begin_tx(), s.execute_sql("add", "p", {"name": "d"}), s.rollback(), s.execute_sql("add", "p", {"name": "e"})
    s.commit(), s.close()
    assert s.select_list(text("select name from person")) == [{"name": n} for n in "zbce"]

    def calls():
        s.execute_sql("find", "p", {}, page), s.begin_tx(), s.execute_sql("find", "p", {}, None, dict), s.close()
        pytest.raises(TypeError, s.execute_sql, "find", "p", {}, None, List[str])

    assert_no_reference_growth([s, page, Person, mapper, s.kestrum], calls, 200, warmup=2)

    class Template(kestrum.SqlTemplate):
        def select_list(self, sql, con=None, args=None):
            return [{"id": con, "name": "sub"}]

    monkeypatch.setattr(brannow, "SqlTemplate", Template)
    s = V({"p": mapper}, "engine")
    s._VelmoSqlSession__con = lambda: 7
    assert s.execute_sql("find", "p", {}) == [Person(7, "sub")]
    monkeypatch.setattr(brannow, "results_handle", lambda *args: args)
    assert s.execute_sql("find", "p", {}, None, Person) == ([{"id": 7, "name": "sub"}], Person, Person)


def test_a_thread_that_ends_in_its_transaction_leaves_the_connection_to_the_collector(tmp_path):
    """The thread's context dies with the thread; SQLAlchemy checks a collected session's connection
    back in. With one connection, each thread's statement waits for the one before to be collected."""
    s = V({}, engine := create_engine(f"sqlite:///{tmp_path / 't.db'}", pool_size=1, max_overflow=0, pool_timeout=5))
    answers = []
    for _ in range(3):
        thread = threading.Thread(target=lambda: (s.begin_tx(), answers.append(s.select_one(text("select 1 as x")))))
        thread.start(), thread.join(), gc.collect()
    assert answers == [{"x": 1}] * 3 and engine.pool.checkedout() == 0


NESTED = ("velmo.transaction(): a transaction is already current in this thread or task for VelmoSqlSession (begun by "
          "begin_tx() or an enclosing velmo.transaction()); transactions do not nest: run these statements in the "
          "current one, or end it with commit() or rollback() and close() first")


@pytest.mark.parametrize("raised, failing, calls, expected", [
    (None, None, ["commit", "close"], "tx"),
    (ValueError, None, ["rollback", "close"], Raises(ValueError)),
    (None, "commit", ["commit", "close"], Raises(ZeroDivisionError)),
    (ValueError, "rollback", ["rollback", "close"], Raises(ZeroDivisionError)),  # the body's error as its context
    (None, "close", ["commit", "close", "invalidate"], Raises(ZeroDivisionError)),
    ("nested", None, ["rollback", "close"], Raises(RuntimeError, NESTED)),
])
def test_transaction_commits_or_rolls_back_and_always_closes(monkeypatch, raised, failing, calls, expected):
    log, error = [], raised() if isinstance(raised, type) else None
    monkeypatch.setattr(brannow, "sessionmaker", lambda **kw: lambda: Recorder(log))
    s = V({}, "engine")

    def block():
        with velmo.transaction(s) as tx:
            if failing:
                setattr(current(), failing, lambda: log.append((failing,)) or 1 / 0)
            if raised == "nested":
                velmo.transaction(s).__enter__()
            if error is not None:
                raise error
            return "tx" if tx is s else tx

    outcome = expect(expected, block)
    assert [entry[0] for entry in log if type(entry) is tuple] == calls and current() is None
    assert error is None or outcome is error or outcome.__context__ is error
    log.clear(), expect(Raises(TypeError, match="'async with' needs an AsyncVelmoSqlSession, got VelmoSqlSession; use 'with'"),
                        asyncio.run, velmo.transaction(s).__aenter__())
    assert log == [] and current() is None  # nothing began


R = dataclasses.make_dataclass("R", ["a", ("b", int, 0)])
S = type("S", (R,), {})
P = pydantic.create_model("P", a=(int, ...), b=(int, 0))
TWO = [{"a": 1, "b": 2}, {"a": 3, "b": 4}]
CHECK = "please check {}: {}, resultType: {}".format


@pytest.mark.parametrize(
    "rows, result_type, return_type, expected",
    [
        (TWO, S, List[R], Raises(TypeError, CHECK("return_result_type", f"<class '{__name__}.R'>", f"<class '{__name__}.S'>"))),
        (TWO, dict, List[Dict[str, int]], Raises(TypeError, CHECK("return_result_type", "typing.Dict[str, int]", "<class 'dict'>"))),
        (TWO, str, int, Raises(TypeError, CHECK("return_type", "<class 'int'>", "<class 'str'>"))),
        (TWO, set, Dict[str, int], Raises(TypeError, CHECK("return_type", "<class 'dict'>", "<class 'set'>"))),
        (TWO, list, None, Raises(TypeError, "please check result type")),
        (TWO, None, dict, Raises(TypeError, "issubclass() arg 1 must be a class")),
        ([None], R, R, Raises(TypeError, f"{__name__}.R() argument after ** must be a mapping, not NoneType")),
        (5, int, int, Raises(TypeError, "object of type 'int' has no len()")),
    ],
)
def test_messages_and_shapes(rows, result_type, return_type, expected):
    expect(expected, results_handle, rows, result_type, return_type)


def reference(results, result_type, f_return_type):
    if len(results) == 0:
        return results
    if f_return_type is None:
        f_return_type = list
    return_type = get_base_type(f_return_type)
    if return_type == dict or return_type == Dict:
        if (not is_container_type(result_type) and not is_result_class(result_type)) or (
            is_container_type(result_type) and result_type != dict and result_type != Dict
        ):
            raise TypeError(f"please check return_type: {return_type}, resultType: {result_type}")
    elif return_type == list or return_type == List:
        if result_type:
            args = get_args(f_return_type)
            if args and result_type is not args[0]:
                raise TypeError(f"please check return_result_type: {args[0]}, resultType: {result_type}")
    elif not is_container_type(return_type) and result_type is not return_type:
        raise TypeError(f"please check return_type: {return_type}, resultType: {result_type}")
    if result_type is list or result_type is List:
        raise TypeError("please check result type")
    if return_type == list or return_type == List:
        if result_type is dict:
            return results
        if is_result_class(result_type):
            return [result_type(**row) for row in results]
        return [next(iter(row.values())) for row in results]
    if result_type is dict:
        return results[0]
    if is_result_class(return_type):
        return result_type(**results[0])
    return next(iter(results[0].values()))


def outcome(function, rows, *types):
    try:
        result = function(rows, *types)
    except Exception as e:
        return type(e), str(e)
    return result, result is rows, [result is row for row in rows]


REBOUND = {
    "next": lambda it: "next", "iter": lambda values: iter(list(values)[::-1]), "len": lambda results: 0,
    "dict": collections.OrderedDict, "list": tuple, "Dict": dict, "List": list, "get_args": lambda t: (int,),
    "get_base_type": lambda t: dict, "is_result_class": lambda t: False, "is_container_type": lambda t: True,
}


@pytest.mark.parametrize("name", [None, *REBOUND])
def test_against_python_with_rebound_globals(monkeypatch, name):
    if name:
        monkeypatch.setattr(brannow, name, REBOUND[name], raising=False)
    python = types.FunctionType(reference.__code__, vars(brannow))
    rowsets = [[{"a": 1, "b": 2}, {"a": 3}], ({"a": 7}, {}), [{}], [collections.OrderedDict(a=5)], [None], [], ""]
    result_types = [R, S, P, dict, Dict, int, str, list, List, tuple, None]
    return_types = [None, list, List, List[R], List[int], dict, Dict, Dict[str, Any], R, P, int, tuple, Optional[int]]
    for case in itertools.product(rowsets, result_types, return_types):
        assert outcome(results_handle, *case) == outcome(python, *case), case
