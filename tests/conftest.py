"""Database engines and shared helpers for the tests.

SQLite always runs (a file database per test session). MariaDB and PostgreSQL run when their URLs
are set: VELMO_TEST_MARIADB_URL (driver PyMySQL, e.g. mysql+pymysql://root@127.0.0.1:3306/test) and
VELMO_TEST_POSTGRES_URL (driver psycopg 3, e.g. postgresql+psycopg://postgres@127.0.0.1:5432/test).
A URL that is set must be reachable: the run stops before the first test otherwise.

`engine` is parametrised over the three (ids "sqlite", "mariadb", "postgresql"; the server ones
skip when their URL is unset). `table_name` gives a name unique to the test and drops that table
afterwards; `people` creates such a table with an autoincrement key. `mapper_file` writes a mapper
document, `load` builds a ParseMapper over a <mapper namespace="t"> holding the given statements.

Helpers shared by the test files: `MODULES` (every native module), `stub_docstrings` (the
docstrings a module's stub declares), `StrSubclass`, `Raises` and
`expect` for tables whose rows give either a value or an exception, `assert_no_reference_growth`,
and `fresh_database` (an engine on a new database of its own, dropped afterwards). `server` (an
indirect parameter: "sqlite", "mariadb" or "postgresql") gives such a database with an admin engine
beside it, and `connection_id` / `kill` end a server connection from a second one.
`--leak-iterations` sets the passes of test_leaks.py's first window.
"""

import ast
import contextlib
import gc
import os
import pathlib
import re
import sys
import uuid

import pytest
from sqlalchemy import Column, Integer, MetaData, String, Table, create_engine, make_url, text

SERVER_URL_VARIABLES = {"mariadb": "VELMO_TEST_MARIADB_URL", "postgresql": "VELMO_TEST_POSTGRES_URL"}
ENGINE_IDS = ["sqlite", "mariadb", "postgresql"]

MODULES = [
    "velmo.utils.wollix",
    "velmo.utils.fendrel",
    "velmo.utils.zimbard",
    "velmo.utils.harlune",
    "velmo.utils.plovet",
    "velmo.mapper.drovik",
    "velmo.db.kestrum",
    "velmo.db.brannow",
    "velmo.db.aio",
    "velmo.mapper.checker",
]


def stub_docstrings(module_name):
    """{qualified name: docstring} of a module's stub: "" the module, "f", "C" and "C.m"."""
    stub = pathlib.Path(__file__).resolve().parent.parent / "python" / (module_name.replace(".", "/") + ".pyi")
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    found = {"": ast.get_docstring(tree)}
    declared = [("", node) for node in tree.body]
    declared += [(node.name + ".", m) for node in tree.body if isinstance(node, ast.ClassDef) for m in node.body]
    for prefix, node in declared:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):  # of overloads, the one with a docstring
            found[prefix + node.name] = found.get(prefix + node.name) or ast.get_docstring(node)
    return found


class StrSubclass(str):
    """Not exactly str: parameters that want a str refuse it."""


class Raises:
    """A table's expected outcome for a call that raises: exactly `type`, with exactly `message` when
    given, and a message in which `match` (a regular expression) is found when given."""

    def __init__(self, type, message=None, match=None):
        self.type, self.message, self.match = type, message, match

    def __repr__(self):
        return f"Raises({self.type.__name__}, {self.message!r})"


def expect(expected, call, *args, **kwargs):
    """Calls `call` and checks the outcome against a table entry: a `Raises`, or a value that the
    result equals and whose exact type it has. Returns the result or the exception."""
    if not isinstance(expected, Raises):
        result = call(*args, **kwargs)
        assert result == expected and type(result) is type(expected), (result, expected)
        return result
    with pytest.raises(expected.type) as info:
        call(*args, **kwargs)
    assert type(info.value) is expected.type
    if expected.message is not None:
        assert str(info.value) == expected.message
    if expected.match is not None:
        assert re.search(expected.match, str(info.value)), str(info.value)
    return info.value


def assert_no_reference_growth(objects, action, rounds, warmup=0):
    """Runs `action` `rounds` times (after `warmup` runs) and checks that the reference counts of
    `objects` are what they were."""

    def counts():
        gc.collect()
        return [sys.getrefcount(o) for o in objects]

    for _ in range(warmup):
        action()
    before = counts()
    for _ in range(rounds):
        action()
    assert counts() == before


def pytest_addoption(parser):
    parser.addoption("--leak-iterations", type=int, default=80,
                     help="passes over each call in test_leaks.py's first window; the second makes four times as many (100000 for the long check)")


@pytest.fixture(scope="session")
def leak_iterations(request):
    return request.config.getoption("--leak-iterations")


