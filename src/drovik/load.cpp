// Loading a mapper file: ParseMapper.__init__.
#include "drovik.hpp"

namespace velmo::drovik {

using namespace velmo::rt;

namespace {

// element.attrib.get(name)
Ref attribute_or_none(PyObject* attrib, PyObject* name) {
    if (PyDict_CheckExact(attrib)) {
        Ref v = dict_get(attrib, name);
        return v ? v : none();
    }
    return call_method(attrib, state.s_get, {name});
}

// The English note of the two ValueErrors of get_type_from_string, whose messages are kept as
// they are: "cannot import result type 'T' of NS.ID: <why>" or "unknown result type 'T' of NS.ID".
Ref resolution_note(PyObject* exc, PyObject* text, PyObject* ns, PyObject* id) {
    PyObject* cannot_import = state.s_cannot_import;
    PyObject* unknown = state.s_unknown_type;
    if (!Py_IS_TYPE(exc, reinterpret_cast<PyTypeObject*>(PyExc_ValueError))) return {};
    Ref message = Ref::steal(PyObject_Str(exc));
    Py_ssize_t n = PyUnicode_GET_LENGTH(message.get());
    Ref name = ns ? Ref::steal(PyUnicode_FromFormat("%S.%S", ns, id)) : Ref::borrow(id);
    if (check(PyUnicode_Tailmatch(message.get(), unknown, 0, n, -1)))
        return Ref::steal(PyUnicode_FromFormat("unknown result type '%S' of %S", text, name.get()));
    if (!check(PyUnicode_Tailmatch(message.get(), cannot_import, 0, n, -1))) return {};
    // The reason follows "T: " in the message.
    Py_ssize_t at = PyUnicode_GET_LENGTH(cannot_import);
    Ref head = Ref::steal(PyUnicode_FromFormat("%S: ", text));
    if (check(PyUnicode_Tailmatch(message.get(), head.get(), at, n, -1))) at += PyUnicode_GET_LENGTH(head.get());
    Ref reason = Ref::steal(PyUnicode_Substring(message.get(), at, n));
    return Ref::steal(PyUnicode_FromFormat("cannot import result type '%S' of %S: %S", text, name.get(), reason.get()));
}

// wollix's functions note their ValueErrors without the statement; loading's note, which names
// it, takes the place of that one, so the exception keeps one note.
void drop_resolution_note(PyObject* exc) {
    Ref notes = getattr_optional(exc, state.s_notes);
    if (!notes || !PyList_CheckExact(notes.get())) return;
    Py_ssize_t last = PyList_GET_SIZE(notes.get()) - 1;
    if (last < 0) return;
    PyObject* note = PyList_GET_ITEM(notes.get(), last);
    if (!PyUnicode_Check(note)) return;
    Py_ssize_t n = PyUnicode_GET_LENGTH(note);
    for (PyObject* head : {state.s_cannot_import_note, state.s_unknown_type_note})
        if (check(PyUnicode_Tailmatch(note, head, 0, n, -1))) check(PySequence_DelItem(notes.get(), last));
}

// What wollix's own functions answered during one load, text -> type: they answer a text the
// same way every time, so a type text that repeats is resolved once. Only a call of them runs
// Python code in the loop (an import), so whether the module's names are still theirs is asked
// again after each call only.
struct Resolved {
    Ref types = Ref::steal(PyDict_New());
    bool own = names_are_own();

