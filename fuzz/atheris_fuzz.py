"""Coverage-guided fuzzing (atheris, libFuzzer) of the same entry points as fuzz/test_properties.py.

The first byte of an input picks the entry point, the rest is its text (and, where it has more,
its other arguments; for the comment statements, the choices that build a mapper statement).
Every failure must be an exception that fuzz/calls.py documents for the entry point; an
undocumented one is re-raised, and libFuzzer saves the input as a crash.

    python atheris_fuzz.py [libFuzzer options] [corpus directories]

With no corpus directory the run starts from seeds made here (the call table's mapper document and
marked texts). Native coverage: when VELMO_FUZZ_STAGE names a build made with clang's
-fsanitize=fuzzer-no-link (`make fuzz` makes one in build/fuzz when clang++ is there), the modules
are imported from it and libFuzzer sees their edges; otherwise only the Python side is guided.
"""

import os
import sys
import tempfile

import atheris

if os.environ.get("VELMO_FUZZ_STAGE"):
    sys.path.insert(0, os.environ["VELMO_FUZZ_STAGE"])

import xml.etree.ElementTree as ET  # noqa: E402
from typing import Any, Dict, List  # noqa: E402

with atheris.instrument_imports(include=["calls", "readings"]):
    import calls  # noqa: E402
    import readings  # noqa: E402

from sqlalchemy import text  # noqa: E402

from velmo.db import brannow, kestrum  # noqa: E402
from velmo.mapper.drovik import ParseMapper  # noqa: E402
from velmo.utils import fendrel, harlune, plovet, wollix, zimbard  # noqa: E402

FOLDER = tempfile.mkdtemp(prefix="velmo-fuzz-")
DOCUMENT = os.path.join(FOLDER, "fuzzed.xml")
PARAMS = [{}, {"a": 1, "b": "x"}, {"ids": [1, 2, 3], "xs": [], "a": None}, {"ids": (1,), "i": 0}, {"a": [None], "ids": [[1]]}]
TYPES = [None, dict, int, str, list, tuple, Dict, List, List[int], Dict[str, Any], calls.PersonRow, List[calls.PersonRow],
         calls.PersonModel, calls.Person]
SAFE_MODULES = ["decimal", "datetime", "collections", "typing", "calls", "no_such_module_q", "", "."]


def check(name, function, *args):
    try:
        return function(*args)
    except Exception as error:
        if not calls.allowed(name, error):
            raise
        return error


def split(data, parts):
    """The text cut at the first parts - 1 NUL characters."""
    pieces = data.split("\0", parts - 1)
    return pieces + [""] * (parts - len(pieces))


def mapper_document(fdp):
    choice = fdp.ConsumeIntInRange(0, 255)
    source = fdp.ConsumeUnicodeNoSurrogates(fdp.remaining_bytes())
    with open(DOCUMENT, "w", encoding="utf-8") as f:
        f.write(source)
    mapper = check("velmo.mapper.drovik.ParseMapper", ParseMapper, DOCUMENT)
    if isinstance(mapper, Exception):
        return
    params = PARAMS[choice % len(PARAMS)]
    for sql_id in list(mapper.list_statement()):
        check("velmo.mapper.drovik.ParseMapper.get_sql", mapper.get_sql, sql_id, dict(params))
        check("velmo.mapper.drovik.ParseMapper.insert", mapper.insert, sql_id, dict(params), "id")
        for child in mapper.id_2_element_map[sql_id]:
            check("velmo.mapper.drovik.ParseMapper.parse_element", mapper.parse_element, child, {"params": dict(params)})


def element(fdp):
    """A dynamic element read from the text, evaluated by a mapper whose fragments are the seed's."""
    choice = fdp.ConsumeIntInRange(0, 255)
    source = fdp.ConsumeUnicodeNoSurrogates(fdp.remaining_bytes())
    try:
        parsed = ET.fromstring(source)
    except ET.ParseError:
        return
    check("velmo.mapper.drovik.ParseMapper.parse_element", SEEDED.parse_element, parsed, {"params": dict(PARAMS[choice % len(PARAMS)])})


def statement_text(fdp):
    choice = fdp.ConsumeIntInRange(0, 255)
    sql, overrides = split(fdp.ConsumeUnicodeNoSurrogates(fdp.remaining_bytes()), 2)
    params = dict(PARAMS[choice % len(PARAMS)])
    prepared = check("velmo.mapper.drovik.ParseMapper.to_prepared_statement", ParseMapper.to_prepared_statement, sql, params)
    if not isinstance(prepared, Exception):
        check("velmo.db.kestrum.count_query", kestrum.count_query, prepared[0])
        check("velmo.db.kestrum.limit_query", kestrum.limit_query, prepared[0], kestrum.Page(choice - 128, choice % 7))
    formatted = check("velmo.mapper.drovik.ParseMapper._format_sql", ParseMapper._format_sql, sql)
    if not set("'\"`#-/") & set(sql) and formatted != " ".join(sql.split()):
        raise AssertionError(f"_format_sql({sql!r}) = {formatted!r}")
    # A value holding its own marker multiplies the text at every marker (the documented loop), so
    # the value is kept free of markers.
    check("velmo.mapper.drovik.ParseMapper.to_replace", ParseMapper.to_replace, sql, {"a": "x", "b": overrides.replace("${", "$ {")})
    override_set = set(overrides.split("|"))
    check("velmo.mapper.drovik.ParseMapper._trim_prefix", ParseMapper._trim_prefix, sql, override_set)
    check("velmo.mapper.drovik.ParseMapper._trim_suffix", ParseMapper._trim_suffix, sql, override_set)


