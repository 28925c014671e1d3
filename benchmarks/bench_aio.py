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
import dataclasses
import gc
import os
import statistics
import sys
import tempfile
import time
from typing import List

from sqlalchemy import text
from sqlalchemy.ext.asyncio import async_sessionmaker, create_async_engine
from sqlalchemy.pool import StaticPool
from sqlalchemy.util import greenlet_spawn

from velmo.db.aio import AsyncVelmoSqlSession
from velmo.mapper.drovik import ParseMapper

ROUNDS = 101

MAPPER = """<mapper namespace="bench">
    <select id="find" resultType="__main__.Person">
        select id, name, score from bench
        <where>
            <if test="params.get('id') is not None">and id = #{id}</if>
            <if test="params.get('max_id') is not None">and id &lt;= #{max_id}</if>
        </where>
    </select>
    <insert id="add">insert into sink (name) values (#{name})</insert>
    <update id="hit">update counter set hits = hits + 1 where id = #{id}</update>
</mapper>"""


@dataclasses.dataclass
class Person:
    id: int
    name: str
    score: int


def find_sql(params):
    clauses, binds = [], {}
    if params.get("id") is not None:
        clauses.append("id = :id")
        binds["id"] = params["id"]
    if params.get("max_id") is not None:
        clauses.append("id <= :max_id")
        binds["max_id"] = params["max_id"]
    return "select id, name, score from bench" + (" WHERE " + " and ".join(clauses) if clauses else ""), binds


def by_hand(maker):
    async def find(params):
        sql, binds = find_sql(params)
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
        await c.execute(text("create table bench (id integer primary key, name varchar(40), score integer)"))
        await c.execute(
            text("insert into bench (name, score) values (:name, :score)"),
            [{"name": f"name {i}", "score": i % 97} for i in range(1, 1001)],
        )
        await c.execute(text("create table counter (id integer primary key, hits integer)"))
        await c.execute(text("insert into counter (id, hits) values (1, 0)"))
        await c.execute(text("create table sink (id integer primary key, name varchar(40))"))
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.xml")
        with open(path, "w", encoding="utf-8") as f:
            f.write(MAPPER)
        session = AsyncVelmoSqlSession({"bench": ParseMapper(path)}, engine)
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
