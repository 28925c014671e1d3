"""What an application sees around a statement by id: one note naming the statement on whatever
fails, English notes on the type errors of loading, asyncio objects refused by the synchronous
API, statements logged on velmo.sql, and the page query written for the session's database."""

import asyncio
import logging
import types

import pytest
import sqlalchemy.exc
from sqlalchemy import create_engine, text
from sqlalchemy.ext.asyncio import create_async_engine
from sqlalchemy.orm import Session

from conftest import Raises, expect
from velmo.db import kestrum
from velmo.db.aio import AsyncVelmoSqlSession
from velmo.db.brannow import VelmoSqlSession
from velmo.db.kestrum import Page, SqlTemplate, count_query, limit_query
from velmo.mapper.drovik import ParseMapper
from velmo.utils.wollix import get_type_from_string

STATEMENTS = """
<select id="cond">SELECT 1 <if test="params['age'] > 1">x</if></select>
<select id="when">SELECT <choose><when test="params.nope">x</when><otherwise>1</otherwise></choose></select>
<sql id="frag"><if test="undefined">x</if></sql>
<select id="incl">SELECT 1 <include refid="frag"/></select>
<select id="each">SELECT 1 WHERE 1 IN <foreach item="i" collection="ids" open="(" close=")" separator=",">#{i}</foreach></select>
<select id="bind">SELECT #{ids_for_index_3}</select>
<select id="run">SELECT x FROM nosuch</select>
<select id="one" resultType="int">SELECT 1 WHERE 1 = #{a}</select>
<select id="boom">SELECT 1 <if test="params['boom']()">x</if></select>
"""
IF = """in <if test="params['age'] > 1">"""


class Overriding(ParseMapper):
    def parse_element(self, element, param):
        return super().parse_element(element, param)


class Fake:
    def get_sql(self, sql_id, params):
        raise KeyError(sql_id)


def run(sql_id, params=None, return_type=None, ns="t"):
    return lambda s, m, path: s.execute_sql(sql_id, ns, params, None, return_type)


@pytest.mark.parametrize(("call", "error", "note"), [
    (run("cond", {}), KeyError, IF + " of t.cond (mapper {})"),
    (run("when", {}), AttributeError, 'in <when test="params.nope"> of t.when (mapper {})'),
    (run("incl", {}), NameError, 'in <if test="undefined"> of t.incl (mapper {})'),
    (run("each", {"ids": (1,)}), Exception, "in t.each (mapper {})"),
    (run("bind", {"ids": [1]}), IndexError, "in t.bind (mapper {})"),
    (run("run", {}), sqlalchemy.exc.OperationalError, "in t.run (mapper {})"),
    (run("one", {"a": 1}, str), TypeError, "in t.one (mapper {})"),
    (run("nope", {}), Exception, "in t.nope (mapper {})"),
    (run("eahc", {}), Exception, "no statement 'eahc' in t (mapper {}): did you mean 'each'?"),
    (lambda s, m, path: m.update("con", {}), Exception, "no statement 'con' in t (mapper {}): did you mean 'cond'?"),
    (run("cond", ns="tt"), Exception, "namespace 'tt' is not among the mappers (t, fake): did you mean 't'?"),
    (run("cond", ns="users"), Exception, "namespace 'users' is not among the mappers (t, fake)"),
    (run("cond"), TypeError, "in t.cond (mapper {})"),
    (run("find", {}, ns="fake"), KeyError, "in fake.find (mapper of type Fake)"),
    (lambda s, m, path: m.select("cond", {}), KeyError, IF + " of t.cond (mapper {})"),
    (lambda s, m, path: m.get_sql("cond", {}), KeyError, IF + " of t.cond (mapper {})"),
    (lambda s, m, path: m.parse_element(m.id_2_element_map["cond"][0], {"params": {}}), KeyError, IF + " (mapper {})"),
    (lambda s, m, path: Overriding(path).get_sql("cond", {}), KeyError, IF + " of t.cond (mapper {})"),
])
def test_one_note_names_the_statement(mapper_file, call, error, note):
    mapper = ParseMapper(path := mapper_file(f'<mapper namespace="t">{STATEMENTS}</mapper>'))
    session = VelmoSqlSession({"t": mapper, "fake": Fake()}, create_engine("sqlite://"))
    raised = expect(Raises(error), call, session, mapper, path)
    assert raised.__notes__ == [note.format(path)]


