"""Property-based fuzzing (hypothesis) of every module's entry points.

Generated mapper documents (nested dynamic elements, markers, quotes, comments, odd whitespace,
missing and empty attributes, unknown tags, include cycles, deep nesting; sometimes no longer
well-formed) are loaded and every statement is asked for with generated parameters, by the mapper
and through a session on SQLite. The helper modules and the result shaping get arbitrary text and
objects. Nothing may crash the interpreter, and every failure must be an exception of a type that
fuzz/calls.py documents for the entry point; where a plain statement of the algorithm is short,
the result (or the exception type) must also be the one that statement gives. Where comments
end is held against two readings of SQL, MySQL's and PostgreSQL's (fuzz/readings.py): nothing
outside a comment in a mapper, nor what paging appends, may end up inside one.
"""

import importlib
import itertools
import logging
import numbers
import types
import time
import typing
import xml.etree.ElementTree as ET
from typing import Any, Dict, List, Optional

import pytest
import regex
from hypothesis import given, strategies as st
from sqlalchemy import TextClause, create_engine, event, text
from sqlalchemy.orm import Session

import calls
import readings
from conftest import COUNTS
from test_brannow import reference
from test_fendrel import OPTIONS, as_dicts, reference_collect, reference_value
from velmo.db import brannow, kestrum
from velmo.mapper.drovik import ParseMapper
from velmo.utils import fendrel, harlune, plovet, wollix, zimbard

results_reference = types.FunctionType(reference.__code__, vars(brannow))


class StrSubclass(str):
    pass


def attempt(name, function, *args, **kwargs):
    """Calls an entry point; returns ("value", result) or ("error", exception), after checking that
    an exception is documented for it."""
    COUNTS[name] += 1
    try:
        return "value", function(*args, **kwargs)
    except Exception as error:
        assert calls.allowed(name, error), f"{name}: undocumented {type(error).__name__}: {error!r}"
        return "error", error


def same(name, function, reference, *args):
    """The entry point and its plain statement agree: equal values of the same type, or exceptions
    of the same type."""
    kind, got = attempt(name, function, *args)
    try:
        want, want_kind = reference(*args), "value"
    except Exception as error:
        want, want_kind = error, "error"
    if want_kind == "error" or kind == "error":
        assert (kind, type(got)) == (want_kind, type(want)), (args, got, want)
    else:
        assert (got is want or got == want) and type(got) is type(want), (args, got, want)
    return got


# ---- text and objects ----

SQL_CHARS = list("#${}f()=,_ <>&\"'[]!-/*\n\t\r|\\.:;%?^+\u3000é\U0001f600\x1c")
SQL_WORDS = ["<![CDATA[", "]]>", "AND", "OR", "and ", "or ", "&amp;", "&lt;", "#{a}", "${a}", "$f{f(x)}"]
TEXT = st.one_of(
    st.text(st.one_of(st.sampled_from(SQL_CHARS), st.characters(codec="utf-8")), max_size=60),
    st.lists(st.one_of(st.sampled_from(SQL_WORDS), st.sampled_from(SQL_CHARS)), max_size=20).map("".join),
)
OPTION_TEXT = st.lists(st.sampled_from(["#{", "${", "$f{", "}", "id", " ", ",", "sql_type", "python_type",
                                        "type_handler", "=", "INT", "(", ")", "x", "\n", "my_"]),
                       max_size=16).map("".join)
REGEX_TEXT = st.lists(st.sampled_from(["AND ", "OR ", "|", ",", "(", ")", "\\", "\\1", "\\g<2>", "[", "]", "?",
                                       "*", "+", "^", "$", ".", "{2}", "\\s", "-", "x", " "]), max_size=8).map("".join)
CLASSES = [int, str, dict, list, tuple, set, frozenset, Dict, List, List[int], Dict[str, Any], Optional[int],
           calls.PersonRow, calls.PersonModel, calls.Person, TextClause, typing.Any]
OBJECTS = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), TEXT, st.binary(max_size=8), st.builds(StrSubclass, TEXT),
    st.lists(st.integers(), max_size=3), st.tuples(st.integers()), st.dictionaries(TEXT, st.integers(), max_size=3),
    st.sampled_from(CLASSES), st.builds(object),
)


# ---- fendrel ----

