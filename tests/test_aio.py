"""velmo.db.aio on aiosqlite, aiomysql and psycopg over the shop mapper; no run may leave a connection
checked out. Construction, forwarding into the greenlet, concurrency, cancellation, tasks, FastAPI."""

import asyncio
import functools
import pathlib
import sys
import types

import httpx
import pytest
from sqlalchemy import create_engine, event, text
from sqlalchemy.exc import IntegrityError
from sqlalchemy.ext.asyncio import create_async_engine
from sqlalchemy.util.concurrency import in_greenlet

import velmo
from conftest import ENGINE_IDS, Raises, expect, fresh_database

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from shop_api import create_app  # noqa: E402
from shop_models import Base  # noqa: E402

from velmo.db.aio import AsyncVelmoSqlSession as A, GreenletVelmoSqlSession  # noqa: E402
from velmo.db.brannow import VelmoSqlSession  # noqa: E402
from velmo.db.kestrum import Page, SqlTemplate  # noqa: E402
from velmo.mapper.drovik import ParseMapper  # noqa: E402

MAPPER = ParseMapper(str(pathlib.Path(__file__).resolve().parent.parent / "examples" / "shop.xml"))
DRIVERS = {"sqlite": "sqlite+aiosqlite", "mysql": "mysql+aiomysql", "postgresql": "postgresql+psycopg"}
current = A.connection_local.get


@pytest.fixture(scope="module", params=ENGINE_IDS)
def database(request, tmp_path_factory):
    with fresh_database(request.param, tmp_path_factory.mktemp("aio")) as engine:
        Base.metadata.create_all(engine)
        yield engine


@pytest.fixture
def db(database):
    """The module's database (its sync engine) with empty shop tables."""
    with database.begin() as connection:
        for table in ("orders", "users", "products"):
            connection.execute(text(f"delete from {table}"))
    return database


def run(engine, work, driver=None, **options):
    """`await work(session)` for an AsyncVelmoSqlSession over a new AsyncEngine on `engine`'s database."""
    async def main():
        async_engine = create_async_engine(engine.url.set(drivername=driver or DRIVERS[engine.dialect.name]), **options,
                                           **({"connect_args": {"timeout": 60}} if engine.dialect.name == "sqlite" else {}))
        try:
            return await work(A({"shop": MAPPER}, async_engine))
        finally:
            assert async_engine.pool.checkedout() == 0
            await async_engine.dispose()

    return asyncio.run(main())


def committed(engine, query):  # what a separate connection sees
    with engine.connect() as connection:
        return sorted(tuple(row) for row in connection.execute(text(query)))


ASYNC, SYNC = create_async_engine("sqlite+aiosqlite://"), create_engine("sqlite://")
REFUSED = Raises(TypeError, "velmo.db.aio.AsyncVelmoSqlSession needs an AsyncEngine (create_async_engine); "
                 "for an Engine use velmo.db.brannow.VelmoSqlSession")


def built(*args, **kwargs):
    s = A(*args, **kwargs)
    assert type(s.sync_session) is GreenletVelmoSqlSession and s.sync_session.kestrum is s.kestrum
    return type(s.data_source).__name__, s.data_source.sync_engine is s.kestrum.data_source is ASYNC.sync_engine


@pytest.mark.parametrize("call, expected", [
    (lambda: built({}, ASYNC), ("AsyncEngine", True)),
    (lambda: built({}, SYNC, kestrum=SqlTemplate(ASYNC.sync_engine)), ("AsyncEngine", True)),
    (lambda: built([]), Raises(TypeError, "Argument 'mapper_dict' has incorrect type (expected dict, got list)")),
    (lambda: built({}, None, None), Raises(Exception, "kestrum can't init")),
    (lambda: built({}, SYNC), REFUSED),
    (lambda: built({}, kestrum=SqlTemplate(SYNC)), REFUSED),
    (lambda: built({}, "engine"), Raises(TypeError, "Argument 'data_source' has incorrect type (expected AsyncEngine, got str)")),
    (lambda: built({}, kestrum=SqlTemplate("bind")), Raises(TypeError, "velmo.db.aio.AsyncVelmoSqlSession needs a "
                                                        "SqlTemplate over the sync_engine of an AsyncEngine, got one over str")),
    (lambda: A({}, ASYNC).execute_sql(1), Raises(TypeError, "Argument 'sql_id' has incorrect type (expected str, got int)")),
])
def test_construction_and_argument_errors(call, expected):
    expect(expected, call)


Q, PAGE = text("q"), Page(1, 2)
FORWARDS = [  # (method, arguments given, arguments of the sync call)
    ("execute_sql", ("find", "shop"), ("find", "shop", None, None, None)),
    ("execute_sql", ("find", "shop", {}, PAGE, int), ("find", "shop", {}, PAGE, int)),
    ("select_one", (Q,), (Q, None)),
    ("select_list", (Q, {}), (Q, {})),
    ("select_page", (Q, PAGE), (Q, PAGE, None)),
    *[(name, (Q, {}), (Q, {})) for name in ("insert", "update", "delete")],
    *[(name, (Q,), (Q,)) for name in ("add", "add_all", "select_all_orm2", "select_one_orm2", "update_orm2", "delete_orm2")],
    ("insert_orm2", (Q, [PAGE]), (Q, [PAGE])),
    ("insert_orm2", (Q,), (Q, None)),
    *[(name, (), ()) for name in ("begin_tx", "commit", "rollback", "close")],
]


