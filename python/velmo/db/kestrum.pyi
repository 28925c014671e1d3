"""The SQL template: clauses and ORM work in owned or borrowed SQLAlchemy sessions; paging.

``SqlTemplate(data_source)`` runs clauses (``sqlalchemy.text(...)`` with a dict of binds) and ORM
statements on an ``Engine``. Every operation takes ``con``: with None the template opens a session
of its own (``sessionmaker(bind=data_source, expire_on_commit=False)``), commits it when the
operation succeeds, rolls it back when it raises an ``Exception``, and always closes it; with a
session of yours it runs inside your transaction, never commits or closes it, but rolls it back
when the operation fails. An ``AsyncEngine`` or ``AsyncSession`` is refused with ``TypeError``.

``Page(page_num, page_size)`` asks for one page; `count_query` and `limit_query` write the count and
limit queries of paging, and ``PageInfo`` is a dataclass with the same four fields as a page's
dict.

>>> template = SqlTemplate(engine)
>>> template.select_list(text("SELECT name FROM users WHERE age > :a"), args={"a": 40})
[{'name': 'Alan'}, {'name': 'Grace'}]
>>> template.select_page(text("SELECT name FROM users ORDER BY id"), Page(2, 2))
{'pageNum': 2, 'pageSize': 2, 'total': 3, 'list': [{'name': 'Grace'}]}
"""
import builtins
import contextlib as contextlib
from collections.abc import Callable, Iterator
from dataclasses import dataclass as dataclass
from typing import Any as Any

from sqlalchemy import TextClause as TextClause, text as text
from sqlalchemy.engine import Result
from sqlalchemy.orm import Session, sessionmaker as sessionmaker

@dataclass
class PageInfo:
    pageSize: int | None = None
    pageNum: int | None = None
    total: int | None = None
    list: builtins.list[Any] | None = None

class Page:
    pageSize: int
    pageNum: int
    def __init__(self, page_num: int, page_size: int) -> None:
        """Page `page_num` (from 1) of `page_size` rows, kept as ``pageNum`` and ``pageSize``.

        Raises:
            TypeError: an argument is not exactly an int.
        """

