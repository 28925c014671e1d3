// Statement notes and the interpreter's table of mapper sources.
#include "statement_notes.hpp"

#include "../runtime/names.hpp"

namespace velmo::mapper {

using namespace velmo::rt;

namespace {

#define NOTE_NAMES(X) \
    X(head, "in ")    \
    X(tail, ")") X(middle, " (mapper ") X(notes, "__notes__") X(missing_head, "no statement ")
VELMO_NAMES(NoteNames, NOTE_NAMES)

// The names notes are made and recognised with, interned on first use (this code has no
// initialisation of its own).
const NoteNames& note_names() {
    static const NoteNames names = [] {
        NoteNames n;
        n.intern();
        return n;
    }();
    return names;
}

constexpr const char* table_key = "velmo.mapper_sources";

// The table {id(mapper): (weakref(mapper), path, namespace, reported)} kept in the interpreter's dict for
// extension modules; NULL (no error) when it does not exist and `create` is false.
Ref sources(bool create) {
    PyObject* interpreter = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!interpreter) raise(PyExc_SystemError, "no interpreter dict");
    PyObject* found = nullptr;
    check(PyDict_GetItemStringRef(interpreter, table_key, &found));
    if (found || !create) return Ref::steal_or_null(found);
    Ref table = Ref::steal(PyDict_New());
    check(PyDict_SetItemString(interpreter, table_key, table.get()));
    return table;
}

// Dead entries are swept when the table has doubled since the last sweep, so an application
// that makes mappers over and over keeps the table at about twice its live mappers.
Py_ssize_t sweep_at = 64;

void sweep(PyObject* table) {
    Ref dead = Ref::steal(PyList_New(0));
    Py_ssize_t pos = 0;
    PyObject *key, *entry;
    while (PyDict_Next(table, &pos, &key, &entry)) {
        PyObject* alive = nullptr;
        check(PyWeakref_GetRef(PyTuple_GET_ITEM(entry, 0), &alive));
        if (alive)
            Py_DECREF(alive);
        else
            check(PyList_Append(dead.get(), key));
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(dead.get()); ++i)
        check(PyDict_DelItem(table, PyList_GET_ITEM(dead.get(), i)));
    Py_ssize_t live = PyDict_GET_SIZE(table);
    sweep_at = live * 2 > 64 ? live * 2 : 64;
}

// The entry of a live mapper: its path and namespace (None when it has none), and the set of
// what was reported about it.
bool source_of(PyObject* mapper, Ref& path, Ref& ns, Ref* reported = nullptr) {
    Ref table = sources(false);
    if (!table) return false;
    Ref key = Ref::steal(PyLong_FromVoidPtr(mapper));
    Ref entry = dict_get(table.get(), key.get());
    if (!entry) return false;
    PyObject* alive = nullptr;
    check(PyWeakref_GetRef(PyTuple_GET_ITEM(entry.get(), 0), &alive));
    Ref held = Ref::steal_or_null(alive);
    if (held.get() != mapper) return false;  // a dead mapper whose address was reused
    path = Ref::borrow(PyTuple_GET_ITEM(entry.get(), 1));
    ns = Ref::borrow(PyTuple_GET_ITEM(entry.get(), 2));
    if (reported) *reported = Ref::borrow(PyTuple_GET_ITEM(entry.get(), 3));
    return true;
}

// Notes made here read "in ... (mapper ...)", or "no statement ... (mapper ...): ..." for an id
// that is not there.
bool is_statement_note(PyObject* note) {
    if (!PyUnicode_Check(note)) return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(note);
    const NoteNames& names = note_names();
    PyObject *head = names.s_head, *tail = names.s_tail, *middle = names.s_middle;
    if (PyUnicode_Find(note, middle, 0, n, 1) < 0) return false;
    if (check(PyUnicode_Tailmatch(note, names.s_missing_head, 0, n, -1))) return true;
    return check(PyUnicode_Tailmatch(note, head, 0, n, -1)) && check(PyUnicode_Tailmatch(note, tail, 0, n, 1));
}

bool has_statement_note(PyObject* exc) {
    Ref notes = getattr_optional(exc, note_names().s_notes);
    if (!notes || !PyList_Check(notes.get())) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(notes.get()); ++i) {
        Ref note = Ref::borrow(PyList_GET_ITEM(notes.get(), i));
        if (is_statement_note(note.get())) return true;
    }
    return false;
}