@pytest.mark.parametrize("name, given, forwarded", FORWARDS)
def test_each_method_awaits_its_sync_namesake_in_a_greenlet(name, given, forwarded):
    s, calls = A({}, ASYNC), []
    s.sync_session = types.SimpleNamespace(**{name: lambda *args: calls.append((args, in_greenlet())) or name})
    assert asyncio.run(getattr(s, name)(*given)) == name and calls == [(forwarded, True)]


async def task(s, i):
    """Transaction i: two users, read back and updated in it; a duplicate every 10th; commit or rollback."""
    await s.begin_tx()
    try:
        for tag in "ab":
            await s.execute_sql("add_user", "shop", {"name": f"t{i}", "email": f"{tag}{i}@x", "age": i})
        own = await s.execute_sql("find_users", "shop", {"name": f"t{i}"})
        await s.execute_sql("update_user", "shop", {"id": own[0].id, "age": -i})
        if i % 10 == 0:
            await s.execute_sql("add_user", "shop", {"name": "dup", "email": f"a{i}@x"})
        await (s.commit() if i % 3 else s.rollback())
        return len(own)
    except IntegrityError:
        await s.rollback()
        return "failed"
    finally:
        await s.close()


def test_200_concurrent_tasks_each_with_its_own_transaction(db):
    outcomes = run(db, lambda s: asyncio.gather(*(task(s, i) for i in range(200))))
    assert outcomes == ["failed" if i % 10 == 0 else 2 for i in range(200)]
    assert committed(db, "select name, age from users") == sorted(
        (f"t{i}", age) for i in range(200) if i % 3 and i % 10 for age in (i, -i))


def plain_fill(con):
    for n in range(3):
        con.execute(text("insert into products (name, price) values (:name, 1)"), {"name": f"p{n}"})
    return con.execute(text("select count(*) from products")).scalar()


async def async_fill(con, fail=False):
    for n in range(3):
        await con.execute(text("insert into products (name, price) values (:name, 1)"), {"name": f"p{n}"})
    return 1 / 0 if fail else (await con.execute(text("select count(*) from products"))).scalar()


ROADS = {"owned, plain fun": lambda s: s.execute_in_connection(plain_fill),
         "owned, async fun": lambda s: s.execute_in_connection(async_fill), "transaction": lambda s: task(s, 1)}


@pytest.mark.parametrize("after", [1, 2])
@pytest.mark.parametrize("road", ROADS)
def test_cancellation_in_the_middle_leaves_nothing_behind(db, road, after):
    async def work(s):
        executed = []
        def cancel(*_):  # noqa: E306
            executed.append(1)
            if len(executed) == after:
                asyncio.current_task().cancel()
        event.listen(s.data_source.sync_engine, "after_cursor_execute", cancel)
        victim = asyncio.create_task(ROADS[road](s))
        with pytest.raises(asyncio.CancelledError):
            await victim
        return len(executed), await s.execute_sql("products", "shop", {})  # counted before this one runs

    assert run(db, work) == (after, [])
    assert committed(db, "select name from products union all select name from users") == []


def test_a_transaction_cancelled_while_it_awaits_something_else_is_given_back_by_close(db):
    async def handler(s, waiting):
        await s.begin_tx()
        try:
            await s.execute_sql("add_product", "shop", {"name": "p", "price": 1})
            waiting.set()
            await asyncio.sleep(3600)  # another service, say
        finally:
            await s.close()

    async def work(s):
        victim = asyncio.create_task(handler(s, waiting := asyncio.Event()))
        await waiting.wait()
        held, _ = s.data_source.pool.checkedout(), victim.cancel()
        with pytest.raises(asyncio.CancelledError):
            await victim
        return held

    assert run(db, work) == 1
    assert committed(db, "select name from products") == []


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize("fun, expected, rows", [
    (async_fill, 3, 3),
    (functools.partial(async_fill, fail=True), Raises(ZeroDivisionError), 0),
    (lambda con: async_fill(con), Raises(TypeError, match=r"^execute_in_connection\(\): fun\(session\) returned an awaitable"), 0),
])
def test_execute_in_connection_awaits_async_functions_and_refuses_awaitables(db, fun, expected, rows):
    expect(expected, run, db, lambda s: s.execute_in_connection(fun))
    assert committed(db, "select count(*) from products") == [(rows,)]


