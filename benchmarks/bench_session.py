"""VelmoSqlSession.execute_sql and results_handle against the same work written by hand.

execute_sql on in-memory SQLite (one StaticPool connection): a dynamic select returning 1 and 100
rows as dataclasses, an insert and an update, each against hand-written SQLAlchemy that builds the
SQL string and bind dict itself, calls text(), opens a new sessionmaker(bind=engine,
expire_on_commit=False)(), executes, turns rows into dataclasses through _asdict(), commits and
closes. results_handle turning 10,000 row dicts into dataclasses, pydantic models and scalars,
against [R(**row) for row in rows] and [next(iter(r.values())) for r in rows].

Prints the median per-call time of both sides and their ratio (ours / direct).
"""

import gc
import sys
from typing import List

import pydantic
from sqlalchemy import create_engine, text
from sqlalchemy.orm import sessionmaker
from sqlalchemy.pool import StaticPool

from velmo.db.brannow import VelmoSqlSession, results_handle

import common  # benchmarks/common.py, beside this script
from common import Person  # noqa: E402

ROUNDS = 201

class PersonModel(pydantic.BaseModel):
    id: int
    name: str
    score: int


def run(engine, work):
    """One owned session around `work`, as an application writes it."""
    session = sessionmaker(bind=engine, expire_on_commit=False)()
    try:
        result = work(session)
        session.commit()
        return result
    except Exception:
        session.rollback()
        raise
    finally:
        session.close()


def direct_find(engine, params):
    sql, binds = common.find_sql(params)
    return run(engine, lambda s: [Person(**row._asdict()) for row in s.execute(text(sql), binds).all()])


def direct_add(engine, params):
    binds = {"name": params["name"]}
    return run(engine, lambda s: s.execute(text("insert into sink (name) values (:name)"), binds).lastrowid)


def direct_hit(engine, params):
    binds = {"id": params["id"]}
    return run(engine, lambda s: s.execute(text("update counter set hits = hits + 1 where id = :id"), binds).rowcount)


def compare(name, ours, direct, calls, limit):
    return common.compare(name, ours, direct, calls, limit, ROUNDS, width=34)


def main():
    engine = create_engine("sqlite://", poolclass=StaticPool, connect_args={"check_same_thread": False})
    with engine.begin() as c:
        for sql, params in common.schema(1000):
            c.execute(text(sql), params)
    session = VelmoSqlSession({"bench": common.load_mapper()}, engine)

    def ours(sql_id, params, return_type=None):
        return lambda: session.execute_sql(sql_id, "bench", params, None, return_type)

    one, hundred = {"id": 7}, {"max_id": 100}
    rows = [{"id": i, "name": f"name {i}", "score": i % 97} for i in range(10_000)]

    gc.collect()
    print(f"{'operation':<34} {'ours µs':>10} {'direct µs':>10} {'ratio':>7}")
    ok = [
        compare("execute_sql select 1 row", ours("find", one, List[Person]),
                lambda: direct_find(engine, one), 10, 1.0),
        compare("execute_sql select 100 rows", ours("find", hundred, List[Person]),
                lambda: direct_find(engine, hundred), 5, 1.0),
        compare("execute_sql insert", lambda: ours("add", {"name": "x"})() > 0,
                lambda: direct_add(engine, {"name": "x"}) > 0, 10, 1.0),
        compare("execute_sql update", ours("hit", {"id": 1}), lambda: direct_hit(engine, {"id": 1}), 10, 1.0),
        compare("results_handle 10,000 dataclasses", lambda: results_handle(rows, Person, List[Person]),
                lambda: [Person(**row) for row in rows], 1, 1.0),
        compare("results_handle 10,000 pydantic", lambda: results_handle(rows, PersonModel, List[PersonModel]),
                lambda: [PersonModel(**row) for row in rows], 1, 1.0),
        compare("results_handle 10,000 scalars", lambda: results_handle(rows, int, List[int]),
                lambda: [next(iter(r.values())) for r in rows], 1, 1.0),
    ]
    return 0 if all(ok) else 1


if __name__ == "__main__":
    sys.exit(main())
