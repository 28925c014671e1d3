// Statement logging on the logger velmo.sql. One isEnabledFor(DEBUG) call is all a statement pays
// while the logger is off; records go through the logger, so the application's handlers, filters
// and formatting apply, and they point at the application's call. Called from Python code, the
// running frame is the application's and Logger.log finds it. Under asyncio the statement runs in
// SQLAlchemy's greenlet, where no frame of the application is on the stack: the record is then
// made (Logger.makeRecord, as Logger.log makes it) at the application's await, found outside the
// greenlet, and handed to Logger.handle.
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

// Where the records of one statement point.
class Recorder {
public:
    // The application's frame when it is not the running one (an empty Ref: Logger.log finds it).
    Recorder() : frame_(application_frame()) {
        if (frame_ && is_running_frame(frame_.get())) frame_ = Ref();
    }

    // logger.log(level, message, *args), at the application's frame.
    void log(std::initializer_list<PyObject*> level_message_args) const {
        if (!frame_) {
            call_method(state.sql_logger, state.s_log, level_message_args);
            return;
        }
        // logger.handle(logger.makeRecord(logger.name, level, filename, lineno, message, args, None, function))
        PyObject* const* items = level_message_args.begin();
        auto count = static_cast<Py_ssize_t>(level_message_args.size());
        Ref args = Ref::steal(PyTuple_New(count - 2));
        for (Py_ssize_t i = 2; i < count; ++i) PyTuple_SET_ITEM(args.get(), i - 2, Py_NewRef(items[i]));
        auto* frame = reinterpret_cast<PyFrameObject*>(frame_.get());
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
        auto* co = reinterpret_cast<PyCodeObject*>(code.get());
        Ref lineno = integer(PyFrame_GetLineNumber(frame));
        Ref name = getattr(state.sql_logger, state.s_name);
        Ref record = call_method(
            state.sql_logger, state.s_make_record,
            {name.get(), items[0], co->co_filename, lineno.get(), items[1], args.get(), Py_None, co->co_name});
        call_method(state.sql_logger, state.s_handle, {record.get()});
    }

private:
    Ref frame_;
};

}  // namespace

bool sql_logging_enabled() { return enabled_for(state.level_debug); }

void log_statement(const Statement& st, PyObject* sql, PyObject* binds) {
    Ref name = mapper::statement_name(st.mapper, st.id, st.key);
    Ref text = sql_text(sql);
    Ref names = bind_names(binds);
    Recorder recorder;
    if (!PyUnicode_GET_LENGTH(names.get())) {
        recorder.log({state.level_debug, state.s_log_without_binds, name.get(), text.get()});
        return;
    }
    recorder.log({state.level_debug, state.s_log_with_binds, name.get(), text.get(), names.get()});
    if (enabled_for(state.level_values)) recorder.log({state.level_values, state.s_log_values, name.get(), binds});
}

}  // namespace velmo::brannow
