"""Faults on MariaDB and PostgreSQL: the connection killed from a second connection in the middle of
an owned operation, of a statement inside an explicit transaction and between the statements of
one (then a statement fails, or close() without a rollback), a constraint violation, a statement
timeout. Each time the caller gets the statement's own error (not one from the rollback or close
after it), nothing of the transaction is written, the pool has the connection back, and the next
call works. The killed connection also through AsyncVelmoSqlSession, on each async driver."""

import asyncio
import contextvars
import threading
import time
import types

import pytest
import sqlalchemy.exc
from sqlalchemy import create_engine, text
from sqlalchemy.ext.asyncio import create_async_engine

from conftest import connection_id, kill
from velmo.db.aio import AsyncVelmoSqlSession
from velmo.db.brannow import VelmoSqlSession
from velmo.mapper.drovik import ParseMapper

SERVERS = ["mariadb", "postgresql"]
MAPPER = """<mapper namespace="f">
  <insert id="add">INSERT INTO items (id, v) VALUES (#{id}, 'x')</insert>
  <insert id="slow_add">
    INSERT INTO items (id, v) SELECT #{id}, 'slow' FROM
    <choose>
      <when test="params['kind'] == 'mariadb'">(SELECT SLEEP(#{seconds}) AS s) AS slept</when>
      <otherwise>(SELECT pg_sleep(#{seconds})) AS slept</otherwise>
    </choose>
  </insert>
  <select id="ids" resultType="int">SELECT id FROM items ORDER BY id</select>
</mapper>"""
# What the driver reports for each fault, by server: error codes (MariaDB) or SQLSTATE classes.
KILLED = {"mariadb": {2013, 1927, 2006}, "postgresql": {"57P01", "08"}}
TIMED_OUT = {"mariadb": {1969}, "postgresql": {"57014"}}


DRIVERS = {"sync": {}, "asyncio": {"mariadb": "mysql+aiomysql", "postgresql": "postgresql+psycopg"},
           "asyncpg": {"postgresql": "postgresql+asyncpg"}}


class Awaited:
    """An AsyncVelmoSqlSession called as the sync one: each call awaited to its end, all as one task's."""

    def __init__(self, s):
        self.s, self.data_source, self.loop, self.context = s, s.data_source, asyncio.new_event_loop(), contextvars.copy_context()
        self.connection_local = types.SimpleNamespace(get=lambda: self.context.get(s.connection_local))
        self.run = lambda awaitable: self.loop.run_until_complete(self.loop.create_task(awaitable, context=self.context))

    def __getattr__(self, name):
        return lambda *args: self.run(getattr(self.s, name)(*args))


@pytest.fixture
def faults(server, tmp_path, request):
    """(kind, session, admin): a session on a new database with an empty table `items`, on the async
    driver that the parameter names (DRIVERS) an AsyncVelmoSqlSession."""
    kind, engine, admin = server
    with engine.begin() as connection:
        connection.execute(text("CREATE TABLE items (id INTEGER PRIMARY KEY, v VARCHAR(10))"))
    path = tmp_path / "f.xml"
    path.write_text(MAPPER, encoding="utf-8")
    session = VelmoSqlSession({"f": ParseMapper(str(path))}, engine)
    drivers = DRIVERS[getattr(request, "param", "sync")]
    if drivers and kind not in drivers:
        pytest.skip(f"{request.param} is not for {kind}")
    if driver := drivers.get(kind):
        session = Awaited(AsyncVelmoSqlSession(session.mapper_dict, create_async_engine(engine.url.set(drivername=driver))))
    yield kind, session, admin
    VelmoSqlSession.connection_local.set(None)
    if driver:
        session.run(session.data_source.dispose()), session.loop.close()


def ids(session):
    return session.execute_sql("ids", "f", {}, None, list)


def code(error):
    """The driver's error code (MariaDB) or SQLSTATE (PostgreSQL) of a SQLAlchemy error."""
    orig = error.orig
    return orig.args[0] if hasattr(orig, "args") and isinstance(orig.args[0], int) else orig.sqlstate


def assert_is(error, kind, codes, statement="INSERT INTO items"):
    """The statement's own error, as the driver raised it (asyncpg's is no OperationalError)."""
    assert isinstance(error, sqlalchemy.exc.OperationalError) or "asyncpg" in repr(error), repr(error)
    assert error.statement.startswith(statement), error.statement
    found = code(error)
    assert found in codes or (isinstance(found, str) and found[:2] in codes), (found, error)


