"""One ParseMapper and one VelmoSqlSession shared by 8 threads, and by 200 asyncio tasks, each
running its own transactions (begin, several statements, commit or rollback, close) on a file
SQLite database and on MariaDB: no transaction sees another's uncommitted or rolled-back rows,
each sees its own, the committed rows are exactly those of the committed transactions, and the
pool has every connection back."""

import asyncio
import threading

import pytest
from sqlalchemy import create_engine

from velmo.db.brannow import VelmoSqlSession
from velmo.mapper.drovik import ParseMapper

MAPPER = """<mapper namespace="c">
  <insert id="add">INSERT INTO rows_ (owner, round_, k, v) VALUES (#{owner}, #{round}, #{k}, 0)</insert>
  <update id="bump">UPDATE rows_ SET v = v + 10 WHERE owner = #{owner} AND round_ = #{round} AND k = #{k}</update>
  <select id="visible" resultType="dict">
    SELECT owner, round_, k + v AS k FROM rows_
    <where><if test="params.get('owner') is not None">owner = #{owner} AND round_ = #{round}</if></where>
    ORDER BY owner, round_, k
  </select>
</mapper>"""
THREADS, ROUNDS, TASKS = 8, 12, 200
# Transactions the tasks hold open at once, and connections in the pool: a sync session blocks the
# loop thread while it waits for a connection, so the pool must serve every open transaction.
OPEN, POOL = 40, 48


def commits(owner, round_):
    """Whether a transaction commits (the others roll back)."""
    return (owner + round_) % 3 != 0


@pytest.fixture
def shared(server, tmp_path):
    engine = create_engine(server[1].url, pool_size=POOL, max_overflow=0, pool_timeout=20)
    with engine.begin() as connection:
        # The key makes MariaDB lock only the rows a statement names (no gap locks, no deadlocks).
        connection.exec_driver_sql(
            "CREATE TABLE rows_ (owner INTEGER, round_ INTEGER, k INTEGER, v INTEGER, PRIMARY KEY (owner, round_, k))"
        )
    path = tmp_path / "c.xml"
    path.write_text(MAPPER, encoding="utf-8")
    session = VelmoSqlSession({"c": ParseMapper(str(path))}, engine)
    yield session
    VelmoSqlSession.connection_local.set(None)
    assert engine.pool.checkedout() == 0
    engine.dispose()


def seen(session, owner=None, round_=None):
    rows = session.execute_sql("visible", "c", {"owner": owner, "round": round_})
    return {(r["owner"], r["round_"], r["k"]) for r in rows}


def check_isolation(visible, owner, round_, own):
    """Rows a transaction sees: its own, and rows of committed transactions only."""
    foreign = {(o, r) for o, r, _ in visible} - {(owner, round_)}
    assert all(commits(o, r) for o, r in foreign), sorted(foreign)
    assert {row for row in visible if row[:2] == (owner, round_)} == own


def expected_rows(owners, rounds, keys):
    return {(o, r, k) for o in owners for r in rounds for k in keys if commits(o, r)}


@pytest.mark.parametrize("server", ["sqlite", "mariadb"], indirect=True)
def test_threads_share_one_session(shared):
    errors = []

    def work(owner):
        try:
            for round_ in range(ROUNDS):
                shared.begin_tx()
                mine = shared.connection_local.get()
                for k in range(3):
                    shared.execute_sql("add", "c", {"owner": owner, "round": round_, "k": k})
                assert shared.execute_sql("bump", "c", {"owner": owner, "round": round_, "k": 2}) == 1
                own = {(owner, round_, 0), (owner, round_, 1), (owner, round_, 12)}
                assert seen(shared, owner, round_) == own
                check_isolation(seen(shared), owner, round_, own)
                assert shared.connection_local.get() is mine
                shared.commit() if commits(owner, round_) else shared.rollback()
                shared.close()
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(owner,)) for owner in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert seen(shared) == expected_rows(range(THREADS), range(ROUNDS), (0, 1, 12))


@pytest.mark.parametrize("server", ["sqlite", "mariadb"], indirect=True)
def test_asyncio_tasks_share_one_session(shared):
    """Each task's statements run on the loop thread; the tasks interleave between statements, up
    to OPEN transactions at once.
    A task reads, yields, reads, yields, then writes and ends its transaction without yielding:
    SQLite takes one writer at a time, and a writer waiting on the loop thread would wait for ever."""

    async def task(owner, open_transactions):
        async with open_transactions:
            await transaction(owner)

    async def transaction(owner):
        shared.begin_tx()
        mine = shared.connection_local.get()
        before = seen(shared)
        await asyncio.sleep(0)
        assert shared.connection_local.get() is mine
        assert seen(shared, owner, 0) == set()
        await asyncio.sleep(0)
        assert shared.connection_local.get() is mine
        for k in range(2):
            shared.execute_sql("add", "c", {"owner": owner, "round": 0, "k": k})
        check_isolation(seen(shared), owner, 0, {(owner, 0, 0), (owner, 0, 1)})
        check_isolation(before, owner, 0, set())
        shared.commit() if commits(owner, 0) else shared.rollback()
        shared.close()

    async def main():
        open_transactions = asyncio.Semaphore(OPEN)
        await asyncio.gather(*(task(owner, open_transactions) for owner in range(TASKS)))

    asyncio.run(main())
    assert shared.connection_local.get() is None
    assert seen(shared) == expected_rows(range(TASKS), [0], (0, 1))
