"""velmo end to end against the libraries an application would pick instead.

Three statements, the same on every side: select one row by id into a dataclass, select 100 rows
into dataclasses, insert one row and commit it. On an SQLite file in a temporary folder always, and
on MariaDB and PostgreSQL when VELMO_TEST_MARIADB_URL and VELMO_TEST_POSTGRES_URL are set (the test
suite's variables; drivers PyMySQL and psycopg 3).

Sync sides:
- velmo: VelmoSqlSession.execute_sql with no transaction current (a session of its own per call);
- velmo in begin_tx(): one transaction begun before the timed calls (in a context of its own, so
  that the other velmo sides do not see it); selects run in it, an insert is execute_sql and
  commit(); close() at the end;
- SQLAlchemy Core: per call `with engine.connect()` (`engine.begin()` for the insert), text()
  clauses made once, rows turned into the dataclass with Person(**row._asdict());
- SQLAlchemy ORM Session: a sessionmaker(bind=engine, expire_on_commit=False) made once; per call
  a session that executes, commits, rolls back on an error and always closes;
- aiosql: its SQL text with named queries and a record class, on one DBAPI connection of the
  engine's driver held for the run (sqlite3, PyMySQL, psycopg), each call committed;
- PugSQL: its SQL file on the same engine, rows (dicts) turned into the dataclass.
Async sides (aiosqlite, aiomysql, asyncpg): AsyncVelmoSqlSession.execute_sql, an AsyncSession from an
async_sessionmaker made once, an AsyncConnection (`async with engine.connect()` / `begin()`).

The insert is a plain INSERT answered by the driver's lastrowid on SQLite, and INSERT ... RETURNING
id on the servers (what PostgreSQL needs for an id, and the only id aiosql reads on MariaDB);
every side answers the new row's id.

Before timing, every side's answer is checked: the selects' against SQLAlchemy Core's, an insert's
id against the row it committed, read through a connection of its own. After the timing, each side's
committed rows are counted the same way. Timing: median µs per call over interleaved rounds (every
side runs one batch in every round; common.interleaved_medians), async sides included, each batch
awaited in the same event loop. Prints one table per database and statement with the ratios to
SQLAlchemy Core (sync sides) and to AsyncConnection and AsyncSession (async sides), then a summary.

`--quick` runs few short rounds.
"""

import argparse
import asyncio
import contextvars
import importlib.metadata
import os
import platform
import sqlite3
import sys
import tempfile
import time
from dataclasses import dataclass

from sqlalchemy import create_engine, make_url, text
from sqlalchemy.ext.asyncio import async_sessionmaker, create_async_engine
from sqlalchemy.orm import sessionmaker
from sqlalchemy.pool import NullPool

from velmo.db.aio import AsyncVelmoSqlSession
from velmo.db.brannow import VelmoSqlSession

import common  # benchmarks/common.py, beside this script
from common import Person

ROWS = 1000
ONE, MANY = {"id": 7}, {"max_id": 100}
STATEMENTS = [("one", "select 1 row by id"), ("many", "select 100 rows"), ("insert", "insert 1 row, committed")]

# The three statements, each in the style of its side. `{returning}` is " returning id" on the servers.
SELECT_ONE = "select id, name, score from bench where id = :id"
SELECT_MANY = "select id, name, score from bench where id <= :max_id order by id"
INSERT = "insert into sink (name) values (:name){returning}"

MAPPER = """<mapper namespace="peers">
    <select id="by_id" resultType="common.Person">select id, name, score from bench where id = #{{id}}</select>
    <select id="upto" resultType="common.Person">
        select id, name, score from bench where id &lt;= #{{max_id}} order by id
    </select>
    <insert id="add">insert into sink (name) values (#{{name}}){returning}</insert>
</mapper>"""

AIOSQL = """-- name: by_id(id)^
-- record_class: Person
{one};

-- name: upto(max_id)
-- record_class: Person
{many};

-- name: add(name)<!
{insert};
"""

PUGSQL = """-- :name by_id :one
{one}

-- :name upto :many
{many}

-- :name add {insert_result}
{insert}
"""


@dataclass
class Database:
    label: str
    url: str  # sync, SQLAlchemy
    async_url: str
    key: str  # the id column of bench and sink
    returning: str  # what the insert appends
    aiosql_driver: str