    static bool names_are_own() {
        return global_is(state.globals, state.s_get_type_from_string, state.own_get_type_from_string) &&
               global_is(state.globals, state.s_is_container_type_by_str, state.own_is_container_type_by_str);
    }
};

// Whether loading resolves the resultType of a statement element of tag `tag`.
bool reads_result_type(PyObject* tag) {
    for (const mapper::StatementRule& s : mapper::statements)
        if (s.result_type && equal(tag, statement_tag(s.kind))) return true;
    return false;
}

// The resolved result type of a statement element of tag `tag`.
Ref result_type_of(PyObject* tag, PyObject* attrib, PyObject* ns, PyObject* id, Resolved& resolved) {
    Ref text = none();
    if (reads_result_type(tag)) text = attribute_or_none(attrib, state.s_resultType);
    if (text.get() == Py_None) return Ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type));
    bool own = resolved.own && PyUnicode_CheckExact(text.get());
    if (own)
        if (Ref known = dict_get(resolved.types.get(), text.get())) return known;
    Ref resolve = load_global(state.globals, state.s_get_type_from_string);
    Ref type;
    try {
        type = call(resolve.get(), {text.get()});
    } catch (const PyErrorSet&) {
        note_error([&](PyObject* exc) {
            Ref note = resolution_note(exc, text.get(), ns, id);
            if (note) drop_resolution_note(exc);
            return note;
        });
        throw;
    }
    Ref is_container = load_global(state.globals, state.s_is_container_type_by_str);
    bool container = truthy(call(is_container.get(), {text.get()}).get());
    resolved.own = Resolved::names_are_own();
    if (container && type.get() != reinterpret_cast<PyObject*>(&PyDict_Type))
        raise_obj(PyExc_TypeError, concat(state.s_container_message, text.get()).get());
    if (own && resolve.get() == state.own_get_type_from_string &&
        is_container.get() == state.own_is_container_type_by_str)
        dict_set(resolved.types.get(), text.get(), type.get());
    return type;
}

}  // namespace

Ref init_fn(const Args& a) {
    PyObject* self = a[0];
    PyObject* xml_path = a[1];
    setattr(self, state.s_id_2_element_map, Ref::steal(PyDict_New()).get());
    setattr(self, state.s_result_type_map, Ref::steal(PyDict_New()).get());
    setattr(self, state.s_sql_type_map, Ref::steal(PyDict_New()).get());

    Ref et = load_global(state.globals, state.s_et);
    Ref parse = getattr(et.get(), state.s_parse);
    Ref tree = call(parse.get(), {xml_path});
    Ref root = call_method(tree.get(), state.s_getroot);

    // The first element named mapper (the root included) holds the statements.
    Ref ns;
    Ref walk = call_method(root.get(), state.s_iter);
    for_each(walk.get(), [&](PyObject* element) {
        Ref tag = field(element, Field::Tag);
        if (!equal(tag.get(), state.s_mapper)) return true;
        Ref attrib = field(element, Field::Attrib);
        if (check(PySequence_Contains(attrib.get(), state.s_namespace))) {
            ns = Ref::steal(PyObject_GetItem(attrib.get(), state.s_namespace));
            setattr(self, state.s_namespace, ns.get());
        }
        root = Ref::borrow(element);
        return false;
    });

    // The three maps are attributes of self, read for every statement. An instance of the class
    // itself (no subclass with properties) keeps them in its dict, where only this loop could
    // replace them: they are read once.
    Ref maps[3];
    PyObject* const map_names[3] = {state.s_id_2_element_map, state.s_result_type_map, state.s_sql_type_map};
    bool plain = Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(state.mapper_class);
    if (plain)
        for (int i = 0; i < 3; ++i) maps[i] = getattr(self, map_names[i]);
    auto store = [&](int i, PyObject* key, PyObject* value) {
        Ref map = plain ? maps[i] : getattr(self, map_names[i]);
        if (PyDict_CheckExact(map.get()))
            dict_set(map.get(), key, value);
        else
            check(PyObject_SetItem(map.get(), key, value));
    };
    Resolved resolved;
    for_each(root.get(), [&](PyObject* child) {
        Ref tag = field(child, Field::Tag);
        Ref kinds = load_global(state.globals, state.s_sql_id_type_list);
        if (!check(PySequence_Contains(kinds.get(), tag.get()))) return;
        Ref attrib = field(child, Field::Attrib);
        Ref id = attribute_or_none(attrib.get(), state.s_id);
        if (id.get() == Py_None) raise_exception("Missing id");
        Ref result_type = result_type_of(tag.get(), attrib.get(), ns.get(), id.get(), resolved);
        store(0, id.get(), child);
        store(1, id.get(), result_type.get());
        Ref element_tag = field(child, Field::Tag);
        store(2, id.get(), element_tag.get());
    });
    mapper::record_mapper_source(self, xml_path, ns.get());
    return none();
}

}  // namespace velmo::drovik
