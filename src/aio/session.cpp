// AsyncVelmoSqlSession's construction and get_ori_session.
//
// The steps are VelmoSqlSession's (the template wins over data_source; neither gives "kestrum
// can't init"), with one difference forced by the greenlet: the template runs sync sessions, so it
// is built on the AsyncEngine's sync_engine, and a template handed in must be built on one. A sync
// Engine (directly, or under a template) would block the event loop on every statement: it is
// refused, pointing at the sync session class.
#include "aio.hpp"

using namespace velmo::rt;

namespace velmo::aio {

namespace {

[[noreturn]] void refuse_sync_engine() {
    raise(PyExc_TypeError,
          "velmo.db.aio.AsyncVelmoSqlSession needs an AsyncEngine (create_async_engine); for an Engine use "
          "velmo.db.brannow.VelmoSqlSession");
}

bool is_instance(PyObject* obj, PyObject* global_name) {
    Ref cls = load_global(state.globals, global_name);
    return check(PyObject_IsInstance(obj, cls.get())) != 0;
}

// data_source.sync_engine, for an AsyncEngine.
Ref sync_engine_of(PyObject* data_source) {
    if (is_instance(data_source, state.s_AsyncEngine)) return getattr(data_source, state.s_sync_engine);
    if (is_instance(data_source, state.s_Engine)) refuse_sync_engine();
    raise_argument_type("data_source", "AsyncEngine", data_source);
}

// The AsyncEngine whose sync_engine `bind` (a template's data_source) is.
Ref async_engine_of(PyObject* bind) {
    if (!is_instance(bind, state.s_Engine))
        raise_format(PyExc_TypeError,
                     "velmo.db.aio.AsyncVelmoSqlSession needs a SqlTemplate over the sync_engine of an "
                     "AsyncEngine, got one over %.200s",
                     Py_TYPE(bind)->tp_name);
    Ref dialect = getattr(bind, state.s_dialect);
    Ref is_async = getattr(dialect.get(), state.s_is_async);
    if (!truthy(is_async.get())) refuse_sync_engine();
    Ref cls = load_global(state.globals, state.s_AsyncEngine);
    return call(cls.get(), {bind});
}

}  // namespace

Ref init_fn(const Args& a) {
    PyObject *self = a[0], *mapper_dict = a[1], *data_source = a[2], *kestrum = a[3];
    NestingGuard guard;
    setattr(self, state.s_mapper_dict, mapper_dict);
    setattr(self, state.s_data_source, data_source);
    if (truthy(kestrum)) {
        setattr(self, state.s_kestrum, kestrum);
        Ref bind = getattr(kestrum, state.s_data_source);
        setattr(self, state.s_data_source, async_engine_of(bind.get()).get());
    } else if (truthy(data_source)) {
        Ref cls = load_global(state.globals, state.s_SqlTemplate);
        Ref sync_engine = sync_engine_of(data_source);
        setattr(self, state.s_kestrum, call(cls.get(), {sync_engine.get()}).get());
    } else {
        raise_exception("kestrum can't init");
    }
    // self.sync_session = GreenletVelmoSqlSession(mapper_dict, kestrum=self.kestrum)
    Ref cls = load_global(state.globals, state.s_GreenletVelmoSqlSession);
    Ref template_ = getattr(self, state.s_kestrum);
    Ref inner = call_kw(cls.get(), {mapper_dict, template_.get()}, state.kw_kestrum);
    setattr(self, state.s_sync_session, inner.get());
    return none();
}

// greenlet_spawn(async_sessionmaker(bind=self.data_source, expire_on_commit=False)): a new
// AsyncSession, made as the sync class makes its Session (the factory once per session object
// and data source), that the caller owns and closes.
Ref get_ori_session_fn(const Args& a) {
    Ref spawn = load_global(state.globals, state.s_greenlet_spawn);
    Ref maker = load_global(state.globals, state.s_async_sessionmaker);
    Ref bind = getattr(a[0], state.s_data_source);
    Ref factory = state.factories.factory(a[0], maker.get(), bind.get(), state.kw_session);
    return call(spawn.get(), {factory.get()});
}

}  // namespace velmo::aio