@dataclass
class Side:
    """One way of making a call: `call()` makes one (for the checks), `run(n)` makes n and answers
    their µs per call. `name` is also what its inserts write into sink.name."""
    label: str
    name: str
    is_async: bool
    call: object
    run: object
    calls: int = 0  # calls made, for the count of committed rows

    def once(self):
        self.calls += 1
        return self.call()

    def batch(self, n):
        self.calls += n
        return self.run(n)


@dataclass
class Table:
    rows: list  # (side label, µs per call, is_async)
    calls: int  # calls a batch


def databases(folder):
    found = [Database("SQLite file", f"sqlite:///{os.path.join(folder, 'peers.db')}",
                      f"sqlite+aiosqlite:///{os.path.join(folder, 'peers.db')}",
                      "id integer primary key", "", "sqlite3")]
    url = os.environ.get("VELMO_TEST_MARIADB_URL")
    if url:
        found.append(Database("MariaDB", url, make_url(url).set(drivername="mysql+aiomysql").render_as_string(False),
                              "id integer auto_increment primary key", " returning id", "pymysql"))
    url = os.environ.get("VELMO_TEST_POSTGRES_URL")
    if url:
        found.append(Database("PostgreSQL", url,
                              make_url(url).set(drivername="postgresql+asyncpg").render_as_string(False),
                              "id integer generated by default as identity primary key", " returning id", "psycopg"))
    return found


# The sides. Each sync builder answers {statement: function of no arguments} and what it holds open
# until the end (something with a close() method), or None; each async builder the functions alone.

def velmo_calls(session, name):
    """The three statements through a session's execute_sql (sync or asyncio)."""
    execute = session.execute_sql
    add = {"name": name}
    return {
        "one": lambda: execute("by_id", "peers", ONE, None, Person),
        "many": lambda: execute("upto", "peers", MANY),
        "insert": lambda: execute("add", "peers", add),
    }


def velmo_sides(engine, mapper, name):
    return velmo_calls(VelmoSqlSession({"peers": mapper}, engine), name), None


def velmo_tx_sides(engine, mapper, name):
    session = VelmoSqlSession({"peers": mapper}, engine)
    execute = session.execute_sql
    add = {"name": name}

    def insert():
        row_id = execute("add", "peers", add)
        session.commit()
        return row_id

    return {
        "one": lambda: execute("by_id", "peers", ONE, None, Person),
        "many": lambda: execute("upto", "peers", MANY),
        "insert": insert,
    }, session


def new_id_reader(returning):
    """How Core and ORM sides read the new row's id from the insert's result."""
    return (lambda result: result.scalar_one()) if returning else (lambda result: result.lastrowid)


def core_sides(engine, db, name):
    one, many, add = text(SELECT_ONE), text(SELECT_MANY), text(INSERT.format(returning=db.returning))
    new_id = new_id_reader(db.returning)
    binds = {"name": name}

    def select_one():
        with engine.connect() as c:
            return Person(**c.execute(one, ONE).one()._asdict())

    def select_many():
        with engine.connect() as c:
            return [Person(**row._asdict()) for row in c.execute(many, MANY)]

    def insert():
        with engine.begin() as c:
            return new_id(c.execute(add, binds))

    return {"one": select_one, "many": select_many, "insert": insert}, None


def orm_sides(engine, db, name):
    one, many, add = text(SELECT_ONE), text(SELECT_MANY), text(INSERT.format(returning=db.returning))
    new_id = new_id_reader(db.returning)
    binds = {"name": name}
    maker = sessionmaker(bind=engine, expire_on_commit=False)

    def in_session(work):
        s = maker()
        try:
            result = work(s)
            s.commit()
            return result
        except Exception:
            s.rollback()
            raise
        finally:
            s.close()

    return {
        "one": lambda: in_session(lambda s: Person(**s.execute(one, ONE).one()._asdict())),
        "many": lambda: in_session(lambda s: [Person(**row._asdict()) for row in s.execute(many, MANY)]),
        "insert": lambda: in_session(lambda s: new_id(s.execute(add, binds))),
    }, None