@given(TEXT | OPTION_TEXT, OBJECTS, OBJECTS, OBJECTS)
def test_fendrel(text_, a, b, c):
    got = attempt("velmo.utils.fendrel.get_sql_param", fendrel.get_sql_param, text_)[1]
    assert as_dicts(got) == reference_collect(text_)
    attempt("velmo.utils.fendrel.get_sql_param", fendrel.get_sql_param, a)
    element = ET.Element("x")
    element.text, element.tail = text_, a if isinstance(a, str) else None
    attempt("velmo.utils.fendrel.get_params", fendrel.get_params, element)
    attempt("velmo.utils.fendrel.get_params", fendrel.get_params, type("E", (), {"text": a, "tail": b})())
    for marker in fendrel.sql_regex_list:
        attempt("velmo.utils.fendrel.SqlParamRegex.resolve_param", marker.resolve_param, text_)
    attempt("velmo.utils.fendrel.SqlParamRegex.resolve_param", fendrel.sql_regex_list[0].resolve_param, a)
    for group, pattern in OPTIONS.items():
        same("velmo.utils.fendrel.__get_regex_value", calls.get_regex_value, reference_value, pattern, text_, group)
    attempt("velmo.utils.fendrel.__get_regex_value", calls.get_regex_value, a, b, c)
    kind, record = attempt("velmo.utils.fendrel.SqlParam", fendrel.SqlParam, a, b, c, a)
    if kind == "value":
        attempt("velmo.utils.fendrel.SqlParam.__str__", str, record)
        kind, marker = attempt("velmo.utils.fendrel.MarkerParam", fendrel.MarkerParam, record, a, b, c)
        if kind == "value":
            attempt("velmo.utils.fendrel.MarkerParam.__str__", str, marker)
    attempt("velmo.utils.fendrel.MarkerParam", fendrel.MarkerParam, a, text_)


@given(REGEX_TEXT, OBJECTS)
def test_fendrel_patterns(pattern, prefix):
    def compiled(pattern, prefix):
        if type(pattern) is not str or (prefix is not None and type(prefix) is not str) or prefix is None:
            raise TypeError
        return regex.compile(pattern).pattern
    same("velmo.utils.fendrel.SqlParamRegex", lambda p, x: fendrel.SqlParamRegex(p, x).regex.pattern, compiled, pattern, "#")
    attempt("velmo.utils.fendrel.SqlParamRegex", fendrel.SqlParamRegex, pattern, prefix)


# ---- zimbard, harlune, plovet ----

def exact_str(*values):
    if any(type(v) is not str for v in values):
        raise TypeError


def convert(string, reverse=False):
    pairs = [("&", "&amp;"), ("<", "&lt;"), (">", "&gt;"), ('"', "&quot;")]
    for old, new in pairs if reverse else [(n, o) for o, n in pairs]:
        string = string.replace(old, new)
    return string


def replace_cdata(raw):
    match = regex.compile(r"(<!\[CDATA\[)([\s\S]*?)(\]\]>)").search(raw)
    return raw if not match else raw.replace(match.group(0), convert(match.group(2), True))


def literal(value):
    """What the literal helpers promise (README): one complete SQL literal, quotes doubled."""
    exact_str(value)
    return "literal"


def is_literal(result):
    return len(result) >= 2 and result[0] == result[-1] == "'" and "'" not in result[1:-1].replace("''", "")


def param_str(value):
    if not value and not isinstance(value, numbers.Number):
        return "null"
    return "literal" if type(value) is str else str(value)


@given(TEXT, OBJECTS, OBJECTS)
def test_zimbard(text_, obj, reverse):
    same("velmo.utils.zimbard.replace_cdata", zimbard.replace_cdata, replace_cdata, text_)
    same("velmo.utils.zimbard.replace_cdata", zimbard.replace_cdata, replace_cdata, f"<![CDATA[{text_}]]>{text_}")
    attempt("velmo.utils.zimbard.replace_cdata", zimbard.replace_cdata, obj)
    same("velmo.utils.zimbard.convert_cdata", zimbard.convert_cdata, convert, text_, reverse)
    attempt("velmo.utils.zimbard.convert_cdata", zimbard.convert_cdata, obj)
    for value in (text_, obj):
        for name, function in (("velmo.utils.zimbard.sql_string_format", zimbard.sql_string_format),
                               ("velmo.utils.plovet.like", plovet.like)):
            same(name, lambda v: "literal" if is_literal(function(v)) else function(v), literal, value)
        same("velmo.utils.zimbard.param_str",
             lambda v: "literal" if type(v) is str and is_literal(r := zimbard.param_str(v)) else zimbard.param_str(v),
             param_str, value)


# Overrides of one length, distinct in any case: exactly one of them, the one put there in some
# case, matches where the text holds it, so the result is known by construction.
@st.composite
def overrides(draw):
    size = draw(st.integers(1, 4))
    words = draw(st.lists(st.text("abkxyz", min_size=size, max_size=size), min_size=1, max_size=4, unique=True))
    word = "".join(c.upper() if draw(st.booleans()) else c for c in draw(st.sampled_from(words)))
    return "|".join(words), word


BLANKS = st.text(" \t\n\r\x1c\u3000", max_size=3)
REPLACEMENT = st.text(st.characters(codec="utf-8", exclude_characters="\\"), max_size=6)
# A trailing "-- comment" that replace_sql_last takes away with the override before it.
COMMENT = st.just("") | st.builds("{}--{}x".format, st.text(" \t\n", min_size=1, max_size=2),
                                  st.text(st.characters(codec="utf-8", exclude_characters="\n"), max_size=8))