def test_each_task_has_its_own_transaction(db):
    async def child(s, begin):  # in a transaction of its own, or in its creator's
        seen = current()
        await (s.begin_tx() if begin else asyncio.sleep(0))
        await s.execute_sql("add_product", "shop", {"name": f"child {begin}", "price": 1})
        if begin:
            await s.commit(), await s.close()
        return seen, current()

    async def work(s):
        await s.begin_tx()
        mine = current()
        assert await asyncio.create_task(child(s, True)) == (mine, None)
        assert await asyncio.create_task(child(s, False)) == (mine, mine)
        assert current() is mine and VelmoSqlSession.connection_local.get() is None
        own = await s.get_ori_session()  # the caller's own AsyncSession, outside the transaction
        assert (await own.execute(text("select count(*) from products"))).scalar() == 1 and own.sync_session is not mine
        await own.close(), await s.rollback(), await s.close()

    run(db, work)
    assert committed(db, "select name from products") == [("child True",)]


def test_the_fastapi_example_commits_each_request_or_nothing(db):
    async def work(s):
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=create_app(s.data_source)), base_url="http://x") as client:
            users = [{"name": "Ada", "email": "ada@x", "age": 36}, {"name": "Alan", "email": "alan@x", "age": 41},
                     {"name": "Ada", "email": "ada@x"}]
            statuses = [(await client.post("/users", json=user)).status_code for user in users]
            ids = [user["id"] for user in (await client.get("/users")).json()]
            product = (await client.post("/products", json={"name": "lamp", "price": 30})).json()[0]["id"]
            orders = await asyncio.gather(*(client.post(f"/users/{ids[i % 2]}/orders", json=[
                {"product_id": product, "quantity": i}, {"product_id": product + i % 3, "quantity": 1}]) for i in range(1, 21)))
        return statuses, [answer.status_code for answer in orders]

    assert run(db, work) == ([201, 201, 409], [201 if i % 3 == 0 else 404 for i in range(1, 21)])
    assert committed(db, "select quantity from orders") == sorted((q,) for i in range(3, 21, 3) for q in (i, 1))




@pytest.mark.parametrize("returning", ["", " RETURNING id"], ids=["plain", "returning"])
@pytest.mark.parametrize("driver", ["sync", None, "postgresql+asyncpg"], ids=["sync", "async", "asyncpg"])
def test_insert_answers_the_new_id_and_commits_on_every_driver(db, load, driver, returning):
    if driver and driver[:10] == "postgresql" != db.dialect.name:
        pytest.skip("a PostgreSQL driver")
    m, call = {"t": load(f'<insert id="a">INSERT INTO products (name, price) VALUES (1, 1){returning}</insert>')}, ("a", "t", {})
    answer = (VelmoSqlSession(m, db).execute_sql(*call) if driver == "sync"
              else run(db, lambda s: A(m, s.data_source).execute_sql(*call), driver))
    ids = committed(db, "select id from products")  # through a connection of its own
    assert len(ids) == 1 and answer == (None if db.dialect.name == "postgresql" and not returning else ids[0][0])


async def sloppy(s):
    await s.begin_tx()  # never closed
    await s.execute_sql("add_product", "shop", {"name": "lost", "price": 1})


@pytest.mark.parametrize("driver", [None, "postgresql+asyncpg"], ids=["default", "asyncpg"])
def test_a_task_that_ends_in_its_transaction_gives_the_connection_back(db, driver):
    if driver and db.dialect.name != "postgresql":
        pytest.skip("a PostgreSQL driver")

    async def work(s):
        with pytest.warns(ResourceWarning) as warned:
            await asyncio.gather(*(tasks := [asyncio.create_task(sloppy(s)) for _ in range(50)]))  # 2 connections
        barrier = asyncio.Barrier(2)  # both connections at once: every sloppy session has given its own back

        async def request():
            async with velmo.transaction(s) as tx:
                return await tx.execute_sql("products", "shop", {}), await barrier.wait()
        assert [rows for rows, _ in await asyncio.gather(request(), request())] == [[], []]
        return {str(w.message) for w in warned if "begin_tx" in str(w.message)}, {t.get_context().get(A.connection_local) for t in tasks}

    assert run(db, work, driver, pool_size=2, max_overflow=0, pool_timeout=10) == ({
        f"transaction begun by begin_tx() at {__file__}:{sloppy.__code__.co_firstlineno + 1} was still open when its task "
        "ended: velmo closed it, discarding what it had not committed; end a transaction with close() in a finally "
        "block, or use 'async with velmo.transaction(session)'"}, {None})
    assert committed(db, "select name from products") == []


def test_transaction_of_a_task_commits_rolls_back_and_does_not_nest(db):
    async def work(s, error=ValueError()):
        with pytest.raises(ValueError) as raised:
            async with velmo.transaction(s):
                await s.execute_sql("add_product", "shop", {"name": "dropped", "price": 1})
                raise error
        async with velmo.transaction(s) as tx:
            await tx.execute_sql("add_product", "shop", {"name": "kept", "price": 1})
            with pytest.raises(RuntimeError, match="already current in this thread or task for AsyncVelmoSqlSession "):
                async with velmo.transaction(s):
                    pass
        with pytest.raises(TypeError, match="'with' needs a VelmoSqlSession, got AsyncVelmoSqlSession; use 'async with'"):
            with velmo.transaction(s):
                pass
        return raised.value is error, current()

    assert run(db, work) == (True, None)
    assert committed(db, "select name from products") == [("kept",)]

