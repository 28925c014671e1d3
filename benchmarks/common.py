"""What the benchmarks share: timing sides against each other in interleaved batches, and the session
benchmarks' schema and mapper."""

import dataclasses
import gc
import os
import statistics
import tempfile
import time


def batch_us(fn, calls):
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls * 1e6


async def abatch_us(fn, calls):
    """batch_us for a coroutine function: awaits fn() `calls` times."""
    start = time.perf_counter()
    for _ in range(calls):
        await fn()
    return (time.perf_counter() - start) / calls * 1e6


def interleaved_medians(runs, calls, rounds):
    """The median µs per call of each side. `runs` maps a side's name to a function that makes
    `calls` calls of it and answers their µs per call (batch_us over the side, say).

    Every round runs one batch of every side, so that drift of a shared machine hits all sides
    alike; the order turns by one side each round, so that no side always runs after the same
    one (and in the garbage or the cache state it leaves)."""
    gc.collect()
    names = list(runs)
    samples = {name: [] for name in names}
    for r in range(rounds):
        k = r % len(names)
        for name in names[k:] + names[:k]:
            samples[name].append(runs[name](calls))
    return {name: statistics.median(s) for name, s in samples.items()}


def compare(name, ours, direct, calls, limit, rounds, width=34):
    """Prints the median µs per call of both sides and their ratio; True when within `limit`."""
    assert ours() == direct(), name
    medians = interleaved_medians({"ours": lambda n: batch_us(ours, n), "direct": lambda n: batch_us(direct, n)},
                                  calls, rounds)
    o, d = medians["ours"], medians["direct"]
    ratio = o / d
    print(f"{name:<{width}} {o:>10.1f} {d:>10.1f} {ratio:>7.3f}  (target <= {limit})")
    return ratio <= limit


# The schema and mapper the session benchmarks share: `bench` rows to read, a `counter` row to
# update, a `sink` table to insert into.

TABLES = ("bench", "counter", "sink")


def schema(rows, key="id integer primary key"):
    """The statements (SQL, parameters) that make the benchmark tables, `rows` rows in `bench`.
    `key` is the id column of `bench` and `sink`, whose ids the database assigns: SQLite's
    `integer primary key` by default; MariaDB needs `auto_increment`, PostgreSQL an identity."""
    return [
        (f"create table bench ({key}, name varchar(40), score integer)", None),
        ("insert into bench (name, score) values (:name, :score)",
         [{"name": f"name {i}", "score": i % 97} for i in range(1, rows + 1)]),
        ("create table counter (id integer primary key, hits integer)", None),
        ("insert into counter (id, hits) values (1, 0)", None),
        (f"create table sink ({key}, name varchar(40))", None),
    ]


MAPPER = """<mapper namespace="bench">
    <select id="find" resultType="common.Person">
        select id, name, score from bench
        <where>
            <if test="params.get('id') is not None">and id = #{id}</if>
            <if test="params.get('max_id') is not None">and id &lt;= #{max_id}</if>
            <if test="params.get('name') is not None">and name = #{name}</if>
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


def load_mapper(text=MAPPER):
    """A ParseMapper over the mapper file `text` (MAPPER by default)."""
    from velmo.mapper.drovik import ParseMapper

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.xml")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return ParseMapper(path)


def find_sql(params):
    """What the find statement makes of params, written by hand: the SQL text and its binds."""
    clauses, binds = [], {}
    for key, clause in (("id", "id = :id"), ("max_id", "id <= :max_id"), ("name", "name = :name")):
        if params.get(key) is not None:
            clauses.append(clause)
            binds[key] = params[key]
    return "select id, name, score from bench" + (" WHERE " + " and ".join(clauses) if clauses else ""), binds