def helpers(fdp):
    choice = fdp.ConsumeIntInRange(0, 255)
    a, b, c = split(fdp.ConsumeUnicodeNoSurrogates(fdp.remaining_bytes()), 3)
    check("velmo.utils.fendrel.get_sql_param", fendrel.get_sql_param, a)
    node = ET.Element("x")
    node.text, node.tail = a, b
    check("velmo.utils.fendrel.get_params", fendrel.get_params, node)
    for marker in fendrel.sql_regex_list:
        check("velmo.utils.fendrel.SqlParamRegex.resolve_param", marker.resolve_param, a)
    check("velmo.utils.fendrel.__get_regex_value", calls.get_regex_value, b, a, c)
    record = check("velmo.utils.fendrel.SqlParam", fendrel.SqlParam, a, b or None, choice & 1, c or None)
    check("velmo.utils.fendrel.MarkerParam.__str__", str, fendrel.MarkerParam(record, a, b, c or None))
    check("velmo.utils.zimbard.replace_cdata", zimbard.replace_cdata, a)
    check("velmo.utils.zimbard.convert_cdata", zimbard.convert_cdata, a, choice & 1)
    check("velmo.utils.zimbard.sql_string_format", zimbard.sql_string_format, a)
    check("velmo.utils.zimbard.param_str", zimbard.param_str, [a, choice, None, b.encode(), [a]][choice % 5])
    check("velmo.utils.harlune.replace_sql_first", harlune.replace_sql_first, a, b, c)
    check("velmo.utils.harlune.replace_sql_last", harlune.replace_sql_last, a, b, c)
    check("velmo.utils.plovet.like", plovet.like, b)
    fields = tuple(ord(ch) - 64 for ch in c[:9])
    check("velmo.utils.plovet.time_format", plovet.time_format, fields, a)
    check("velmo.utils.wollix.is_container_type_by_str", wollix.is_container_type_by_str, a)
    name = a if "." not in a else f"{SAFE_MODULES[choice % len(SAFE_MODULES)]}.{a.rsplit('.', 1)[1]}"
    check("velmo.utils.wollix.get_type_from_string", wollix.get_type_from_string, name)


def shaping(fdp):
    choice = fdp.ConsumeIntInRange(0, 255 * 255)
    columns = split(fdp.ConsumeUnicodeNoSurrogates(fdp.remaining_bytes()), 4)
    rows = [{column: (i if n % 2 else column) for n, column in enumerate(columns[: 1 + i % 4])} for i in range(choice % 4)]
    result_type, return_type = TYPES[choice % len(TYPES)], TYPES[(choice // 256) % len(TYPES)]
    check("velmo.db.brannow.results_handle", brannow.results_handle, rows, result_type, return_type)


def comment_statement(fdp):
    """A mapper statement of w, c and s tokens built from the bytes (fuzz/readings.py): nothing
    outside a comment in the file ends up inside one of the final SQL, nothing is lost."""
    statement = readings.Statement(fdp.ConsumeBytes(fdp.remaining_bytes()))
    with open(DOCUMENT, "w", encoding="utf-8") as f:
        f.write(statement.source)
    readings.check(statement, ParseMapper(DOCUMENT).get_sql("q", readings.params())[0].text)


TARGETS = [mapper_document, element, statement_text, helpers, shaping, comment_statement]
# VELMO_FUZZ_ONLY=<target name> spends a long run on one target.
if os.environ.get("VELMO_FUZZ_ONLY"):
    TARGETS = [t for t in TARGETS if t.__name__ == os.environ["VELMO_FUZZ_ONLY"]]


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    TARGETS[fdp.ConsumeIntInRange(0, len(TARGETS) - 1)](fdp)


def seeds(folder):
    """A first corpus: the call table's mapper document and elements, marked texts."""
    samples = [
        (0, calls.MAPPER_XML),
        (1, '<where><if test="params.get(\'a\')">AND a = #{a}</if><foreach item="i" collection="ids" open="(" '
            'separator="," close=")">#{i}</foreach><include refid="cols"/></where>'),
        (1, '<trim prefix="WHERE" prefixOverrides="AND |OR" suffixOverrides=","><choose><when test="False">x</when>'
            '<otherwise>OR b = #{b},</otherwise></choose></trim>'),
        (2, "SELECT #{a}, #{ids_for_index_1} FROM t -- c\n WHERE 'x  y' = ${a} # h\n/* b */\0AND |OR "),
        (3, "a = #{a, sql_type=INTEGER} <![CDATA[x < y]]> $f{upper(b)}\0AND |OR \0\\1x"),
        (4, "id\0name\0age"),
        (5, "\2\3\1\1\0\3\1\5\2\7\1\1\3\0\6\2\4\1\2\2\1"),
    ]
    for n, (target, body) in enumerate(samples):
        with open(os.path.join(folder, f"seed{n}"), "wb") as f:
            f.write(bytes([target, n]) + body.encode("utf-8"))


SEED_PATH = os.path.join(FOLDER, "seeded.xml")
with open(SEED_PATH, "w", encoding="utf-8") as _f:
    _f.write(calls.MAPPER_XML)
SEEDED = ParseMapper(SEED_PATH)


def main():
    argv = list(sys.argv)
    if not any(os.path.isdir(a) for a in argv[1:]):
        corpus = os.path.join(FOLDER, "corpus")
        os.mkdir(corpus)
        seeds(corpus)
        argv.append(corpus)
    print(f"velmo fuzz: targets {[t.__name__ for t in TARGETS]}, modules from {os.path.dirname(brannow.__file__)}", flush=True)
    atheris.Setup(argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
