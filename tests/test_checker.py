"""velmo.mapper.checker: each kind of problem with its exact report line, checked against what
loading and evaluation really do with the same statements; the command line and exit status."""

import ast
import importlib.resources
import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest
import xmlschema

from conftest import Raises, expect
from velmo.mapper.checker import check, main
from velmo.mapper.drovik import ParseMapper

HEAD = '<mapper namespace="t">\n<sql id="cols">a, b</sql>\n'  # rows start on line 3

# (statements on one line, [(text where the element or marker starts, severity, message)],
#  what ParseMapper does with them: the exception of loading or of get_sql(last id, {}), or None
#  where neither fails). "{line}" is the row's line.
ROWS = [
    ('<select resultType="int">SELECT 1</select>', [("<select", "error", "select without an id")],
     Raises(Exception, "Missing id")),
    ('<select id="d">SELECT 1</select><update id="d">UPDATE t</update>',
     [("<update", "error", "duplicate id 'd': replaces the select at line {line}")], None),
    ('<select id="r1" resultType="no_such_module.User">SELECT 1</select>',
     [("<select", "error", "resultType 'no_such_module.User': 无法导入类型 no_such_module.User: No module named 'no_such_module'")],
     Raises(ValueError)),
    ('<select id="r2" resultType="list">SELECT 1</select>',
     [("<select", "error", "resultType 'list': please check result_type: can`t set type: list")], Raises(TypeError)),
    ('<insert id="n" resultType="int">INSERT INTO t VALUES (1)</insert>',
     [("<insert", "warning", "resultType is ignored on insert")], None),
    ('<select id="i">SELECT <include refid="colums"/> FROM t</select>',
     [("<include", "error", "include refid 'colums' not found")], Raises(KeyError)),
    ('<select id="j">SELECT <include refid="cols"/>, <include refid="j"/></select>',
     [('<include refid="j"', "error", "include refid 'j' names a select, not an sql fragment")], Raises(TypeError)),
    ('<sql id="x">1<include refid="y"/></sql><sql id="y">2<include refid="x"/></sql><select id="c"><include refid="x"/></select>',
     [('<include refid="x"/></sql>', "error", "include cycle: x -> y -> x")], Raises(RecursionError)),
    ('<select id="t">SELECT 1 <if test="params.get(\'a\'">x</if></select>',
     [("<if", "error", "if test \"params.get('a'\" does not compile: '(' was never closed")], Raises(SyntaxError)),
    ('<select id="w">SELECT <choose><when test="1 +">a</when><otherwise>b</otherwise></choose></select>',
     [("<when", "error", "when test '1 +' does not compile: invalid syntax")], Raises(SyntaxError)),
    ('<select id="m">SELECT 1 <if tset="1">x</if></select>',
     [("<if", "error", "unknown attribute 'tset' on if"), ("<if", "error", "if without 'test'")], Raises(KeyError)),
    ('<select id="f1">SELECT <foreach item="v" colection="vs" open="(" close=")" separator=",">#{v}</foreach></select>',
     [("<foreach", "error", "unknown attribute 'colection' on foreach"),
      ("<foreach", "error", "foreach without 'collection'")], Raises(KeyError)),
    ('<select id="f2">SELECT <foreach collection="vs">#{v}</foreach></select>',
     [("<foreach", "error", f"foreach without '{name}'") for name in ["item", "open", "close", "separator"]],
     Raises(KeyError)),
    ('<select id="f3">SELECT <foreach item="v" collection="params[\'vs\']" open="(" close=")" separator=",">#{v}</foreach></select>',
     [("<foreach", "error", "foreach collection \"params['vs']\" is not a plain parameter name")], Raises(NameError)),
    ('<select id="k">SELECT \'é\', #{}, #{ a }, #{a.b} FROM t WHERE x = #{x</select>',
     [("#{}", "error", "empty marker '#{}' is left in the SQL as written"),
      ("#{ a }", "error", "marker '#{ a }' gets no bind value: a marker name is letters, digits, '_' and '-'"),
      ("#{a.b}", "error", "marker '#{a.b}' gets no bind value: a marker name is letters, digits, '_' and '-'"),
      ("#{x", "error", "unclosed marker '#{x'")], None),
    ('<select id="o1">SELECT <choose><when test="params.get(\'a\')">a</when></choose></select>',
     [("<choose", "warning", "choose without otherwise fails when no when holds")],
     Raises(Exception, "Missing otherwise element")),
    ('<select id="o2">SELECT <choose></choose></select>',
     [("<choose", "error", "choose without when or otherwise always fails")], Raises(Exception, "Missing otherwise element")),
    ('<select id="o3">SELECT <choose><if test="1">x</if><otherwise>y</otherwise></choose></select>',
     [("<if", "error", "'if' inside choose is never evaluated: only when and otherwise are")], None),
    ('<select id="o4">SELECT <when test="0">x</when></select>',
     [("<when", "warning", "when outside choose is always included")], None),
    ('<select id="u">SELECT 1 <iff test="1">x</iff></select>',
     [("<iff", "error", "unknown element 'iff': evaluating the statement fails")], Raises(TypeError)),
    ('<selct id="s">SELECT 1</selct><select id="s2" x:a="1" xmlns:x="urn:x">SELECT 1</select>',
     [("<selct", "error", "unknown element 'selct' in mapper: only sql, select, insert, update and delete are read"),
      ("<select", "error", "unknown attribute '{urn:x}a' on select")], None),
    ("".join(f'<sql id="g{i}">.<include refid="g{i + 1}"/><include refid="g{i + 1}"/></sql>' for i in range(40))
     + '<sql id="g40">x</sql><select id="fan">SELECT <include refid="g0"/></select>',
     [('<include refid="g0"/></select>', "error", "include refid 'g0' expands to more than 67108864 characters (fragments"
       " that include others more than once multiply their text): evaluating the statement raises MemoryError")],
     Raises(MemoryError)),
]
CLEAN = [  # every element kind and attribute, as loading and evaluation accept them
    '<select id="find" resultType="datetime.date">SELECT <include refid="cols"/> FROM t <where><if test=" params.get(\'a\')">AND a = #{a}</if>'
    '<choose><when test="1">AND b = #{b-c}</when><otherwise>x</otherwise></choose></where></select>',
    '<update id="set">UPDATE t <set><trim prefix="(" suffix=")" prefixOverrides="AND" suffixOverrides=",">, a = #{a}</trim></set></update>',
    '<delete id="del">DELETE FROM t WHERE id IN <foreach item="x.y" collection="ids" open="(" close=")" separator=",">#{x.y}</foreach></delete>',
]


