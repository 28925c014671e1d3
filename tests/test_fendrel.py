"""velmo.utils.fendrel: marker collection, parameter records and option lookups."""

import gc
import random
import sys
import types
import xml.etree.ElementTree as ET

import pytest
import regex

from conftest import Raises, expect
from velmo.utils import fendrel

get_regex_value = vars(fendrel)["__get_regex_value"]

OPTIONS = {
    "sql_type": r"(\s*sql_type\s*=\s*)(?P<sql_type>\w+)?",
    "python_type": r"(\s*python_type\s*=\s*)(?P<python_type>\w+)?",
    "type_handler": r"(\s*type_handler\s*=\s*)(?P<type_handler>\w+)?",
}
MARKERS = [(r"\#\{.+?\}", "#"), (r"\$\{.+?\}", "$"), (r"\$f\{.+?\}", "$f")]


# A plain-Python statement of the collection algorithm, as records in dict form.

def reference_resolve(prefix, param):
    body = param.replace(prefix + "{", "").replace("}", "")
    head = body.split("(")[0]
    if regex.compile(r".+?\(.+?\)").match(body) and "," not in head:
        return {"is_function": True, "param_name": None, "function_expression": body, "function_name": head}
    return {"is_function": False, "param_name": body.split(",")[0], "function_expression": None,
            "function_name": None}


def reference_value(pattern, param, group):
    match = regex.search(pattern, param)
    if not match or match.group(group) is None:
        return None
    return match.group(group).strip()


def reference_collect(text):
    records = []
    for pattern, prefix in MARKERS:
        match = regex.compile(pattern).findall(text)
        for param in sorted(set(match), key=match.index):
            sql_param = reference_resolve(prefix, param)
            record = {"sql_param": sql_param, "full_name": param, "sql_type": None, "python_type": None,
                      "type_handler": None, "param_name": sql_param["param_name"]}
            if not sql_param["is_function"]:
                record["name"] = sql_param["param_name"]
                for option, option_pattern in OPTIONS.items():
                    record[option] = reference_value(option_pattern, param, option)
            records.append(record)
    return records


def as_dicts(records):
    out = []
    for r in records:
        assert type(r) is fendrel.MarkerParam and type(r.sql_param) is fendrel.SqlParam
        out.append({**vars(r), "sql_param": vars(r.sql_param)})
    return out


def summary(record):
    return (record.full_name, record.param_name, record.sql_param.is_function, record.sql_param.function_name,
            record.sql_type, record.python_type, record.type_handler)


@pytest.fixture
def generic(monkeypatch):
    """Replaces sql_regex_list by an equal copy, so collection runs through the Python objects."""
    monkeypatch.setattr(fendrel, "sql_regex_list", list(fendrel.sql_regex_list))


def test_module_objects():
    names = [n for n in vars(fendrel) if not n.startswith("__") or n == "__get_regex_value"]
    assert names == ["re", "type_mapping", "param_function_regex", "SqlParamRegex", "SqlParam", "MarkerParam",
                     "sql_regex_list", "get_params", "__get_regex_value", "get_sql_param"]
    assert fendrel.re is regex
    assert list(fendrel.type_mapping) == ["NUM", "BOOLEAN", "DATE", "STRING", "BINARY", "OTHER"]
    assert fendrel.type_mapping["NUM"][-1] == "NUMERIC" and "REAL" in fendrel.type_mapping["OTHER"]
    assert fendrel.type_mapping["STRING"] == ["CHAR", "VARCHAR", "NCHAR", "NVARCHAR", "LONGNVARCHAR", "LONGVARCHAR"]
    assert sum(map(len, fendrel.type_mapping.values())) == 38
    assert fendrel.param_function_regex.pattern == r".+?\(.+?\)"
    assert [(r.regex.pattern, r.prefix) for r in fendrel.sql_regex_list] == MARKERS
    assert all(type(r) is fendrel.SqlParamRegex for r in fendrel.sql_regex_list)


