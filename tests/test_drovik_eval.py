"""velmo.mapper.drovik: dynamic SQL evaluation (parse_element and the element kinds), override
semantics, the clause cache, recursion limits, and a mapper file evaluated end to end."""

import os
import threading
import xml.etree.ElementTree as et

import pytest
from sqlalchemy import create_engine, text

from conftest import Raises, expect
from velmo.mapper import drovik
from velmo.mapper.drovik import ParseMapper

DATA = os.path.join(os.path.dirname(__file__), "data")


def evaluate(mapper, xml, params):
    """parse_element of an element written as XML, against {"params": params}."""
    return mapper.parse_element(et.fromstring(xml), {"params": params})


@pytest.fixture
def m(load):
    return load('<sql id="cols">id, name</sql><sql id="empty"/><select id="sel">SELECT 1</select>')


# Element kinds


class Ids(list):
    pass


FOREACH = "<foreach item='i' collection='ids' open='' close='' separator=''>x</foreach>"


@pytest.mark.parametrize(
    ("xml", "params", "expected"),
    [
        ("<if test=\"params.get('name')\">AND name = #{name}</if>", {"name": "x"}, "AND name = #{name}"),
        ("<if test=\"params.get('name')\">AND name = #{name}</if>", {}, ""),
        ("<if test=\"params.get('x')\"><bind/><include refid='missing'/></if>", {}, ""),
        ('<if test="  1 + 1 == 2">ok</if>', {}, "ok"),
        ('<if test="len([])">x</if>', {}, ""),
        ("<sql><if test='True'>a</if><if test='True'>b</if>c</sql>", {}, "abc"),
        ("<sql>x <include refid='cols'/> y</sql>", {}, "x id, name y"),
        ("<sql><include refid='empty'/></sql>", {}, ""),
        ("<where>\n  and a = 1 OR b = 2 </where>", {}, "WHERE a = 1 OR b = 2"),
        ("<where>  \n\t </where>", {}, ""),
        ("<where>AND OR x</where>", {}, "WHERE x"),
        ("<where>and Or AND</where>", {}, ""),
        ("<where>AND( x ) ANDROID</where>", {}, "WHERE AND( x ) ANDROID"),
        ("<where><if test='False'>AND a</if><if test='True'> AND b = 1</if></where>", {}, "WHERE b = 1"),
        ("<where>AND name = 'and  or'</where>", {}, "WHERE name = 'and  or'"),
        ("<where>AND 'x' AND y</where>", {}, "WHERE 'x' AND y"),
        ("<where>-- leading note\n AND a = 1 -- why\n AND b = 2</where>", {}, "WHERE a = 1 AND b = 2"),
        ("<where>AND /* c */ a</where>", {}, "WHERE /* c */ a"),
        ("<where>AND x = 1 # note</where>", {}, "WHERE x = 1 # note\n"),
        ("<where># note\n AND x = 1</where>", {}, "WHERE # note\nx = 1"),
        ("<where># note\n AND</where>", {}, ""),
        ("<trim prefix='WHERE' prefixOverrides='AND |OR '> AND a = 1</trim>", {}, "WHERE a = 1 "),
        ("<trim prefix='(' suffix=')' suffixOverrides=','>a, b,</trim>", {}, "( a, b )"),
        ("<trim prefix='SET'>  a = 1,  </trim>", {}, "SET   a = 1,   "),
        ("<trim prefix='WHERE' prefixOverrides='AND'></trim>", {}, "WHERE  "),
        ("<trim>x</trim>", {}, " x "),
        ("<trim prefixOverrides=''>  a   b </trim>", {}, " a b "),
        ("<trim prefixOverrides='|AND||'>AND AND x</trim>", {}, " x "),
        ("<trim prefixOverrides='AND|AND NOT'>AND NOT x</trim>", {}, " x "),
        ("<set>\n  a = 1,\n  b = 2,\n</set>", {}, "SET a = 1, b = 2,"),
        ("<set># fields\n, a = 1</set>", {}, "SET # fields\na = 1"),
        ("<set>, a = 1</set>", {}, "SET a = 1"),
        ("<set></set>", {}, "SET "),
        ("<set><if test='False'>a = 1,</if><if test='True'>b = 'x  y',</if></set>", {}, "SET b = 'x  y',"),
        ("<choose><when test='True'>first</when><when test='True'>second</when></choose>", {}, "first"),
        ("<choose><otherwise>o1</otherwise><when test='False'>w</when><otherwise>o2</otherwise></choose>", {}, "o1"),
        ("<choose><x/><when test=\"params['k'] == 2\">two</when><otherwise>other</otherwise></choose>", {"k": 2}, "two"),
        ("<choose><when test='True'><if test='True'>nested</if></when></choose>", {}, "nested"),
        ("<sql><when test='undefined_name'>w</when><otherwise>o</otherwise></sql>", {}, "wo"),
        ("<foreach item='id' collection='ids' open='(' close=')' separator=','>#{id}</foreach>", {"ids": [7, 8]},
         "(#{ids_for_index_0},#{ids_for_index_1})"),
        ("<foreach item='id' collection='ids' open='(' close=')' separator=','>#{id}</foreach>", {"ids": []}, "()"),
        ("<foreach item='u' collection='users' open='' close='' separator=' UNION '>"
         "SELECT #{u}, #{u.name}, ${u}, #{ u }</foreach>", {"users": ["a", "b"]},
         "SELECT #{users_for_index_0}, #{u.name}, ${u}, #{ u } UNION SELECT #{users_for_index_1}, #{u.name}, ${u}, #{ u }"),
        ("<foreach item='i' collection='ids' open='[' close=']' separator=';'>"
         "<if test=\"params['flag']\">#{i}</if>x</foreach>", {"ids": [1, 2], "flag": True},
         "[#{ids_for_index_0}x;#{ids_for_index_1}x]"),
        ("<foreach item='row' collection='rows' open='' close='' separator=', '>"
         "(<foreach item='v' collection='cols' open='' close='' separator=','>#{v}:#{row}</foreach>)</foreach>",
         {"rows": [1, 2], "cols": ["a", "b"]},
         "(#{cols_for_index_0}:#{rows_for_index_0},#{cols_for_index_1}:#{rows_for_index_0}), "
         "(#{cols_for_index_0}:#{rows_for_index_1},#{cols_for_index_1}:#{rows_for_index_1})"),
        ("<if test='True'>é€\U0001f600 <if test='True'>ascii</if></if>", {}, "é€\U0001f600 ascii"),
        # A line comment ends with the text it is written in: a line break closes it there.
        ("<if test='True'>AND a = 1 # by a</if>", {}, "AND a = 1 # by a\n"),
        ("<if test='True'>AND a = 1 -- by a</if>", {}, "AND a = 1 -- by a\n"),
        ("<foreach item='id' collection='ids' open='(' close=')' separator=','>#{id} # one</foreach>", {"ids": [1, 2]},
         "(#{ids_for_index_0} # one\n,#{ids_for_index_1} # one\n)"),
        ("<sql>SELECT x # all columns<include refid='cols'/> FROM t</sql>", {}, "SELECT x # all columns\nid, name FROM t"),
        ("<sql>'# not a comment'<if test='True'>x</if> #{a}</sql>", {}, "'# not a comment'x #{a}"),
        ("<choose><when test='False'>w</when><otherwise>o -- other<if test='True'>x</if></otherwise></choose>", {},
         "o -- other\nx"),
        ("<trim prefix='SET' suffixOverrides=','>a = 1, # note</trim>", {}, "SET a = 1 # note\n "),
        ("<trim prefix='SET' suffixOverrides=','>a = 1 # note\n,</trim>", {}, "SET a = 1 # note\n "),
        ("<trim prefix='WHERE'>grp = 1 # by group</trim>", {}, "WHERE grp = 1 # by group\n "),
        ("<set>, note = 'it\\'s' # why\n</set>", {}, "SET note = 'it\\'s' # why\n"),
        ("<where>AND x = 1 -- note</where>", {}, "WHERE x = 1"),
        ("<sql><where> </where><where> #<if test='False'/> w9 </where></sql>", {}, "WHERE #\nw9"),
        ("<foreach item='i' collection='ids' open='(' close=')' separator=','>#{i}</foreach>", {"ids": Ids([4, 5])},
         "(#{ids_for_index_0},#{ids_for_index_1})"),
        # An unlisted tag gives None, which fails inside a body (a statement included as a fragment too).
        ("<bind name='x'/>", {}, None),
        ("<sql>a<bind/>b</sql>", {}, Raises(TypeError, 'can only concatenate str (not "NoneType") to str')),
        ("<sql><include refid='sel'/></sql>", {}, Raises(TypeError, 'can only concatenate str (not "NoneType") to str')),
        # Errors of missing attributes, of eval and of the domain
        ("<include/>", {}, Raises(KeyError, "'refid'")),
        ("<include refid='nope'/>", {}, Raises(KeyError, "'nope'")),
        ("<if>x</if>", {}, Raises(KeyError, "'test'")),
        ("<choose><when>x</when></choose>", {}, Raises(KeyError, "'test'")),
        ("<foreach collection='c' open='' close='' separator=''/>", {}, Raises(KeyError, "'item'")),
        ("<foreach item='i' collection='c' open='' close=''/>", {}, Raises(KeyError, "'separator'")),
        ("<if test='missing_name'>x</if>", {}, Raises(NameError, "name 'missing_name' is not defined")),
        ("<if test='1 +'>x</if>", {}, Raises(SyntaxError)),
        ("<if test=\"params['a']\">x</if>", {}, Raises(KeyError, "'a'")),
        ("<choose><when test='False'>x</when></choose>", {}, Raises(Exception, "Missing otherwise element")),
        ("<choose/>", {}, Raises(Exception, "Missing otherwise element")),
        (FOREACH, {"ids": (1, 2)}, Raises(Exception, "Collection must be a list")),
        (FOREACH, {"ids": {1}}, Raises(Exception, "Collection must be a list")),
        (FOREACH, {}, Raises(NameError, "name 'ids' is not defined")),
        (FOREACH.replace("'ids'", "'ids)'"), {"ids": []}, Raises(SyntaxError)),
    ],
)
def test_element_kinds(m, xml, params, expected):
    expect(expected, evaluate, m, xml, params)


