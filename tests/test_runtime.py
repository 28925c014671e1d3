"""The native runtime contract shared by every module: function objects, argument binding and
its messages, module initialisation guards, and reference ownership."""

import _interpreters
import importlib
import importlib.util
import inspect
import os
import pickle
import subprocess
import sys
import threading
from collections import OrderedDict

import pytest

from conftest import MODULES, Raises, StrSubclass, assert_no_reference_growth, expect
from velmo.utils import zimbard


# Module initialisation guards


@pytest.mark.parametrize("name", MODULES)
def test_second_initialisation_is_refused(name):
    original = importlib.import_module(name)
    short = name.rsplit(".", 1)[1]
    refused = Raises(ImportError, f"Module '{short}' has already been imported. Re-initialisation is not supported.")
    # A fresh module object executed from the same spec
    spec = importlib.util.find_spec(name)
    expect(refused, spec.loader.exec_module, importlib.util.module_from_spec(spec))
    # An import after the module was removed from sys.modules
    sys.modules.pop(name)
    try:
        expect(refused, importlib.import_module, name)
    finally:
        sys.modules[name] = original
    assert importlib.import_module(name) is original


@pytest.mark.parametrize("config", ["isolated", "legacy"])
@pytest.mark.parametrize("name", MODULES)
def test_second_interpreter_is_refused(name, config):
    importlib.import_module(name)
    interp = _interpreters.create(config)
    try:
        failure = _interpreters.run_string(interp, f"import {name}")
    finally:
        _interpreters.destroy(interp)
    assert failure is not None
    assert failure.type.__name__ == "ImportError"
    assert failure.msg == (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


def test_failed_import_in_a_child_interpreter_leaves_the_module_free():
    # A fresh process: each module fails to import in a child interpreter (its dependencies refuse
    # subinterpreters), and the main interpreter imports it afterwards.
    script = f"""
import _interpreters
for name in {MODULES!r}:
    child = _interpreters.create()
    failure = _interpreters.run_string(child, "import " + name)
    _interpreters.destroy(child)
    assert failure is not None and failure.type.__name__ == "ImportError", (name, failure)
    __import__(name)
print("ok")
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)
    assert done.stdout.strip() == "ok", done.stderr


# Function objects


def test_function_metadata():
    # Signatures, annotations, defaults and __module__ are in test_zimbard.py.
    f = zimbard.sql_string_format
    assert f.__name__ == f.__qualname__ == "sql_string_format"
    assert f.__doc__.startswith("`sql_str_value` as one complete SQL string literal") and f.__kwdefaults__ is None
    assert f.__globals__ is vars(zimbard)
    assert repr(f).startswith("<function sql_string_format at 0x")


def test_function_attributes_are_writable_like_python_functions():
    f = zimbard.param_str
    f.custom = 1
    try:
        assert f.__dict__ == {"custom": 1}
    finally:
        del f.custom
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        f.__name__ = 3


def test_function_binds_as_method_and_works_under_staticmethod():
    class Holder:
        method = zimbard.convert_cdata
        static = staticmethod(zimbard.convert_cdata)

        def replace(self, old, new):
            return f"{old}->{new}"

    h = Holder()
    # As a method the instance is the first argument, like a Python function.
    assert h.method(True) == "&-&gt;&amp;"
    assert inspect.ismethod(h.method) and h.method.__func__ is zimbard.convert_cdata
    assert str(inspect.signature(h.method)) == "(reverse=False)"
    assert Holder.method is zimbard.convert_cdata
    assert h.static("<", True) == Holder.static("<", True) == "&lt;"


def test_functions_pickle_by_reference():
    assert pickle.loads(pickle.dumps(zimbard.param_str)) is zimbard.param_str


# Argument binding and its messages


def binding_error(message):
    return Raises(TypeError, message)


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda: zimbard.convert_cdata(reverse=True, string="<"), "&lt;"),
        (lambda: zimbard.convert_cdata(string="&lt;", reverse=True), "&amp;lt;"),
        (lambda: zimbard.convert_cdata("&lt;&gt;"), "<>"),
        (lambda: zimbard.convert_cdata(*["&lt;"], **{"reverse": False}), "<"),
        (lambda: zimbard.sql_string_format(sql_str_value="x"), "'x'"),
        (lambda: zimbard.sql_string_format(), binding_error("sql_string_format() takes exactly 1 positional argument (0 given)")),
        (lambda: zimbard.sql_string_format("a", "b"), binding_error("sql_string_format() takes exactly 1 positional argument (2 given)")),
        (lambda: zimbard.convert_cdata(), binding_error("convert_cdata() takes at least 1 positional argument (0 given)")),
        (lambda: zimbard.convert_cdata("a", True, 3), binding_error("convert_cdata() takes at most 2 positional arguments (3 given)")),
        (lambda: zimbard.convert_cdata(reverse=True), binding_error("convert_cdata() takes at least 1 positional argument (0 given)")),
        (lambda: zimbard.replace_cdata(), binding_error("replace_cdata() takes exactly 1 positional argument (0 given)")),
        (lambda: zimbard.replace_cdata("a", "b"), binding_error("replace_cdata() takes exactly 1 positional argument (2 given)")),
        (lambda: zimbard.replace_cdata(text="a"), binding_error("replace_cdata() takes exactly 1 positional argument (0 given)")),
        (lambda: zimbard.param_str(), binding_error("param_str() takes exactly 1 positional argument (0 given)")),
        (lambda: zimbard.convert_cdata("a", other=1), binding_error("convert_cdata() got an unexpected keyword argument 'other'")),
        (lambda: zimbard.convert_cdata("a", True, reversed=1), binding_error("convert_cdata() got an unexpected keyword argument 'reversed'")),
        (lambda: zimbard.replace_cdata("a", text="b"), binding_error("replace_cdata() got an unexpected keyword argument 'text'")),
        (lambda: zimbard.convert_cdata("a", string="b"), binding_error("convert_cdata() got multiple values for keyword argument 'string'")),
        (lambda: zimbard.param_str(1, param_value=2), binding_error("param_str() got multiple values for keyword argument 'param_value'")),
        (lambda: zimbard.sql_string_format("a", sql_str_value="b"), binding_error("sql_string_format() got multiple values for keyword argument 'sql_str_value'")),
        (lambda: zimbard.sql_string_format(1), binding_error("Argument 'sql_str_value' has incorrect type (expected str, got int)")),
        (lambda: zimbard.sql_string_format(None), binding_error("Argument 'sql_str_value' has incorrect type (expected str, got NoneType)")),
        (lambda: zimbard.sql_string_format(b"a"), binding_error("Argument 'sql_str_value' has incorrect type (expected str, got bytes)")),
        (lambda: zimbard.sql_string_format(StrSubclass("a")), binding_error("Argument 'sql_str_value' has incorrect type (expected str, got StrSubclass)")),
        (lambda: zimbard.sql_string_format(OrderedDict()), binding_error("Argument 'sql_str_value' has incorrect type (expected str, got collections.OrderedDict)")),
    ],
)
def test_argument_binding(call, expected):
    expect(expected, call)


# Reference ownership


def test_calls_do_not_leak_references():
    value = "'already quoted'"
    text = "<![CDATA[a<b]]>"

    def calls():
        assert zimbard.sql_string_format(value) is value
        zimbard.replace_cdata(text)
        with pytest.raises(TypeError):
            zimbard.sql_string_format(b"x")
        with pytest.raises(TypeError):
            zimbard.convert_cdata(text, reverse=True, extra=1)

    assert_no_reference_growth([value, text], calls, 10_000)


def test_functions_are_safe_to_call_from_threads():
    results = []

    def work():
        results.append([zimbard.param_str(i) for i in range(2000)])

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r == [str(i) for i in range(2000)] for r in results)