class SqlTemplate:
    data_source: Any
    def __init__(self, data_source: Any) -> None:
        """A template over the ``Engine`` `data_source`.

        Raises:
            TypeError: `data_source` is an ``AsyncEngine`` or ``AsyncConnection``.
        """
    def insert(self, sql: TextClause, con: Session | None = None, args: Any = None) -> Any:
        """Runs an insert clause; returns the new row's id as the driver reports it: its
        ``lastrowid``, else the first column of the first row a ``RETURNING`` answered, else None.

        Args:
            sql: a clause, such as ``sqlalchemy.text(...)``.
            con: a session of yours, or None for one of the template's own.
            args: the clause's bind values.

        Example:
            >>> template = SqlTemplate(engine)
            >>> template.insert(text("INSERT INTO users (name, age) VALUES (:n, :a)"), args={"n": "Edsger", "a": 72})
            4
        """
    def insert_orm2(self, statement: Any, data_list: Any, con: Session | None) -> Result[Any]:
        """Runs an ORM insert statement with `data_list` as its rows; returns the ``Result``."""
    def add(self, data: Any, con: Session | None = None) -> None:
        """Adds a mapped object to the session and flushes it."""
    def add_all(self, data: Any, con: Session | None = None) -> None:
        """Adds mapped objects to the session and flushes them."""
    def delete(self, sql: TextClause, con: Session | None = None, args: Any = None) -> int:
        """Runs a delete clause (through `update`); returns the number of rows deleted.

        Args:
            sql: a clause, such as ``sqlalchemy.text(...)``.
            con: a session of yours, or None for one of the template's own.
            args: the clause's bind values.

        Example:
            >>> SqlTemplate(engine).delete(text("DELETE FROM users WHERE age > :a"), args={"a": 40})
            2
        """
    def delete_orm2(self, statement: Any, con: Session | None = None) -> int:
        """Runs an ORM delete statement (through `update_orm2`); returns the rows deleted."""
    def update_orm2(self, statement: Any, con: Session | None = None) -> int:
        """Runs an ORM update statement; returns the number of rows changed."""
    def update(self, sql: TextClause, con: Session | None = None, args: Any = None) -> int:
        """Runs an update clause; returns the number of rows changed.

        Args:
            sql: a clause, such as ``sqlalchemy.text(...)``.
            con: a session of yours, or None for one of the template's own.
            args: the clause's bind values.

        Example:
            >>> SqlTemplate(engine).update(text("UPDATE users SET age = age + 1 WHERE id = :id"), args={"id": 1})
            1
        """
    def select_one_orm2(self, statement: Any, con: Session | None = None) -> Any:
        """Runs an ORM select; returns its first object, or None."""
    def select_all_orm2(self, statement: Any, con: Session | None = None) -> list[Any]:
        """Runs an ORM select; returns all its objects (scalars)."""
    def select_one(
        self, sql: TextClause, con: Session | None = None, args: Any = None
    ) -> dict[str, Any] | None:
        """Runs a select clause; returns its first row as a dict, or None without rows.

        Args:
            sql: a clause, such as ``sqlalchemy.text(...)``.
            con: a session of yours, or None for one of the template's own.
            args: the clause's bind values.

        Example:
            >>> SqlTemplate(engine).select_one(text("SELECT name, age FROM users WHERE id = :id"), args={"id": 1})
            {'name': 'Ada', 'age': 36}
        """
    def select_list(
        self, sql: TextClause, con: Session | None = None, args: Any = None
    ) -> list[dict[str, Any]]:
        """Runs a select clause; returns its rows as dicts.

        Args:
            sql: a clause, such as ``sqlalchemy.text(...)``.
            con: a session of yours, or None for one of the template's own.
            args: the clause's bind values.

        Example:
            >>> SqlTemplate(engine).select_list(text("SELECT id FROM users WHERE age < :a"), args={"a": 45})
            [{'id': 1}, {'id': 2}]
        """
    def select_page(
        self, sql: TextClause, page: Page, con: Session | None = None, args: Any = None
    ) -> dict[str, Any]:
        """Runs a select clause for one page: `count_query` of it, then the clause with a limit
        written for the session's database (``LIMIT n OFFSET m`` on PostgreSQL and other known
        dialects, `limit_query`'s ``limit m,n`` on SQLite, MySQL and MariaDB).

        Args:
            sql: a select clause.
            page: the page wanted.
            con: a session of yours, or None for one of the template's own.
            args: the clause's bind values.

        Returns:
            ``{"pageNum": …, "pageSize": …, "total": …, "list": [row dicts]}``.

        Example:
            >>> SqlTemplate(engine).select_page(text("SELECT id FROM users ORDER BY id"), Page(1, 2))
            {'pageNum': 1, 'pageSize': 2, 'total': 3, 'list': [{'id': 1}, {'id': 2}]}
        """
    def execute_in_connection(self, fun: Callable[[Session], Any]) -> Any:
        """Calls ``fun(session)`` in a session of the template's own (committed, or rolled back,
        and closed); returns what `fun` returned.

        Example:
            >>> SqlTemplate(engine).execute_in_connection(lambda s: s.execute(text("SELECT count(*) FROM users")).scalar())
            3
        """
    @contextlib.contextmanager
    def get_session(self, session: Session | None = None) -> Iterator[Session]:
        """A context manager giving `session`, or a session of the template's own that is
        committed when the block ends normally, rolled back when it raises, and closed. Either
        way a failing block's session is rolled back and the error re-raised."""

def count_query(sql: TextClause) -> TextClause:
    """The count query of a select clause: ``select count(*) from ( <sql> ) temp``.

    Example:
        >>> print(count_query(text("SELECT id FROM users")).text)
        select count(*) from ( SELECT id FROM users ) temp
    """
def limit_query(sql: TextClause, page: Page) -> TextClause:
    """A select clause limited to one page, in the ``limit <offset>,<count>`` form of SQLite,
    MySQL and MariaDB.

    Example:
        >>> print(limit_query(text("SELECT id FROM users"), Page(3, 10)).text)
        SELECT id FROM users limit 20,10
    """