@given(overrides(), BLANKS, TEXT, COMMENT, BLANKS, REPLACEMENT, OBJECTS)
def test_harlune(words_word, lead, text_, comment, trail, replace, obj):
    words, word = words_word
    first = "velmo.utils.harlune.replace_sql_first", harlune.replace_sql_first
    last = "velmo.utils.harlune.replace_sql_last", harlune.replace_sql_last
    # The text stripped, a leading override replaced; a text that starts with a digit keeps its start.
    assert attempt(*first, lead + word + text_ + trail, words, replace) == ("value", replace + text_.rstrip())
    assert attempt(*first, lead + "0" + text_ + trail, words, replace) == ("value", ("0" + text_).rstrip())
    # The last override, with the comment after it, replaced; before it no "-" can start a comment.
    head = text_.replace("-", "")
    assert attempt(*last, lead + head + word + comment + trail, words, replace) == ("value", head.lstrip() + replace)
    assert attempt(*last, lead + head + "0" + trail, words, replace) == ("value", (head + "0").strip())
    for args in ((obj, words, replace), (word, obj, replace), (word, words, obj)):
        for entry in (first, last) if any(type(a) is not str for a in args) else ():
            assert type(attempt(*entry, *args)[1]) is TypeError


TIMES = st.one_of(st.tuples(*[st.integers(-3, 3000)] * 9), st.lists(st.integers(-2**70, 2**70), max_size=10).map(tuple),
                  st.builds(time.gmtime, st.integers(0, 2**33)), OBJECTS)


@given(TIMES, st.one_of(TEXT, st.sampled_from(["%Y-%m-%d %H:%M:%S", "%", "%Q", "%Y%", ""]), OBJECTS))
def test_plovet_time_format(date_value, format):
    def reference(date_value, format):
        exact_str(format)
        time.strftime(format, date_value)
        return "literal"
    same("velmo.utils.plovet.time_format", lambda d, f: "literal" if is_literal(plovet.time_format(d, f)) else None,
         reference, date_value, format)


# ---- wollix ----

# Dotted names only inside modules that import without side effects.
TYPE_NAMES = st.one_of(
    TEXT.filter(lambda t: "." not in t),
    st.builds("{}.{}".format, st.sampled_from(["decimal", "datetime", "collections", "os", "os.path", "typing",
                                               "calls", "no_such_module_q", "", ".", "velmo.db", "json"]),
              st.sampled_from(["Decimal", "datetime", "OrderedDict", "path", "List", "PersonRow", "x", "", "Any"])),
    st.sampled_from(["int", "list", "dict", "set", "frozenset", "Container", "Iterable", "BaseModel", "List", "builtins"]),
)


def type_from_string(type_str):
    exact_str(type_str)
    found = getattr(importlib.import_module("builtins"), type_str, None)
    if found is not None and isinstance(found, type):
        return found
    found = vars(wollix).get(type_str)
    if found is not None and isinstance(found, type):
        return found
    if "." in type_str:
        module_path, class_name = type_str.rsplit(".", 1)
        try:
            found = getattr(importlib.import_module(module_path), class_name)
        except (ImportError, AttributeError) as e:
            raise ValueError(f"无法导入类型 {type_str}: {e}") from e
        if isinstance(found, type):
            return found
    raise ValueError(f"未知的类型: {type_str}")


def container_by_str(type_str):
    exact_str(type_str)
    found = getattr(importlib.import_module("builtins"), type_str, None) or vars(wollix).get(type_str)
    return isinstance(found, type) and issubclass(found, (list, tuple, dict, set))


@given(TYPE_NAMES, OBJECTS)
def test_wollix(type_str, obj):
    same("velmo.utils.wollix.get_type_from_string", wollix.get_type_from_string, type_from_string, type_str)
    same("velmo.utils.wollix.get_type_from_string", wollix.get_type_from_string, type_from_string, obj)
    same("velmo.utils.wollix.is_container_type_by_str", wollix.is_container_type_by_str, container_by_str, type_str)
    same("velmo.utils.wollix.is_container_type", wollix.is_container_type,
         lambda t: issubclass(typing.get_origin(t) or t, (list, tuple, dict, set)), obj)
    same("velmo.utils.wollix.get_base_type", wollix.get_base_type, lambda t: typing.get_origin(t) or t, obj)
    same("velmo.utils.wollix.is_result_class", wollix.is_result_class, lambda t: issubclass(t, calls.pydantic.BaseModel)
         or calls.dataclasses.is_dataclass(t) or issubclass(t, calls.DeclarativeBase), obj)


# ---- the mapper's text steps, paging texts, result shaping ----

def trim(s, overrides, suffix):
    exact_str(s)
    if type(overrides) is not set:
        raise TypeError
    ordered = sorted(overrides, key=len, reverse=True)
    s = " ".join(piece.strip() for piece in s.split())
    while True:
        for o in ordered:
            if o and (s.endswith(o) if suffix else s.startswith(o)):
                s = (s[: len(s) - len(o)] if suffix else s[len(o):]).strip()
                break
        else:
            return s.strip()