def test_xml_comments_inside_bodies_are_dropped(load):
    mapper = load("<select id='s'>SELECT a <!-- note --> FROM t<if test='True'>x</if><!-- c --> y</select>")
    assert mapper.select("s", {})[0].text == "SELECT a FROM tx y"


def test_condition_sources_as_eval_takes_them(m):
    element = et.Element("if", test="1\x00")
    element.text = "x"
    with pytest.raises(SyntaxError, match="source code string cannot contain null bytes"):
        m.parse_element(element, {"params": {}})
    element.attrib["test"] = compile("params['n'] > 1", "<test>", "eval")
    assert m.parse_element(element, {"params": {"n": 2}}) == "x"
    element.attrib["test"] = 5
    with pytest.raises(TypeError, match="eval\\(\\) arg 1 must be a string, bytes or code object"):
        m.parse_element(element, {"params": {}})


class Odd:
    """A value whose comparison and truth are its own."""

    def __eq__(self, other):
        return "eq"

    def __ne__(self, other):
        return ""

    def __bool__(self):
        raise ValueError("no truth")

    __hash__ = object.__hash__


CONDITIONS = [
    "params.get('k')", 'params.get("k") is None', "params .get ( 'k' )  is   not None", "params.get('k')is None",
    "params['k']", "params['k'] == 'a'", "params['k'] != 1", "params.get('k') == None", "params['k'] == True",
    "'k' in params", "'k' not in params", "params.get('k', 1)", "params['k'] == 'a' == 'a'", "params.get(r'k')",
    "params['k'] == 10", "params.get('é€') is not None", "params.get('k') == -1", "params['k'] ==1",
    "'k' in params and True", "params.get('k') is not None or 1",
]


