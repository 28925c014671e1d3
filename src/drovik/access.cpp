// The statement accessors (select, insert, update, delete, get_sql, list_statement) and the
// small helpers the module's files share.
#include "drovik.hpp"

namespace velmo::drovik {

using namespace velmo::rt;

bool own_static(PyObject* name, PyObject* ours) {
    Ref cls = dict_get(state.globals, state.s_ParseMapper);
    // A class made by type itself: its attribute lookup is the MRO lookup (a staticmethod then
    // gives its function).
    return cls && Py_IS_TYPE(cls.get(), &PyType_Type) && type_attribute_is(cls.get(), name, ours);
}

Ref call_static(PyObject* name, std::initializer_list<PyObject*> args) {
    Ref cls = load_global(state.globals, state.s_ParseMapper);
    Ref fn = getattr(cls.get(), name);
    return call(fn.get(), args);
}

Ref attribute(PyObject* element, PyObject* name) {
    Ref attrib = field(element, Field::Attrib);
    return Ref::steal(PyObject_GetItem(attrib.get(), name));
}

thread_local StatementScope* current_statement = nullptr;

void note_condition(PyObject* mapper, PyObject* element, PyObject* test) noexcept {
    const StatementScope* scope = current_statement;
    PyObject* id = scope && scope->mapper == mapper ? scope->id : nullptr;
    note_error([&](PyObject* exc) -> Ref {
        Ref tag = field(element, Field::Tag);
        return mapper::statement_note(exc, {mapper, id, nullptr, tag.get(), test});
    });
}

namespace {

// What one of the four kind accessors prepares.
struct Accessor {
    StatementKind kind;   // the statement kind it requires
    const char* message;  // the Exception message for another tag
};

const Accessor select_accessor{StatementKind::Select, "Not a select"};
const Accessor insert_accessor{StatementKind::Insert, "Not an insert"};
const Accessor update_accessor{StatementKind::Update, "Not an update"};
const Accessor delete_accessor{StatementKind::Delete, "Not a delete"};

// Exception("Missing id"), with the note that names the id looked up and the closest id the
// mapper holds.
[[noreturn, gnu::cold]] void missing_id(PyObject* self, PyObject* id, PyObject* map) {
    PyErr_SetString(PyExc_Exception, "Missing id");
    note_error([&](PyObject*) { return mapper::missing_statement_note(self, id, map); });
    throw_error();
}

// The common body of the four kind accessors: find, check, evaluate, prepare.
Ref prepare_body(PyObject* self, PyObject* id, PyObject* params, const Accessor& accessor, PyObject* primary_key) {
    // `if id not in self.id_2_element_map` and then `self.id_2_element_map[id]`: the attribute is
    // read twice, as the two expressions read it.
    Ref map = getattr(self, state.s_id_2_element_map);
    if (!check(PySequence_Contains(map.get(), id))) missing_id(self, id, map.get());
    map = getattr(self, state.s_id_2_element_map);
    Ref element = Ref::steal(PyObject_GetItem(map.get(), id));
    Ref tag = field(element.get(), Field::Tag);
    if (equal(tag.get(), statement_tag(accessor.kind), Py_NE)) raise_exception(accessor.message);

    // The evaluation dictionary is made afresh for every call.
    Ref param = Ref::steal(PyDict_New());
    dict_set(param.get(), state.s_params, params);
    Text ret;
    evaluate_body(self, element.get(), param.get(), ret);
    Ref text = ret.finish();

    Ref prepared = call_method(self, state.s_to_prepared_statement, {text.get(), params});
    Ref sql, binds;
    unpack2(prepared.get(), sql, binds);
    if (primary_key && primary_key != Py_None && truthy(primary_key)) {
        Ref formatted = getattr(sql.get(), state.s_text);
        Ref with_key = concat(concat(formatted.get(), state.s_returning).get(), primary_key);
        sql = make_clause(with_key.get());
    }
    return tuple({sql.get(), binds.get()});
}

// The accessor's body, with the statement named in the note of anything it raises.
Ref prepare_statement(PyObject* self, PyObject* id, PyObject* params, const Accessor& accessor, PyObject* primary_key) {
    StatementScope scope(self, id);
    try {
        return prepare_body(self, id, params, accessor, primary_key);
    } catch (const PyErrorSet&) {
        mapper::note_statement({self, id});
        throw;
    }
}

// sql, sql_param = self.<name>(sql_id, params)
void dispatch(PyObject* self, PyObject* name, PyObject* id, PyObject* params, Ref& sql, Ref& binds) {
    Ref result = call_method(self, name, {id, params});
    unpack2(result.get(), sql, binds);
}

// map.get(key, None) (with_default) or map.get(key) for the type and kind maps.
Ref map_get(PyObject* map, PyObject* key, bool with_default) {
    if (PyDict_CheckExact(map)) {
        Ref v = dict_get(map, key);
        return v ? v : none();
    }
    if (with_default) return call_method(map, state.s_get, {key, Py_None});
    return call_method(map, state.s_get, {key});
}

}  // namespace

Ref select_fn(const Args& a) { return prepare_statement(a[0], a[1], a[2], select_accessor, nullptr); }
Ref update_fn(const Args& a) { return prepare_statement(a[0], a[1], a[2], update_accessor, nullptr); }
Ref delete_fn(const Args& a) { return prepare_statement(a[0], a[1], a[2], delete_accessor, nullptr); }
Ref insert_fn(const Args& a) { return prepare_statement(a[0], a[1], a[2], insert_accessor, a[3]); }

namespace {

Ref get_sql_body(PyObject* self, PyObject* sql_id, PyObject* params) {
    Ref result_type = map_get(getattr(self, state.s_result_type_map).get(), sql_id, true);
    Ref sql_type = map_get(getattr(self, state.s_sql_type_map).get(), sql_id, false);
    PyObject* accessor = state.s_delete;
    if (equal(sql_type.get(), statement_tag(StatementKind::Select)))
        accessor = state.s_select;
    else if (equal(sql_type.get(), statement_tag(StatementKind::Insert)))
        accessor = state.s_insert;
    else if (equal(sql_type.get(), statement_tag(StatementKind::Update)))
        accessor = state.s_update;
    Ref sql, binds;
    dispatch(self, accessor, sql_id, params, sql, binds);
    return tuple({sql.get(), binds.get(), sql_type.get(), result_type.get()});
}

}  // namespace

// Errors of an accessor that did not run its body (a refused argument, an override) are named
// here.
Ref get_sql_fn(const Args& a) {
    try {
        return get_sql_body(a[0], a[1], a[2]);
    } catch (const PyErrorSet&) {
        mapper::note_statement({a[0], a[1]});
        throw;
    }
}

Ref list_statement_fn(const Args& a) {
    Ref map = getattr(a[0], state.s_id_2_element_map);
    return call_method(map.get(), state.s_keys);
}

}  // namespace velmo::drovik