@pytest.mark.parametrize(
    "cls, methods, annotations",
    [
        ("SqlParamRegex", ["__init__", "resolve_param"], [{"regex": "str", "prefix": "str"}, {"param": "str"}]),
        ("SqlParam", ["__init__", "__str__"], [{"param_name": "str", "function_expression": "str",
                                              "is_function": "bool", "function_name": "str"}, {}]),
        ("MarkerParam", ["__init__", "__str__"], [{"sql_param": "SqlParam", "full_name": "str", "sql_type": "str",
                                                  "python_type": "str", "type_handler": "str"}, {}]),
    ],
)
def test_class_shapes(cls, methods, annotations):
    klass = getattr(fendrel, cls)
    assert klass.__bases__ == (object,) and klass.__doc__ is None
    assert [n for n in vars(klass) if not n.startswith("__") or n in ("__init__", "__str__")] == methods
    assert [getattr(klass, m).__annotations__ for m in methods] == annotations
    assert getattr(klass, methods[0]).__qualname__ == f"{cls}.__init__"


def test_record_attribute_order():
    sp = fendrel.SqlParam(function_name="f", param_name="p")
    assert list(vars(sp)) == ["is_function", "param_name", "function_expression", "function_name"]
    mp = fendrel.MarkerParam(sp, "#{p}", python_type="int")
    assert vars(mp) == {"sql_param": sp, "full_name": "#{p}", "sql_type": None, "python_type": "int",
                        "type_handler": None, "param_name": "p"}
    assert fendrel.SqlParam(is_function=[1]).is_function == [1]


def test_str_forms():
    assert str(fendrel.SqlParam()) == "is_function:False ,param_name:None,function_expression:None,function_name:None"
    assert str(fendrel.SqlParam(param_name="id")) == (
        "is_function:False ,param_name:id,function_expression:None,function_name:None")
    [record] = fendrel.get_sql_param("#{id}")
    assert str(record) == ("sql_param:is_function:False ,param_name:id,function_expression:None,function_name:None"
                           " ,full_name:#{id},sql_type:None,python_type:None,type_handler:None,param_name:id")
    sp = types.SimpleNamespace(param_name=7)
    assert str(fendrel.MarkerParam(sp, sql_type="X")) == (
        f"sql_param:{sp} ,full_name:None,sql_type:X,python_type:None,type_handler:None,param_name:7")


def test_worked_example():
    text = ("where id = #{id, sql_type=INTEGER} and n = ${tab} and u = $f{upper(name)}"
            " or id2 = #{id, sql_type=INTEGER}")
    records = fendrel.get_sql_param(text)
    assert [summary(r) for r in records] == [
        ("#{id, sql_type=INTEGER}", "id", False, None, "INTEGER", None, None),
        ("${tab}", "tab", False, None, None, None, None),
        ("$f{upper(name)}", None, True, "upper", None, None, None),
    ]
    assert records[0].name == "id" and not hasattr(records[2], "name")
    assert records[2].sql_param.function_expression == "upper(name)"


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", []),
        ("select 1", []),
        ("#{}", []),
        ("#{a\n}", []),
        ("#{a}#{a}#{b}", [("#{a}", "a", False, None, None, None, None), ("#{b}", "b", False, None, None, None, None)]),
        ("${x} #{y}", [("#{y}", "y", False, None, None, None, None), ("${x}", "x", False, None, None, None, None)]),
        ("#{user.name,python_type=str}", [("#{user.name,python_type=str}", "user.name", False, None, None, "str", None)]),
        ("#{ id }", [("#{ id }", " id ", False, None, None, None, None)]),
        ("$f{lower(x)}", [("$f{lower(x)}", None, True, "lower", None, None, None)]),
        ("$f{now()}", [("$f{now()}", "now()", False, None, None, None, None)]),
        ("#{max(a)}", [("#{max(a)}", None, True, "max", None, None, None)]),
        ("#{((a))}", [("#{((a))}", None, True, "", None, None, None)]),
        ("$f{abc}", [("$f{abc}", "abc", False, None, None, None, None)]),
        ("$f{concat(a, b)}", [("$f{concat(a, b)}", None, True, "concat", None, None, None)]),
        # A "," before the "(" makes a parameter with options, not a function expression.
        ("#{id, sql_type=VARCHAR(20)}", [("#{id, sql_type=VARCHAR(20)}", "id", False, None, "VARCHAR", None, None)]),
        ("#{amount, sql_type=DECIMAL(10,2)}", [("#{amount, sql_type=DECIMAL(10,2)}", "amount", False, None, "DECIMAL", None, None)]),
        ("#{id, sql_type= }", [("#{id, sql_type= }", "id", False, None, None, None, None)]),
        ("#{v, my_sql_type = X1 ,type_handler=H python_type=\tint}", [
            ("#{v, my_sql_type = X1 ,type_handler=H python_type=\tint}", "v", False, None, "X1", "int", "H")]),
        ("#{a, sql_type=é1}", [("#{a, sql_type=é1}", "a", False, None, "é1", None, None)]),
        ("#{a, sql_type=x\u0301y\u00a0z}", [("#{a, sql_type=x\u0301y\u00a0z}", "a", False, None, "x\u0301y", None, None)]),
        ("#{#{a}", [("#{#{a}", "a", False, None, None, None, None)]),
        ("#{}}", [("#{}}", "", False, None, None, None, None)]),
        ("$f{f(x)} ${y}", [("${y}", "y", False, None, None, None, None), ("$f{f(x)}", None, True, "f", None, None, None)]),
    ],
)
def test_get_sql_param(text, expected):
    assert [summary(r) for r in fendrel.get_sql_param(text)] == expected
    assert as_dicts(fendrel.get_sql_param(text)) == reference_collect(text)


