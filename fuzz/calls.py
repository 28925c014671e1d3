"""The call table: every public function and method of velmo's modules, with valid calls and the
documented error paths, and the exception types each entry point may raise.

One table serves the leak checks (tests/test_leaks.py runs every case many times and measures
memory) and the fuzzers (fuzz/test_properties.py and fuzz/atheris_fuzz.py accept from an entry
point only the exception types listed here). `Env` holds what the calls work on: a mapper file
that uses every dynamic element, a file SQLite database with one table, a template, a session
and a result class of each kind.
"""

import asyncio
import dataclasses
import io
import os
import re
import time
import typing
import xml.etree.ElementTree as ET
from contextlib import redirect_stderr, redirect_stdout
from typing import Any, Dict, List

import pydantic
import regex
import sqlalchemy.exc
from sqlalchemy import Column, Integer, String, create_engine, event, insert, select, text, update
from sqlalchemy.orm import DeclarativeBase

from sqlalchemy.ext.asyncio import create_async_engine

from velmo.db import aio, brannow, kestrum
from velmo.mapper import checker, drovik
from velmo.utils import fendrel, harlune, plovet, wollix, zimbard

ParseMapper = drovik.ParseMapper
SqlTemplate = kestrum.SqlTemplate
VelmoSqlSession = brannow.VelmoSqlSession
get_regex_value = vars(fendrel)["__get_regex_value"]

# The mapper of the table: every dynamic element, markers, quotes and comments.
MAPPER_XML = """<mapper namespace="m">
  <sql id="cols">id, name, age</sql>
  <sql id="loop"><include refid="loop"/></sql>
  <select id="find" resultType="dict">
    SELECT <include refid="cols"/> FROM people -- trailing comment
    <where>
      <if test="params.get('name')">AND name = #{name}</if>
      <if test="params.get('ids')">AND id IN
        <foreach item="i" collection="ids" open="(" separator="," close=")">#{i}</foreach></if>
      <choose>
        <when test="params.get('old')">AND age &gt; 40</when>
        <otherwise>AND /* any */ age &gt;= 0</otherwise>
      </choose>
    </where>
    ORDER BY id
  </select>
  <select id="ages" resultType="int">SELECT age FROM people WHERE name = 'a  b' OR id &lt;= 3 ORDER BY id</select>
  <insert id="add">INSERT INTO people (name, age) VALUES (#{name}, #{age})</insert>
  <insert id="dup">INSERT INTO people (id, name, age) VALUES (1, 'dup', 0)</insert>
  <update id="touch">
    UPDATE people <set><if test="'age' in params">, age = #{age}</if></set> WHERE id = #{id}
  </update>
  <update id="trimmed">
    UPDATE people SET age = age
    <trim prefix="WHERE" prefixOverrides="AND |OR " suffixOverrides=",">AND id = #{id},</trim>
  </update>
  <delete id="drop">DELETE FROM people WHERE id = #{id}</delete>
  <select id="broken_if"><if>x</if></select>
  <select id="no_otherwise"><choose><when test="False">x</when></choose></select>
  <select id="tuple_loop"><foreach item="i" collection="ids" open="(" separator="," close=")">#{i}</foreach></select>
  <select id="missing_ref"><include refid="nowhere"/></select>
  <select id="cycle"><include refid="loop"/></select>
  <select id="bad_tag"><bind name="x"/></select>
  <select id="bad_test"><if test="undefined_name">x</if></select>
  <select id="bad_index">SELECT #{ids_for_index_x}</select>
  <select id="bad_sql">SELEC nothing FROM nowhere</select>
  <select id="short">SELECT #{ids_for_index_5}</select>
</mapper>
"""

CHECKED_XML = """<mapper namespace="c">
  <select id="a" resultType="int">SELECT #{x}</select>
  <select id="b"><include refid="missing"/></select>
</mapper>
"""


class Base(DeclarativeBase):
    pass


class Person(Base):
    __tablename__ = "people"
    id = Column(Integer, primary_key=True, autoincrement=True)
    name = Column(String(50))
    age = Column(Integer)


@dataclasses.dataclass
class PersonRow:
    id: int
    name: str
    age: int


class PersonModel(pydantic.BaseModel):
    id: int
    name: str
    age: int


