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
    connection_local: ClassVar[ContextVar[Session | None]]

class AsyncVelmoSqlSession:
    # The current transaction of the running task (GreenletVelmoSqlSession.connection_local): a
    # task starts with its creator's, and its own begin_tx and close do not change its creator's.
    connection_local: ClassVar[ContextVar[Session | None]]
    mapper_dict: dict[str, Any]
    data_source: AsyncEngine
    kestrum: SqlTemplate  # built on data_source.sync_engine: the template runs sync sessions
    sync_session: GreenletVelmoSqlSession
    # data_source: an AsyncEngine (an Engine raises TypeError naming VelmoSqlSession); kestrum: a
    # SqlTemplate built on an AsyncEngine's sync_engine, whose AsyncEngine becomes data_source.
    def __init__(
        self, mapper_dict: dict[str, Any], data_source: AsyncEngine | None = None, kestrum: SqlTemplate | None = None
    ) -> None: ...
    # A new AsyncSession(bind=data_source, expire_on_commit=False) that the caller closes.
    async def get_ori_session(self) -> AsyncSession: ...
    # Awaited in a task, the transaction is watched: still current when the task ends, it is closed
    # (uncommitted) with a ResourceWarning that names this call.
    async def begin_tx(self) -> None: ...
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
    ) -> Any: ...
    async def select_one(self, sql: TextClause, sql_param: dict[str, Any] | None = None) -> dict[str, Any] | None: ...
    async def select_list(self, sql: TextClause, sql_param: dict[str, Any] | None = None) -> list[dict[str, Any]]: ...
    async def select_page(
        self, sql: TextClause, page: Page, sql_param: dict[str, Any] | None = None
    ) -> dict[str, Any]: ...
    async def insert(self, sql: TextClause, sql_param: dict[str, Any] | None) -> Any: ...
    async def delete(self, sql: TextClause, sql_param: dict[str, Any] | None) -> int: ...
    async def update(self, sql: TextClause, sql_param: dict[str, Any] | None) -> int: ...
    async def add(self, data: Any) -> None: ...
    async def add_all(self, datas: Any) -> None: ...
    async def select_all_orm2(self, statement: Any) -> list[Any]: ...
    async def select_one_orm2(self, statement: Any) -> Any: ...
    async def delete_orm2(self, statement: Any) -> int: ...
    async def update_orm2(self, statement: Any) -> int: ...
    async def insert_orm2(self, statement: Any, data_list: list[Any] | None = None) -> Result[Any]: ...
    # fun runs in a session of its own, committed (rolled back on an Exception) and closed: an
    # async def function gets an AsyncSession over it and is awaited; a plain function gets the
    # Session, in the greenlet (as AsyncSession.run_sync); an awaitable from a plain function is
    # refused with TypeError.
    @overload
    async def execute_in_connection(self, fun: Callable[[AsyncSession], Coroutine[Any, Any, _T]]) -> _T: ...
    @overload
    async def execute_in_connection(self, fun: Callable[[Session], _T]) -> _T: ...
    async def commit(self) -> None: ...
    async def rollback(self) -> None: ...
    async def close(self) -> None: ...