@pytest.mark.parametrize("value", [None, 5, b"#{a}"])
def test_param_text_type_errors_come_from_the_pattern(value):
    expect(Raises(TypeError), fendrel.get_sql_param, value)


def element(text, tail=None):
    e = ET.Element("if")
    e.text, e.tail = text, tail
    ET.SubElement(e, "include").text = "#{inner}"
    return e


@pytest.mark.parametrize(
    "text, tail, names",
    [
        (None, None, []),
        ("and a = 1", None, []),
        ("#{a", "}", ["#{a}"]),
        ("   \n ", "#{b}", ["#{b}"]),
        ("#{a} ", "\u3000", ["#{a}"]),
        ("${t} and #{a, sql_type=INTEGER}", "or #{a, sql_type=INTEGER}", ["#{a, sql_type=INTEGER}", "${t}"]),
    ],
)
def test_get_params(text, tail, names):
    records = fendrel.get_params(element(text, tail))
    assert [r.full_name for r in records] == names


def test_get_params_errors():
    with pytest.raises(AttributeError):
        fendrel.get_params(types.SimpleNamespace(text="#{a}"))
    with pytest.raises(TypeError):
        fendrel.get_params(types.SimpleNamespace(text=b"#{a}", tail=None))
    assert fendrel.get_params(types.SimpleNamespace(text=0, tail=[])) == []


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: fendrel.SqlParamRegex(1, "#"), "Argument 'regex' has incorrect type (expected str, got int)"),
        (lambda: fendrel.SqlParamRegex("x", None), "Argument 'prefix' has incorrect type (expected str, got NoneType)"),
        (lambda: fendrel.sql_regex_list[0].resolve_param(1), "Argument 'param' has incorrect type (expected str, got int)"),
        (lambda: fendrel.SqlParam(param_name=1), "Argument 'param_name' has incorrect type (expected str, got int)"),
        (lambda: fendrel.SqlParam(function_expression=b""), "Argument 'function_expression' has incorrect type (expected str, got bytes)"),
        (lambda: fendrel.SqlParam(function_name=1.0), "Argument 'function_name' has incorrect type (expected str, got float)"),
        (lambda: fendrel.MarkerParam(fendrel.SqlParam(), type_handler=1), "Argument 'type_handler' has incorrect type (expected str, got int)"),
        (lambda: get_regex_value(OPTIONS["sql_type"], None, "sql_type"), "Argument 'param' has incorrect type (expected str, got NoneType)"),
        (lambda: get_regex_value(OPTIONS["sql_type"], "x", group=None), "Argument 'group' has incorrect type (expected str, got NoneType)"),
        (lambda: fendrel.get_sql_param(), "get_sql_param() takes exactly 1 positional argument (0 given)"),
        (lambda: fendrel.MarkerParam(), "__init__() takes at least 2 positional arguments (1 given)"),
        (lambda: get_regex_value("a", "b"), "__get_regex_value() takes exactly 3 positional arguments (2 given)"),
        (lambda: fendrel.MarkerParam(object()), Raises(AttributeError)),
        (lambda: fendrel.SqlParamRegex("(", "#"), Raises(regex.error)),
    ],
)
def test_constructor_and_argument_errors(call, expected):
    # A message stands for the TypeError that carries it.
    expect(expected if isinstance(expected, Raises) else Raises(TypeError, expected), call)