@pytest.mark.parametrize("params", [{}, {"k": None}, {"k": "a"}, {"k": 1}, {"k": 10}, {"k": True}, {"k": Odd()},
                                    {"é€": 0}, {"params": 1}])
@pytest.mark.parametrize("test", CONDITIONS)
def test_conditions_decide_as_eval_does(m, test, params):
    element = et.Element("if", test=test)
    element.text = "x"
    try:
        want = "x" if eval(test, {"params": dict(params)}) else ""
    except Exception as error:
        want = Raises(type(error), str(error))
    param = {"params": params}
    expect(want, m.parse_element, element, param)
    assert list(param) == ["params", "__builtins__"]


def test_foreach_needs_a_params_dict(m):
    expect(Raises(KeyError, "'params'"), m.parse_element, et.fromstring(FOREACH), {})
    for params in (None, [("ids", [1])], type("Mapping", (), {"__getitem__": lambda s, k: [1]})()):
        expect(Raises(TypeError, "globals must be a dict"), m.parse_element, et.fromstring(FOREACH), {"params": params})


def test_foreach_leaves_the_callers_parameters_alone(load):
    mapper = load("<select id='s'>SELECT * FROM t WHERE id IN "
                  "<foreach item='i' collection='ids' open='(' close=')' separator=','>#{i}</foreach></select>")
    params = {"ids": [1, 2]}
    clause, binds = mapper.select("s", params)
    assert clause.text == "SELECT * FROM t WHERE id IN (:ids_for_index_0,:ids_for_index_1)"
    assert binds == {"ids_for_index_0": 1, "ids_for_index_1": 2}
    assert params == {"ids": [1, 2]}
    # The collection names the caller's parameters and the builtins, nothing else.
    assert evaluate(mapper, "<foreach item='i' collection='list(range(n))' open='' close='' separator=','>#{i}</foreach>",
                    {"n": 2}) is not None