def aiosql_sides(engine, db, name):
    import aiosql

    sql = dict(one=SELECT_ONE, many=SELECT_MANY, insert=INSERT.format(returning=db.returning))
    queries = aiosql.from_str(AIOSQL.format(**sql), db.aiosql_driver, record_classes={"Person": Person})
    # A connection of the engine's own driver, opened with the engine's arguments.
    args, kwargs = engine.dialect.create_connect_args(engine.url)
    con = engine.dialect.loaded_dbapi.connect(*args, **kwargs)

    def select_one():
        row = queries.by_id(con, id=ONE["id"])
        con.commit()
        return row

    def select_many():
        rows = list(queries.upto(con, max_id=MANY["max_id"]))
        con.commit()
        return rows

    def insert():
        row_id = queries.add(con, name=name)
        con.commit()
        return row_id

    return {"one": select_one, "many": select_many, "insert": insert}, con


def pugsql_sides(engine, db, name, folder):
    import pugsql

    sql_folder = os.path.join(folder, "pugsql")
    os.makedirs(sql_folder, exist_ok=True)
    with open(os.path.join(sql_folder, "peers.sql"), "w", encoding="utf-8") as f:
        # :insert answers lastrowid; with RETURNING the id is the first column (:scalar).
        f.write(PUGSQL.format(one=SELECT_ONE, many=SELECT_MANY, insert=INSERT.format(returning=db.returning),
                              insert_result=":scalar" if db.returning else ":insert"))
    queries = pugsql.module(sql_folder)
    queries.setengine(engine)
    by_id, upto, add = queries.by_id, queries.upto, queries.add
    return {
        "one": lambda: Person(**by_id(id=ONE["id"])),
        "many": lambda: [Person(**row) for row in upto(max_id=MANY["max_id"])],
        "insert": lambda: add(name=name),
    }, None


def async_velmo_sides(engine, mapper, name):
    return velmo_calls(AsyncVelmoSqlSession({"peers": mapper}, engine), name)


def async_session_sides(engine, db, name):
    one, many, add = text(SELECT_ONE), text(SELECT_MANY), text(INSERT.format(returning=db.returning))
    new_id = new_id_reader(db.returning)
    binds = {"name": name}
    maker = async_sessionmaker(engine, expire_on_commit=False)

    async def select_one():
        async with maker() as s:
            result = Person(**(await s.execute(one, ONE)).one()._asdict())
            await s.commit()
            return result

    async def select_many():
        async with maker() as s:
            result = [Person(**row._asdict()) for row in await s.execute(many, MANY)]
            await s.commit()
            return result

    async def insert():
        async with maker() as s:
            result = new_id(await s.execute(add, binds))
            await s.commit()
            return result

    return {"one": select_one, "many": select_many, "insert": insert}


def async_connection_sides(engine, db, name):
    one, many, add = text(SELECT_ONE), text(SELECT_MANY), text(INSERT.format(returning=db.returning))
    new_id = new_id_reader(db.returning)
    binds = {"name": name}

    async def select_one():
        async with engine.connect() as c:
            return Person(**(await c.execute(one, ONE)).one()._asdict())

    async def select_many():
        async with engine.connect() as c:
            return [Person(**row._asdict()) for row in await c.execute(many, MANY)]

    async def insert():
        async with engine.begin() as c:
            return new_id(await c.execute(add, binds))

    return {"one": select_one, "many": select_many, "insert": insert}


CORE, ASYNC_CONNECTION, ASYNC_SESSION = "SQLAlchemy Core Connection", "SQLAlchemy AsyncConnection", "SQLAlchemy AsyncSession"


