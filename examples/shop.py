"""velmo's example application: a small shop on an SQLite database file.

Every statement lives in shop.xml; the application names it by id and passes its parameters to
VelmoSqlSession.execute_sql, which evaluates the dynamic SQL, binds the #{...} markers, runs the
statement through SQLAlchemy and turns the rows into the requested Python types. The output shows,
for each call, the statement id, the SQL that reached the database and the shaped result.

Run it with `make demo` (or `python examples/shop.py [DATABASE_FILE]`).
"""

import pathlib
import sys
import tempfile
from typing import List

from sqlalchemy import create_engine, event, text

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))  # shop_models, named by the mapper's resultType attributes

from shop_models import Base, Order, Product, User  # noqa: E402

from velmo.db.brannow import VelmoSqlSession  # noqa: E402
from velmo.db.kestrum import Page  # noqa: E402
from velmo.mapper.drovik import ParseMapper  # noqa: E402

executed = []  # (sql, parameters) of each statement that reached the database, for the story


def show_sql(conn, cursor, statement, parameters, context, executemany):
    executed.append((" ".join(statement.split()), parameters))


def call(session, sql_id, params, page=None, return_type=None, note=""):
    """execute_sql(sql_id, "shop", params, ...) with what happened printed."""
    extra = ""
    if page:
        extra += f", page=Page({page.pageNum}, {page.pageSize})"
    if return_type:
        extra += f", return_type={getattr(return_type, '__name__', None) if isinstance(return_type, type) else return_type}"
    print(f"\nexecute_sql({sql_id!r}, 'shop', {params!r}{extra}){'  # ' + note if note else ''}")
    executed.clear()
    try:
        result = session.execute_sql(sql_id, "shop", params, page, return_type)
    except Exception as exc:
        for sql, parameters in executed:
            print(f"  SQL: {sql}    {parameters}")
        print(f"  !! {type(exc).__name__}: {str(exc).splitlines()[0]}")
        raise
    for sql, parameters in executed:
        print(f"  SQL: {sql}    {parameters}")
    if isinstance(result, list):
        print(f"  -> a list of {len(result)}:")
        for item in result:
            print(f"       {item!r}")
    elif isinstance(result, dict) and "list" in result:
        print(f"  -> page {result['pageNum']} (size {result['pageSize']}) of {result['total']} rows:")
        for item in result["list"]:
            print(f"       {item!r}")
    else:
        print(f"  -> {result!r}")
    return result


def committed_rows(engine, query):
    """What another connection sees: only committed rows."""
    with engine.connect() as connection:
        return connection.execute(text(query)).all()


def main(path):
    engine = create_engine(f"sqlite:///{path}")
    Base.metadata.create_all(engine)
    event.listen(engine, "before_cursor_execute", show_sql)

    mapper = ParseMapper(str(HERE / "shop.xml"))
    session = VelmoSqlSession({mapper.namespace: mapper}, engine)
    print(f"velmo example: a shop in the SQLite file {path}")
    print(f"mapper shop.xml, namespace {mapper.namespace!r}: {', '.join(mapper.list_statement())}")

    print("\n== Inserts: each call runs in a session of its own, committed at once; the answer is the new row's id")
    for name, email, age in [("Ada", "ada@example.com", 36), ("Alan", "alan@example.com", 41),
                              ("Grace", "grace@example.com", 45), ("Edsger", "edsger@example.com", 72)]:
        call(session, "add_user", {"name": name, "email": email, "age": age})
    for name, price in [("keyboard", 45), ("lamp", 30)]:
        call(session, "add_product", {"name": name, "price": price})
    call(session, "add_order", {"user_id": 1, "product_id": 1, "quantity": 2})

    print("\n== Dynamic selects: only the conditions whose test holds reach the SQL")
    call(session, "find_users", {}, note="no condition: no WHERE at all; rows become User dataclasses")
    call(session, "find_users", {"min_age": 40, "order": "age"})
    call(session, "find_users", {"ids": [2, 4], "name": "%a%"}, note="foreach writes one bind per list item")
    call(session, "find_users", {"ids": [1]}, return_type=User, note="one object instead of a list")
    call(session, "count_users", {}, return_type=int, note="a scalar")
    call(session, "orders_of", {"user_id": 1}, return_type=List[Order], note="pydantic models")
    call(session, "products", {}, note="SQLAlchemy declarative objects")
    call(session, "order_counts", {}, note="no resultType: the rows as dicts")

    print("\n== Updates and deletes answer with the number of rows they touched")
    call(session, "update_user", {"id": 4, "age": 73}, note="<set> keeps only the columns given")
    call(session, "delete_user", {"id": 3})

    print("\n== Paging: a count of all rows, then one page of them")
    call(session, "find_users", {}, page=Page(2, 2))

    print("\n== A transaction that commits: begin_tx, statements, commit, close")
    session.begin_tx()
    try:
        call(session, "add_order", {"user_id": 2, "product_id": 2, "quantity": 1})
        call(session, "add_order", {"user_id": 2, "product_id": 1, "quantity": 1})
        print("\n  before commit, another connection sees orders of Alan:",
              committed_rows(engine, "SELECT id FROM orders WHERE user_id = 2"))
        session.commit()
    finally:
        session.close()
    print("  after commit:", committed_rows(engine, "SELECT id FROM orders WHERE user_id = 2"))

    print("\n== A transaction that rolls back after a failing statement")
    session.begin_tx()
    try:
        call(session, "add_order", {"user_id": 4, "product_id": 2, "quantity": 3})
        call(session, "add_user", {"name": "Ada again", "email": "ada@example.com", "age": 1},
             note="the email is already taken")
        session.commit()
    except Exception:
        # The failed statement has already rolled the transaction back; rollback() ends it here too.
        session.rollback()
        print("\n  rolled back: the order of the first statement is gone with it")
    finally:
        session.close()
    print("  orders of Edsger after the rollback:", committed_rows(engine, "SELECT id FROM orders WHERE user_id = 4"))
    call(session, "order_counts", {})


if __name__ == "__main__":
    if len(sys.argv) > 1:
        main(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory(prefix="velmo-demo-") as folder:
            main(pathlib.Path(folder) / "shop.db")