def test_conditions_see_params_and_builtins_through_eval(m):
    param = {"params": {"n": [1, 2, 3]}}
    assert m.parse_element(et.fromstring("<if test=\"len(params['n']) == 3\">x</if>"), param) == "x"
    # eval stores __builtins__ in the evaluation dictionary it was given.
    assert list(param) == ["params", "__builtins__"]
    assert param["__builtins__"] is __builtins__ or param["__builtins__"] is vars(__import__("builtins"))


def test_conditions_are_evaluated_on_every_call(load):
    calls = []
    mapper = load("<select id='s'>x<if test=\"params['f']()\">y</if></select>")
    for flag in (True, False, True):
        result = mapper.select("s", {"f": lambda flag=flag: calls.append(flag) or flag})[0].text
        assert result == ("xy" if flag else "x")
    assert calls == [True, False, True]


def test_foreach_body_is_evaluated_once_per_item(load):
    seen = []
    mapper = load("<select id='s'><foreach item='i' collection='ids' open='' close='' separator=','>"
                  "<if test=\"params['log'](1)\">#{i}</if></foreach></select>")
    clause, binds = mapper.select("s", {"ids": [5, 6, 7], "log": seen.append})
    assert clause.text == ",," and seen == [1, 1, 1]


def test_elements_read_at_request_time(load):
    mapper = load("<select id='s'>SELECT 1</select>")
    mapper.id_2_element_map["s"].text = "SELECT 2"
    assert mapper.select("s", {})[0].text == "SELECT 2"


def test_conditions_that_change_the_mapper_during_the_walk(load):
    mapper = load("<sql id='f'>F<if test=\"params['change']()\">G</if></sql>"
                  "<select id='s'>a<include refid='f'/><if test='True'>b</if>c<include refid='f'/></select>")
    statement = mapper.id_2_element_map["s"]

    def clear():
        # The element being walked loses its children: the walk ends where a for loop would.
        statement.clear()
        mapper.id_2_element_map = {}
        return True

    assert mapper.select("s", {"change": clear})[0].text == "aFG"
    assert statement.text is None and len(statement) == 0


def test_include_cycle_ends_in_recursion_error(load):
    mapper = load("<sql id='a'>x <include refid='b'/></sql><sql id='b'><include refid='a'/></sql>"
                  "<select id='s'><include refid='a'/></select>")
    with pytest.raises(RecursionError):
        mapper.get_sql("s", {})
    with pytest.raises(RecursionError):
        mapper.parse_element(mapper.id_2_element_map["b"], {"params": {}})


FAN_OUT = "".join(f'<sql id="f{i}">.<include refid="f{i + 1}"/><include refid="f{i + 1}"/></sql>' for i in range(40))


def nested_foreach(depth):
    body = "#{x}"
    for level in range(depth):
        body = f'<foreach item="i{level}" collection="xs" open="(" close=")" separator=",">{body}</foreach>'
    return f"<select id='s'>SELECT {body}</select>"


TOO_LONG = Raises(MemoryError, "statement t.s would expand to more than 67108864 characters (includes that fan out, "
                                "or foreach elements nested in each other, multiply its text)")