class Run:
    """The sides of one database, built, checked, timed and closed."""

    def __init__(self, db, folder, loop, rounds, batch_ms):
        self.db, self.folder, self.loop = db, folder, loop
        self.rounds, self.batch_us = rounds, batch_ms * 1000
        self.engine = create_engine(db.url)
        self.async_engine = create_async_engine(db.async_url)
        # Checks read through connections of their own, never through a pool a side uses.
        self.checker = create_engine(db.url, poolclass=NullPool)
        self.closers = []
        self.sides = {}  # statement -> [Side]

    def setup(self):
        with self.checker.begin() as c:
            for table in common.TABLES:
                c.execute(text(f"drop table if exists {table}"))
            for sql, params in common.schema(ROWS, self.db.key):
                c.execute(text(sql), params)
        mapper = common.load_mapper(MAPPER.format(returning=self.db.returning))
        db, engine, aengine = self.db, self.engine, self.async_engine

        # The velmo transaction lives in a context of its own: the current transaction is a
        # context variable that every VelmoSqlSession of a context shares.
        tx_context = contextvars.Context()
        builders = [
            ("velmo execute_sql", "velmo", lambda n: velmo_sides(engine, mapper, n), None),
            ("velmo in begin_tx()", "velmo-tx", lambda n: self.begin_tx(tx_context, engine, mapper, n), tx_context),
            (CORE, "core", lambda n: core_sides(engine, db, n), None),
            ("SQLAlchemy ORM Session", "orm", lambda n: orm_sides(engine, db, n), None),
            (f"aiosql ({db.aiosql_driver})", "aiosql", lambda n: aiosql_sides(engine, db, n), None),
            ("PugSQL", "pugsql", lambda n: pugsql_sides(engine, db, n, self.folder), None),
        ]
        for statement, _ in STATEMENTS:
            self.sides[statement] = []
        for label, name, build, context in builders:
            try:
                functions, closer = build(name)
            except Exception as error:  # a peer missing or refusing this database: say so, go on
                print(f"  {label}: left out on {db.label}: {type(error).__name__}: {error}")
                continue
            if closer is not None:
                self.closers.append((closer, context))
            for statement, fn in functions.items():
                self.sides[statement].append(self.sync_side(label, name, fn, context))
        asyncs = [
            ("velmo AsyncVelmoSqlSession", "avelmo", lambda n: async_velmo_sides(aengine, mapper, n)),
            (ASYNC_SESSION, "asession", lambda n: async_session_sides(aengine, db, n)),
            (ASYNC_CONNECTION, "aconnection", lambda n: async_connection_sides(aengine, db, n)),
        ]
        for label, name, build in asyncs:
            for statement, fn in build(name).items():
                self.sides[statement].append(self.async_side(label, name, fn))

    def begin_tx(self, context, engine, mapper, name):
        functions, session = velmo_tx_sides(engine, mapper, name)
        context.run(session.begin_tx)
        assert VelmoSqlSession.connection_local.get(None) is None, "the transaction leaked out of its context"
        return functions, session

    def sync_side(self, label, name, fn, context):
        if context is None:
            return Side(label, name, False, fn, lambda n: common.batch_us(fn, n))
        return Side(label, name, False, lambda: context.run(fn), lambda n: context.run(common.batch_us, fn, n))

    def async_side(self, label, name, fn):
        loop = self.loop
        return Side(label, name, True, lambda: loop.run_until_complete(fn()),
                    lambda n: loop.run_until_complete(common.abatch_us(fn, n)))

    def scalar(self, sql, **binds):
        with self.checker.connect() as c:
            return c.execute(text(sql), binds).scalar_one()

    def check(self, statement):
        """Every side answers alike; a side that fails here is left out with a word."""
        sides = self.sides[statement]
        reference = None
        if statement != "insert":
            reference = next(s for s in sides if s.label == CORE).once()
            assert isinstance(reference, (Person, list)) and reference, reference
        for side in list(sides):
            try:
                got = side.once()
            except Exception as error:
                if side.label.startswith(("aiosql", "PugSQL")):
                    print(f"  {side.label}: left out of '{statement}' on {self.db.label}: {type(error).__name__}: {error}")
                    sides.remove(side)
                    continue
                raise
            if statement == "insert":
                # The id answered is the row this side just committed, as another connection sees it.
                expected = self.scalar("select max(id) from sink where name = :name", name=side.name)
                assert got == expected, (self.db.label, side.label, got, expected)
            else:
                assert got == reference, (self.db.label, statement, side.label, got, reference)

    def time(self, statement):
        sides = self.sides[statement]
        # Warm every side up, then size the batches: the slowest side's batch takes about batch_us.
        for side in sides:
            side.batch(2)
        slowest = max(side.batch(3) for side in sides)
        calls = max(1, min(200, round(self.batch_us / slowest)))
        medians = common.interleaved_medians({side.label: side.batch for side in sides}, calls, self.rounds)
        if statement == "insert":
            for side in sides:
                committed = self.scalar("select count(*) from sink where name = :name", name=side.name)
                assert committed == side.calls, (self.db.label, side.label, committed, side.calls)
        return Table([(side.label, medians[side.label], side.is_async) for side in sides], calls)

    def close(self):
        for closer, context in self.closers:
            if context is None:
                closer.close()
            else:
                context.run(closer.close)
        self.loop.run_until_complete(self.async_engine.dispose())
        self.engine.dispose()
        with self.checker.begin() as c:
            for table in common.TABLES:
                c.execute(text(f"drop table if exists {table}"))
        self.checker.dispose()


