"""Every code sample runs as written: the README's, the documentation pages' (docs/**/*.md) and the
examples in the stubs' docstrings.

A page's samples run as scripts of their own in a folder holding the files that the README's and
the page's ```xml NAME blocks name (the page's own over the README's). A docstring's examples run
as a doctest, in a folder holding the README's users.xml, with `engine` (and `async_engine`) over a
users table holding Ada (36), Alan (41) and Grace (45), `User` as `__main__.User`, and the classes
the examples use."""

import asyncio
import doctest
import importlib
import os
import pathlib
import re
import subprocess
import sys
from dataclasses import dataclass

import pytest
from sqlalchemy import create_engine, text

import velmo
from conftest import MODULES, stub_docstrings

ROOT = pathlib.Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]


def blocks(page):
    return re.findall(r"^```(\w+)(?: ([\w.]+))?\n(.*?)^```", page.read_text(encoding="utf-8"), re.S | re.M)


SAMPLES = [(page, body) for page in PAGES for language, _, body in blocks(page) if language == "python"]
# Samples of what is still to come to velmo skip until it is there.
PENDING = {"velmo.transaction(": lambda: hasattr(velmo, "transaction")}


@pytest.mark.parametrize(("page", "script"), SAMPLES, ids=[f"{p.relative_to(ROOT)}:{i}" for i, (p, _) in enumerate(SAMPLES)])
def test_sample_runs(page, script, tmp_path):
    for needle, ready in PENDING.items():
        if needle in script and not ready():
            pytest.skip(f"{needle[:-1]} is not there yet")
    for source in (PAGES[0], page):
        for language, name, body in blocks(source):
            if name:
                (tmp_path / name).write_text(body, encoding="utf-8")
    (tmp_path / "sample.py").write_text(script, encoding="utf-8")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "sample.py"], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


@dataclass
class User:
    id: int
    name: str
    age: int


EXAMPLES = [(m, name, doc) for m in MODULES for name, doc in stub_docstrings(m).items() if doc and ">>>" in doc]


@pytest.mark.parametrize(("module", "name", "doc"), EXAMPLES, ids=[f"{m}:{n}" for m, n, _ in EXAMPLES])
def test_docstring_example_runs(module, name, doc, tmp_path, monkeypatch):
    from sqlalchemy.ext.asyncio import create_async_engine

    from velmo.db.aio import AsyncVelmoSqlSession
    from velmo.db.brannow import VelmoSqlSession
    from velmo.db.kestrum import Page, SqlTemplate
    from velmo.mapper.drovik import ParseMapper

    (tmp_path / "users.xml").write_text(next(b for _, n, b in blocks(PAGES[0]) if n == "users.xml"), encoding="utf-8")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(sys.modules["__main__"], "User", User, raising=False)
    engine = create_engine(f"sqlite:///{tmp_path / 'users.db'}")
    with engine.begin() as connection:
        connection.execute(text("CREATE TABLE users (id INTEGER PRIMARY KEY, name TEXT, age INTEGER)"))
        connection.execute(text("INSERT INTO users (name, age) VALUES ('Ada', 36), ('Alan', 41), ('Grace', 45)"))
    async_engine = create_async_engine(f"sqlite+aiosqlite:///{tmp_path / 'users.db'}")
    names = dict(vars(importlib.import_module(module)), asyncio=asyncio, text=text, User=User, engine=engine,
                 async_engine=async_engine, ParseMapper=ParseMapper, VelmoSqlSession=VelmoSqlSession, Page=Page,
                 SqlTemplate=SqlTemplate, AsyncVelmoSqlSession=AsyncVelmoSqlSession)
    runner, report = doctest.DocTestRunner(), []
    try:
        runner.run(doctest.DocTestParser().get_doctest(doc, names, f"{module}.{name}", None, 0), out=report.append)
    finally:
        engine.dispose()
        asyncio.run(async_engine.dispose())
    assert runner.failures == 0, "".join(report)