def expected_lines(path, rows, first_line=3):
    lines = []
    for offset, (row, problems, _) in enumerate(rows):
        line = first_line + offset
        lines += [f"{path}:{line}:{row.index(at) + 1}: {severity}: {message.replace("{line}", str(line))}"
                  for at, severity, message in problems]
    return lines


@pytest.mark.parametrize(("row", "problems", "outcome"), ROWS, ids=[r[1][0][2][:40] for r in ROWS])
def test_each_problem_is_reported_where_loading_or_evaluation_fails(mapper_file, row, problems, outcome):
    path = mapper_file(f"{HEAD}{row}\n</mapper>")
    assert check([path]) == expected_lines(path, [(row, problems, outcome)])

    def load_and_evaluate():
        ParseMapper(path).get_sql(re.findall(r' id="(\w+)"', row)[-1], {})

    if outcome is None:
        load_and_evaluate()
    else:
        expect(outcome, load_and_evaluate)


def test_a_document_with_every_problem(mapper_file, capsys):
    path = mapper_file(HEAD + "\n".join(row for row, _, _ in ROWS) + "\n</mapper>")
    assert main(["check", path]) == 1
    assert capsys.readouterr().out.splitlines() == expected_lines(path, ROWS)


def test_a_clean_document_has_no_report_and_evaluates(mapper_file, capsys):
    path = mapper_file(HEAD + "\n".join(CLEAN) + "\n</mapper>")
    assert main(["check", path]) == 0
    assert capsys.readouterr() == ("", "")
    mapper = ParseMapper(path)
    for sql_id in ["find", "set", "del"]:
        mapper.get_sql(sql_id, {"ids": [1, 2], "a": 1})


