"""Cost of ParseMapper.get_sql against its floor, sqlalchemy.text() of the same final SQL.

For each statement the script prints the median cost of one get_sql call, the median cost of
text(final_sql) measured in the same run, and their ratio; then the cost of loading a
2,000-statement mapper file against xml.etree.ElementTree.parse of that file, and the growth of
the process's memory over one million get_sql calls.

Run: PYTHONPATH=build/<dir>/stage .venv/bin/python benchmarks/bench_mapper.py [--quick]
"""

import gc
import os
import statistics
import sys
import tempfile
import time
import timeit
import xml.etree.ElementTree as et

from sqlalchemy import text

from velmo.mapper.drovik import ParseMapper

MAPPER = """<?xml version="1.0" encoding="UTF-8"?>
<mapper namespace="bench">
    <sql id="columns">id, name, email</sql>
    <sql id="more_columns">age, city</sql>
    <sql id="table">user_account</sql>

    <select id="static_by_id">
        SELECT id, name, email FROM user_account WHERE id = #{id}
    </select>

    <select id="where_six_ifs">
        SELECT id, name FROM user_account
        <where>
            <if test="params.get('name') is not None">AND name = #{name}</if>
            <if test="params.get('email') is not None">AND email = #{email}</if>
            <if test="params.get('age') is not None">AND age = #{age}</if>
            <if test="params.get('city') is not None">AND city = #{city}</if>
            <if test="params.get('status') is not None">AND status = #{status}</if>
            <if test="params.get('role') is not None">AND role = #{role}</if>
        </where>
    </select>

    <update id="update_set_five_ifs">
        UPDATE user_account
        <set>
            <if test="params.get('name') is not None">name = #{name},</if>
            <if test="params.get('email') is not None">email = #{email},</if>
            <if test="params.get('age') is not None">age = #{age},</if>
            <if test="params.get('city') is not None">city = #{city},</if>
            <if test="params.get('status') is not None">status = #{status}</if>
        </set>
        WHERE id = #{id}
    </update>

    <insert id="insert_eight">
        INSERT INTO user_account (a, b, c, d, e, f, g, h)
        VALUES (#{a}, #{b}, #{c}, #{d}, #{e}, #{f}, #{g}, #{h})
    </insert>

    <select id="foreach_ids">
        SELECT id, name FROM user_account WHERE id IN
        <foreach item="id" collection="ids" open="(" close=")" separator=",">#{id}</foreach>
    </select>

    <select id="include_three">
        SELECT <include refid="columns"/>, <include refid="more_columns"/>
        FROM <include refid="table"/> WHERE id = #{id}
    </select>

    <select id="choose_four">
        SELECT id, name FROM user_account WHERE
        <choose>
            <when test="params['kind'] == 'a'">kind_a = #{value}</when>
            <when test="params['kind'] == 'b'">kind_b = #{value}</when>
            <when test="params['kind'] == 'c'">kind_c = #{value}</when>
            <when test="params['kind'] == 'd'">kind_d = #{value}</when>
            <otherwise>1 = 1</otherwise>
        </choose>
    </select>
</mapper>
"""

CASES = [
    ("(a) static select by id", "static_by_id", {"id": 1}),
    ("(b) where + 6 if, 3 true", "where_six_ifs", {"name": "n", "age": 3, "role": "r"}),
    ("(c) update set + 5 if", "update_set_five_ifs", {"name": "n", "age": 3, "status": 1, "id": 7}),
    ("(d) insert, 8 markers", "insert_eight", {k: i for i, k in enumerate("abcdefgh")}),
    ("(e) foreach 10 ids", "foreach_ids", {"ids": list(range(10))}),
    ("(e) foreach 100 ids", "foreach_ids", {"ids": list(range(100))}),
    ("(e) foreach 1000 ids", "foreach_ids", {"ids": list(range(1000))}),
    ("(f) include 3 fragments", "include_three", {"id": 1}),
    ("(g) choose, 4 when", "choose_four", {"kind": "c", "value": 5}),
]


def median_us(fn, budget):
    """Median per-call cost in microseconds over several timed batches."""
    number = 1
    while True:
        t = timeit.timeit(fn, number=number)
        if t > budget / 20:
            break
        number *= 2
    samples = [timeit.timeit(fn, number=number) / number for _ in range(15)]
    return statistics.median(samples) * 1e6


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def big_mapper(path, count):
    with open(path, "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<mapper namespace="big">\n')
        for i in range(count):
            f.write(
                f'    <select id="s{i}" resultType="int">\n'
                f"        SELECT id, name FROM t{i % 50}\n"
                f"        <where>\n"
                f"            <if test=\"params.get('a') is not None\">AND a = #{{a}}</if>\n"
                f"            <if test=\"params.get('b') is not None\">AND b = #{{b}}</if>\n"
                f"        </where>\n"
                f"    </select>\n"
            )
        f.write("</mapper>\n")


def main():
    quick = "--quick" in sys.argv
    budget = 0.05 if quick else 0.3
    workdir = tempfile.mkdtemp(prefix="velmo-bench-")
    path = os.path.join(workdir, "bench.xml")
    with open(path, "w") as f:
        f.write(MAPPER)
    mapper = ParseMapper(path)

    print(f"{'case':32} {'get_sql µs':>11} {'text() µs':>10} {'ratio':>6}")
    per_item = {}
    for label, sql_id, params in CASES:
        clause, binds, _, _ = mapper.get_sql(sql_id, params)
        final = clause.text
        ours = median_us(lambda: mapper.get_sql(sql_id, params), budget)
        floor = median_us(lambda: text(final), budget)
        print(f"{label:32} {ours:11.2f} {floor:10.2f} {ours / floor:6.2f}")
        if sql_id == "foreach_ids":
            per_item[len(params["ids"])] = ours
    sizes = sorted(per_item)
    growth = ", ".join(f"{n}: {per_item[n] / n:.3f}" for n in sizes)
    print(f"foreach cost per id (µs): {growth}")

    big = os.path.join(workdir, "big.xml")
    big_mapper(big, 2000)
    load = median_us(lambda: ParseMapper(big), 2.0 if not quick else 0.5)
    parse = median_us(lambda: et.parse(big), 2.0 if not quick else 0.5)
    print(f"load 2,000 statements: ParseMapper {load / 1000:.2f} ms, ElementTree.parse {parse / 1000:.2f} ms, "
          f"ratio {load / parse:.2f}")

    calls = 100_000 if quick else 1_000_000
    rotation = [(sql_id, params) for _, sql_id, params in CASES if len(params.get("ids", ())) < 1000]
    for sql_id, params in rotation * 2000:
        mapper.get_sql(sql_id, params)
    gc.collect()
    before = rss_bytes()
    started = time.perf_counter()
    n = len(rotation)
    for i in range(calls):
        sql_id, params = rotation[i % n]
        mapper.get_sql(sql_id, params)
    elapsed = time.perf_counter() - started
    gc.collect()
    after = rss_bytes()
    print(f"memory over {calls:,} get_sql calls: {(after - before) / 1024:+.0f} KiB "
          f"({elapsed:.1f} s, {elapsed / calls * 1e6:.2f} µs per call)")


if __name__ == "__main__":
    main()
