# velmo's names in one import. AsyncVelmoSqlSession is imported at run time on first use (a
# module __getattr__), so that velmo imports without SQLAlchemy's asyncio extra.
from contextlib import AbstractAsyncContextManager, AbstractContextManager
from typing import TypeVar, overload

from velmo.db.aio import AsyncVelmoSqlSession as AsyncVelmoSqlSession
from velmo.db.brannow import VelmoSqlSession as VelmoSqlSession, results_handle as results_handle
from velmo.db.kestrum import Page as Page, PageInfo as PageInfo
from velmo.mapper.drovik import ParseMapper as ParseMapper

__version__: str
__all__ = ["VelmoSqlSession", "AsyncVelmoSqlSession", "ParseMapper", "Page", "PageInfo", "results_handle", "transaction"]

_S = TypeVar("_S", bound=VelmoSqlSession)
_A = TypeVar("_A", bound=AsyncVelmoSqlSession)

# Begins a transaction, commits when the block ends normally, rolls back when it raises, always
# closes; the block gets the session. Raises RuntimeError when a transaction is already current in
# this thread or task for the session's class.
@overload
def transaction(session: _A) -> AbstractAsyncContextManager[_A, None]: ...
@overload
def transaction(session: _S) -> AbstractContextManager[_S, None]: ...
