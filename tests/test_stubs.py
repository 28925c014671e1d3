"""The type stubs shipped with the package describe the built modules, and hold their docstrings."""

import ast
import dataclasses
import importlib
import os
import pathlib
import pydoc
import re
import site
import subprocess
import sys

import pytest

import velmo
from conftest import MODULES, stub_docstrings

ALLOWLIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "stubtest-allowlist.txt")


def test_stubs_match_the_built_modules(tmp_path):
    pytest.importorskip("mypy.stubtest")
    root = os.path.dirname(os.path.dirname(velmo.__file__))
    env = dict(os.environ)
    if root not in site.getsitepackages():
        # A development build: mypy finds installed packages by itself, these by MYPYPATH.
        env["MYPYPATH"] = root
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", ALLOWLIST, "velmo"],  # the package and every module in it
        capture_output=True, text=True, env=env, cwd=tmp_path,
    )
    assert run.returncode == 0, run.stdout + run.stderr


SNIPPET = """\
from velmo.db.brannow import VelmoSqlSession
from velmo.db.kestrum import Page
from velmo.mapper.drovik import ParseMapper
from velmo.utils.zimbard import sql_string_format

mapper = ParseMapper("m.xml")
session = VelmoSqlSession({"m": mapper}, None)
mapper.get_sql("a", {})
session.execute_sql("a", "m", {}, Page(1, 2))
ParseMapper(None)  # refused
mapper.get_sql("a", None)  # refused
session.execute_sql("a", None, {})  # refused
session.execute_sql("a", "m", None)  # refused
sql_string_format(None)  # refused

from typing import List
from velmo import AsyncVelmoSqlSession, transaction
class User: ...
reveal_type(session.execute_sql("a", "m", {}, return_type=User))  # reveals snippet.User | list[Any]
reveal_type(session.execute_sql("a", "m", {}, return_type=List[User]))  # reveals list[snippet.User]
reveal_type(session.execute_sql("a", "m", {}, return_type=int))  # reveals int | list[Any]
reveal_type(session.execute_sql("a", "m", {}, Page(1, 2), User))  # reveals dict[str, Any]
async def handler(asession: AsyncVelmoSqlSession) -> None:
    asession.execute_sql("a", "m", {})  # refused
    async with transaction(asession) as tx:
        reveal_type(await tx.execute_sql("a", "m", {}, return_type=list[User]))  # reveals list[snippet.User]
        reveal_type(await tx.execute_sql("a", "m", {}, return_type=User))  # reveals snippet.User | list[Any]
    with transaction(asession):  # refused
        pass
"""


def test_stubs_refuse_what_the_code_refuses(tmp_path, monkeypatch):
    """A default of None that the code then refuses is not Optional in the stubs, and an asyncio
    call never awaited is an error: a type checker flags exactly the calls that fail at run time.
    execute_sql's result type follows from return_type and page."""
    pytest.importorskip("mypy.api")
    from mypy import api

    root = os.path.dirname(os.path.dirname(velmo.__file__))
    (tmp_path / "snippet.py").write_text(SNIPPET)
    if root not in site.getsitepackages():
        monkeypatch.setenv("MYPYPATH", root)
    out, _, _ = api.run([str(tmp_path / "snippet.py"), "--no-incremental", "--cache-dir", os.devnull])
    flagged = sorted({int(line.split(":")[1]) for line in out.splitlines() if ": error:" in line})
    refused = [n for n, line in enumerate(SNIPPET.splitlines(), 1) if line.endswith("# refused")]
    assert flagged == refused, out
    revealed = {int(line.split(":")[1]): line.split('Revealed type is "')[1][:-1] for line in out.splitlines() if "Revealed" in line}
    assert revealed == {n: line.split("# reveals ")[1] for n, line in enumerate(SNIPPET.splitlines(), 1) if "# reveals " in line}, out


