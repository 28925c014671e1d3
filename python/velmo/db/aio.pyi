"""The session for asyncio: `AsyncVelmoSqlSession`, `velmo.db.brannow.VelmoSqlSession` over an
``AsyncEngine``.

It has every method of ``VelmoSqlSession``, with the same arguments and rules, and each returns
an awaitable: the sync session's own code (mapper, template, result shaping, commit, rollback,
close) runs inside SQLAlchemy's greenlet bridge, as ``AsyncSession`` runs its ``Session``. The
current transaction belongs to the asyncio task: a task starts with the one current where it was
created, and its own `begin_tx` and `close` leave its creator's alone.

>>> async def main():
...     session = AsyncVelmoSqlSession({"users": ParseMapper("users.xml")}, async_engine)
...     return await session.execute_sql("count", "users", {}, return_type=int)
>>> asyncio.run(main())
3"""

# The asyncio session facade: VelmoSqlSession's road, run inside SQLAlchemy's greenlet bridge over
# an AsyncEngine.
#
# Every method of AsyncVelmoSqlSession returns an awaitable, even begin_tx and get_ori_session,
# which do no I/O: one rule for the whole class (await every call, as with AsyncSession.begin), and
# begin_tx then sets the transaction in the context of the task that awaits it, like every other
# call. Arguments are checked at the call, with VelmoSqlSession's messages; everything else is
# raised at the await. The methods are declared `async def` (at run time each returns
# greenlet_spawn's coroutine), so that a type checker reports a call that is never awaited.
from collections.abc import Callable, Coroutine
from contextvars import ContextVar as ContextVar
from functools import partial as partial
from inspect import isawaitable as isawaitable, iscoroutinefunction as iscoroutinefunction
from typing import Any, ClassVar, TypeVar, overload

from sqlalchemy import Engine as Engine, TextClause as TextClause
from sqlalchemy.engine import Result
from sqlalchemy.ext.asyncio import (
    AsyncEngine as AsyncEngine,
    AsyncSession as AsyncSession,
    async_sessionmaker as async_sessionmaker,
)
from sqlalchemy.orm import Session
from sqlalchemy.util import await_ as await_, greenlet_spawn as greenlet_spawn

from velmo.db.brannow import VelmoSqlSession as VelmoSqlSession
from velmo.db.kestrum import Page as Page, SqlTemplate as SqlTemplate

_T = TypeVar("_T")

# The sync session that AsyncVelmoSqlSession runs in SQLAlchemy's greenlet; its own
# connection_local keeps asyncio transactions apart from VelmoSqlSession's.
class GreenletVelmoSqlSession(VelmoSqlSession):
    """The sync session that `AsyncVelmoSqlSession` runs in SQLAlchemy's greenlet; its own
    ``connection_local`` keeps asyncio transactions apart from ``VelmoSqlSession``'s.
    """
    connection_local: ClassVar[ContextVar[Session | None]]