def to_replace(ret, param):
    for match in regex.findall(r"\$\{([a-zA-Z0-9_\-]+)\}", ret):
        ret = ret.replace("${" + match + "}", param[match] if match in param else "")
    return ret


PARAMS = st.dictionaries(st.sampled_from(["a", "b", "ids", "xs", "x-y", "i", "ids_for_index_0", ""]),
                         st.one_of(st.none(), st.integers(), TEXT, st.lists(st.integers(), max_size=4), st.tuples(st.integers())),
                         max_size=5)
MARKED = st.lists(st.one_of(TEXT, st.sampled_from(["#{a}", "#{ids_for_index_1}", "#{xs_for_index_0}", "#{ids_for_index_}",
                                                   "#{ids_for_index_99999999999999999999}", "#{x-y}", "#{ids_for_index_-1}", "#{ids_for_index_1_0}", "#{ a }", "#{}",
                                                   "${a}", "${b}", "#{a.b}", "#{", "-- c\n", "# h\n", "/* c */", "'q  q'"])),
                  max_size=10).map("".join)


@given(MARKED, st.sets(st.sampled_from(["AND", "OR", "AND NOT", ",", "", " ", "A", "ANDROID"]), max_size=4), PARAMS, OBJECTS)
def test_statement_steps(sql, overrides, params, obj):
    """The text steps; whitespace normalisation and trimming equal their plain statements on text
    without quotes or comments (README: those are kept, and "--" comments removed)."""
    plain = not set("'\"`#-/") & set(sql)
    for name, suffix in (("_trim_prefix", False), ("_trim_suffix", True)):
        function = getattr(ParseMapper, name)
        kind, trimmed = attempt(f"velmo.mapper.drovik.ParseMapper.{name}", function, sql, overrides)
        if plain:
            assert trimmed == trim(sql, overrides, suffix)
        same(f"velmo.mapper.drovik.ParseMapper.{name}", function, lambda s, o: trim("", o, suffix), sql, obj)
    kind, formatted = attempt("velmo.mapper.drovik.ParseMapper._format_sql", ParseMapper._format_sql, sql)
    if plain:
        assert formatted == " ".join(sql.split())
    same("velmo.mapper.drovik.ParseMapper.to_replace", ParseMapper.to_replace, to_replace, sql, params)
    kind, prepared = attempt("velmo.mapper.drovik.ParseMapper.to_prepared_statement", ParseMapper.to_prepared_statement, sql, params)
    if kind == "value":
        clause, binds = prepared
        assert type(clause) is TextClause and list(binds) == list(dict.fromkeys(regex.findall(r"#\{([a-zA-Z0-9_\-]+)\}", sql)))
        for name, value in binds.items():
            container, _, index = name.partition("_for_index_")
            want = params[container][int(index)] if index else params.get(name)
            assert value is want or (value == want and type(value) is type(want))  # str[i] may be a new str
        same("velmo.db.kestrum.count_query", lambda c: kestrum.count_query(c).text,
             lambda c: "select count(*) from ( " + c.text + " ) temp", clause)
    attempt("velmo.mapper.drovik.ParseMapper.to_prepared_statement", ParseMapper.to_prepared_statement, obj, params)


@given(OBJECTS, OBJECTS, st.integers(-5, 5), st.integers(-5, 5))
def test_paging(a, b, num, size):
    kind, page = attempt("velmo.db.kestrum.Page", kestrum.Page, a, b)
    assert kind == "error" or (type(a), type(b)) == (int, int)
    page = kestrum.Page(num, size)
    same("velmo.db.kestrum.limit_query", lambda c, p: kestrum.limit_query(c, p).text,
         lambda c, p: c.text + f" limit {(num - 1) * size},{size}", text("select 1"), page)
    # Fields that are no ints meet Python's arithmetic: an int times a str repeats it, so the ints
    # stay small here.
    small = [v if not isinstance(v, int) or abs(v) < 1000 else 3 for v in (a, b)]
    attempt("velmo.db.kestrum.limit_query", kestrum.limit_query, text("x"), type("P", (), {"pageNum": small[0], "pageSize": small[1]})())
    attempt("velmo.db.kestrum.count_query", kestrum.count_query, a)


ROW_VALUES = st.one_of(st.integers(), TEXT, st.none())
ROWS = st.one_of(
    st.lists(st.fixed_dictionaries({"id": ROW_VALUES, "name": ROW_VALUES, "age": ROW_VALUES}), max_size=3),
    st.lists(st.dictionaries(st.sampled_from(["id", "name", "age", "x"]), ROW_VALUES, max_size=4), max_size=3),
    st.lists(OBJECTS, max_size=2), st.lists(OBJECTS, max_size=2).map(tuple),
)
TYPES = st.sampled_from([None, *CLASSES, List[calls.PersonRow], List[calls.PersonModel], List[calls.Person]])


