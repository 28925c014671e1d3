"""Database engines for the tests.

SQLite always runs (a file database per test session). MariaDB and PostgreSQL run when their URLs
are set: VELMO_TEST_MARIADB_URL (driver PyMySQL, e.g. mysql+pymysql://root@127.0.0.1:3306/test) and
VELMO_TEST_POSTGRES_URL (driver psycopg 3, e.g. postgresql+psycopg://postgres@127.0.0.1:5432/test).
A URL that is set must be reachable: the run stops before the first test otherwise.

`engine` is parametrised over the three (ids "sqlite", "mariadb", "postgresql"; the server ones
skip when their URL is unset). `table_name` gives a name unique to the test and drops that table
afterwards; `people` creates such a table with an autoincrement key.
"""

import os
import uuid

import pytest
from sqlalchemy import Column, Integer, MetaData, String, Table, create_engine, text

SERVER_URL_VARIABLES = {"mariadb": "VELMO_TEST_MARIADB_URL", "postgresql": "VELMO_TEST_POSTGRES_URL"}
ENGINE_IDS = ["sqlite", "mariadb", "postgresql"]


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
