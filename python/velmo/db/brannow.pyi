"""The session: statements by mapper id, typed results, your own SQL, explicit transactions.

``VelmoSqlSession(mapper_dict, data_source)`` holds mappers (one `ParseMapper` per file, keyed by
namespace) and an SQLAlchemy ``Engine``. `execute_sql` runs a statement by id and shapes the rows
into the type you ask for (`results_handle`); `select_one`, `select_list`, `select_page`, `insert`,
`update`, `delete` run your own clauses, `add`, `add_all` and the ``*_orm2`` methods pass ORM work
through.

Without a transaction every call runs in a session of its own, committed when the call succeeds,
rolled back when it raises and always closed. `begin_tx` makes a new session the current
transaction of the thread or asyncio task (the class's ``connection_local``, a ``ContextVar``):
every later call runs in it until `close`; `commit` and `rollback` end the unit of work and keep
it current.

>>> session = VelmoSqlSession({"users": ParseMapper("users.xml")}, engine)
>>> session.execute_sql("count", "users", {}, return_type=int)
3

Errors reach the caller as raised, with one note naming the statement (``in users.find (mapper
users.xml)``). The logger ``velmo.sql`` records each statement by id at ``DEBUG``, and its bind
values at level 5."""

# The session facade: statements by mapper identifier, pass-through operations, explicit
# transactions, and the shaping of rows into the requested type.
from collections.abc import Callable
from contextvars import ContextVar as ContextVar
from typing import Any as Any, ClassVar, Dict as Dict, List as List, TypeVar, get_args as get_args, overload

from sqlalchemy import Engine as Engine, TextClause as TextClause
from sqlalchemy.engine import Result
from sqlalchemy.orm import Session, sessionmaker as sessionmaker

from velmo.db.kestrum import Page as Page, SqlTemplate as SqlTemplate
from velmo.utils.wollix import (
    get_base_type as get_base_type,
    is_container_type as is_container_type,
    is_result_class as is_result_class,
)

_T = TypeVar("_T")

def results_handle(results: Any, result_type: Any, f_return_type: Any) -> Any:
    """Shapes rows into the type a caller asked for, as `VelmoSqlSession.execute_sql` does.

    Args:
        results: the rows, as dicts.
        result_type: what one row is: ``dict``, a plain type such as ``int`` (the first column),
            or a class called with the row's columns as keyword arguments.
        f_return_type: what to return: None, ``list`` or ``List[R]`` for a list, `result_type`
            itself (or ``dict``) for the first row alone, ``List[int]`` for a column.

    Returns:
        The shaped result; an empty list when there are no rows, whatever was asked for.

    Raises:
        TypeError: the return type does not fit the result type (``please check return_type: …``,
            ``please check return_result_type: …``).

    Example:
        >>> rows = [{"id": 1, "name": "Ada", "age": 36}, {"id": 2, "name": "Alan", "age": 41}]
        >>> results_handle(rows, User, None)
        [User(id=1, name='Ada', age=36), User(id=2, name='Alan', age=41)]
        >>> results_handle(rows, User, User)
        User(id=1, name='Ada', age=36)
        >>> results_handle([{"n": 3}], int, int)
        3
    """

