// velmo.db.kestrum: the SQL template. Module init and the table of Python-visible names.
#include "kestrum.hpp"

#include "docs.inc"  // module_docs, from the stub

using namespace velmo::rt;

namespace velmo::kestrum {

State state;

namespace {

void intern_names() {
    state.intern();
    state.one = integer(1).release();
    state.kw_session = kept_names({"bind", "expire_on_commit"});
}

// SQLAlchemy's Row._asdict and the __getattribute__ Row instances use, found once: a row of
// that type has no instance dict, so row._asdict() is a call of that function with the row.
void find_row_asdict() {
    try {
        Ref module = Ref::steal(PyImport_ImportModule("sqlalchemy.engine.row"));
        Ref row = getattr(module.get(), "Row");
        if (!PyType_Check(row.get())) return;
        auto* type = reinterpret_cast<PyTypeObject*>(row.get());
        PyObject* fn = internals::type_lookup(type, state.s_asdict);
        PyObject* getattribute = internals::type_lookup(type, state.s_getattribute);
        if (!fn || !PyFunction_Check(fn) || !getattribute) return;
        state.row_getattribute = Py_NewRef(getattribute);
        state.row_asdict = Py_NewRef(fn);
    } catch (const PyErrorSet&) {
        PyErr_Clear();  // an SQLAlchemy without this layout: always call _asdict
    }
}

// @dataclass class PageInfo: pageSize: int = None; pageNum: int = None; total: int = None;
// list: list = None
void def_page_info(Module& m) {
    static const char* const fields[][2] = {
        {"pageSize", "int"}, {"pageNum", "int"}, {"total", "int"}, {"list", "list"}};
    Ref annotations = Ref::steal(PyDict_New());
    Ref body = Ref::steal(PyDict_New());
    dict_set(body.get(), "__annotations__", annotations.get());
    for (auto& f : fields) {
        dict_set(annotations.get(), f[0], str(f[1]).get());
        dict_set(body.get(), f[0], Py_None);
    }
    PyObject* cls = m.def_class("PageInfo", {}, body.get());
    Ref dataclass = dict_get(m.dict(), str("dataclass").get());
    m.add("PageInfo", call(dataclass.get(), {cls}));
}

void def_sql_template(Module& m, PyObject* contextlib) {
    PyObject* cls = m.def_class("SqlTemplate", {{&init_sig},
                                                {&insert_sig},
                                                {&insert_orm2_sig},
                                                {&add_sig},
                                                {&add_all_sig},
                                                {&delete_sig},
                                                {&delete_orm2_sig},
                                                {&update_orm2_sig},
                                                {&update_sig},
                                                {&select_one_orm2_sig},
                                                {&select_all_orm2_sig},
                                                {&select_one_sig},
                                                {&select_list_sig},
                                                {&select_page_sig},
                                                {&execute_in_connection_sig},
                                                {&get_session_sig}});
    // @contextlib.contextmanager over the native generator function; the class dict keeps its
    // position (it is the last method).
    Ref generator_fn = getattr(cls, state.s_get_session);
    state.get_session_qualname = getattr(generator_fn.get(), "__qualname__").release();
    Ref contextmanager = getattr(contextlib, "contextmanager");
    Ref helper = call(contextmanager.get(), {generator_fn.get()});
    setattr(cls, state.s_get_session, helper.get());
    state.get_session_helper = helper.release();
    state.contextlib_dict = Py_NewRef(check(PyModule_GetDict(contextlib)));
    state.generator_cm = getattr(contextlib, state.s_GeneratorContextManager).release();
    record_generator_cm();
}

void exec_kestrum(Module& m) {
    state = {};  // nothing left over from an initialisation that failed
    intern_names();
    state.globals = m.dict();
    // Where a Python module has it: before the first import (dataclass would add it later).
    m.add("__builtins__", Ref::borrow(PyEval_GetBuiltins()));
    PyObject* contextlib = m.import("contextlib").get();
    m.from_import("typing", {"Any"});
    m.from_import("sqlalchemy", {"TextClause", "text"});
    m.from_import("sqlalchemy.orm", {"sessionmaker"});
    state.factories.init(dict_get(m.dict(), state.s_sessionmaker).get());
    // Not a name of the module: only select_page's test of a session's dialect reads it.
    state.orm_session = getattr(Ref::steal(PyImport_ImportModule("sqlalchemy.orm")).get(), "Session").release();
    state.sqlalchemy_error =
        getattr(Ref::steal(PyImport_ImportModule("sqlalchemy.exc")).get(), "SQLAlchemyError").release();
    m.from_import("dataclasses", {"dataclass"});
    def_page_info(m);
    m.def_class("Page", {{&page_init_sig}});
    def_sql_template(m, contextlib);
    find_row_asdict();
    // Owned, so that the identity test in select_page can never match a recycled address.
    state.own_count_query = Py_NewRef(m.def(count_query_sig));
    state.own_limit_query = Py_NewRef(m.def(limit_query_sig));
    apply_docs(m, module_docs);
}

}  // namespace

}  // namespace velmo::kestrum

VELMO_MODULE(kestrum, "velmo.db.kestrum", velmo::kestrum::exec_kestrum)
