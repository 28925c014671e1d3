"""The whole road on the example application's mapper file (examples/shop.xml), on SQLite, MariaDB
and PostgreSQL: statements by id with dynamic elements, results shaped into every kind of type,
paging, explicit transactions checked through a separate connection, and the current transaction
private to each thread and each asyncio task."""

import asyncio
import pathlib
import sys
import threading
from typing import Dict, List

import pytest
import sqlalchemy.exc
from sqlalchemy import text

from conftest import ENGINE_IDS, fresh_database

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from shop_models import Base, Order, Product, User  # noqa: E402

from velmo.db.brannow import VelmoSqlSession  # noqa: E402
from velmo.db.kestrum import Page  # noqa: E402
from velmo.mapper.drovik import ParseMapper  # noqa: E402

MAPPER = ParseMapper(str(pathlib.Path(__file__).resolve().parent.parent / "examples" / "shop.xml"))
PEOPLE = [("Ada", "ada@x.org", 36), ("Alan", "alan@x.org", 41), ("Grace", "grace@x.org", 45), ("Edsger", "e@x.org", 72)]


@pytest.fixture(params=ENGINE_IDS)
def shop(request, tmp_path):
    """A session over the shop's tables in a new database, with four users and two products."""
    with fresh_database(request.param, tmp_path) as engine:
        Base.metadata.create_all(engine)
        session = VelmoSqlSession({"shop": MAPPER}, engine)
        for name, email, age in PEOPLE:
            session.execute_sql("add_user", "shop", {"name": name, "email": email, "age": age})
        for name, price in [("keyboard", 45), ("lamp", 30)]:
            session.execute_sql("add_product", "shop", {"name": name, "price": price})
        yield session
        assert engine.pool.checkedout() == 0
        VelmoSqlSession.connection_local.set(None)


def committed(session, query):
    """What a separate connection sees."""
    with session.data_source.connect() as connection:
        return [tuple(row) for row in connection.execute(text(query))]


def run(session, sql_id, params=None, page=None, return_type=None):
    return session.execute_sql(sql_id, "shop", {} if params is None else params, page, return_type)


@pytest.mark.parametrize(
    ("sql_id", "params", "return_type", "expected"),
    [
        ("find_users", {}, None, [User(i, *p) for i, p in enumerate(PEOPLE, 1)]),
        ("find_users", {"min_age": 40, "order": "age"}, List[User], [User(4, *PEOPLE[3]), User(3, *PEOPLE[2]), User(2, *PEOPLE[1])]),
        ("find_users", {"ids": [2, 4], "name": "%a%"}, list, [User(2, *PEOPLE[1])]),
        ("find_users", {"ids": [3, 1]}, User, User(1, *PEOPLE[0])),
        ("find_users", {"name": "nobody"}, User, []),
        ("count_users", {}, int, 4),
        ("count_users", {}, List[int], [4]),
        ("order_counts", {}, None, [{"name": n, "orders": 1 if n == "Ada" else 0} for n, _, _ in PEOPLE]),
        ("order_counts", {}, Dict[str, int], {"name": "Ada", "orders": 1}),
        ("orders_of", {"user_id": 1}, List[Order], [Order(id=1, user_id=1, product="keyboard", quantity=2, total=90)]),
    ],
)
def test_selects_are_shaped_into_the_requested_type(shop, sql_id, params, return_type, expected):
    assert run(shop, "add_order", {"user_id": 1, "product_id": 1, "quantity": 2}) in (1, None)
    assert run(shop, sql_id, params, return_type=return_type) == expected


def test_declarative_results_and_writes(shop):
    products = run(shop, "products")
    assert [type(p) for p in products] == [Product, Product]
    assert [(p.id, p.name, p.price) for p in products] == [(1, "keyboard", 45), (2, "lamp", 30)]
    assert run(shop, "update_user", {"id": 4, "age": 73, "name": "E. W. Dijkstra"}) == 1
    assert run(shop, "update_user", {"id": 99, "age": 1}) == 0
    assert run(shop, "delete_user", {"id": 3}) == 1
    assert committed(shop, "select name, age from users order by id") == [
        ("Ada", 36), ("Alan", 41), ("E. W. Dijkstra", 73)]


def test_paging(shop):
    answer = run(shop, "find_users", page=Page(2, 3))
    assert answer == {"pageNum": 2, "pageSize": 3, "total": 4, "list": [User(4, *PEOPLE[3])]}
    assert run(shop, "find_users", {"min_age": 100}, page=Page(1, 3))["list"] == []


def test_explicit_transactions(shop):
    orders = "select user_id, quantity from orders order by id"
    shop.begin_tx()
    run(shop, "add_order", {"user_id": 2, "product_id": 2, "quantity": 1})
    run(shop, "add_order", {"user_id": 2, "product_id": 1, "quantity": 5})
    assert committed(shop, orders) == []
    assert run(shop, "count_users", return_type=int) == 4  # the transaction's own session
    shop.commit()
    assert committed(shop, orders) == [(2, 1), (2, 5)]
    shop.close()

    shop.begin_tx()
    run(shop, "add_order", {"user_id": 3, "product_id": 2, "quantity": 7})
    with pytest.raises(sqlalchemy.exc.IntegrityError):
        run(shop, "add_user", {"name": "again", "email": "ada@x.org", "age": 1})
    shop.rollback()
    shop.close()
    assert committed(shop, orders) == [(2, 1), (2, 5)]
    assert VelmoSqlSession.connection_local.get() is None


def test_the_transaction_is_private_to_threads_and_tasks(shop):
    shop.begin_tx()
    mine = VelmoSqlSession.connection_local.get()
    seen = []
    thread = threading.Thread(target=lambda: seen.append(VelmoSqlSession.connection_local.get()))
    thread.start()
    thread.join()

    async def task(begin):
        if begin:
            shop.begin_tx()
            own = VelmoSqlSession.connection_local.get()
            shop.close()
            return own
        return VelmoSqlSession.connection_local.get()

    async def main():
        return await asyncio.gather(task(True), task(False))

    own, inherited = asyncio.run(main())
    assert seen == [None]
    assert own is not mine and inherited is mine
    assert VelmoSqlSession.connection_local.get() is mine  # the tasks' begin and close stayed theirs
    shop.close()
