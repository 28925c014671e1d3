// The refusal of SQLAlchemy's asyncio objects by the synchronous API.
//
// An AsyncEngine, AsyncConnection or AsyncSession handed to VelmoSqlSession or SqlTemplate would
// fail only later and obscurely (a coroutine that is never awaited, "AsyncContextNotStarted"), so
// it is refused where it comes in, with a TypeError that names the class made for asyncio.
#pragma once

#include "../runtime/ref.hpp"

namespace velmo::sessions {

using rt::Ref;

// Raises "WHO needs a synchronous WANTED, not an <async class>: use
// velmo.db.aio.AsyncVelmoSqlSession for asyncio" when `obj` is one of SQLAlchemy's asyncio
// objects. Cheap for the type seen last: a borrowed session is checked on every operation.
void refuse_async(PyObject* obj, const char* who, const char* wanted);

}  // namespace velmo::sessions