@pytest.mark.parametrize(("statements", "params", "markers"), [
    (FAN_OUT + "<sql id='f40'/><select id='s'><include refid='f0'/></select>", {}, TOO_LONG),
    (FAN_OUT.replace(".", "") + "<sql id='f40'/><select id='s'><include refid='f0'/></select>", {}, TOO_LONG),
    (nested_foreach(30), {"xs": [1, 2]}, TOO_LONG),
    (nested_foreach(12), {"xs": [1, 2]}, 2 ** 12),  # statements far larger than real ones still run
    (nested_foreach(1), {"xs": list(range(200_000))}, 200_000),
])
def test_a_statement_that_multiplies_its_text_is_refused_as_it_grows(mapper_file, statements, params, markers):
    mapper = ParseMapper(path := mapper_file(f'<mapper namespace="t">{statements}</mapper>'))
    if not isinstance(markers, Raises):
        assert mapper.get_sql("s", params)[0].text.count(":x") == markers
        return
    assert expect(markers, mapper.get_sql, "s", params).__notes__ == [f"in t.s (mapper {path})"]


def deep_statement(depth, tag):
    """A select whose body nests `depth` elements of one tag."""
    attributes = 'test="True" prefix="" item="i" collection="ids" open="" close="" separator=""'
    return f'<mapper><select id="deep">{f"<{tag} {attributes}>" * depth}x{f"</{tag}>" * depth}</select></mapper>'


@pytest.mark.parametrize("tag", ["sql", "if", "where", "trim", "set", "foreach", "when"])
@pytest.mark.parametrize("where", ["main", "thread", "small thread"])
def test_deep_nesting_ends_in_recursion_error(mapper_file, tag, where):
    mapper = ParseMapper(mapper_file(deep_statement(100_000, tag)))
    outcome = []

    def run():
        try:
            mapper.get_sql("deep", {"ids": [1]})
        except RecursionError as e:
            outcome.append(e)

    if where == "main":
        run()
    else:
        # A small stack ends the walk by its headroom check before the recursion counter.
        previous = threading.stack_size(512 << 10 if where == "small thread" else 0)
        try:
            t = threading.Thread(target=run)
            t.start()
        finally:
            threading.stack_size(previous)
        t.join()
    assert len(outcome) == 1 and isinstance(outcome[0], RecursionError)
    # The interpreter is still healthy afterwards.
    assert ParseMapper._format_sql(" ok ") == "ok"


def test_moderate_nesting_evaluates(load):
    depth = 300
    body = "<if test='True'>" * depth + "x" + "</if>" * depth
    assert load(f"<select id='s'>{body}</select>").select("s", {})[0].text == "x"


# Overrides: Python lookups are honoured


def test_subclass_parse_element_override_sees_every_element(load):
    seen = []

    class Mapper(ParseMapper):
        def parse_element(self, element, param):
            seen.append(element.tag)
            if element.tag == "custom":
                return "C"
            return super().parse_element(element, param)

    mapper = load("<sql id='f'>F</sql><select id='s'>a<if test='True'>b<include refid='f'/></if><custom/></select>",
                  cls=Mapper)
    assert mapper.select("s", {})[0].text == "abFC"
    assert seen == ["if", "include", "sql", "custom"]


def test_instance_attribute_overrides_parse_element(load):
    mapper = load("<select id='s'>a<if test='True'>b</if></select>")
    mapper.parse_element = lambda element, param: "<" + element.tag + ">"
    assert mapper.select("s", {})[0].text == "a<if>"


class Piece:
    """What an override may return instead of a str: `+` decides through __radd__."""

    def __init__(self, value):
        self.value = value

    def __radd__(self, other):
        return self.value


class Sum:
    """A value whose + on either side records the operands."""

    def __init__(self, text):
        self.text = text

    def __radd__(self, other):
        return Sum(f"{other!r}+{self.text}")

    def __add__(self, other):
        return Sum(f"({self.text})+{other!r}")

    def __eq__(self, other):
        return isinstance(other, Sum) and other.text == self.text


# An element's value is returned as its kind builds it: choose hands back its otherwise
# child's value itself (where include and when add it to ""), trim its concatenation.
OTHERWISE = Piece("otherwise")


@pytest.mark.parametrize(
    ("piece", "xml", "outcome"),
    [
        (5, "<sql>a<custom/>b</sql>", Raises(TypeError, 'can only concatenate str (not "int") to str')),
        (Piece("joined"), "<sql>a<custom/>b</sql>", "joinedb"),
        (Piece(7), "<set>a<custom/></set>", Raises(TypeError, "Argument 's' has incorrect type (expected str, got int)")),
        (Piece(["x"]), "<sql>a<custom/>b</sql>", ["x", "b"]),
        (OTHERWISE, "<choose><when test='False'/><otherwise/></choose>", OTHERWISE),
        (Sum("c"), "<trim prefix='P'><custom/></trim>", Sum("(('P '+''+c)+' ')+''")),
        (Sum("c"), "<choose><when test='True'><custom/></when></choose>", Sum("''+''+c")),
    ],
)
def test_override_results_are_appended_with_python_semantics(load, piece, xml, outcome):
    class Mapper(ParseMapper):
        def parse_element(self, element, param):
            if element.tag in ("custom", "otherwise"):
                return piece
            return super().parse_element(element, param)

    expect(outcome, load("", cls=Mapper).parse_element, et.fromstring(xml), {"params": {}})


