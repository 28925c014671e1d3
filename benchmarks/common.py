"""What the benchmarks share: timing ours against a floor batch by batch, and the session
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


def compare(name, ours, direct, calls, limit, rounds, width=34):
    """Prints the median µs per call of both sides and their ratio; True when within `limit`."""
    assert ours() == direct(), name
    gc.collect()
    # Alternate the two sides batch by batch so that drift of a shared machine hits both alike.
    ours_us, direct_us = [], []
    for _ in range(rounds):
        ours_us.append(batch_us(ours, calls))
        direct_us.append(batch_us(direct, calls))
    o, d = statistics.median(ours_us), statistics.median(direct_us)
    ratio = o / d
    print(f"{name:<{width}} {o:>10.1f} {d:>10.1f} {ratio:>7.3f}  (target <= {limit})")
    return ratio <= limit


# The schema and mapper the session benchmarks share: `bench` rows to read, a `counter` row to
# update, a `sink` table to insert into.

def schema(rows):
    """The statements (SQL, parameters) that make the benchmark tables, `rows` rows in `bench`."""
    return [
        ("create table bench (id integer primary key, name varchar(40), score integer)", None),
        ("insert into bench (name, score) values (:name, :score)",
         [{"name": f"name {i}", "score": i % 97} for i in range(1, rows + 1)]),
        ("create table counter (id integer primary key, hits integer)", None),
        ("insert into counter (id, hits) values (1, 0)", None),
        ("create table sink (id integer primary key, name varchar(40))", None),
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


def load_mapper():
    """A ParseMapper over MAPPER."""
    from velmo.mapper.drovik import ParseMapper

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "bench.xml")
        with open(path, "w", encoding="utf-8") as f:
            f.write(MAPPER)
        return ParseMapper(path)


def find_sql(params):
    """What the find statement makes of params, written by hand: the SQL text and its binds."""
    clauses, binds = [], {}
    for key, clause in (("id", "id = :id"), ("max_id", "id <= :max_id"), ("name", "name = :name")):
        if params.get(key) is not None:
            clauses.append(clause)
            binds[key] = params[key]
    return "select id, name, score from bench" + (" WHERE " + " and ".join(clauses) if clauses else ""), binds