@pytest.mark.parametrize(
    "prefix, param, expected",
    [
        ("#", "#{a,b}", (False, "a", None, None)),
        ("$f", "$f{sum(x)}x}", (True, None, "sum(x)x", "sum")),
        ("#", "x#{y}#{z}", (False, "xyz", None, None)),
        ("", "{a(b)}", (True, None, "a(b)", "a")),
        ("#", "#{a\n(b)}", (False, "a\n(b)", None, None)),
        ("é", "é{f(x)}", (True, None, "f(x)", "f")),
    ],
)
def test_resolve_param(prefix, param, expected):
    sp = fendrel.SqlParamRegex("x", prefix).resolve_param(param=param)
    assert (sp.is_function, sp.param_name, sp.function_expression, sp.function_name) == expected


def test_resolve_param_reads_prefix_from_instance():
    r = fendrel.SqlParamRegex("x", "#")
    r.prefix = 3
    with pytest.raises(TypeError):
        r.resolve_param("#{a}")


@pytest.mark.parametrize(
    "option, param, expected",
    [
        ("sql_type", "#{a, sql_type = INT }", "INT"),
        ("sql_type", "#{a, sql_type=}", None),
        ("sql_type", "#{a}", None),
        ("python_type", "python_type:int python_type=\u2003float", "float"),
        ("type_handler", "type_handler=\u0661\u0662", "\u0661\u0662"),
    ],
)
def test_get_regex_value(option, param, expected):
    assert get_regex_value(OPTIONS[option], param, option) == expected
    assert get_regex_value(regex=r"(=\s*)(?P<v>\w+)?", param=param, group="v") == reference_value(
        r"(=\s*)(?P<v>\w+)?", param, "v")


def test_get_regex_value_unknown_group():
    with pytest.raises(IndexError):
        get_regex_value(OPTIONS["sql_type"], "sql_type=1", "nope")


def random_text(rng):
    pieces = ["#{", "${", "$f{", "}", "{", "#", "$", "f", "(", ")", ",", " ", "\n", "=", "a", "b1", "_",
              "sql_type", "python_type", "type_handler", "é", "\u3000", "\u0301", "\x1c", "\U0001F600", "\t"]
    return "".join(rng.choice(pieces) for _ in range(rng.randrange(40)))


def test_matches_the_regex_algorithm_on_random_texts(monkeypatch):
    rng = random.Random(20261207)
    texts = [random_text(rng) for _ in range(3000)]
    for text in texts:
        assert as_dicts(fendrel.get_sql_param(text)) == reference_collect(text), repr(text)
    monkeypatch.setattr(fendrel, "sql_regex_list", list(fendrel.sql_regex_list))
    for text in texts[:500]:
        assert as_dicts(fendrel.get_sql_param(text)) == reference_collect(text), repr(text)


def test_replaced_globals_are_used(monkeypatch, generic):
    class Record(fendrel.MarkerParam):
        pass

    class Regex(fendrel.SqlParamRegex):
        def resolve_param(self, param):
            return fendrel.SqlParam(param_name=param.upper())

    monkeypatch.setattr(fendrel, "MarkerParam", Record)
    fendrel.sql_regex_list[1] = Regex(r"\$\{.+?\}", "$")
    records = fendrel.get_sql_param("${t} #{a}")
    assert [(type(r), r.name) for r in records] == [(Record, "a"), (Record, "${T}")]
    monkeypatch.setattr(fendrel, "param_function_regex", regex.compile(r"\w"))
    assert fendrel.sql_regex_list[0].resolve_param("#{abc}").function_name == "abc"