@given(ROWS, TYPES, TYPES)
def test_results_handle(rows, result_type, return_type):
    def outcome(function):
        try:
            result = function(rows, result_type, return_type)
        except Exception as e:
            return type(e)
        declarative = lambda r: {k: v for k, v in vars(r).items() if not k.startswith("_")}  # noqa: E731
        if isinstance(result, calls.Person):
            return declarative(result)
        if isinstance(result, list) and result and isinstance(result[0], calls.Person):
            return [declarative(r) for r in result]
        return result
    COUNTS["velmo.db.brannow.results_handle"] += 1
    got, want = outcome(brannow.results_handle), outcome(results_reference)
    assert got is want or got == want  # a row that is itself a NaN is handed back as it is
    if isinstance(got, type) and issubclass(got, BaseException):
        assert issubclass(got, calls.ALLOWED["velmo.db.brannow.results_handle"]), got


# ---- mapper documents ----

CONDITIONS = ["params.get('a')", "params.get('b') is not None", "'ids' in params", "params['a']", "True", "False",
              "1/0", "undefined", "(", "params.get('a') and params.get('b')", " params.get('ids')", "", "len(params) > 1"]
PIECES = [" AND a = #{a}", " OR b = #{b} ", ",", " x = '#{a}' ", "'  quoted  '", "-- comment\n", "/* c */",
          "# hash\n", "#{", "}", "${a}", "#{ids_for_index_0}", "\t\n ", "and", "OR", "AND(", "ANDROID", "é",
          "\u3000", "#{i}", "#{x.y}", "#{ a }", "#{}", ":name", "<", "&", '"', "SELECT 1", "id IN", "#{item}"]
# Characters XML 1.0 allows (a document with others no longer loads, which the corruption below
# covers already).
XML_TEXT = st.text(st.one_of(st.sampled_from([c for c in SQL_CHARS if c >= " " or c in "\t\n\r"]),
                             st.characters(codec="utf-8", exclude_categories=("Cc", "Cs"), exclude_characters="\ufffe\uffff")),
                   max_size=40)
BODY_TEXT = st.one_of(st.none(), st.lists(st.sampled_from(PIECES), max_size=4).map("".join), XML_TEXT)
MAYBE = lambda values: st.one_of(st.none(), st.sampled_from(values))  # noqa: E731  None: the attribute is absent

ATTRIBUTES = {
    "if": {"test": CONDITIONS}, "when": {"test": CONDITIONS},
    "trim": {"prefix": ["WHERE", "", "("], "suffix": ["", ")"], "prefixOverrides": ["AND |OR ", "", "|", "AND||OR", ","],
             "suffixOverrides": [",", "", "AND|"]},
    "foreach": {"item": ["i", "item", ""], "collection": ["ids", "xs", "missing", "a", "ids[0]", ""],
                "open": ["(", ""], "close": [")", ""], "separator": [",", " OR ", ""]},
    "include": {"refid": ["frag", "self_ref", "a_to_b", "nowhere", ""]},
}
TAGS = ["if", "where", "trim", "set", "choose", "when", "otherwise", "foreach", "include", "sql", "bind", "select", "{urn:x}if"]


def element(tag, children):
    @st.composite
    def build(draw):
        e = ET.Element(tag, {name: value for name, values in ATTRIBUTES.get(tag, {}).items()
                             if (value := draw(MAYBE(values))) is not None})
        e.text = draw(BODY_TEXT)
        for child in draw(children):
            child.tail = draw(BODY_TEXT)
            e.append(child)
        return e
    return build()


BODIES = st.recursive(
    st.sampled_from(TAGS).flatmap(lambda tag: element(tag, st.just([]))),
    lambda children: st.sampled_from(TAGS).flatmap(lambda tag: element(tag, st.lists(children, max_size=3))),
    max_leaves=12,
)
STATEMENT_KINDS = ["select", "insert", "update", "delete", "sql", "resultMap"]
RESULT_TYPES = [None, "dict", "int", "str", "decimal.Decimal", "calls.PersonRow"]
REFUSED_RESULT_TYPES = ["", "list", "no_such_module_q.X", "List", "Dict"]  # loading fails


@st.composite
def documents(draw):
    mapper = ET.Element("mapper", {} if draw(st.booleans()) else {"namespace": "m"})
    fragments = {"frag": ET.Element("sql", id="frag"), "self_ref": ET.Element("sql", id="self_ref"),
                 "a_to_b": ET.Element("sql", id="a_to_b"), "b": ET.Element("sql", id="b")}
    fragments["frag"].text = draw(BODY_TEXT)
    ET.SubElement(fragments["self_ref"], "include", refid="self_ref")
    ET.SubElement(fragments["a_to_b"], "include", refid="b")
    ET.SubElement(fragments["b"], "include", refid=draw(st.sampled_from(["a_to_b", "frag"])))
    for fragment in fragments.values():
        if draw(st.booleans()):
            mapper.append(fragment)
    for n in range(draw(st.integers(1, 4))):
        kind = draw(st.sampled_from(STATEMENT_KINDS))
        statement = ET.SubElement(mapper, kind)
        if draw(st.integers(0, 29)):
            statement.set("id", draw(st.sampled_from(["s0", "s1", "s2", "", "S0"])))
        result_type = draw(st.sampled_from(RESULT_TYPES if draw(st.integers(0, 19)) else REFUSED_RESULT_TYPES))
        if result_type is not None:
            statement.set("resultType", result_type)
        statement.text = draw(BODY_TEXT)
        for child in draw(st.lists(BODIES, max_size=3)):
            child.tail = draw(BODY_TEXT)
            statement.append(child)
    source = ET.tostring(mapper, encoding="unicode")
    if draw(st.integers(0, 15)) == 0:  # no longer well-formed, or a comment or declaration added
        at = draw(st.integers(0, len(source)))
        source = source[:at] + draw(st.sampled_from(["<", "&", "<!-- -- -->", "]]>", "<?xml?>", "\0", ""])) + source[at:]
    return source