def test_the_exception_is_the_one_raised_with_its_traceback(load):
    mine = LookupError("mine")

    def boom():
        raise mine

    with pytest.raises(LookupError) as info:
        VelmoSqlSession({"t": load(STATEMENTS)}, create_engine("sqlite://")).execute_sql("boom", "t", {"boom": boom})
    assert info.value is mine and str(mine) == "mine" and len(mine.__notes__) == 1
    assert info.traceback[-1].name == "boom"


@pytest.mark.parametrize(("namespace", "result_type", "message", "note"), [
    ('namespace="t"', "nosuch.User", "无法导入类型 nosuch.User: No module named 'nosuch'",
     "cannot import result type 'nosuch.User' of t.s: No module named 'nosuch'"),
    ('namespace="t"', "Usr", "未知的类型: Usr", "unknown result type 'Usr' of t.s"),
    ("", "Usr", "未知的类型: Usr", "unknown result type 'Usr' of s"),
])
def test_type_errors_of_loading_say_what_failed(load, namespace, result_type, message, note):
    raised = expect(Raises(ValueError, message), load, f'<select id="s" resultType="{result_type}"/>', namespace)
    assert raised.__notes__ == [note]


@pytest.mark.parametrize(("text", "message", "note"), [
    ("nosuch.User", "无法导入类型 nosuch.User: No module named 'nosuch'", "cannot import result type 'nosuch.User': No module named 'nosuch'"),
    ("logging.Usr", "无法导入类型 logging.Usr: module 'logging' has no attribute 'Usr'",
     "cannot import result type 'logging.Usr': module 'logging' has no attribute 'Usr'"),
    ("Usr", "未知的类型: Usr", "unknown result type 'Usr': neither a builtin name nor module.Class"),
])
def test_type_errors_of_wollix_say_what_failed_in_english(text, message, note):
    assert expect(Raises(ValueError, message), get_type_from_string, text).__notes__ == [note]


USE = ": use velmo.db.aio.AsyncVelmoSqlSession for asyncio"


@pytest.mark.parametrize(("call", "message"), [
    (lambda e, s: VelmoSqlSession({}, e), "VelmoSqlSession needs a synchronous Engine, not an AsyncEngine"),
    (lambda e, s: SqlTemplate(e), "SqlTemplate needs a synchronous Engine, not an AsyncEngine"),
    (lambda e, s: SqlTemplate(e.connect()), "SqlTemplate needs a synchronous Engine, not an AsyncConnection"),
    (lambda e, s: SqlTemplate(None).select_list(text("q"), con=s), "SqlTemplate needs a synchronous Session, not an AsyncSession"),
    (lambda e, s: SqlTemplate(None).get_session(s).__enter__(), "SqlTemplate needs a synchronous Session, not an AsyncSession"),
])
def test_asyncio_objects_are_refused_at_once(call, message):
    pytest.importorskip("greenlet")
    from sqlalchemy.ext.asyncio import AsyncSession, create_async_engine

    engine = create_async_engine("postgresql+psycopg://")
    expect(Raises(TypeError, message + USE), call, engine, AsyncSession(engine))


CALLS = [("one", "t", {"a": 1}), ("cond", "t", {"age": 0})]


def sync_calls(mappers):
    session = VelmoSqlSession(mappers, create_engine("sqlite://"))
    for call in CALLS:
        session.execute_sql(*call)  # the records point here, three lines below the def


async def async_calls(mappers):
    session = AsyncVelmoSqlSession(mappers, engine := create_async_engine("sqlite+aiosqlite://"))
    for call in CALLS:
        await session.execute_sql(*call)  # here too, while the statement runs in SQLAlchemy's greenlet
    await engine.dispose()