class Env:
    """What the calls work on, in `folder`: the mapper, a file SQLite database of three people,
    a template and a session on it."""

    def __init__(self, folder):
        self.folder = str(folder)
        self.mapper_path = os.path.join(self.folder, "mapper.xml")
        with open(self.mapper_path, "w", encoding="utf-8") as f:
            f.write(MAPPER_XML)
        self.checked_path = os.path.join(self.folder, "checked.xml")
        with open(self.checked_path, "w", encoding="utf-8") as f:
            f.write(CHECKED_XML)
        self.mapper = ParseMapper(self.mapper_path)
        self.engine = create_engine(f"sqlite:///{os.path.join(self.folder, 'calls.db')}")
        # Thousands of small commits: durability is not what is measured.
        event.listen(self.engine, "connect", lambda con, _: con.execute("pragma synchronous=off"))
        Base.metadata.create_all(self.engine)
        with self.engine.begin() as connection:
            connection.execute(insert(Person.__table__), [{"name": n, "age": a} for n, a in [("a", 30), ("b", 41), ("c", 52)]])
        self.template = SqlTemplate(self.engine)
        self.session = VelmoSqlSession({"m": self.mapper}, self.engine)
        # The asyncio session on the same database, its calls run to completion on one loop.
        self.loop = asyncio.new_event_loop()
        self.async_engine = create_async_engine(f"sqlite+aiosqlite:///{os.path.join(self.folder, 'calls.db')}")
        self.async_session = aio.AsyncVelmoSqlSession({"m": self.mapper}, self.async_engine)
        self.element = self.mapper.id_2_element_map["find"]
        self.rows = [{"id": 1, "name": "a", "age": 30}, {"id": 2, "name": "b", "age": 41}]
        self.page = kestrum.Page(1, 2)
        self.marker = fendrel.SqlParam(param_name="id")
        self.regex = fendrel.sql_regex_list[0]
        child = ET.Element("x")
        child.text, child.tail = "a = #{a, sql_type=INTEGER} and ${b}", " $f{upper(c)}"
        self.child = child

    def close(self):
        VelmoSqlSession.connection_local.set(None)
        self.engine.dispose()
        self.loop.run_until_complete(self.async_engine.dispose())
        self.loop.close()

    def release_connections(self):
        """Closes the pooled connections of both engines; the next calls open new ones."""
        self.engine.pool.dispose()
        self.wait(self.async_engine.dispose())

    def wait(self, awaitable):
        return self.loop.run_until_complete(awaitable)

    def in_async_tx(self, action):
        """Awaits action(session) inside begin_tx ... close, rolled back, in one task."""
        session = self.async_session

        async def run():
            await session.begin_tx()
            try:
                return await action(session)
            finally:
                await session.rollback()
                await session.close()

        return self.wait(run())

    def in_tx(self, action):
        """Runs action(session) inside begin_tx ... close, rolled back."""
        self.session.begin_tx()
        try:
            return action(self.session)
        finally:
            self.session.rollback()
            self.session.close()


@dataclasses.dataclass(frozen=True)
class Case:
    """One call on an Env; `raises` is the exact exception type of an error path, None for a
    valid call."""

    label: str
    run: typing.Callable[[Env], Any]
    raises: type | None = None


@dataclasses.dataclass(frozen=True)
class Entry:
    """A public function or method: `name` is module.qualname; `allowed` are the exception types
    the documentation gives it (what a fuzzer may see); `cases` its valid calls and error paths."""

    name: str
    allowed: tuple
    cases: tuple

    def __post_init__(self):
        for case in self.cases:
            if case.raises is not None:
                assert issubclass(case.raises, self.allowed), (self.name, case.label)


def ok(label, run):
    return Case(label, run)


def err(label, exception, run):
    return Case(label, run, exception)


def too_many(function, count):
    """A call with one positional argument too many."""
    return lambda e: function(*([None] * count))


A = TypeError  # the argument errors: wrong type, wrong count
DB = sqlalchemy.exc.SQLAlchemyError
REGEX = regex.error
SELECT_PEOPLE = text("SELECT id, name, age FROM people WHERE id <= :n ORDER BY id")
BROKEN = text("SELEC nothing")
# Errors that evaluating a mapper statement may raise: the domain errors (the plain Exception with
# a documented message), missing attributes, fragments and keys, bad indexes, include cycles, and
# what eval raises for the conditions the fuzzers write (undefined names, syntax, division).
EVALUATION_ERRORS = (A, KeyError, IndexError, ValueError, RecursionError, NameError, SyntaxError, AttributeError, ZeroDivisionError)
MAPPER_ERRORS = (Exception,) + EVALUATION_ERRORS


def _orm(e):
    return select(Person).where(Person.id <= 2).order_by(Person.id)


def _people_added(e, count):
    return [Person(name="x", age=i) for i in range(count)]