VALUES = st.one_of(st.none(), st.integers(), TEXT, st.lists(st.one_of(st.integers(), st.none()), max_size=4),
                   st.tuples(st.integers()), st.dictionaries(st.just("k"), st.integers(), max_size=1))
MAPPER_PARAMS = st.dictionaries(st.sampled_from(["a", "b", "ids", "xs", "i", "item"]), VALUES, max_size=5)


def evaluate(mapper, element, param):
    """parse_element as plainly stated (with the README's choices: foreach evaluates against a
    copy of the parameters, empty overrides never match)."""
    def body():
        out = element.text or ""
        for child in element:
            out += evaluate(mapper, child, param)
            out += child.tail or ""
        return out

    tag, attrib = element.tag, element.attrib
    if tag == "include":
        return "" + evaluate(mapper, mapper.id_2_element_map[attrib["refid"]], param)
    if tag in ("sql", "when", "otherwise"):
        return body()
    if tag == "if":
        return body() if eval(attrib["test"], param) else ""
    if tag == "where":
        words, i = body().strip().split(), 0
        while i < len(words) and words[i].upper() in ("AND", "OR"):
            i += 1
        return "" if i == len(words) else "WHERE " + " ".join(words[i:])
    if tag == "trim":
        overrides = [{p.strip() for p in attrib[name].split("|")} if name in attrib else set()
                     for name in ("prefixOverrides", "suffixOverrides")]
        ret = body()
        ret = trim(ret, overrides[0], False) if overrides[0] else ret
        ret = trim(ret, overrides[1], True) if overrides[1] else ret
        return attrib.get("prefix", "") + " " + ret + " " + attrib.get("suffix", "")
    if tag == "set":
        return "SET " + trim(body(), {","}, False)
    if tag == "choose":
        for child in element:
            if child.tag == "when" and eval(child.attrib["test"], param):
                return "" + evaluate(mapper, child, param)
        for child in element:
            if child.tag == "otherwise":
                return evaluate(mapper, child, param)
        raise Exception("Missing otherwise element")
    if tag == "foreach":
        item, collection, open_, close, separator = (attrib[k] for k in ("item", "collection", "open", "close", "separator"))
        scope = dict(param["params"])
        if not eval("isinstance(" + collection + ",list)", scope):
            raise Exception("Collection must be a list")
        items = eval("[item for item in " + collection + "]", scope)
        parts = [body().replace("#{" + item + "}", "#{" + collection + "_for_index_" + str(i) + "}") for i in range(len(items))]
        return open_ + separator.join(parts) + close
    return None


def prepared(mapper, sql_id, params):
    """get_sql's clause text and binds, as plainly stated."""
    element = mapper.id_2_element_map[sql_id]
    kind = mapper.sql_type_map[sql_id]
    if kind not in ("select", "insert", "update", "delete"):
        raise Exception("Not a delete")
    ret = element.text or ""
    for child in element:
        ret += evaluate(mapper, child, {"params": params})
        ret += child.tail or ""
    binds = {}
    for name in regex.findall(r"#\{([a-zA-Z0-9_\-]+)\}", ret):
        if "_for_index_" in name:
            container, index = name.split("_for_index_", 1)
            binds[name] = params[container][int(index)]
        else:
            binds[name] = params.get(name)
    return " ".join(regex.sub(r"#\{([^}]+)\}", r":\1", ret).split()), binds


def plain(mapper):
    """No quotes or comments anywhere in what the statements output: there the README's
    normalisation is exactly the split-and-join that prepared() applies."""
    texts = []
    for statement in mapper.id_2_element_map.values():
        for e in statement.iter():
            texts += [e.text or "", e.tail or ""] + [e.attrib.get(k, "") for k in ("prefix", "suffix", "open", "close", "separator")]
    joined = regex.sub(r"#\{[^}\r\n]+\}", "", "".join(texts))
    return not set("'\"`#-/$") & set(joined)