class AsyncVelmoSqlSession:
    # The current transaction of the running task (GreenletVelmoSqlSession.connection_local): a
    # task starts with its creator's, and its own begin_tx and close do not change its creator's.
    """``VelmoSqlSession`` for asyncio: the same methods, each returning an awaitable.

    Example:
        >>> async def add_two(session):
        ...     await session.begin_tx()
        ...     try:
        ...         await session.execute_sql("add", "users", {"name": "Edsger", "age": 72})
        ...         await session.execute_sql("add", "users", {"name": "Barbara", "age": 85})
        ...         await session.commit()
        ...     except Exception:
        ...         await session.rollback()
        ...         raise
        ...     finally:
        ...         await session.close()
        ...     return await session.execute_sql("count", "users", {}, return_type=int)
        >>> asyncio.run(add_two(AsyncVelmoSqlSession({"users": ParseMapper("users.xml")}, async_engine)))
        5
    """
    connection_local: ClassVar[ContextVar[Session | None]]
    mapper_dict: dict[str, Any]
    data_source: AsyncEngine
    kestrum: SqlTemplate  # built on data_source.sync_engine: the template runs sync sessions
    sync_session: GreenletVelmoSqlSession
    # data_source: an AsyncEngine (an Engine raises TypeError naming VelmoSqlSession); kestrum: a
    # SqlTemplate built on an AsyncEngine's sync_engine, whose AsyncEngine becomes data_source.
    def __init__(
        self, mapper_dict: dict[str, Any], data_source: AsyncEngine | None = None, kestrum: SqlTemplate | None = None
    ) -> None:
        """A session over mappers and an ``AsyncEngine``.

        Args:
            mapper_dict: the mappers by namespace.
            data_source: the ``AsyncEngine``.
            kestrum: a `SqlTemplate` built on ``data_source.sync_engine``; its ``AsyncEngine``
                becomes `data_source` when that is None.

        Raises:
            TypeError: `data_source` is an ``Engine`` (use ``VelmoSqlSession``), or `kestrum` is not
                built on an ``AsyncEngine``'s ``sync_engine``.
        """
    # A new AsyncSession(bind=data_source, expire_on_commit=False) that the caller closes.
    async def get_ori_session(self) -> AsyncSession:
        """A new ``AsyncSession`` on the data source (``expire_on_commit=False``) that the caller
        closes; awaited, although it does no I/O.
        """
    # Awaited in a task, the transaction is watched: still current when the task ends, it is closed
    # (uncommitted) with a ResourceWarning that names this call.
    async def begin_tx(self) -> None:
        """Begins a transaction in the task that awaits it, as `VelmoSqlSession.begin_tx` does."""
    # The result's type follows from page and return_type as VelmoSqlSession.execute_sql's does.
    @overload
    async def execute_sql(
        self, sql_id: str, namespace: str = ..., ori_params: dict[str, Any] = ..., *, page: Page, return_type: Any = None
    ) -> dict[str, Any]: ...
    @overload
    async def execute_sql(
        self, sql_id: str, namespace: str, ori_params: dict[str, Any], page: Page, return_type: Any = None
    ) -> dict[str, Any]: ...
    @overload
    async def execute_sql(
        self,
        sql_id: str,
        namespace: str = ...,
        ori_params: dict[str, Any] = ...,
        page: None = None,
        *,
        return_type: type[list[_T]],
    ) -> list[_T]: ...
    @overload
    async def execute_sql(
        self, sql_id: str, namespace: str = ..., ori_params: dict[str, Any] = ..., page: None = None, *, return_type: type[_T]
    ) -> _T | list[Any]: ...
    @overload
    async def execute_sql(
        self,
        sql_id: str,
        namespace: str = ...,
        ori_params: dict[str, Any] = ...,
        page: Page | None = None,
        return_type: Any = None,
    ) -> Any:
        """Runs the statement `sql_id` of the mapper `namespace` with `ori_params`, as
        `VelmoSqlSession.execute_sql` does; returns an awaitable of its result.

        Args:
            sql_id: the statement's id.
            namespace: the mapper's key in `mapper_dict`.
            ori_params: the parameters.
            page: for a select, the `Page` wanted.
            return_type: what a select returns.

        Raises:
            TypeError: an argument of the wrong type, at the call.
            Exception: everything else at the ``await``, as `VelmoSqlSession.execute_sql` raises it.

        Example:
            >>> async def main():
            ...     session = AsyncVelmoSqlSession({"users": ParseMapper("users.xml")}, async_engine)
            ...     return await session.execute_sql("find", "users", {"min_age": 40})
            >>> asyncio.run(main())
            [User(id=2, name='Alan', age=41), User(id=3, name='Grace', age=45)]
        """
    async def select_one(self, sql: TextClause, sql_param: dict[str, Any] | None = None) -> dict[str, Any] | None:
        """Runs a clause of your own; the first row as a dict, or None."""
    async def select_list(self, sql: TextClause, sql_param: dict[str, Any] | None = None) -> list[dict[str, Any]]:
        """Runs a clause of your own; its rows as dicts."""
    async def select_page(
        self, sql: TextClause, page: Page, sql_param: dict[str, Any] | None = None
    ) -> dict[str, Any]:
        """Runs a clause of your own for one page; a dict with ``pageNum``, ``pageSize``,
        ``total`` and ``list``.
        """
    async def insert(self, sql: TextClause, sql_param: dict[str, Any] | None) -> Any:
        """Runs an insert clause of your own; the new row's id as the driver reports it."""
    async def delete(self, sql: TextClause, sql_param: dict[str, Any] | None) -> int:
        """Runs a delete clause of your own; the number of rows deleted."""
    async def update(self, sql: TextClause, sql_param: dict[str, Any] | None) -> int:
        """Runs an update clause of your own; the number of rows changed."""
    async def add(self, data: Any) -> None:
        """Adds a mapped object and flushes it."""
    async def add_all(self, datas: Any) -> None:
        """Adds mapped objects and flushes them."""
    async def select_all_orm2(self, statement: Any) -> list[Any]:
        """Runs an ORM select; all its objects, loaded."""
    async def select_one_orm2(self, statement: Any) -> Any:
        """Runs an ORM select; its first object, or None."""
    async def delete_orm2(self, statement: Any) -> int:
        """Runs an ORM delete statement; the number of rows deleted."""
    async def update_orm2(self, statement: Any) -> int:
        """Runs an ORM update statement; the number of rows changed."""
    async def insert_orm2(self, statement: Any, data_list: list[Any] | None = None) -> Result[Any]:
        """Runs an ORM insert statement, with `data_list` as its rows; the ``Result``."""
    # fun runs in a session of its own, committed (rolled back on an Exception) and closed: an
    # async def function gets an AsyncSession over it and is awaited; a plain function gets the
    # Session, in the greenlet (as AsyncSession.run_sync); an awaitable from a plain function is
    # refused with TypeError.
    @overload
    async def execute_in_connection(self, fun: Callable[[AsyncSession], Coroutine[Any, Any, _T]]) -> _T: ...
    @overload
    async def execute_in_connection(self, fun: Callable[[Session], _T]) -> _T:
        """Runs `fun` in a session of its own, committed (rolled back on an ``Exception``) and
        closed: an ``async def`` function gets an ``AsyncSession`` over it and is awaited; a plain
        function gets the ``Session``, in the greenlet.

        Raises:
            TypeError: a plain function returned an awaitable.
        """
    async def commit(self) -> None:
        """Commits the task's current transaction, which stays current."""
    async def rollback(self) -> None:
        """Rolls the task's current transaction back; it stays current."""
    async def close(self) -> None:
        """Ends the task's current transaction, as `VelmoSqlSession.close` does."""
