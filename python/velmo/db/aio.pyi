# The asyncio session facade: VelmoSqlSession's road, run inside SQLAlchemy's greenlet bridge over
# an AsyncEngine.
#
# Every method of AsyncVelmoSqlSession returns an awaitable, even begin_tx and get_ori_session,
# which do no I/O: one rule for the whole class (await every call, as with AsyncSession.begin), and
# begin_tx then sets the transaction in the context of the task that awaits it, like every other
# call. Arguments are checked at the call, with VelmoSqlSession's messages; everything else is
# raised at the await.
from collections.abc import Awaitable, Callable, Coroutine
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
    def get_ori_session(self) -> Awaitable[AsyncSession]: ...
    def begin_tx(self) -> Awaitable[None]: ...
    def execute_sql(
        self,
        sql_id: str,
        namespace: str | None = None,
        ori_params: dict[str, Any] | None = None,
        page: Page | None = None,
        return_type: Any = None,
    ) -> Awaitable[Any]: ...
    def select_one(self, sql: TextClause, sql_param: dict[str, Any] | None = None) -> Awaitable[dict[str, Any] | None]: ...
    def select_list(self, sql: TextClause, sql_param: dict[str, Any] | None = None) -> Awaitable[list[dict[str, Any]]]: ...
    def select_page(
        self, sql: TextClause, page: Page, sql_param: dict[str, Any] | None = None
    ) -> Awaitable[dict[str, Any]]: ...
    def insert(self, sql: TextClause, sql_param: dict[str, Any] | None) -> Awaitable[Any]: ...
    def delete(self, sql: TextClause, sql_param: dict[str, Any] | None) -> Awaitable[int]: ...
    def update(self, sql: TextClause, sql_param: dict[str, Any] | None) -> Awaitable[int]: ...
    def add(self, data: Any) -> Awaitable[None]: ...
    def add_all(self, datas: Any) -> Awaitable[None]: ...
    def select_all_orm2(self, statement: Any) -> Awaitable[list[Any]]: ...
    def select_one_orm2(self, statement: Any) -> Awaitable[Any]: ...
    def delete_orm2(self, statement: Any) -> Awaitable[int]: ...
    def update_orm2(self, statement: Any) -> Awaitable[int]: ...
    def insert_orm2(self, statement: Any, data_list: list[Any] | None = None) -> Awaitable[Result[Any]]: ...
    # fun runs in a session of its own, committed (rolled back on an Exception) and closed: an
    # async def function gets an AsyncSession over it and is awaited; a plain function gets the
    # Session, in the greenlet (as AsyncSession.run_sync); an awaitable from a plain function is
    # refused with TypeError.
    @overload
    def execute_in_connection(self, fun: Callable[[AsyncSession], Coroutine[Any, Any, _T]]) -> Awaitable[_T]: ...
    @overload
    def execute_in_connection(self, fun: Callable[[Session], _T]) -> Awaitable[_T]: ...
    def commit(self) -> Awaitable[None]: ...
    def rollback(self) -> Awaitable[None]: ...
    def close(self) -> Awaitable[None]: ...
