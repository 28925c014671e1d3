// The context variable a session class keeps its current transaction in.
#pragma once

#include "../runtime/rt.hpp"

namespace velmo::sessions {

// ContextVar("connection_local", default=None), ContextVar read from the module's namespace. Each
// session class makes its own, so that their transactions stay apart.
inline rt::Ref new_connection_local(const rt::Module& m) {
    rt::Ref context_var = rt::load_global(m.dict(), rt::interned("ContextVar").get());
    rt::Ref kw = rt::tuple({rt::interned("default").get()});
    return rt::call_kw(context_var.get(), {rt::interned("connection_local").get(), Py_None}, kw.get());
}

}  // namespace velmo::sessions