Ref note_text(const StatementPlace& p) {
    Ref where = mapper_where(p.mapper);
    if (!p.tag)
        return Ref::steal(
            PyUnicode_FromFormat("in %S (mapper %S)", statement_name(p.mapper, p.id, p.key).get(), where.get()));
    if (!p.id) return Ref::steal(PyUnicode_FromFormat("in <%S test=\"%S\"> (mapper %S)", p.tag, p.test, where.get()));
    Ref name = statement_name(p.mapper, p.id, p.key);
    return Ref::steal(
        PyUnicode_FromFormat("in <%S test=\"%S\"> of %S (mapper %S)", p.tag, p.test, name.get(), where.get()));
}

}  // namespace

void record_mapper_source(PyObject* mapper, PyObject* path, PyObject* ns) noexcept {
    try {
        Ref table = sources(true);
        Ref ref = Ref::steal(PyWeakref_NewRef(mapper, nullptr));
        Ref key = Ref::steal(PyLong_FromVoidPtr(mapper));
        Ref reported = Ref::steal(PySet_New(nullptr));
        dict_set(table.get(), key.get(), tuple({ref.get(), path, ns ? ns : Py_None, reported.get()}).get());
        if (PyDict_GET_SIZE(table.get()) >= sweep_at) sweep(table.get());
    } catch (...) {
        PyErr_Clear();
    }
}

Ref mapper_where(PyObject* mapper) {
    Ref path, ns;
    if (source_of(mapper, path, ns)) return path;
    return Ref::steal(PyUnicode_FromFormat("of type %s", Py_TYPE(mapper)->tp_name));
}

Ref mapper_reports(PyObject* mapper) {
    Ref path, ns, reported;
    if (!source_of(mapper, path, ns, &reported)) return {};
    return reported;
}

Ref close_match(PyObject* word, PyObject* candidates) {
    if (!PyUnicode_Check(word)) return {};
    Ref names = Ref::steal(PyList_New(0));
    Ref items = Ref::steal(PyObject_GetIter(candidates));
    while (PyObject* item = PyIter_Next(items.get())) {
        Ref held = Ref::steal(item);
        if (PyUnicode_Check(item)) check(PyList_Append(names.get(), item));
    }
    if (PyErr_Occurred()) throw_error();
    Ref difflib = Ref::steal(PyImport_ImportModule("difflib"));
    Ref find = getattr(difflib.get(), "get_close_matches");
    Ref one = integer(1);
    Ref found = call(find.get(), {word, names.get(), one.get()});
    if (!PyList_Check(found.get()) || PyList_GET_SIZE(found.get()) == 0) return {};
    return Ref::borrow(PyList_GET_ITEM(found.get(), 0));
}

Ref missing_statement_note(PyObject* mapper, PyObject* id, PyObject* map) {
    Ref close = close_match(id, map);
    if (!close) return note_text({mapper, id});
    Ref path, ns;
    Ref where = mapper_where(mapper);
    if (!source_of(mapper, path, ns) || ns.get() == Py_None)
        return Ref::steal(
            PyUnicode_FromFormat("no statement %R (mapper %S): did you mean %R?", id, where.get(), close.get()));
    return Ref::steal(PyUnicode_FromFormat("no statement %R in %S (mapper %S): did you mean %R?", id, ns.get(),
                                           where.get(), close.get()));
}

Ref statement_name(PyObject* mapper, PyObject* id, PyObject* key) {
    Ref path, ns;
    if (!source_of(mapper, path, ns) || ns.get() == Py_None) ns = Ref::borrow(key);
    if (!ns || ns.get() == Py_None) return Ref::steal(PyObject_Str(id));
    return Ref::steal(PyUnicode_FromFormat("%S.%S", ns.get(), id));
}

Ref statement_note(PyObject* exc, const StatementPlace& place) {
    if (has_statement_note(exc)) return {};
    return note_text(place);
}

void note_statement(const StatementPlace& place) noexcept {
    note_error([&](PyObject* exc) { return statement_note(exc, place); });
}

}  // namespace velmo::mapper