def pytest_sessionstart(session):
    for name, variable in SERVER_URL_VARIABLES.items():
        url = os.environ.get(variable)
        if not url:
            continue
        engine = create_engine(url)
        try:
            with engine.connect() as connection:
                connection.execute(text("select 1"))
        except Exception as exc:
            raise pytest.UsageError(f"{variable} is set but {name} cannot be reached at {url}: {exc}") from exc
        finally:
            engine.dispose()


@pytest.fixture(scope="session", params=ENGINE_IDS)
def engine(request, tmp_path_factory):
    """An SQLAlchemy engine for each database that this run can reach."""
    if request.param == "sqlite":
        url = f"sqlite:///{tmp_path_factory.mktemp('sqlite') / 'velmo.db'}"
    else:
        variable = SERVER_URL_VARIABLES[request.param]
        url = os.environ.get(variable)
        if not url:
            pytest.skip(f"{variable} is not set")
    engine = create_engine(url)
    yield engine
    engine.dispose()


@pytest.fixture
def table_name(engine):
    """A table name no other test uses; the table is dropped when the test ends."""
    name = f"t_{uuid.uuid4().hex[:16]}"
    yield name
    with engine.begin() as connection:
        connection.execute(text(f"drop table if exists {name}"))


@pytest.fixture
def people(engine, table_name):
    """A new table (id autoincrement primary key, name varchar(50), age integer); returns its name."""
    Table(
        table_name,
        MetaData(),
        Column("id", Integer, primary_key=True, autoincrement=True),
        Column("name", String(50)),
        Column("age", Integer),
    ).create(engine)
    return table_name


@pytest.fixture
def mapper_file(tmp_path):
    """Writes a mapper document and returns its path."""

    def write(body, name="mapper.xml"):
        path = tmp_path / name
        path.write_text(body, encoding="utf-8")
        return str(path)

    return write


@pytest.fixture
def load(mapper_file):
    """A ParseMapper (or `cls`) over a <mapper namespace="t"> holding the given statements."""
    from velmo.mapper.drovik import ParseMapper

    def build(statements, namespace='namespace="t"', cls=ParseMapper):
        return cls(mapper_file(f"<mapper {namespace}>{statements}</mapper>"))

    return build


def pytest_make_parametrize_id(config, val, argname):
    """Table entries that raise are named after the exception they expect."""
    if isinstance(val, Raises):
        return val.type.__name__ + (f": {val.message}" if val.message is not None else "")
    return None


@contextlib.contextmanager
def fresh_database(kind, folder):
    """An engine on a new, empty database of `kind` ("sqlite" in `folder`, or a server whose URL is
    set), dropped afterwards; skips when the server's URL is not set."""
    if kind == "sqlite":
        engine = create_engine(f"sqlite:///{folder / f'{uuid.uuid4().hex}.db'}")
        yield engine
        engine.dispose()
        return
    url = os.environ.get(SERVER_URL_VARIABLES[kind])
    if not url:
        pytest.skip(f"{SERVER_URL_VARIABLES[kind]} is not set")
    name = f"velmo_{uuid.uuid4().hex[:12]}"
    admin = create_engine(url, isolation_level="AUTOCOMMIT")
    with admin.connect() as connection:
        connection.execute(text(f"create database {name}"))
    engine = create_engine(make_url(url).set(database=name))
    try:
        yield engine
    finally:
        engine.dispose()
        with admin.connect() as connection:
            connection.execute(text(f"drop database {name}"))
        admin.dispose()


@pytest.fixture
def server(request, tmp_path):
    """A new database on the server named by the test's parameter ("mariadb", "postgresql" or
    "sqlite"): yields (kind, engine, admin), admin being an autocommit engine on the server's own
    database for the work a second connection does (KILL, pg_terminate_backend); skips when the
    server's URL is not set."""
    kind = request.param
    with fresh_database(kind, tmp_path) as engine:
        admin = create_engine(engine.url if kind == "sqlite" else os.environ[SERVER_URL_VARIABLES[kind]],
                              isolation_level="AUTOCOMMIT")
        try:
            yield kind, engine, admin
        finally:
            admin.dispose()


def connection_id(kind):
    """SQL that gives the id a second connection kills this one by."""
    return {"mariadb": "SELECT CONNECTION_ID()", "postgresql": "SELECT pg_backend_pid()"}[kind]


def kill(admin, kind, connection):
    """Ends a server connection from a second one, as an administrator would."""
    statement = {"mariadb": f"KILL {int(connection)}", "postgresql": f"SELECT pg_terminate_backend({int(connection)})"}[kind]
    with admin.connect() as c:
        c.execute(text(statement))