@given(documents(), MAPPER_PARAMS, st.sampled_from([None, list, dict, int, List[dict], Dict[str, Any], calls.PersonRow]))
def test_mapper_documents(tmp_path_factory, env, source, params, return_type):
    path = tmp_path_factory.getbasetemp() / "fuzzed.xml"
    path.write_text(source, encoding="utf-8")
    kind, mapper = attempt("velmo.mapper.drovik.ParseMapper", ParseMapper, str(path))
    if kind == "error":
        return
    session = brannow.VelmoSqlSession({"m": mapper}, env.engine)
    compare = plain(mapper)
    for sql_id in list(attempt("velmo.mapper.drovik.ParseMapper.list_statement", mapper.list_statement)[1]):
        kind, answer = attempt("velmo.mapper.drovik.ParseMapper.get_sql", mapper.get_sql, sql_id, dict(params))
        if kind == "value":
            clause, binds, sql_kind, result_type = answer
            assert type(clause) is TextClause and type(binds) is dict and sql_kind in ("select", "insert", "update", "delete")
            assert mapper.get_sql(sql_id, dict(params))[0].text == clause.text
        if compare:
            COUNTS["velmo.mapper.drovik.ParseMapper.get_sql (against the plain statement)"] += 1
            try:
                want = prepared(mapper, sql_id, dict(params))
            except Exception as error:
                assert kind == "error" and type(answer) is type(error), (sql_id, answer, error)
            else:
                assert kind == "value" and (answer[0].text, answer[1]) == want, (sql_id, answer, want)
        for name in ("select", "insert", "update", "delete"):
            attempt(f"velmo.mapper.drovik.ParseMapper.{name}", getattr(mapper, name), sql_id, dict(params))
        attempt("velmo.db.brannow.VelmoSqlSession.execute_sql", session.execute_sql, sql_id, "m", dict(params), None, return_type)
        for child in mapper.id_2_element_map[sql_id]:
            attempt("velmo.mapper.drovik.ParseMapper.parse_element", mapper.parse_element, child, {"params": dict(params)})
    assert env.engine.pool.checkedout() == 0


@given(st.lists(st.sampled_from(["if", "where", "trim", "set", "foreach", "sql", "when", "otherwise", "choose"]),
                min_size=1, max_size=4),
       st.integers(1, 3000), st.sampled_from(["include", "chain", "nest"]))
def test_deep_nesting_and_long_include_chains(tmp_path_factory, tags, depth, shape):
    """Deep nesting and long include chains evaluate or end in RecursionError, never a crash."""
    if shape == "nest":
        opened = [t for t, _ in zip(itertools.cycle(tags), range(depth))]
        attributes = 'test="True" item="i" collection="ids" open="(" close=")" separator=","'
        body = "".join(f"<{t} {attributes}>" for t in opened) + "#{i}" + "".join(f"</{t}>" for t in reversed(opened))
        source = f'<mapper><select id="deep">{body}</select></mapper>'
    else:
        chain = "".join(f'<sql id="f{n}"><include refid="f{n + 1 if shape == "chain" or n + 1 < depth else 0}"/></sql>'
                        for n in range(depth))
        source = f'<mapper><select id="deep"><include refid="f0"/></select>{chain}<sql id="f{depth}">x</sql></mapper>'
    path = tmp_path_factory.getbasetemp() / "deep.xml"
    path.write_text(source, encoding="utf-8")
    kind, loaded = attempt("velmo.mapper.drovik.ParseMapper", ParseMapper, str(path))
    assert kind == "value"
    kind, answer = attempt("velmo.mapper.drovik.ParseMapper.get_sql", loaded.get_sql, "deep", {"ids": [1]})
    assert kind == "value" or type(answer) in (RecursionError, KeyError, Exception), answer


# ---- where comments end ----

COMMENT_PIECES = ["# c", "#", "-- c", "--c", "--", "\n", "\r", " ", "\t", "'", "\\'", '"', "`", "/*", "*/", "$$", "$q$",
                  "E'", "#{a}", "#{", "}", "AND", "OR", ",", "w", "\u3000", "\x0b"]
COMMENT_TEXT = TEXT | st.lists(st.sampled_from(COMMENT_PIECES), max_size=14).map("".join)
STATEMENTS = st.binary(min_size=200, max_size=1000).map(readings.Statement)  # a byte a choice


def load_statement(tmp_path_factory, statement):
    path = tmp_path_factory.getbasetemp() / "comments.xml"
    path.write_text(statement.source, encoding="utf-8")
    return ParseMapper(str(path))


@given(STATEMENTS)
def test_comments_take_no_code(tmp_path_factory, statement):
    """Nothing outside a comment in the mapper ends up inside one, under the MySQL reading and
    under the PostgreSQL reading, and nothing else is lost (fuzz/readings.py)."""
    COUNTS["velmo.mapper.drovik.ParseMapper.get_sql (comments)"] += 1
    readings.check(statement, load_statement(tmp_path_factory, statement).get_sql("q", readings.params())[0].text)


# An element around three texts a, b, c: <tag>a<if test="True">b</if>c</tag> (choose: around its
# when; include: around the fragment it names).
AROUND = {"if": {"test": "True"}, "where": {}, "set": {}, "when": {"test": "True"}, "sql": {"id": "frag"},
          "trim": {"prefix": "WHERE", "prefixOverrides": "AND |OR ", "suffixOverrides": ","},
          "foreach": {"item": "i", "collection": "xs", "open": "(", "separator": ",", "close": ""}}