def test_many_distinct_markers_keep_first_occurrence_order():
    names = [f"p{(i * 7) % 40}" for i in range(120)]
    text = " and ".join(f"#{{{n}, sql_type=T{n}}} ${{{n}}}" for n in names)
    records = fendrel.get_sql_param(text)
    assert [r.name for r in records] == list(dict.fromkeys(names)) * 2
    assert as_dicts(records) == reference_collect(text)


def test_class_changes_after_a_call_are_seen(monkeypatch):
    fendrel.get_sql_param("#{a}")
    made = []
    original = fendrel.MarkerParam.__init__

    def init(self, sql_param, full_name=None):
        made.append(full_name)
        original(self, sql_param, full_name)

    monkeypatch.setattr(fendrel.MarkerParam, "__init__", init)
    assert [r.name for r in fendrel.get_sql_param("#{a} #{b}")] == ["a", "b"]
    assert made == ["#{a}", "#{b}"]
    monkeypatch.undo()
    fendrel.get_sql_param("#{c}")
    assert made == ["#{a}", "#{b}"]
    # An instance attribute shadows the method, as for any Python object.
    monkeypatch.setattr(fendrel.sql_regex_list[0], "resolve_param", lambda p: fendrel.SqlParam(param_name="X"))
    assert [r.name for r in fendrel.get_sql_param("#{a}")] == ["X"]
    monkeypatch.setattr(fendrel.sql_regex_list[0], "prefix", "$")
    assert [r.name for r in fendrel.get_sql_param("#{a}")] == ["X"]
    monkeypatch.undo()
    monkeypatch.setattr(fendrel.sql_regex_list[0], "prefix", "".join(["#"]))
    assert [r.name for r in fendrel.get_sql_param("#{a} #{#{b}")] == ["a", "b"]
    monkeypatch.setattr(fendrel.sql_regex_list[0], "prefix", "@")
    assert [r.name for r in fendrel.get_sql_param("#{a}")] == ["#{a"]


def test_regex_functions_and_class_slots_are_honoured(monkeypatch):
    calls = []
    original_compile, original_search = regex.compile, regex.search
    monkeypatch.setattr(regex, "compile", lambda p: calls.append(p) or original_compile(p))
    monkeypatch.setattr(regex, "search", lambda p, s: calls.append((p, s)) or original_search(p, s))
    records = fendrel.get_params(types.SimpleNamespace(text="#{a, sql_type=INT}", tail=None))
    assert summary(records[0]) == ("#{a, sql_type=INT}", "a", False, None, "INT", None, None)
    assert calls == [r"\S"] + [(pattern, "#{a, sql_type=INT}") for pattern in OPTIONS.values()]
    monkeypatch.undo()

    seen = []
    monkeypatch.setattr(fendrel.MarkerParam, "__setattr__",
                        lambda self, k, v: seen.append(k) or object.__setattr__(self, k, v), raising=False)
    assert [r.name for r in fendrel.get_sql_param("#{a}")] == ["a"]
    assert seen == ["sql_param", "full_name", *OPTIONS, "param_name", "name", *OPTIONS]


def test_no_reference_leaks():
    text = "".join(f"a = #{{p{i % 7}, sql_type=INTEGER}} and $f{{f{i}(x)}} or ${{t}} " for i in range(20))
    holder = types.SimpleNamespace(text=text, tail=" #{z}")
    for _ in range(50):
        fendrel.get_params(holder)
    gc.collect()
    objects, refs = len(gc.get_objects()), sys.getrefcount(text)
    for _ in range(500):
        fendrel.get_sql_param(text)
        fendrel.get_params(holder)
        str(fendrel.get_sql_param("#{a, python_type=é}")[0])
    gc.collect()
    # 500 rounds make about 60000 records: a leak of any of them would show.
    assert len(gc.get_objects()) < objects + 50
    assert sys.getrefcount(text) == refs