@pytest.mark.parametrize(
    ("document", "report"),
    [
        ('<mapper>\n  <select id="a">x</selec>\n</mapper>', ":2:21: error: mismatched tag"),
        ('<mapper><select id="a">\n\tα &nbsp;</select></mapper>', ":2:4: error: undefined entity"),
        ("", ":1:1: error: no element found"),
        (None, ": error: No such file or directory"),
        ('<!DOCTYPE m [<!ENTITY xxe SYSTEM "file:///etc/passwd">]>\n<mapper><select id="a">&xxe;</select></mapper>',
         ":2:24: error: undefined entity &xxe;"),
        ("/dev/zero", ":1:1: error: not well-formed (invalid token)"),  # read no further than loading reads
    ],
)
def test_files_that_do_not_parse(mapper_file, tmp_path, document, report):
    path = str(tmp_path / "absent.xml") if document is None else document if document[:1] == "/" else mapper_file(document)
    assert check([path]) == [path + report]
    with pytest.raises(Exception):
        ParseMapper(path)


@pytest.mark.parametrize("statement", [
    '<select id="s">' + '<if test="1">' * 10_000 + "x" + "</if>" * 10_000 + "</select>",
    '<select id="s">' + '<trim prefix="(">' * 10_000 + "x" + "</trim>" * 10_000 + "</select>",
    '<select id="s">' + "<choose><otherwise>" * 10_000 + "x" + "</otherwise></choose>" * 10_000 + "</select>",
    "".join(f'<sql id="c{i}"><include refid="c{i + 1}"/></sql>' for i in range(20_000))
    + '<sql id="c20000">x</sql><select id="s"><include refid="c0"/></select>',
])
def test_nesting_beyond_the_recursion_limit_is_a_problem_line(mapper_file, capsys, statement):
    path = mapper_file(f"<mapper>{statement}</mapper>")
    assert main(["check", path]) == 1
    assert re.fullmatch(rf"{re.escape(path)}:1:\d+: error: (includes or )?elements nested deeper than the recursion "
                        r"limit allows \(\d+ (levels|fragments deep)\): evaluating the statement raises RecursionError\n",
                        capsys.readouterr().out)
    expect(Raises(RecursionError), ParseMapper(path).get_sql, "s", {})


def test_warnings_leave_the_status_at_zero(mapper_file, capsys):
    path = mapper_file(HEAD + ROWS[4][0] + "\n</mapper>")
    assert main(["check", path]) == 0
    assert capsys.readouterr().out == f"{path}:3:1: warning: resultType is ignored on insert\n"


@pytest.mark.parametrize(
    ("argv", "status", "stderr"),
    [
        ([], 2, "velmo: error: missing command: check"),
        (["lint", "x.xml"], 2, "velmo: error: unknown command 'lint'"),
        (["check"], 2, "velmo: error: no mapper files given"),
        (["check", "-x", "a.xml"], 2, "velmo: error: unknown option '-x'"),
        (["check", "--help"], 0, ""),
    ],
)
def test_command_line(capsys, argv, status, stderr):
    assert main(argv) == status
    out, err = capsys.readouterr()
    assert err == ("usage: velmo check [-h] FILE...\n" + stderr + "\n" if stderr else "")
    assert out.startswith("usage: velmo check [-h] FILE...\n\n") == (status == 0)


def test_path_puts_directories_before_the_working_directory(mapper_file, tmp_path, capsys):
    (tmp_path / "app").mkdir()
    (tmp_path / "app" / "checked_models.py").write_text("class User: pass\n")
    path = mapper_file('<mapper><select id="a" resultType="checked_models.User"/>'
                       '<select id="b" resultType="checked_app.User"/></mapper>')
    assert main(["check", "--path", str(tmp_path / "app"), f"--path={tmp_path}", path]) == 1
    assert capsys.readouterr().out == (f"{path}:1:58: error: resultType 'checked_app.User': 无法导入类型 checked_app.User: "
                                       f"No module named 'checked_app' (looked in: {tmp_path}/app, {tmp_path}, {os.getcwd()})\n")
    assert str(tmp_path) not in sys.path and main(["check", path, "--path"]) == 2