def around(mapper, tag, texts):
    element = ET.Element(tag, AROUND[tag])
    element.text = texts[0]
    ET.SubElement(element, "if", test="True").text = texts[1]
    element[0].tail = texts[2]
    if tag == "when":
        choose = ET.Element("choose")
        choose.append(element)
        return choose
    if tag == "sql":
        mapper.id_2_element_map["frag"] = element
        return ET.Element("include", refid="frag")
    return element


@pytest.fixture(scope="module")
def text_mapper(env):
    return ParseMapper(env.mapper_path)


@given(st.lists(COMMENT_TEXT, min_size=3, max_size=3), st.sampled_from([{"AND", "OR"}, {","}, {"AND", "OR", ","}]))
def test_hash_comments_end_their_line(text_mapper, texts, overrides):
    """No "#" comment runs to the end of a text the mapper's steps make: what follows it (the next
    piece, an element's suffix, a paging wrapper) would be read as part of it."""
    whole = "".join(texts)
    made = [("_format_sql", ParseMapper._format_sql(whole)), ("_trim_prefix", ParseMapper._trim_prefix(whole, overrides)),
            ("_trim_suffix", ParseMapper._trim_suffix(whole, overrides))]
    params = {"params": {"xs": [1, 2]}}
    made += [(f"parse_element <{tag}>", text_mapper.parse_element(around(text_mapper, tag, texts), params)) for tag in AROUND]
    for name, out in made:
        COUNTS[f"velmo.mapper.drovik.ParseMapper.{name.split()[0]} (comments)"] += 1
        assert not readings.unended_hash_comment(out), (name, out)


class RecordingSession(Session):
    """A session that records the statements it is given and runs none."""

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.ran = []

    def execute(self, statement, params=None, **kwargs):
        self.ran.append(statement.text)
        return types.SimpleNamespace(scalar=lambda: 0, all=lambda: [])


POSTGRESQL = create_engine("postgresql+psycopg://")  # its dialect only: nothing connects


@given(COMMENT_TEXT)
def test_paging_sql_stays_out_of_comments(body):
    """What count_query, limit_query and the PostgreSQL page query append to a text lies inside no
    line comment of that text, under either reading."""
    clause, page, session = text(body), kestrum.Page(2, 3), RecordingSession(bind=POSTGRESQL)
    kestrum.SqlTemplate(POSTGRESQL).select_page(sql=clause, page=page, con=session, args={})
    assert session.ran[1].endswith(" LIMIT 3 OFFSET 3")
    for name, head, whole in [("count_query", "select count(*) from ( ", kestrum.count_query(clause).text),
                              ("limit_query", "", kestrum.limit_query(clause, page).text),
                              ("SqlTemplate.select_page (PostgreSQL)", "", session.ran[1])]:
        COUNTS[f"velmo.db.kestrum.{name} (comments)"] += 1
        at = len(head + body)
        assert whole[:at] == head + body and not readings.appended_in_comment(whole, at), (name, whole)


class Captured(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.texts = []

    def emit(self, record):
        # The statement records (statement name, SQL[, bind names]); not the warnings of markers
        # that get no parameter.
        if record.levelno < logging.WARNING:
            self.texts.append(record.args[1])


@pytest.fixture(scope="module")
def logged():
    """An SQLite engine that records the text of every statement it is given and runs SELECT 0 in
    its place (generated statements are no SQL), and the handler of the velmo.sql logger."""
    engine, ran, handler, logger = create_engine("sqlite://"), [], Captured(), logging.getLogger("velmo.sql")

    @event.listens_for(engine, "before_execute", retval=True)
    def record(connection, clause, multiparams, params, options):
        ran.append(clause.text)
        return text("SELECT 0 AS n"), [], {}

    level = logger.level
    logger.setLevel(logging.DEBUG)
    logger.addHandler(handler)
    yield engine, ran, handler.texts
    logger.removeHandler(handler)
    logger.setLevel(level)
    engine.dispose()


@given(STATEMENTS, st.sampled_from([None, kestrum.Page(1, 2)]))
def test_logged_sql_is_the_sql_that_ran(tmp_path_factory, logged, statement, page):
    """The velmo.sql logger records exactly the SQL a statement run by id hands to SQLAlchemy; a
    paged select runs its count and page queries around the logged text instead."""
    engine, ran, texts = logged
    ran.clear()
    texts.clear()
    session = brannow.VelmoSqlSession({"m": load_statement(tmp_path_factory, statement)}, engine)
    COUNTS["velmo.db.brannow.VelmoSqlSession.execute_sql (logged)"] += 1
    session.execute_sql("q", "m", readings.params(), page)
    assert len(texts) == 1, texts
    if page is None or statement.kind != "select":
        assert ran == texts, (ran, texts)
    else:
        assert len(ran) == 2 and all(texts[0] in r for r in ran), (ran, texts)