def print_table(db, title, table, rounds):
    by_label = {label: us for label, us, _ in table.rows}
    core, aconn, asess = by_label.get(CORE), by_label.get(ASYNC_CONNECTION), by_label.get(ASYNC_SESSION)
    print(f"\n{db.label}: {title} ({table.calls} calls a batch, {rounds} rounds)")
    print(f"  {'side':<30} {'µs/call':>9} {'÷ Core':>7} {'÷ AConn':>8} {'÷ ASess':>8}")
    for label, us, is_async in table.rows:
        ratios = (f"{'':>7} {us / aconn:>8.2f} {us / asess:>8.2f}" if is_async
                  else f"{us / core:>7.2f}")
        print(f"  {label:<30} {us:>9.1f} {ratios}")


def print_summary(results):
    """µs per call of every side, one block per database: the figures README's table holds."""
    print("\nsummary: µs per call (ratio to SQLAlchemy Core, or to AsyncConnection for async sides)")
    for db, tables in results:
        print(f"\n{db.label:<30} {'1 row by id':>16} {'100 rows':>16} {'insert':>16}")
        labels = [label for label, _, _ in tables["one"].rows]
        for label in labels:
            cells = []
            for statement, _ in STATEMENTS:
                rows = {l: (us, a) for l, us, a in tables[statement].rows}
                if label not in rows:
                    cells.append(f"{'-':>16}")
                    continue
                us, is_async = rows[label]
                base = rows[ASYNC_CONNECTION if is_async else CORE][0]
                cells.append(f"{us:>9.1f} ({us / base:.2f})")
            print(f"{label:<30} {' '.join(cells)}")


def machine():
    """One line naming the machine and the versions measured."""
    model = next((line.split(":", 1)[1].strip() for line in open_lines("/proc/cpuinfo") if line.startswith("model name")),
                 "unknown CPU")
    versions = [f"Python {platform.python_version()}", f"SQLite {sqlite3.sqlite_version}"]
    for package in ("SQLAlchemy", "aiosql", "pugsql", "PyMySQL", "psycopg", "aiosqlite", "aiomysql", "asyncpg"):
        try:
            versions.append(f"{package} {importlib.metadata.version(package)}")
        except importlib.metadata.PackageNotFoundError:
            pass
    return (f"{platform.processor()} {platform.machine()}".strip() + f", {model}, {os.cpu_count()} cores; "
            + ", ".join(versions))


def open_lines(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.readlines()
    except OSError:
        return []


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a few short rounds")
    args = parser.parse_args()
    rounds, batch_ms = (5, 4) if args.quick else (61, 25)
    started = time.perf_counter()
    for peer in ("aiosql", "pugsql"):
        try:
            __import__(peer)
        except ImportError as error:
            print(f"{peer} cannot be imported ({error}): its sides are left out")
    print(machine())
    print(f"median µs per call over {rounds} interleaved rounds")

    results = []
    with tempfile.TemporaryDirectory() as folder:
        loop = asyncio.new_event_loop()
        try:
            for db in databases(folder):
                run = Run(db, folder, loop, rounds, batch_ms)
                try:
                    run.setup()
                    tables = {}
                    for statement, title in STATEMENTS:
                        run.check(statement)
                        tables[statement] = run.time(statement)
                        print_table(db, title, tables[statement], rounds)
                    results.append((db, tables))
                finally:
                    run.close()
        finally:
            loop.close()
    print_summary(results)
    print(f"\n{time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