def entries():
    """The table, in module order."""
    m = lambda e: e.mapper  # noqa: E731
    s = lambda e: e.session  # noqa: E731
    t = lambda e: e.template  # noqa: E731
    return [
        # ---- velmo.utils.wollix ----
        Entry("velmo.utils.wollix.is_container_type_by_str", (A,), (
            ok("list", lambda e: wollix.is_container_type_by_str("list")),
            ok("unknown", lambda e: wollix.is_container_type_by_str("no.such")),
            err("int", A, lambda e: wollix.is_container_type_by_str(1)),
        )),
        Entry("velmo.utils.wollix.get_type_from_string", (A, ValueError), (
            ok("builtin", lambda e: wollix.get_type_from_string("int")),
            ok("dotted", lambda e: wollix.get_type_from_string("decimal.Decimal")),
            err("unknown", ValueError, lambda e: wollix.get_type_from_string("List")),
            err("no module", ValueError, lambda e: wollix.get_type_from_string("no_such_module_x.Y")),
            err("no attribute", ValueError, lambda e: wollix.get_type_from_string("decimal.Nope")),
            err("None", A, lambda e: wollix.get_type_from_string(None)),
        )),
        Entry("velmo.utils.wollix.is_container_type", (A,), (
            ok("List[int]", lambda e: wollix.is_container_type(List[int])),
            err("None", A, lambda e: wollix.is_container_type(None)),
        )),
        Entry("velmo.utils.wollix.get_base_type", (), (
            ok("Dict", lambda e: wollix.get_base_type(Dict[str, Any])),
            ok("class", lambda e: wollix.get_base_type(PersonRow)),
        )),
        Entry("velmo.utils.wollix.is_result_class", (A,), (
            ok("model", lambda e: wollix.is_result_class(PersonModel)),
            ok("declarative", lambda e: wollix.is_result_class(Person)),
            err("List[int]", A, lambda e: wollix.is_result_class(List[int])),
        )),
        # ---- velmo.utils.fendrel ----
        Entry("velmo.utils.fendrel.SqlParamRegex", (A, REGEX), (
            ok("marker", lambda e: fendrel.SqlParamRegex(r"\#\{.+?\}", "#")),
            err("bad pattern", REGEX, lambda e: fendrel.SqlParamRegex("(", "#")),
            err("None", A, lambda e: fendrel.SqlParamRegex(r"x", None)),
        )),
        Entry("velmo.utils.fendrel.SqlParamRegex.resolve_param", (A,), (
            ok("plain", lambda e: e.regex.resolve_param("#{id, sql_type=INTEGER}")),
            ok("function", lambda e: e.regex.resolve_param("#{max(a)}")),
            err("int", A, lambda e: e.regex.resolve_param(1)),
        )),
        Entry("velmo.utils.fendrel.SqlParam", (A,), (
            ok("all", lambda e: fendrel.SqlParam("n", "f(x)", True, "f")),
            err("int name", A, lambda e: fendrel.SqlParam(1)),
            err("count", A, too_many(fendrel.SqlParam, 5)),
        )),
        Entry("velmo.utils.fendrel.SqlParam.__str__", (), (ok("str", lambda e: str(e.marker)),)),
        Entry("velmo.utils.fendrel.MarkerParam", (A, AttributeError), (
            ok("record", lambda e: fendrel.MarkerParam(e.marker, "#{id}", "INTEGER")),
            err("no param_name", AttributeError, lambda e: fendrel.MarkerParam(object())),
            err("int type", A, lambda e: fendrel.MarkerParam(e.marker, sql_type=1)),
        )),
        Entry("velmo.utils.fendrel.MarkerParam.__str__", (), (
            ok("str", lambda e: str(fendrel.MarkerParam(e.marker, "#{id}"))),
        )),
        Entry("velmo.utils.fendrel.get_params", (A, AttributeError), (
            ok("element", lambda e: fendrel.get_params(e.child)),
            err("no text", AttributeError, lambda e: fendrel.get_params(object())),
        )),
        Entry("velmo.utils.fendrel.__get_regex_value", (A, REGEX, IndexError), (
            ok("found", lambda e: get_regex_value(r"(\s*sql_type\s*=\s*)(?P<sql_type>\w+)?", "#{a, sql_type=X}", "sql_type")),
            ok("empty option", lambda e: get_regex_value(r"(\s*sql_type\s*=\s*)(?P<sql_type>\w+)?", "#{a, sql_type= }", "sql_type")),
            err("None", A, lambda e: get_regex_value("x", None, "g")),
        )),
        Entry("velmo.utils.fendrel.get_sql_param", (A,), (
            ok("text", lambda e: fendrel.get_sql_param("id = #{id, sql_type=INTEGER} and ${t} or $f{upper(n)} #{id}")),
            err("int", A, lambda e: fendrel.get_sql_param(1)),
        )),
        # ---- velmo.utils.zimbard ----
        Entry("velmo.utils.zimbard.replace_cdata", (A,), (
            ok("section", lambda e: zimbard.replace_cdata("a <![CDATA[x < y & z]]> b <![CDATA[x < y & z]]>")),
            ok("none", lambda e: zimbard.replace_cdata("plain")),
            err("int", A, lambda e: zimbard.replace_cdata(1)),
        )),
        Entry("velmo.utils.zimbard.convert_cdata", (A, AttributeError), (
            ok("escape", lambda e: zimbard.convert_cdata('a<b & "c">d', reverse=True)),
            ok("unescape", lambda e: zimbard.convert_cdata("&amp;lt;&quot;")),
            err("no replace", AttributeError, lambda e: zimbard.convert_cdata(1)),
            err("count", A, too_many(zimbard.convert_cdata, 3)),
        )),
        Entry("velmo.utils.zimbard.sql_string_format", (A,), (
            ok("quote", lambda e: zimbard.sql_string_format("O'Brien")),
            err("None", A, lambda e: zimbard.sql_string_format(None)),
        )),
        Entry("velmo.utils.zimbard.param_str", (), (
            ok("str", lambda e: zimbard.param_str("x")),
            ok("list", lambda e: zimbard.param_str([1, 2])),
            ok("null", lambda e: zimbard.param_str(0)),
        )),
        # ---- velmo.utils.harlune ----
        Entry("velmo.utils.harlune.replace_sql_first", (A, REGEX), (
            ok("prefix", lambda e: harlune.replace_sql_first("  and a = 1 ", "AND |OR ", "WHERE ")),
            err("unbalanced", REGEX, lambda e: harlune.replace_sql_first("a", "(", "")),
            err("None", A, lambda e: harlune.replace_sql_first("a", None, "")),
        )),
        Entry("velmo.utils.harlune.replace_sql_last", (A, REGEX), (
            ok("suffix", lambda e: harlune.replace_sql_last("a = 1, -- note", ",", "")),
            err("bad group", REGEX, lambda e: harlune.replace_sql_last("a,", ",", r"\9")),
            err("count", A, too_many(harlune.replace_sql_last, 4)),
        )),
        # ---- velmo.utils.plovet ----
        Entry("velmo.utils.plovet.like", (A,), (
            ok("text", lambda e: plovet.like("abc")),
            err("None", A, lambda e: plovet.like(None)),
        )),
        Entry("velmo.utils.plovet.time_format", (A, ValueError, OverflowError), (
            ok("struct", lambda e: plovet.time_format(time.gmtime(0))),
            ok("format", lambda e: plovet.time_format((2024, 5, 1, 13, 45, 0, 0, 122, 0), "%Y")),
            err("not a time", A, lambda e: plovet.time_format("x")),
            err("out of range", ValueError, lambda e: plovet.time_format((2024, 13, 1, 0, 0, 0, 0, 1, 0))),
            err("None format", A, lambda e: plovet.time_format(time.gmtime(0), None)),
        )),
        # ---- velmo.mapper.drovik ----
        Entry("velmo.mapper.drovik.ParseMapper", (A, Exception, ValueError, OSError, ET.ParseError), (
            ok("load", lambda e: ParseMapper(e.mapper_path)),
            err("missing file", FileNotFoundError, lambda e: ParseMapper(os.path.join(e.folder, "none.xml"))),
            err("not XML", ET.ParseError, lambda e: ParseMapper(__file__)),
            err("int", A, lambda e: ParseMapper(1)),
        )),
        Entry("velmo.mapper.drovik.ParseMapper.get_sql", MAPPER_ERRORS, (
            ok("select", lambda e: e.mapper.get_sql("find", {"name": "a", "ids": [1, 2], "old": 1})),
            ok("select otherwise", lambda e: e.mapper.get_sql("find", {})),
            ok("update set", lambda e: e.mapper.get_sql("touch", {"id": 1, "age": 3})),
            ok("update trim", lambda e: e.mapper.get_sql(sql_id="trimmed", params={"id": 1})),
            err("missing id", Exception, lambda e: e.mapper.get_sql("nope", {})),
            err("fragment", Exception, lambda e: e.mapper.get_sql("cols", {})),
            err("no params", A, lambda e: e.mapper.get_sql("find")),
            err("if without test", KeyError, lambda e: e.mapper.get_sql("broken_if", {})),
            err("no otherwise", Exception, lambda e: e.mapper.get_sql("no_otherwise", {})),
            err("not a list", Exception, lambda e: e.mapper.get_sql("tuple_loop", {"ids": (1,)})),
            err("missing collection", NameError, lambda e: e.mapper.get_sql("tuple_loop", {})),
            err("missing fragment", KeyError, lambda e: e.mapper.get_sql("missing_ref", {})),
            err("include cycle", RecursionError, lambda e: e.mapper.get_sql("cycle", {})),
            err("unlisted tag", A, lambda e: e.mapper.get_sql("bad_tag", {})),
            err("undefined name", NameError, lambda e: e.mapper.get_sql("bad_test", {})),
            err("bad index", ValueError, lambda e: e.mapper.get_sql("bad_index", {"ids": [1]})),
            err("short list", IndexError, lambda e: e.mapper.get_sql("short", {"ids": [1]})),
        )),
        Entry("velmo.mapper.drovik.ParseMapper.list_statement", (A,), (
            ok("keys", lambda e: list(e.mapper.list_statement())),
            err("count", A, lambda e: e.mapper.list_statement(1)),
        )),
        Entry("velmo.mapper.drovik.ParseMapper._trim_prefix", (A,), (
            ok("prefix", lambda e: ParseMapper._trim_prefix("  AND  a = 1   AND b = 2 ", {"AND", "OR", ""})),
            err("frozenset", A, lambda e: ParseMapper._trim_prefix("a", frozenset())),
        )),
        Entry("velmo.mapper.drovik.ParseMapper._trim_suffix", (A,), (
            ok("suffix", lambda e: ParseMapper._trim_suffix("x AND OR", {"AND", "OR"})),
            err("None", A, lambda e: ParseMapper._trim_suffix(None, set())),
        )),
        Entry("velmo.mapper.drovik.ParseMapper.parse_element", MAPPER_ERRORS, (
            ok("where", lambda e: e.mapper.parse_element(e.element[1], {"params": {"name": "x"}})),
            ok("statement", lambda e: e.mapper.parse_element(e.element, {"params": {"ids": [1]}})),
            err("list param", A, lambda e: e.mapper.parse_element(e.element, [])),
            err("no params key", KeyError, lambda e: e.mapper.parse_element(e.mapper.id_2_element_map["tuple_loop"][0], {})),
        )),
        Entry("velmo.mapper.drovik.ParseMapper._format_sql", (A, AttributeError), (
            ok("text", lambda e: ParseMapper._format_sql(" select  'a  b' -- c\n from t # d\n /* e  f */ ")),
            err("int", AttributeError, lambda e: ParseMapper._format_sql(1)),
        )),
        Entry("velmo.mapper.drovik.ParseMapper.to_prepared_statement", MAPPER_ERRORS, (
            ok("binds", lambda e: ParseMapper.to_prepared_statement("SELECT #{a}, #{ids_for_index_1}, #{a}, #{ x }, #{}", {"a": 1, "ids": [1, 2]})),
            err("no container", KeyError, lambda e: ParseMapper.to_prepared_statement("#{ids_for_index_0}", {})),
            err("not text", A, lambda e: ParseMapper.to_prepared_statement(1, {})),
        )),
        Entry("velmo.mapper.drovik.ParseMapper.to_replace", MAPPER_ERRORS, (
            ok("replace", lambda e: ParseMapper.to_replace("ORDER BY ${col} ${none}", {"col": "name"})),
            err("not text value", A, lambda e: ParseMapper.to_replace("${a}", {"a": 1})),
        )),
        Entry("velmo.mapper.drovik.ParseMapper.select", MAPPER_ERRORS, (
            ok("select", lambda e: e.mapper.select("find", {"ids": [3]})),
            err("not a select", Exception, lambda e: e.mapper.select("add", {})),
            err("None params", A, lambda e: e.mapper.select("find", None)),
        )),
        Entry("velmo.mapper.drovik.ParseMapper.update", MAPPER_ERRORS, (
            ok("update", lambda e: e.mapper.update("touch", {"id": 1})),
            err("not an update", Exception, lambda e: e.mapper.update("find", {})),
        )),
        Entry("velmo.mapper.drovik.ParseMapper.delete", MAPPER_ERRORS, (
            ok("delete", lambda e: e.mapper.delete("drop", {"id": 1})),
            err("missing id", Exception, lambda e: e.mapper.delete("nope", {})),
        )),
        Entry("velmo.mapper.drovik.ParseMapper.insert", MAPPER_ERRORS, (
            ok("returning", lambda e: e.mapper.insert("add", {"name": "x"}, "id")),
            err("not an insert", Exception, lambda e: e.mapper.insert("drop", {})),
            err("int key", A, lambda e: e.mapper.insert("add", {}, 1)),
        )),
        # ---- velmo.mapper.checker ----
        Entry("velmo.mapper.checker.check", (A, OSError), (
            ok("problems", lambda e: checker.check([e.checked_path])),
            err("tuple", A, lambda e: checker.check((e.checked_path,))),
        )),
        Entry("velmo.mapper.checker.main", (A, OSError), (
            ok("report", lambda e: _quiet(checker.main, ["check", e.checked_path])),
            ok("usage", lambda e: _quiet(checker.main, ["nonsense"])),
            err("str", A, lambda e: checker.main(e.checked_path)),
        )),
        # ---- velmo.db.kestrum ----
        Entry("velmo.db.kestrum.Page", (A,), (
            ok("page", lambda e: kestrum.Page(2, 10)),
            err("bool", A, lambda e: kestrum.Page(True, 10)),
        )),
        Entry("velmo.db.kestrum.PageInfo", (A,), (
            ok("answer", lambda e: kestrum.PageInfo(**{"pageNum": 1, "pageSize": 2, "total": 3, "list": []})),
            err("unknown field", A, lambda e: kestrum.PageInfo(rows=[])),
        )),
        Entry("velmo.db.kestrum.count_query", (A, AttributeError), (
            ok("count", lambda e: kestrum.count_query(SELECT_PEOPLE)),
            err("no text", AttributeError, lambda e: kestrum.count_query("select 1")),
        )),
        Entry("velmo.db.kestrum.limit_query", (A, AttributeError, OverflowError), (
            ok("limit", lambda e: kestrum.limit_query(SELECT_PEOPLE, e.page)),
            err("no page", AttributeError, lambda e: kestrum.limit_query(SELECT_PEOPLE, None)),
        )),
        Entry("velmo.db.kestrum.SqlTemplate", (A,), (
            ok("new", lambda e: SqlTemplate(e.engine)),
            err("count", A, lambda e: SqlTemplate()),
        )),
        Entry("velmo.db.kestrum.SqlTemplate.get_session", (DB,), (
            ok("owned", lambda e: _enter(t(e).get_session())),
            err("owned failing", sqlalchemy.exc.OperationalError, lambda e: _enter(t(e).get_session(), BROKEN)),
        )),
        Entry("velmo.db.kestrum.SqlTemplate.execute_in_connection", (DB, ZeroDivisionError), (
            ok("value", lambda e: t(e).execute_in_connection(lambda con: con.execute(SELECT_PEOPLE, {"n": 1}).scalar())),
            err("failing", ZeroDivisionError, lambda e: t(e).execute_in_connection(lambda con: 1 / 0)),
        )),
        Entry("velmo.db.kestrum.SqlTemplate.select_one", (DB,), (
            ok("owned", lambda e: t(e).select_one(SELECT_PEOPLE, args={"n": 3})),
            ok("borrowed", lambda e: e.in_tx(lambda s: t(e).select_one(sql=SELECT_PEOPLE, con=s.connection_local.get(), args={"n": 0}))),
            err("syntax", sqlalchemy.exc.OperationalError, lambda e: t(e).select_one(BROKEN)),
        )),
        Entry("velmo.db.kestrum.SqlTemplate.select_list", (DB,), (
            ok("owned", lambda e: t(e).select_list(SELECT_PEOPLE, None, {"n": 3})),
            err("syntax in tx", sqlalchemy.exc.OperationalError, lambda e: e.in_tx(lambda s: t(e).select_list(BROKEN, s.connection_local.get()))),
        )),
        Entry("velmo.db.kestrum.SqlTemplate.select_page", (DB, AttributeError), (
            ok("page", lambda e: t(e).select_page(SELECT_PEOPLE, e.page, args={"n": 3})),
            err("no page", AttributeError, lambda e: t(e).select_page(SELECT_PEOPLE, None, args={"n": 3})),
            err("syntax", sqlalchemy.exc.OperationalError, lambda e: t(e).select_page(BROKEN, e.page)),
        )),
        Entry("velmo.db.kestrum.SqlTemplate.insert", (DB,), (
            ok("insert", lambda e: _insert_then_drop(e, lambda sql, args: t(e).insert(sql, args=args))),
            err("duplicate key", sqlalchemy.exc.IntegrityError, lambda e: t(e).insert(text("INSERT INTO people (id) VALUES (1)"))),
        )),
        Entry("velmo.db.kestrum.SqlTemplate.update", (DB,), (
            ok("update", lambda e: t(e).update(text("UPDATE people SET age = age WHERE id = :id"), args={"id": 1})),
            err("syntax", sqlalchemy.exc.OperationalError, lambda e: t(e).update(BROKEN)),
        )),
        Entry("velmo.db.kestrum.SqlTemplate.delete", (DB,), (
            ok("no row", lambda e: t(e).delete(text("DELETE FROM people WHERE id < 0"))),
            err("syntax", sqlalchemy.exc.OperationalError, lambda e: t(e).delete(BROKEN)),
        )),
        Entry("velmo.db.kestrum.SqlTemplate.add", (DB,), (
            ok("add", lambda e: e.in_tx(lambda s: t(e).add(Person(name="x", age=1), s.connection_local.get()))),
            err("duplicate key", sqlalchemy.exc.IntegrityError, lambda e: t(e).add(Person(id=1, name="x"))),
        )),
        Entry("velmo.db.kestrum.SqlTemplate.add_all", (DB,), (
            ok("add_all", lambda e: e.in_tx(lambda s: t(e).add_all(_people_added(e, 3), con=s.connection_local.get()))),
            err("duplicate key", sqlalchemy.exc.IntegrityError, lambda e: t(e).add_all([Person(id=2, name="x")])),
        )),
        Entry("velmo.db.kestrum.SqlTemplate.insert_orm2", (A, DB), (
            ok("insert", lambda e: e.in_tx(lambda s: t(e).insert_orm2(insert(Person), [{"name": "x", "age": 1}], s.connection_local.get()))),
            err("no con", A, lambda e: t(e).insert_orm2(insert(Person), [])),
        )),
        Entry("velmo.db.kestrum.SqlTemplate.update_orm2", (DB,), (
            ok("update", lambda e: t(e).update_orm2(update(Person).where(Person.id == 1).values(age=30))),
            err("duplicate key", sqlalchemy.exc.IntegrityError, lambda e: t(e).update_orm2(update(Person).where(Person.id == 2).values(id=1))),
        )),
        Entry("velmo.db.kestrum.SqlTemplate.delete_orm2", (DB,), (
            ok("no row", lambda e: t(e).delete_orm2(sqlalchemy.delete(Person).where(Person.id < 0))),
        )),
        Entry("velmo.db.kestrum.SqlTemplate.select_one_orm2", (DB,), (
            ok("one", lambda e: t(e).select_one_orm2(select(Person).where(Person.id == 1))),
            err("two rows", sqlalchemy.exc.MultipleResultsFound, lambda e: t(e).select_one_orm2(_orm(e))),
        )),
        Entry("velmo.db.kestrum.SqlTemplate.select_all_orm2", (DB,), (
            ok("all", lambda e: t(e).select_all_orm2(_orm(e))),
        )),
        # ---- velmo.db.brannow ----
        Entry("velmo.db.brannow.results_handle", (A, AttributeError, ValueError, StopIteration), (
            ok("list of dataclass", lambda e: brannow.results_handle(e.rows, PersonRow, List[PersonRow])),
            ok("one model", lambda e: brannow.results_handle(e.rows, PersonModel, PersonModel)),
            ok("scalars", lambda e: brannow.results_handle(e.rows, int, List[int])),
            ok("first row", lambda e: brannow.results_handle(e.rows, dict, Dict[str, Any])),
            err("return_type", A, lambda e: brannow.results_handle(e.rows, str, int)),
            err("return_result_type", A, lambda e: brannow.results_handle(e.rows, PersonRow, List[PersonModel])),
            err("result type", A, lambda e: brannow.results_handle(e.rows, list, None)),
            err("validation", pydantic.ValidationError, lambda e: brannow.results_handle([{"id": "x"}], PersonModel, PersonModel)),
            err("no columns", StopIteration, lambda e: brannow.results_handle([{}], int, int)),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession", (A, Exception), (
            ok("engine", lambda e: VelmoSqlSession({}, e.engine)),
            ok("template", lambda e: VelmoSqlSession({}, kestrum=e.template)),
            err("no source", Exception, lambda e: VelmoSqlSession({})),
            err("list", A, lambda e: VelmoSqlSession([], e.engine)),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.get_ori_session", (), (
            ok("session", lambda e: s(e).get_ori_session().close()),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.begin_tx", (), (ok("begin", lambda e: e.in_tx(lambda x: None)),)),
        Entry("velmo.db.brannow.VelmoSqlSession.commit", (DB,), (
            ok("commit", lambda e: e.in_tx(lambda x: x.commit())),
            ok("idle", lambda e: s(e).commit()),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.rollback", (DB,), (ok("rollback", lambda e: e.in_tx(lambda x: x.rollback())),)),
        Entry("velmo.db.brannow.VelmoSqlSession.close", (DB,), (ok("idle", lambda e: s(e).close()),)),
        Entry("velmo.db.brannow.VelmoSqlSession.execute_sql", (A, ValueError, StopIteration, DB) + EVALUATION_ERRORS + MAPPER_ERRORS, (
            ok("select", lambda e: s(e).execute_sql("find", "m", {"ids": [1, 2, 3]}, None, List[dict])),
            ok("page", lambda e: s(e).execute_sql("find", "m", {"name": "a"}, e.page)),
            ok("scalar", lambda e: s(e).execute_sql("ages", "m", {}, None, int)),
            ok("insert", lambda e: _insert_then_drop(e, lambda sql, args: s(e).execute_sql("add", "m", {"name": "x", "age": 1}))),
            ok("update in tx", lambda e: e.in_tx(lambda x: x.execute_sql("trimmed", "m", {"id": 1}))),
            ok("delete", lambda e: s(e).execute_sql("drop", "m", {"id": -1})),
            err("namespace", Exception, lambda e: s(e).execute_sql("find", "nope", {})),
            err("int id", A, lambda e: s(e).execute_sql(1, "m", {})),
            err("no params", A, lambda e: s(e).execute_sql("find", "m")),
            err("mismatch", A, lambda e: s(e).execute_sql("ages", "m", {}, None, str)),
            err("duplicate key", sqlalchemy.exc.IntegrityError, lambda e: s(e).execute_sql("dup", "m", {})),
            err("syntax in tx", sqlalchemy.exc.OperationalError, lambda e: e.in_tx(lambda x: x.execute_sql("bad_sql", "m", {}))),
            err("evaluation", KeyError, lambda e: s(e).execute_sql("missing_ref", "m", {})),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.select_one", (DB,), (
            ok("row", lambda e: s(e).select_one(SELECT_PEOPLE, {"n": 1})),
            err("syntax", sqlalchemy.exc.OperationalError, lambda e: s(e).select_one(BROKEN)),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.select_list", (DB,), (
            ok("rows", lambda e: s(e).select_list(SELECT_PEOPLE, {"n": 3})),
            err("syntax", sqlalchemy.exc.OperationalError, lambda e: s(e).select_list(BROKEN)),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.select_page", (DB, AttributeError), (
            ok("page", lambda e: s(e).select_page(SELECT_PEOPLE, e.page, {"n": 3})),
            err("no page", AttributeError, lambda e: s(e).select_page(SELECT_PEOPLE, 1, {"n": 3})),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.insert", (A, DB), (
            ok("insert", lambda e: _insert_then_drop(e, lambda sql, args: s(e).insert(sql, args))),
            err("count", A, lambda e: s(e).insert(SELECT_PEOPLE)),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.update", (A, DB), (
            ok("update", lambda e: s(e).update(text("UPDATE people SET age = age WHERE id = 1"), None)),
            err("syntax", sqlalchemy.exc.OperationalError, lambda e: s(e).update(BROKEN, None)),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.delete", (A, DB), (
            ok("none", lambda e: s(e).delete(text("DELETE FROM people WHERE id < 0"), {})),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.add", (DB,), (
            ok("add", lambda e: e.in_tx(lambda x: x.add(Person(name="x")))),
            err("duplicate key", sqlalchemy.exc.IntegrityError, lambda e: s(e).add(Person(id=3, name="x"))),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.add_all", (DB,), (
            ok("add_all", lambda e: e.in_tx(lambda x: x.add_all(_people_added(e, 2)))),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.insert_orm2", (A, DB), (
            ok("insert", lambda e: e.in_tx(lambda x: x.insert_orm2(insert(Person), [{"name": "y"}]))),
            err("tuple", A, lambda e: s(e).insert_orm2(insert(Person), ())),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.update_orm2", (DB,), (
            ok("update", lambda e: s(e).update_orm2(update(Person).where(Person.id == 1).values(age=30))),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.delete_orm2", (DB,), (
            ok("none", lambda e: s(e).delete_orm2(sqlalchemy.delete(Person).where(Person.id < 0))),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.select_one_orm2", (DB,), (
            ok("one", lambda e: s(e).select_one_orm2(select(Person).where(Person.id == 2))),
            err("two rows", sqlalchemy.exc.MultipleResultsFound, lambda e: s(e).select_one_orm2(_orm(e))),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.select_all_orm2", (DB,), (
            ok("all", lambda e: s(e).select_all_orm2(_orm(e))),
        )),
        Entry("velmo.db.brannow.VelmoSqlSession.execute_in_connection", (DB, KeyError), (
            ok("value", lambda e: s(e).execute_in_connection(lambda con: 1)),
            err("failing", KeyError, lambda e: s(e).execute_in_connection(lambda con: {}["x"])),
        )),
        # ---- velmo.db.aio ----
        Entry("velmo.db.aio.GreenletVelmoSqlSession", (A, Exception), (
            ok("sync engine", lambda e: aio.GreenletVelmoSqlSession({}, e.async_engine.sync_engine)),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession", (A, Exception), (
            ok("engine", lambda e: aio.AsyncVelmoSqlSession({}, e.async_engine)),
            err("sync engine", A, lambda e: aio.AsyncVelmoSqlSession({}, e.engine)),
            err("no source", Exception, lambda e: aio.AsyncVelmoSqlSession({})),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.get_ori_session", (), (
            ok("session", lambda e: e.wait(_closed(e.wait(e.async_session.get_ori_session())))),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.begin_tx", (), (ok("begin", lambda e: e.in_async_tx(_nothing)),)),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.commit", (DB,), (
            ok("commit", lambda e: e.in_async_tx(lambda x: x.commit())),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.rollback", (DB,), (
            ok("rollback", lambda e: e.in_async_tx(lambda x: x.rollback())),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.close", (DB,), (ok("idle", lambda e: e.wait(e.async_session.close())),)),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.execute_sql", (A, DB) + EVALUATION_ERRORS + MAPPER_ERRORS, (
            ok("select", lambda e: e.wait(e.async_session.execute_sql("find", "m", {"ids": [1, 2]}, None, List[dict]))),
            ok("update in tx", lambda e: e.in_async_tx(lambda x: x.execute_sql("trimmed", "m", {"id": 1}))),
            err("namespace", Exception, lambda e: e.wait(e.async_session.execute_sql("find", "nope", {}))),
            err("int id", A, lambda e: e.async_session.execute_sql(1, "m", {})),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.select_one", (DB,), (
            ok("row", lambda e: e.wait(e.async_session.select_one(SELECT_PEOPLE, {"n": 1}))),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.select_list", (DB,), (
            ok("rows", lambda e: e.wait(e.async_session.select_list(SELECT_PEOPLE, {"n": 3}))),
            err("syntax", sqlalchemy.exc.OperationalError, lambda e: e.wait(e.async_session.select_list(BROKEN))),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.select_page", (DB,), (
            ok("page", lambda e: e.wait(e.async_session.select_page(SELECT_PEOPLE, e.page, {"n": 3}))),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.insert", (A, DB), (
            ok("insert", lambda e: _insert_then_drop(e, lambda sql, args: e.wait(e.async_session.insert(sql, args)))),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.update", (A, DB), (
            ok("update", lambda e: e.wait(e.async_session.update(text("UPDATE people SET age = age WHERE id = 1"), None))),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.delete", (A, DB), (
            ok("none", lambda e: e.wait(e.async_session.delete(text("DELETE FROM people WHERE id < 0"), {}))),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.add", (DB,), (
            ok("add", lambda e: e.in_async_tx(lambda x: x.add(Person(name="x")))),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.add_all", (DB,), (
            ok("add_all", lambda e: e.in_async_tx(lambda x: x.add_all(_people_added(e, 2)))),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.insert_orm2", (A, DB), (
            ok("insert", lambda e: e.in_async_tx(lambda x: x.insert_orm2(insert(Person), [{"name": "y"}]))),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.update_orm2", (DB,), (
            ok("update", lambda e: e.wait(e.async_session.update_orm2(update(Person).where(Person.id == 1).values(age=30)))),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.delete_orm2", (DB,), (
            ok("none", lambda e: e.wait(e.async_session.delete_orm2(sqlalchemy.delete(Person).where(Person.id < 0)))),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.select_one_orm2", (DB,), (
            ok("one", lambda e: e.wait(e.async_session.select_one_orm2(select(Person).where(Person.id == 2)))),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.select_all_orm2", (DB,), (
            ok("all", lambda e: e.wait(e.async_session.select_all_orm2(_orm(e)))),
        )),
        Entry("velmo.db.aio.AsyncVelmoSqlSession.execute_in_connection", (DB, KeyError), (
            ok("value", lambda e: e.wait(e.async_session.execute_in_connection(lambda con: 1))),
            err("failing", KeyError, lambda e: e.wait(e.async_session.execute_in_connection(lambda con: {}["x"]))),
        )),
    ]


async def _nothing(session):
    return None


async def _closed(session):
    await session.close()


def _quiet(function, *args):
    with redirect_stdout(io.StringIO()), redirect_stderr(io.StringIO()):
        return function(*args)


def _enter(context, statement=None):
    with context as session:
        if statement is not None:
            session.execute(statement)


def _insert_then_drop(e, do):
    """An insert that leaves the table as it was: the row it adds is deleted again."""
    do(text("INSERT INTO people (name, age) VALUES (:name, :age)"), {"name": "x", "age": 1})
    with e.engine.begin() as connection:
        connection.execute(text("DELETE FROM people WHERE id > 3"))


ENTRIES = entries()
ALLOWED = {entry.name: entry.allowed for entry in ENTRIES}


def public_names(module):
    """module.qualname of every public function, class and method a module defines."""
    names = []
    for name, value in vars(module).items():
        if getattr(value, "__module__", None) != module.__name__:
            continue
        if name.startswith("_") and name != "__get_regex_value":
            continue
        if isinstance(value, type):
            names.append(f"{module.__name__}.{name}")
            for attribute, member in vars(value).items():
                function = member.__func__ if isinstance(member, staticmethod) else member
                if not callable(function) or attribute == "__init__" or attribute.startswith(f"_{name}__"):
                    continue
                if attribute.startswith("__") and attribute not in ("__str__",):
                    continue
                if dataclasses.is_dataclass(value) and attribute.startswith("__"):
                    continue
                names.append(f"{module.__name__}.{name}.{attribute}")
        elif callable(value):
            names.append(f"{module.__name__}.{name}")
    return names


# The messages of the plain Exception (the domain errors).
DOMAIN_MESSAGES = re.compile(
    r"Missing id|Not a select|Not an insert|Not an update|Not a delete|Missing otherwise element"
    r"|Collection must be a list|kestrum can't init|not found namespace: .*",
    re.DOTALL,
)


def allowed(name, error):
    """Whether `error` is documented for entry point `name`: an instance of one of its types other
    than Exception, or a plain Exception (exactly that class) with a documented message."""
    types = ALLOWED[name]
    if type(error) is Exception:
        return Exception in types and bool(DOMAIN_MESSAGES.fullmatch(str(error)))
    if isinstance(error, (SystemError, MemoryError)):
        return False
    return isinstance(error, tuple(t for t in types if t is not Exception))


__all__ = ["ALLOWED", "ENTRIES", "Case", "Entry", "Env", "allowed", "public_names", "re"]