@pytest.mark.parametrize("calls, run", [(sync_calls, None), (async_calls, asyncio.run)], ids=["sync", "asyncio"])
@pytest.mark.parametrize(("level", "expected"), [
    (logging.INFO, []),
    (logging.DEBUG, [(10, "t.one: SELECT 1 WHERE 1 = :a [binds: a]"), (10, "t.cond: SELECT 1 [no binds]")]),
    (5, [(10, "t.one: SELECT 1 WHERE 1 = :a [binds: a]"), (5, "t.one bind values: {'a': 1}"),
         (10, "t.cond: SELECT 1 [no binds]")]),
])
def test_statements_are_logged_on_velmo_sql(load, caplog, level, expected, calls, run):
    caplog.set_level(level, logger="velmo.sql")
    (run or (lambda done: done))(calls({"t": load(STATEMENTS)}))
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == expected
    where = {("velmo.sql", "test_statement_road.py", calls.__code__.co_firstlineno + 3, calls.__name__)}
    assert {(r.name, r.filename, r.lineno, r.funcName) for r in caplog.records} <= where


def test_a_marker_without_parameter_is_logged_once_per_mapper(mapper_file, caplog):
    path = mapper_file('<mapper namespace="t">\n<sql id="f">, b = #{frag}</sql>\n<update id="u">UPDATE t SET\n  a = #{nmae}'
                       '<include refid="f"/> WHERE id = #{id} AND k IN\n <foreach item="i" collection="ks" open="("'
                       ' close=")" separator=",">#{i}</foreach></update>\n</mapper>')
    session = VelmoSqlSession({"t": ParseMapper(path)}, create_engine("sqlite://"))
    session.execute_in_connection(lambda con: con.execute(text("CREATE TABLE t (id, a, b, k)")))
    caplog.set_level(logging.ERROR, logger="velmo.sql")
    session.execute_sql("u", "t", {"id": 1, "ks": [1]})  # not reported while nobody listens
    caplog.set_level(logging.WARNING, logger="velmo.sql")
    for params in [{"id": 1, "ks": [1]}, {"ks": [1], "id": None}, {"id": 1, "nmae": None, "frag": 1, "ks": [2]}]:
        session.execute_sql("u", "t", params)
    ParseMapper(path).update("u", {"ks": [], "id": 1, "nmae": 1})
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
        (logging.WARNING, f"t.u: marker #{{{name}}} ({path} line {line}) got no parameter; it binds NULL")
        for name, line in [("nmae", 4), ("frag", 2), ("frag", 2)]]
    assert {r.filename for r in caplog.records} == {"test_statement_road.py"}


class PageRecorder(Session):
    def execute(self, statement, params=None):
        self.seen.append(statement.text)
        return types.SimpleNamespace(scalar=lambda: 0, all=lambda: [])


@pytest.mark.parametrize(("url", "rebound", "expected"), [
    ("sqlite://", False, "q limit 20,10"),
    ("mysql+pymysql://", False, "q limit 20,10"),
    ("mariadb+pymysql://", False, "q limit 20,10"),
    (None, False, "q limit 20,10"),
    ("postgresql+psycopg://", False, "q LIMIT 10 OFFSET 20"),
    ("postgresql+psycopg://", True, "mine"),
])
def test_the_page_query_is_written_for_the_database(monkeypatch, url, rebound, expected):
    if rebound:
        monkeypatch.setattr(kestrum, "limit_query", lambda sql, page: text("mine"))
    session = PageRecorder(bind=url and create_engine(url))
    session.seen = []
    SqlTemplate(None).select_page(text("q"), Page(3, 10), con=session)
    assert session.seen == ["select count(*) from ( q ) temp", expected]


@pytest.mark.parametrize(("sql", "tail"), [
    ("select * from t -- all", "\n"),
    ("select * from t # all", "\n"),
    ("select * from t --all", "\n"),
    ("select 1 # a 'b' -- c", "\n"),
    ("select '--' from t", ""),
    ("select * /* -- */ from t", ""),
    ("select * from t -- all\n", ""),
    ("select 'a # b' from t", ""),
    ("select 5 - 3", ""),
])
def test_paging_never_appends_inside_a_trailing_line_comment(sql, tail):
    assert count_query(text(sql)).text == f"select count(*) from ( {sql}{tail} ) temp"
    assert limit_query(text(sql), Page(1, 10)).text == f"{sql}{tail} limit 0,10"
    session = PageRecorder(bind=create_engine("postgresql+psycopg://"))
    session.seen = []
    SqlTemplate(None).select_page(text(sql), Page(3, 10), con=session)
    assert session.seen[1] == f"{sql}{tail} LIMIT 10 OFFSET 20"