def test_overridden_accessors_are_used_by_get_sql(load):
    class Mapper(ParseMapper):
        def select(self, id, params):
            return [text("SELECT 42"), {"answer": 42}]

    clause, binds, kind, result_type = load("<select id='s'>SELECT 1</select>", cls=Mapper).get_sql("s", {})
    assert (clause.text, binds, kind, result_type) == ("SELECT 42", {"answer": 42}, "select", dict)


@pytest.mark.parametrize(
    ("result", "error", "message"),
    [
        (5, TypeError, "cannot unpack non-iterable int object"),
        ((1,), ValueError, "not enough values to unpack (expected 2, got 1)"),
        ((1, 2, 3), ValueError, "too many values to unpack (expected 2)"),
    ],
)
def test_accessor_results_unpack_like_assignment(load, result, error, message):
    mapper = load("<select id='s'>SELECT 1</select>")
    mapper.select = lambda id, params: result
    expect(Raises(error, message), mapper.get_sql, "s", {})


def test_overridden_to_prepared_statement(load):
    mapper = load("<insert id='i'>INSERT  #{a}</insert>")
    mapper.to_prepared_statement = lambda ret, param: (text(ret.strip().upper()), dict(param, seen=True))
    clause, binds = mapper.insert("i", {"a": 1}, "id")
    assert clause.text == "INSERT  #{A} RETURNING id" and binds == {"a": 1, "seen": True}


def test_static_methods_are_looked_up_on_the_class(load, monkeypatch):
    mapper = load("<select id='s'>SELECT  a <set>, b</set> <trim prefixOverrides='X'>X c</trim></select>")
    calls = []
    original_prefix = ParseMapper._trim_prefix
    monkeypatch.setattr(ParseMapper, "_trim_prefix",
                        staticmethod(lambda s, p: calls.append(("prefix", s, p)) or original_prefix(s, p)))
    monkeypatch.setattr(ParseMapper, "_format_sql", staticmethod(lambda sql: calls.append(("format", sql)) or "F"))
    assert mapper.select("s", {})[0].text == "F"
    assert calls == [("prefix", ", b", {","}), ("prefix", "X c", {"X"}), ("format", "SELECT  a SET b  c ")]


def test_rebound_marker_patterns_are_used(load, monkeypatch):
    import re

    mapper = load("<select id='s'>SELECT #{a}, #{b.c}</select>")
    monkeypatch.setattr(drovik, "param_pattern", re.compile(r"#{([a-z.]+)}"))
    assert mapper.select("s", {"a": 1, "b.c": 2}) [1] == {"a": 1, "b.c": 2}
    monkeypatch.setattr(drovik, "param_pattern", re.compile(r"#{(a)}|#{(b)\.c}"))
    assert mapper.select("s", {("a", ""): 1})[1] == {("a", ""): 1, ("", "b"): None}
    monkeypatch.setattr(re, "sub", lambda p, r, s: f"{p} {r} {s}")
    # (a "#" that opens no marker starts a comment, which always ends its line)
    assert mapper.select("s", {})[0].text == "#\\{([^}]+)\\} :\\1 SELECT #{a}, #{b.c}\n"
    monkeypatch.undo()
    monkeypatch.setattr(drovik, "re", type("re", (), {"sub": staticmethod(lambda p, r, s: s.upper())}))
    assert mapper.select("s", {})[0].text == "SELECT #{A}, #{B.C}"


@pytest.mark.parametrize("where", ["module", "builtins"])
def test_eval_is_looked_up_as_a_global_name(m, monkeypatch, where):
    calls = []
    builtin_eval = eval

    def spy(source, globals):
        calls.append((source, sorted(globals)))
        return builtin_eval(source, globals)

    monkeypatch.setattr(drovik if where == "module" else __import__("builtins"), "eval", spy, raising=False)
    xml = ("<sql><if test='True'>a</if><choose><when test='False'/><otherwise/></choose>"
           "<foreach item='i' collection='ids' open='' close='' separator=''>#{i}</foreach></sql>")
    assert evaluate(m, xml, {"ids": [1]}) == "a#{ids_for_index_0}"
    assert calls == [("True", ["params"]), ("False", ["__builtins__", "params"]),
                     ("isinstance(ids,list)", ["ids"]), ("[item for item in ids]", ["__builtins__", "ids"])]


