"""AsyncVelmoSqlSession.execute_sql against the same work written by hand with AsyncSession and text().

On in-memory aiosqlite (one StaticPool connection), one task: a dynamic select returning 1 and 100
rows as dataclasses, an insert and an update. The hand-written side builds the SQL string and bind
dict itself, opens an AsyncSession from an async_sessionmaker(expire_on_commit=False) made once,
awaits execute, turns rows into dataclasses through _asdict(), commits and closes.

A third column runs velmo's sync road (GreenletVelmoSqlSession.execute_sql, what each await runs)
the same number of times inside one greenlet: the difference to the first column is what the
async road adds per call, the greenlet hop; the last line times that hop alone (awaiting
greenlet_spawn of a function that does nothing).

Prints the median per-call time of each side and the ratio ours / by hand.
"""

import asyncio
import gc
import statistics
import sys
import time
from typing import List

from sqlalchemy import text
from sqlalchemy.ext.asyncio import async_sessionmaker, create_async_engine
from sqlalchemy.pool import StaticPool
from sqlalchemy.util import greenlet_spawn

from velmo.db.aio import AsyncVelmoSqlSession

import common  # benchmarks/common.py, beside this script
from common import Person  # noqa: E402

ROUNDS = 101

def by_hand(maker):
    async def find(params):
        sql, binds = common.find_sql(params)
        async with maker() as session:
            result = [Person(**row._asdict()) for row in (await session.execute(text(sql), binds)).all()]
            await session.commit()
            return result

    async def add(params):
        async with maker() as session:
            row_id = (await session.execute(text("insert into sink (name) values (:name)"), {"name": params["name"]})).lastrowid
            await session.commit()
            return row_id

    async def hit(params):
        async with maker() as session:
            count = (await session.execute(text("update counter set hits = hits + 1 where id = :id"), {"id": params["id"]})).rowcount
            await session.commit()
            return count

    return {"find": find, "add": add, "hit": hit}


async def per_call_us(run, calls):
    start = time.perf_counter()
    await run(calls)
    return (time.perf_counter() - start) / calls * 1e6


async def compare(name, session, hand, sql_id, params, return_type, calls):
    async def ours(n):
        for _ in range(n):
            await session.execute_sql(sql_id, "bench", params, None, return_type)

    async def direct(n):
        for _ in range(n):
            await hand[sql_id](params)

    def sync_road(n):
        for _ in range(n):
            session.sync_session.execute_sql(sql_id, "bench", params, None, return_type)

    async def in_one_greenlet(n):
        await greenlet_spawn(sync_road, n)

    if sql_id == "find":
        assert await session.execute_sql(sql_id, "bench", params, None, return_type) == await hand[sql_id](params)
    gc.collect()
    # Alternate the sides in short batches so that drift of a shared machine hits them alike.
    times = {ours: [], direct: [], in_one_greenlet: []}
    for _ in range(ROUNDS):
        for run, samples in times.items():
            samples.append(await per_call_us(run, calls))
    o, d, g = (statistics.median(samples) for samples in times.values())
    print(f"{name:<28} {o:>9.1f} {d:>9.1f} {o / d:>7.3f} {g:>12.1f} {o - g:>7.1f}")


async def main():
    engine = create_async_engine("sqlite+aiosqlite://", poolclass=StaticPool)
    async with engine.begin() as c:
        for sql, params in common.schema(1000):
            await c.execute(text(sql), params)
    session = AsyncVelmoSqlSession({"bench": common.load_mapper()}, engine)
    hand = by_hand(async_sessionmaker(engine, expire_on_commit=False))

    print(f"{'operation (aiosqlite)':<28} {'ours µs':>9} {'hand µs':>9} {'ratio':>7} {'1 greenlet µs':>12} {'hop µs':>7}")
    await compare("execute_sql select 1 row", session, hand, "find", {"id": 7}, List[Person], 10)
    await compare("execute_sql select 100 rows", session, hand, "find", {"max_id": 100}, List[Person], 5)
    await compare("execute_sql insert", session, hand, "add", {"name": "x"}, None, 10)
    await compare("execute_sql update", session, hand, "hit", {"id": 1}, None, 10)
    await engine.dispose()

    async def hops(n):
        for _ in range(n):
            await greenlet_spawn(int)

    print(f"greenlet hop alone: {statistics.median([await per_call_us(hops, 1000) for _ in range(ROUNDS)]):.2f} µs")
    return 0


if __name__ == "__main__":
    sys.exit(asyncio.run(main()))