@pytest.mark.parametrize("module_name", MODULES)
def test_docstrings_are_the_stubs(module_name):
    """The module, every function, class and method its stub declares: __doc__ is the stub's
    docstring (a dataclass keeps its own); every public one has one."""
    module = importlib.import_module(module_name)
    for name, doc in stub_docstrings(module_name).items():
        owner, _, last = name.rpartition(".")
        # A class member as it is read, and, when documented, as the class holds it (a
        # staticmethod, a wrapper), which help() reads.
        target = getattr(vars(module)[owner], last) if owner else vars(module)[last] if name else module
        for obj in [target] + ([vars(vars(module)[owner])[last]] if owner and doc else []):
            if not (doc is None and dataclasses.is_dataclass(obj)):
                assert obj.__doc__ == doc, name
        if not last.startswith("_") and not isinstance(target, type) or last in ("__init__", "__str__"):
            assert doc, f"{module_name} {name} has no docstring"


@pytest.mark.parametrize("path", [
    "velmo.mapper.drovik.ParseMapper", "velmo.db.brannow.VelmoSqlSession.execute_sql",
    "velmo.db.brannow.VelmoSqlSession.begin_tx", "velmo.db.brannow.VelmoSqlSession.commit",
    "velmo.db.brannow.VelmoSqlSession.rollback", "velmo.db.brannow.VelmoSqlSession.close",
    "velmo.db.brannow.results_handle", "velmo.db.kestrum.SqlTemplate.select_page", "velmo.db.kestrum.SqlTemplate.insert",
    "velmo.db.aio.AsyncVelmoSqlSession.execute_sql", "velmo.mapper.checker.check",
])
def test_help_shows_summary_and_example(path):
    parts = path.split(".")
    obj = importlib.import_module(".".join(parts[:3]))
    for part in parts[3:]:
        obj = getattr(obj, part)
    shown = pydoc.render_doc(obj, renderer=pydoc.plaintext)
    assert obj.__doc__.splitlines()[0] in shown and "Example:" in shown and "    >>> " in shown, shown


def test_classes_that_have_no_docstring():
    from velmo.db.brannow import VelmoSqlSession
    from velmo.db.kestrum import PageInfo, SqlTemplate
    from velmo.utils.fendrel import MarkerParam, SqlParam, SqlParamRegex

    assert [c.__doc__ for c in (SqlTemplate, VelmoSqlSession, SqlParamRegex, SqlParam, MarkerParam)] == [None] * 5
    assert PageInfo.__doc__ == "PageInfo(pageSize: 'int' = None, pageNum: 'int' = None, total: 'int' = None, list: 'list' = None)"


DOCS_TOOL = pathlib.Path(__file__).resolve().parent.parent / "tools" / "docstrings.py"


@pytest.mark.parametrize(("stub", "outcome"), [
    ('"""Module."""\ndef f():\n    """Quotes "x", \\\\ and ?? 无法\n\n    indented."""\nclass C:\n    def m(self): """M."""\n',
     [("", "Module."), ("f", 'Quotes "x", \\ and ?? 无法\n\nindented.'), ("C.m", "M.")]),
    ("def f(): ...\n", "no module docstring"),
    ('"""M."""\nclass C:\n    async def m(self): """A."""\n', [("", "M."), ("C.m", "A.")]),
    ('"""M."""\n@overload\ndef f(x: int): """A."""\n@overload\ndef f(x: str): ...\n', [("", "M."), ("f", "A.")]),
    ('"""M."""\n@overload\ndef f(x: int): """A."""\n@overload\ndef f(x: str): """B."""\n', "f: two different docstrings"),
])
def test_docstring_table_of_a_stub(stub, outcome, tmp_path):
    """tools/docstrings.py: the C++ table reads back as the stub's docstrings, byte for byte."""
    (tmp_path / "m.pyi").write_text(stub, encoding="utf-8")
    done = subprocess.run([sys.executable, DOCS_TOOL, tmp_path / "m.pyi", tmp_path / "docs.inc"],
                          capture_output=True, text=True)
    if isinstance(outcome, str):
        assert done.returncode != 0 and outcome in done.stderr
        return
    assert done.returncode == 0, done.stderr
    table = (tmp_path / "docs.inc").read_text(encoding="ascii")
    rows = [re.findall(r'"(?:[^"\\]|\\.)*"', row) for row in table.split("\n    {")[1:]]
    def text(literals):
        return b"".join(ast.literal_eval("b" + literal) for literal in literals).decode()

    assert [(text(row[:1]), text(row[1:])) for row in rows] == outcome