def assert_clean(session, kind, expected):
    """Nothing half-written, every connection back in the pool, and the next call works."""
    assert session.connection_local.get() is None
    assert session.data_source.pool.checkedout() == 0
    assert ids(session) == expected
    session.execute_sql("add", "f", {"id": 99})
    assert ids(session) == expected + [99]
    assert session.data_source.pool.checkedout() == 0


def kill_when_running(admin, kind, database):
    """Kills the connection that is running the sleeping statement in `database`, once it runs."""
    find = {
        "mariadb": "SELECT id FROM information_schema.processlist WHERE db = :db AND info LIKE '%SLEEP(%' "
                   "AND id <> CONNECTION_ID()",
        "postgresql": "SELECT pid FROM pg_stat_activity WHERE datname = :db AND query LIKE '%pg_sleep(%' "
                      "AND pid <> pg_backend_pid()",
    }[kind]
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with admin.connect() as c:
            found = c.execute(text(find), {"db": database}).scalars().all()
        if found:
            kill(admin, kind, found[0])
            return
        time.sleep(0.05)
    raise AssertionError("the statement never ran")


@pytest.mark.parametrize("faults", list(DRIVERS), indirect=True)
@pytest.mark.parametrize("server", SERVERS, indirect=True)
@pytest.mark.parametrize("when", ["owned statement", "statement of a transaction", "between statements", "idle, then closed"])
def test_connection_killed(faults, when):
    kind, session, admin = faults
    if when != "owned statement":
        session.begin_tx()
        session.execute_sql("add", "f", {"id": 1})
    if when in ("between statements", "idle, then closed"):
        kill(admin, kind, session.select_one(text(f"{connection_id(kind)} AS id"))["id"])
        killer, params = None, ("add", "f", {"id": 2})
    else:
        killer = threading.Thread(target=kill_when_running, args=(admin, kind, session.data_source.url.database))
        killer.start()
        params = ("slow_add", "f", {"kind": kind, "id": 2, "seconds": 30})
    with pytest.raises(sqlalchemy.exc.DBAPIError) as info:  # closing without a rollback fails too
        session.close() if when == "idle, then closed" else session.execute_sql(*params)
    if killer:
        killer.join()
        assert info.value.connection_invalidated
    if when != "idle, then closed":
        assert_is(info.value, kind, KILLED[kind])
        session.rollback()
        session.close()
    assert_clean(session, kind, [])


@pytest.mark.parametrize("server", SERVERS, indirect=True)
def test_constraint_violation(faults):
    kind, session, _ = faults
    session.execute_sql("add", "f", {"id": 1})
    with pytest.raises(sqlalchemy.exc.IntegrityError) as owned:
        session.execute_sql("add", "f", {"id": 1})
    session.begin_tx()
    session.execute_sql("add", "f", {"id": 2})
    with pytest.raises(sqlalchemy.exc.IntegrityError) as borrowed:
        session.execute_sql("add", "f", {"id": 1})
    for error in (owned.value, borrowed.value):
        assert error.statement.startswith("INSERT INTO items") and not error.connection_invalidated
    session.close()
    assert_clean(session, kind, [1])


@pytest.mark.parametrize("server", SERVERS, indirect=True)
@pytest.mark.parametrize("in_transaction", [False, True], ids=["owned", "transaction"])
def test_statement_timeout(faults, in_transaction):
    kind, session, _ = faults
    limit = {"mariadb": {"init_command": "SET SESSION max_statement_time = 0.3"},
             "postgresql": {"options": "-c statement_timeout=300"}}[kind]
    engine = create_engine(session.data_source.url, connect_args=limit)
    try:
        limited = VelmoSqlSession(session.mapper_dict, engine)
        if in_transaction:
            limited.begin_tx()
            limited.execute_sql("add", "f", {"id": 1})
        with pytest.raises(sqlalchemy.exc.OperationalError) as info:
            limited.execute_sql("slow_add", "f", {"kind": kind, "id": 2, "seconds": 5})
        assert_is(info.value, kind, TIMED_OUT[kind])
        limited.rollback()
        limited.close()
        assert_clean(limited, kind, [])
    finally:
        engine.dispose()
