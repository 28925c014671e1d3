// Statement logging on the logger velmo.sql. One isEnabledFor(DEBUG) call is all a statement pays
// while the logger is off; records are made through Logger.log, so the application's handlers,
// filters and formatting apply and the record points at the application's call.
#include "brannow.hpp"

using namespace velmo::rt;

namespace velmo::brannow {

namespace {

bool enabled_for(PyObject* level) {
    return truthy(call_method(state.sql_logger, state.s_is_enabled_for, {level}).get());
}

// sql.text when it is a str (a TextClause), else str(sql).
Ref sql_text(PyObject* sql) {
    Ref text = getattr_optional(sql, state.s_text);
    if (text && PyUnicode_Check(text.get())) return text;
    return Ref::steal(PyObject_Str(sql));
}

// "a, b": the bind names in the order the mapper found them; empty for no binds.
Ref bind_names(PyObject* binds) {
    Ref names = Ref::steal(PyList_New(0));
    if (PyDict_Check(binds)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(binds, &pos, &key, &value))
            check(PyList_Append(names.get(), Ref::steal(PyObject_Str(key)).get()));
    }
    return Ref::steal(PyUnicode_Join(state.s_bind_separator, names.get()));
}

}  // namespace

bool sql_logging_enabled() { return enabled_for(state.level_debug); }

void log_statement(const Statement& st, PyObject* sql, PyObject* binds) {
    Ref name = statement_name(st.mapper, st.id, st.key);
    Ref text = sql_text(sql);
    Ref names = bind_names(binds);
    if (!PyUnicode_GET_LENGTH(names.get())) {
        call_method(state.sql_logger, state.s_log,
                    {state.level_debug, state.s_log_without_binds, name.get(), text.get()});
        return;
    }
    call_method(state.sql_logger, state.s_log,
                {state.level_debug, state.s_log_with_binds, name.get(), text.get(), names.get()});
    if (enabled_for(state.level_values))
        call_method(state.sql_logger, state.s_log, {state.level_values, state.s_log_values, name.get(), binds});
}

}  // namespace velmo::brannow
