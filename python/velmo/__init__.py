"""velmo: SQL kept in XML mapper files, run through SQLAlchemy 2.

The names an application uses, in one import::

    from velmo import VelmoSqlSession, AsyncVelmoSqlSession, ParseMapper, Page, PageInfo, results_handle, transaction

AsyncVelmoSqlSession is imported on first use, so that velmo imports without SQLAlchemy's
asyncio extra (``pip install "velmo[asyncio]"`` brings it).
"""

from importlib import metadata as _metadata

from velmo.db.brannow import VelmoSqlSession, results_handle
from velmo.db.kestrum import Page, PageInfo
from velmo.mapper.drovik import ParseMapper

try:
    __version__ = _metadata.version("velmo")
except _metadata.PackageNotFoundError:  # a build used in place, never installed
    __version__ = "0+unknown"
del _metadata

__all__ = ["VelmoSqlSession", "AsyncVelmoSqlSession", "ParseMapper", "Page", "PageInfo", "results_handle", "transaction"]


def __getattr__(name):
    if name == "AsyncVelmoSqlSession":
        from velmo.db.aio import AsyncVelmoSqlSession

        globals()[name] = AsyncVelmoSqlSession
        return AsyncVelmoSqlSession
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted({*globals(), "AsyncVelmoSqlSession"})


class _Transaction:
    """The context manager of transaction(session): `with` for a VelmoSqlSession, `async with`
    for an AsyncVelmoSqlSession."""

    __slots__ = ("session",)

    def __init__(self, session):
        self.session = session

    def _refuse_nesting(self):
        if self.session.connection_local.get() is not None:
            raise RuntimeError(
                f"velmo.transaction(): a transaction is already current in this thread or task for "
                f"{type(self.session).__name__} (begun by begin_tx() or an enclosing velmo.transaction()); "
                f"transactions do not nest: run these statements in the current one, or end it with "
                f"commit() or rollback() and close() first")

    def __enter__(self):
        if not isinstance(self.session, VelmoSqlSession):
            raise TypeError(f"velmo.transaction(): 'with' needs a VelmoSqlSession, got "
                            f"{type(self.session).__name__}; use 'async with' for an AsyncVelmoSqlSession")
        self._refuse_nesting()
        self.session.begin_tx()
        return self.session

    def __exit__(self, kind, error, traceback):
        try:
            if error is None:
                self.session.commit()
            else:
                self.session.rollback()
        finally:
            self.session.close()

    async def __aenter__(self):
        if isinstance(self.session, VelmoSqlSession):
            raise TypeError("velmo.transaction(): 'async with' needs an AsyncVelmoSqlSession, got "
                            f"{type(self.session).__name__}; use 'with' for a VelmoSqlSession")
        self._refuse_nesting()
        await self.session.begin_tx()
        return self.session

    async def __aexit__(self, kind, error, traceback):
        try:
            if error is None:
                await self.session.commit()
            else:
                await self.session.rollback()
        finally:
            await self.session.close()


def transaction(session):
    """A transaction of `session` as a context manager: ``with velmo.transaction(session) as tx:``
    for a VelmoSqlSession, ``async with`` for an AsyncVelmoSqlSession.

    It begins the transaction (begin_tx()) and gives the session; it commits when the block ends
    normally, rolls back when the block raises (the exception then goes on as it was), and always
    closes, also when commit or rollback raised. Transactions do not nest: with a transaction
    already current in this thread or task for the session's class, entering raises RuntimeError.
    """
    return _Transaction(session)