SCHEMA = xmlschema.XMLSchema(str(importlib.resources.files("velmo.mapper") / "mapper.xsd"))
ROOT = pathlib.Path(__file__).resolve().parent.parent


def repository_mappers():
    """Every mapper file of the repository: files, the README's, and those the benchmarks write."""
    texts = {str(p.relative_to(ROOT)): p.read_text() for p in [*ROOT.glob("examples/*.xml"), *ROOT.glob("tests/data/*.xml")]}
    texts["README.md users.xml"] = re.search(r"^```xml users.xml\n(.*?)^```", (ROOT / "README.md").read_text(), re.S | re.M)[1]
    for bench in ["bench_mapper.py", "common.py", "bench_peers.py"]:
        tree = ast.parse((ROOT / "benchmarks" / bench).read_text())
        mapper = next(n.value.value for n in tree.body if isinstance(n, ast.Assign) and getattr(n.targets[0], "id", "") == "MAPPER")
        texts[bench] = mapper.format(returning="") if "{returning}" in mapper else mapper
    spec = importlib.util.spec_from_file_location("bench_mapper", ROOT / "benchmarks" / "bench_mapper.py")
    spec.loader.exec_module(bench_mapper := importlib.util.module_from_spec(spec))
    return texts, bench_mapper.big_mapper


REPOSITORY, BIG_MAPPER = repository_mappers()


@pytest.mark.parametrize("name", sorted(REPOSITORY) + ["big_mapper"])
def test_repository_mapper_files_follow_the_schema_as_the_checker_does(mapper_file, monkeypatch, name):
    path = mapper_file(REPOSITORY.get(name, ""))
    if name == "big_mapper":
        BIG_MAPPER(path, 3)
    for where in ["examples", "benchmarks"]:  # where the result types live
        monkeypatch.syspath_prepend(str(ROOT / where))
    monkeypatch.setattr(sys.modules["__main__"], "User", type("User", (), {}), raising=False)  # the README's
    problems = [line for line in check([path]) if ": error: " in line]
    # The test data keeps an element loading skips, <resultMap>: both refuse that one.
    assert (SCHEMA.is_valid(path), problems) == ((True, []) if "drovik_users" not in name else (False, problems))
    assert name != "tests/data/drovik_users.xml" or problems == [f"{path}:92:5: error: unknown element 'resultMap' in mapper:"
                                                                 " only sql, select, insert, update and delete are read"]


XSI = 'xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xsi:noNamespaceSchemaLocation="mapper.xsd"'


@pytest.mark.parametrize(("statements", "valid"), [
    ('<sql id="c">a</sql><select id="s" resultType="int">SELECT <include refid="c"/></select>', True),
    ('<select resultType="int">SELECT 1</select>', False),
    ('<select id="s">SELECT <include refid="nope"/></select>', False),
    ('<select id="s">x</select><delete id="s">y</delete>', False),
    ('<select id="s">SELECT <iff test="1">x</iff></select>', False),
    ('<select id="s">SELECT <if>x</if></select>', False),
    ('<delete id="s">DELETE <foreach item="v" collection="vs" open="(" close=")">#{v}</foreach></delete>', False),
])
def test_the_schema_and_the_checker_agree(mapper_file, statements, valid):
    path = mapper_file(f'<mapper namespace="t" {XSI}>{statements}</mapper>')
    assert SCHEMA.is_valid(path) == valid == all(": error: " not in line for line in check([path]))


def test_python_m_velmo_check(mapper_file, tmp_path):
    bad = mapper_file(HEAD + ROWS[5][0] + "\n</mapper>", name="bad.xml")
    mapper_file(HEAD + CLEAN[0] + "\n</mapper>", name="clean.xml")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, "-m", "velmo", "check", "clean.xml", "bad.xml"],
                         cwd=tmp_path, env=env, capture_output=True, text=True)
    assert (run.returncode, run.stdout, run.stderr) == (1, "bad.xml:3:23: error: include refid 'colums' not found\n", "")
