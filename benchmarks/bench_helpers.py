"""zimbard.sql_string_format and fendrel.get_sql_param against their pure-Python twins.

Both sides run on the same ~1 KB SQL text with a realistic mix of markers ("#{..}" with and
without type options, "${..}", "$f{..}", repeated markers), in the same process. Prints the
median per-call time of each side over several rounds and the ratio Python/native.
"""

import gc
import statistics
import sys
import time

import regex as re

from velmo.utils import fendrel, zimbard

ROUNDS = 9

SQL = """select u.id, u.name, u.email, $f{upper(u.nickname)} as nick, o.total, o.created_at
from ${schema}.users u join ${schema}.orders o on o.user_id = u.id
where u.id = #{user_id, sql_type=INTEGER}
  and u.status in (#{status_a, sql_type=VARCHAR}, #{status_b, sql_type=VARCHAR})
  and o.created_at between #{start_date, sql_type=TIMESTAMP, python_type=datetime}
                       and #{end_date, sql_type=TIMESTAMP, python_type=datetime}
  and o.total >= #{min_total, sql_type=DECIMAL(10,2)}
  and u.name like #{name_pattern}
  and u.region = #{region, sql_type=CHAR, type_handler=RegionHandler}
  and o.channel = #{channel} and o.kind = #{kind, python_type=str}
  and $f{date_format(o.created_at, '%Y')} = #{year, sql_type=INTEGER}
  and u.id <> #{user_id, sql_type=INTEGER}
order by ${order_column} ${order_direction}
limit #{limit, sql_type=INTEGER} offset #{offset, sql_type=INTEGER}
-- tenant #{tenant_id, sql_type=BIGINT} shard $f{shard_of(tenant_id)} audit ${audit_table}
"""


# The pure-Python twins.

def py_sql_string_format(sql_str_value: str) -> str:
    # One complete literal: quotes at both ends, every lone quote inside doubled.
    starts = sql_str_value.startswith("'")
    ends = len(sql_str_value) > 1 and sql_str_value.endswith("'")
    inner = sql_str_value[1 if starts else 0:len(sql_str_value) - (1 if ends else 0)]
    return "'" + re.sub("''|'", "''", inner) + "'"


py_param_function_regex = re.compile(r".+?\(.+?\)")


class PySqlParamRegex:
    def __init__(self, regex: str, prefix: str):
        self.regex = re.compile(regex)
        self.prefix = prefix

    def resolve_param(self, param: str):
        body = param.replace(self.prefix + "{", "").replace("}", "")
        if py_param_function_regex.match(body) and "," not in body.split("(")[0]:
            return PySqlParam(function_expression=body, is_function=True, function_name=body.split("(")[0])
        return PySqlParam(param_name=body.split(",")[0])


class PySqlParam:
    def __init__(self, param_name=None, function_expression=None, is_function=False, function_name=None):
        self.is_function = is_function
        self.param_name = param_name
        self.function_expression = function_expression
        self.function_name = function_name


class PyMarkerParam:
    def __init__(self, sql_param, full_name=None, sql_type=None, python_type=None, type_handler=None):
        self.sql_param = sql_param
        self.full_name = full_name
        self.sql_type = sql_type
        self.python_type = python_type
        self.type_handler = type_handler
        self.param_name = sql_param.param_name


py_sql_regex_list = [
    PySqlParamRegex(r"\#\{.+?\}", "#"),
    PySqlParamRegex(r"\$\{.+?\}", "$"),
    PySqlParamRegex(r"\$f\{.+?\}", "$f"),
]


def py_get_regex_value(regex, param, group):
    match = re.search(regex, param)
    if not match or match.group(group) is None:
        return None
    return match.group(group).strip()


def py_get_sql_param(param_text):
    params = []
    for sql_regex in py_sql_regex_list:
        match = sql_regex.regex.findall(param_text)
        for param in sorted(set(match), key=match.index):
            sql_param = sql_regex.resolve_param(param)
            mp = PyMarkerParam(full_name=param, sql_param=sql_param)
            if not sql_param.is_function:
                mp.name = sql_param.param_name
                mp.sql_type = py_get_regex_value(r"(\s*sql_type\s*=\s*)(?P<sql_type>\w+)?", param, "sql_type")
                mp.python_type = py_get_regex_value(
                    r"(\s*python_type\s*=\s*)(?P<python_type>\w+)?", param, "python_type")
                mp.type_handler = py_get_regex_value(
                    r"(\s*type_handler\s*=\s*)(?P<type_handler>\w+)?", param, "type_handler")
            params.append(mp)
    return params


def per_call_ns(fn, arg, calls):
    """Median over ROUNDS of the mean per-call time of `calls` back-to-back calls."""
    results = []
    for _ in range(ROUNDS):
        gc.disable()
        start = time.perf_counter_ns()
        for _ in range(calls):
            fn(arg)
        elapsed = time.perf_counter_ns() - start
        gc.enable()
        results.append(elapsed / calls)
    return statistics.median(results)


def check_same(native, python):
    def shape(records):
        return [({**vars(r), "sql_param": vars(r.sql_param)}) for r in records]

    if shape(native) != shape(python):
        sys.exit("native and Python results differ")


def main():
    print(f"SQL text: {len(SQL)} characters, {len(fendrel.get_sql_param(SQL))} distinct markers")
    check_same(fendrel.get_sql_param(SQL), py_get_sql_param(SQL))
    assert zimbard.sql_string_format(SQL) == py_sql_string_format(SQL)
    cases = [
        ("zimbard.sql_string_format", zimbard.sql_string_format, py_sql_string_format, 200_000),
        ("fendrel.get_sql_param", fendrel.get_sql_param, py_get_sql_param, 2_000),
    ]
    print(f"{'function':28} {'native µs':>10} {'Python µs':>10} {'Python/native':>14}")
    for name, native, python, calls in cases:
        for _ in range(calls // 10):  # warm-up
            native(SQL)
            python(SQL)
        native_ns = per_call_ns(native, SQL, calls)
        python_ns = per_call_ns(python, SQL, calls)
        print(f"{name:28} {native_ns / 1000:10.3f} {python_ns / 1000:10.3f} {python_ns / native_ns:13.1f}x")


if __name__ == "__main__":
    main()