def test_module_level_names_are_looked_up_at_call_time(load, monkeypatch):
    mapper = load("<select id='s'>SELECT #{a}</select>")
    made = []
    monkeypatch.setattr(drovik, "text", lambda sql: made.append(sql) or sql)
    assert mapper.select("s", {"a": 1}) == ("SELECT :a", {"a": 1})
    assert made == ["SELECT :a"]
    monkeypatch.undo()
    monkeypatch.setattr(drovik, "ParseMapper", type("Other", (), {"_format_sql": staticmethod(lambda s: "other")}))
    assert mapper.select("s", {"a": 1})[0].text == "other"
    monkeypatch.delattr(drovik, "ParseMapper")
    with pytest.raises(NameError, match="name 'ParseMapper' is not defined"):
        mapper.select("s", {"a": 1})


# Clause cache


def test_clauses_of_equal_text_stay_equivalent(load):
    mapper = load("<select id='s'>SELECT * FROM t WHERE a = #{a}<if test=\"params.get('b')\"> AND b = #{b}</if></select>")
    first = mapper.get_sql("s", {"a": 1})
    second = mapper.get_sql("s", {"a": 2})
    other = mapper.get_sql("s", {"a": 2, "b": 3})
    assert first[0].text == second[0].text == "SELECT * FROM t WHERE a = :a"
    assert (first[1], second[1]) == ({"a": 1}, {"a": 2})
    assert other[0].text == "SELECT * FROM t WHERE a = :a AND b = :b"
    assert list(first[0]._bindparams) == ["a"] and list(other[0]._bindparams) == ["a", "b"]
    # Generative methods copy: a clause taken from one call never changes another's.
    bound = first[0].bindparams(a=5)
    assert bound is not first[0] and mapper.get_sql("s", {"a": 1})[0]._bindparams["a"].value is None


def test_many_distinct_statements_stay_correct(load):
    mapper = load("<select id='s'>SELECT <foreach item='i' collection='ids' open='' close='' separator=','>#{i}</foreach></select>")
    for n in list(range(0, 300)) + [2000, 5]:
        clause, binds = mapper.select("s", {"ids": list(range(n))})
        assert clause.text == ("SELECT " + ",".join(f":ids_for_index_{i}" for i in range(n))).strip()
        assert len(clause._bindparams) == n and binds == {f"ids_for_index_{i}": i for i in range(n)}


# A mapper file as people write them


@pytest.mark.parametrize(("body", "params", "sql"), [
    ("UPDATE people SET <trim suffixOverrides=','>name = #{name} # the new name\n    ,</trim> WHERE id = #{id}",
     {}, "UPDATE people SET name = :name # the new name\nWHERE id = :id"),
    ("UPDATE t SET <include refid='asg'/> WHERE id = #{id}", {}, "UPDATE t SET v = 0 # reset\nWHERE id = :id"),
    ("UPDATE t SET <include refid='dash'/> WHERE id = #{id}", {}, "UPDATE t SET v = 0 WHERE id = :id"),
    ("UPDATE people SET name = #{name} <if test=\"params.get('age') is not None\">, age = #{age} -- optional</if>"
     " WHERE id = #{id}", {"age": 1}, "UPDATE people SET name = :name , age = :age WHERE id = :id"),
    ("DELETE FROM t WHERE <foreach item='i' collection='ids' open='' close='' separator=' AND '>id &lt;&gt; #{i} # keep"
     "</foreach>", {"ids": [1, 2]}, "DELETE FROM t WHERE id <> :ids_for_index_0 # keep\nAND id <> :ids_for_index_1 # keep\n"),
    ("UPDATE t SET v = 1--0 WHERE id = #{id}", {}, "UPDATE t SET v = 1--0 WHERE id = :id\n"),
    ("-- see #{x\nDELETE FROM t WHERE id = #{id}", {}, "DELETE FROM t WHERE id = :id"),
    ("# see #{x\nDELETE FROM t WHERE id = #{id}", {}, "# see #{x\nDELETE FROM t WHERE id = :id"),
])
def test_statement_comments_end_where_their_author_ended_them(load, body, params, sql):
    mapper = load(f"<sql id='asg'>v = 0 # reset</sql><sql id='dash'>v = 0 -- reset</sql><update id='u'>{body}</update>")
    assert mapper.get_sql("u", {"id": 1, **params})[0].text == sql