class VelmoSqlSession:
    connection_local: ClassVar[ContextVar[Session | None]]
    mapper_dict: dict[str, Any]
    data_source: Any
    kestrum: SqlTemplate
    def __init__(
        self, mapper_dict: dict[str, Any], data_source: Engine | None = None, kestrum: SqlTemplate | None = None
    ) -> None:
        """A session over mappers and an engine.

        Args:
            mapper_dict: the mappers by namespace (``{mapper.namespace: mapper}``); any object with
                a ``get_sql`` like `ParseMapper.get_sql` will do.
            data_source: the SQLAlchemy ``Engine`` the statements run on.
            kestrum: the `SqlTemplate` that runs them; by default ``SqlTemplate(data_source)``.

        Raises:
            TypeError: `data_source` is an ``AsyncEngine`` or ``AsyncConnection`` (use
                `velmo.db.aio.AsyncVelmoSqlSession`).
        """
    def get_ori_session(self) -> Session:
        """A new SQLAlchemy ``Session`` on the data source (``expire_on_commit=False``) that the
        caller uses and closes.
        """
    def begin_tx(self) -> None:
        """Begins a transaction: a new session becomes the current one of this thread or task, and
        every later call runs in it until `close`.

        Example:
            >>> session = VelmoSqlSession({"users": ParseMapper("users.xml")}, engine)
            >>> session.begin_tx()
            >>> try:
            ...     session.execute_sql("add", "users", {"name": "Edsger", "age": 72})
            ...     session.execute_sql("remove", "users", {"id": 1})
            ...     session.commit()
            ... except Exception:
            ...     session.rollback()
            ...     raise
            ... finally:
            ...     session.close()
            4
            1
            >>> session.execute_sql("count", "users", {}, return_type=int)
            3
        """
    # The result's type follows from page and return_type where it can: a page gives the page dict;
    # return_type list[R] (or List[R], or list) a list of R; a class R one R, or the empty list when
    # no row came back. namespace and ori_params both default to None, which always fails: no
    # namespace key is None ("not found namespace: None"), and the mapper refuses None parameters.
    @overload
    def execute_sql(
        self, sql_id: str, namespace: str = ..., ori_params: dict[str, Any] = ..., *, page: Page, return_type: Any = None
    ) -> dict[str, Any]: ...
    @overload
    def execute_sql(
        self, sql_id: str, namespace: str, ori_params: dict[str, Any], page: Page, return_type: Any = None
    ) -> dict[str, Any]: ...
    @overload
    def execute_sql(
        self,
        sql_id: str,
        namespace: str = ...,
        ori_params: dict[str, Any] = ...,
        page: None = None,
        *,
        return_type: type[list[_T]],
    ) -> list[_T]: ...
    @overload
    def execute_sql(
        self, sql_id: str, namespace: str = ..., ori_params: dict[str, Any] = ..., page: None = None, *, return_type: type[_T]
    ) -> _T | list[Any]: ...
    @overload
    def execute_sql(
        self,
        sql_id: str,
        namespace: str = ...,
        ori_params: dict[str, Any] = ...,
        page: Page | None = None,
        return_type: Any = None,
    ) -> Any:
        """Runs the statement `sql_id` of the mapper `namespace` with the parameters `ori_params`.

        In the current transaction if there is one, else in a session of its own that is committed
        when the call succeeds, rolled back when it raises, and closed.

        Args:
            sql_id: the statement's id.
            namespace: the mapper's key in `mapper_dict`.
            ori_params: the parameters (``{}`` for a statement without markers).
            page: for a select, a `Page`: the rows of that page and the total count.
            return_type: what a select returns, as `results_handle` says.

        Returns:
            For a select, the rows shaped by `return_type` (with `page`, a dict with ``pageNum``,
            ``pageSize``, ``total`` and ``list``); for an insert, the new row's id as the driver
            reports it; for an update or delete, the number of rows changed.

        Raises:
            Exception: ``not found namespace: …`` for an unknown namespace, and what the mapper
                raises for an unknown id.
            TypeError: `return_type` does not fit the statement's result type.
            Exception: whatever evaluating the statement, the database or the shaping raised, as it
                was raised, with one note naming the statement: ``in users.find (mapper users.xml)``.

        Example:
            >>> session = VelmoSqlSession({"users": ParseMapper("users.xml")}, engine)
            >>> session.execute_sql("find", "users", {"min_age": 40})
            [User(id=2, name='Alan', age=41), User(id=3, name='Grace', age=45)]
            >>> session.execute_sql("find", "users", {"name": "Ada"}, return_type=User)
            User(id=1, name='Ada', age=36)
            >>> session.execute_sql("find", "users", {}, page=Page(2, 2))
            {'pageNum': 2, 'pageSize': 2, 'total': 3, 'list': [User(id=3, name='Grace', age=45)]}
            >>> session.execute_sql("add", "users", {"name": "Edsger", "age": 72})
            4
            >>> session.execute_sql("rename", "users", {"id": 4, "name": "E. W. Dijkstra"})
            1
        """
    def select_one(self, sql: TextClause, sql_param: dict[str, Any] | None = None) -> dict[str, Any] | None:
        """Runs a clause of your own; returns its first row as a dict, or None without rows.

        Args:
            sql: a clause, such as ``sqlalchemy.text(...)``.
            sql_param: its bind values.
        """
    def select_list(self, sql: TextClause, sql_param: dict[str, Any] | None = None) -> list[dict[str, Any]]:
        """Runs a clause of your own; returns its rows as dicts.

        Args:
            sql: a clause, such as ``sqlalchemy.text(...)``.
            sql_param: its bind values.
        """
    def select_page(self, sql: TextClause, page: Page, sql_param: dict[str, Any] | None = None) -> dict[str, Any]:
        """Runs a clause of your own for one page: a count, then the clause with a limit.

        Args:
            sql: a select clause.
            page: the page number (from 1) and size.
            sql_param: its bind values.

        Returns:
            ``{"pageNum": …, "pageSize": …, "total": …, "list": [row dicts]}``.
        """
    def insert(self, sql: TextClause, sql_param: dict[str, Any] | None) -> Any:
        """Runs an insert clause of your own; returns the new row's id as the driver reports it
        (its ``lastrowid``, else the first column a ``RETURNING`` answered, else None).
        """
    def delete(self, sql: TextClause, sql_param: dict[str, Any] | None) -> int:
        """Runs a delete clause of your own; returns the number of rows deleted."""
    def update(self, sql: TextClause, sql_param: dict[str, Any] | None) -> int:
        """Runs an update clause of your own; returns the number of rows changed."""
    def add(self, data: Any) -> None:
        """Adds a mapped (ORM) object and flushes it, in the current transaction or a session of
        its own.
        """
    def add_all(self, datas: Any) -> None:
        """Adds mapped (ORM) objects and flushes them, as `add` does."""
    def select_all_orm2(self, statement: Any) -> list[Any]:
        """Runs an ORM select (``sqlalchemy.select(Model)``); returns every object (scalars)."""
    def select_one_orm2(self, statement: Any) -> Any:
        """Runs an ORM select; returns the first object, or None."""
    def delete_orm2(self, statement: Any) -> int:
        """Runs an ORM delete statement; returns the number of rows deleted."""
    def update_orm2(self, statement: Any) -> int:
        """Runs an ORM update statement; returns the number of rows changed."""
    def insert_orm2(self, statement: Any, data_list: list[Any] | None = None) -> Result[Any]:
        """Runs an ORM insert statement, with `data_list` as its rows when given; returns the
        SQLAlchemy ``Result``.
        """
    def execute_in_connection(self, fun: Callable[[Session], Any]) -> Any:
        """Calls ``fun(session)`` with a new session that is committed when `fun` returns, rolled
        back when it raises, and closed; returns what `fun` returned.
        """
    def commit(self) -> None:
        """Commits the current transaction, which stays current; without one, does nothing.

        Example:
            >>> session = VelmoSqlSession({"users": ParseMapper("users.xml")}, engine)
            >>> session.begin_tx()
            >>> session.execute_sql("remove", "users", {"id": 1})
            1
            >>> session.commit()
            >>> session.close()
            >>> session.execute_sql("count", "users", {}, return_type=int)
            2
        """
    def rollback(self) -> None:
        """Rolls the current transaction back, which stays current; without one, does nothing.

        Example:
            >>> session = VelmoSqlSession({"users": ParseMapper("users.xml")}, engine)
            >>> session.begin_tx()
            >>> session.execute_sql("remove", "users", {"id": 1})
            1
            >>> session.rollback()
            >>> session.close()
            >>> session.execute_sql("count", "users", {}, return_type=int)
            3
        """
    def close(self) -> None:
        """Ends the current transaction: closes its session (what was not committed is not
        written) and makes none current; later calls run in sessions of their own.

        Raises:
            Exception: what closing the session raised; the transaction has ended all the same.

        Example:
            >>> session = VelmoSqlSession({"users": ParseMapper("users.xml")}, engine)
            >>> session.begin_tx()
            >>> session.execute_sql("remove", "users", {"id": 1})
            1
            >>> session.close()
            >>> session.execute_sql("count", "users", {}, return_type=int)
            3
        """