def test_user_mapper_file_end_to_end():
    m = ParseMapper(os.path.join(DATA, "drovik_users.xml"))
    assert m.namespace == "users"
    assert list(m.list_statement()) == [
        "user_columns", "active_only", "findById", "search", "countByStatus", "averageAge",
        "active_where", "addUser", "updateUser", "renameMany", "deleteUser",
    ]
    from decimal import Decimal

    assert m.result_type_map["countByStatus"] is int and m.result_type_map["averageAge"] is Decimal

    cases = [
        ("findById", {"id": 1}, "SELECT id, name, email, age, status FROM users WHERE id = :id", {"id": 1}),
        ("search", {}, "SELECT id, name, email, age, status FROM users ORDER BY id", {}),
        ("search", {"name": "a%", "min_age": 3, "active_only": True, "ids": [4, 5], "order": "age"},
         "SELECT id, name, email, age, status FROM users WHERE name LIKE :name AND age >= :min_age "
         "AND status = 'active' AND id IN ( :ids_for_index_0 , :ids_for_index_1 ) ORDER BY age DESC, id",
         {"name": "a%", "min_age": 3, "ids_for_index_0": 4, "ids_for_index_1": 5}),
        ("countByStatus", {"status": "x"},
         "SELECT count(*) FROM users WHERE status = :status /* counts every row of that status */", {"status": "x"}),
        ("averageAge", {"active_only": 1}, "SELECT avg(age) FROM users WHERE status = 'active'", {}),
        ("averageAge", {}, "SELECT avg(age) FROM users", {}),
        ("addUser", {"name": "n", "email": "e", "age": 1},
         "INSERT INTO users (name, email, age, status) VALUES (:name, :email, :age, 'new  user')",
         {"name": "n", "email": "e", "age": 1}),
        ("updateUser", {"id": 1, "age": 2}, "UPDATE users SET age = :age, WHERE id = :id", {"age": 2, "id": 1}),
        ("renameMany", {"name": "z", "ids": [1, 2], "status": "s"},
         "UPDATE users SET name = :name WHERE id IN (:ids_for_index_0,:ids_for_index_1) OR status = :status",
         {"name": "z", "ids_for_index_0": 1, "ids_for_index_1": 2, "status": "s"}),
        ("deleteUser", {"id": 3}, "DELETE FROM users WHERE id = :id", {"id": 3}),
    ]
    for sql_id, params, sql, binds in cases:
        clause, got, kind, _ = m.get_sql(sql_id, params)
        assert (sql_id, clause.text, got) == (sql_id, sql, binds)
        assert kind == m.sql_type_map[sql_id]


def test_user_mapper_statements_run_on_sqlite():
    m = ParseMapper(os.path.join(DATA, "drovik_users.xml"))
    engine = create_engine("sqlite://")
    with engine.begin() as conn:
        conn.execute(text("CREATE TABLE users (id INTEGER PRIMARY KEY, name TEXT, email TEXT, age INT, status TEXT)"))
        for name, age in [("ann", 30), ("bob", 40), ("al", 50)]:
            clause, binds, _, _ = m.get_sql("addUser", {"name": name, "email": name + "@x", "age": age})
            conn.execute(clause, binds)
        conn.execute(text("UPDATE users SET status = 'active' WHERE name != 'bob'"))
        clause, binds, _, _ = m.get_sql("search", {"name": "a%", "min_age": 35, "active_only": True, "order": "name"})
        assert [row.name for row in conn.execute(clause, binds)] == ["al"]
        clause, binds, _, _ = m.get_sql("search", {"ids": [1, 2], "order": "age"})
        assert [row.id for row in conn.execute(clause, binds)] == [2, 1]
        clause, binds, _, _ = m.get_sql("renameMany", {"name": "zed", "ids": [1], "status": "new  user"})
        assert conn.execute(clause, binds).rowcount == 2
        clause, binds, _, _ = m.get_sql("countByStatus", {"status": "active"})
        assert conn.execute(clause, binds).scalar() == 2
        clause, binds, _, _ = m.get_sql("deleteUser", {"id": 3})
        assert conn.execute(clause, binds).rowcount == 1
