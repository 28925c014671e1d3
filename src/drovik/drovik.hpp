// velmo.mapper.drovik: what the module's files share.
//
// The module state, the names it interns, and the entry points of each concern: loading
// (load.cpp), evaluation of dynamic elements (evaluate.cpp), whitespace normalisation and
// trimming (text.cpp, trim.cpp), statement preparation (prepare.cpp) and the accessors
// (access.cpp). module.cpp builds the Python-visible namespace from them.
#pragma once

#include <vector>

#include "../runtime/rt.hpp"

namespace velmo::drovik {

using rt::Args;
using rt::Ref;

// The element fields the walk reads.
enum Field : int { f_tag, f_text, f_tail, f_attrib };

struct State {
    PyObject* globals;         // the module's namespace, read at call time like module globals
    PyObject* mapper_class;    // ParseMapper as built at import
    PyObject* element_type;    // xml.etree.ElementTree.Element
    // ElementTree's own getters of the fields (NULL where a field is no plain getset).
    getter element_get[4];
    void* element_closure[4];
    PyObject* field_names[4];
    PyObject* text;            // sqlalchemy.text as imported
    PyObject* re_module;       // re as imported
    PyObject* re_sub;          // re.sub as imported
    PyObject* param_pattern;   // as compiled at import
    PyObject* builtin_eval;    // builtins.eval, run natively while `eval` resolves to it

    // The objects that ParseMapper's namespace holds, to recognise an override.
    PyObject* own_parse_element;
    PyObject* own_trim_prefix;  // the staticmethod objects
    PyObject* own_trim_suffix;
    PyObject* own_format_sql;

    // Interned names.
    PyObject* n_tag;
    PyObject* n_text;
    PyObject* n_tail;
    PyObject* n_attrib;
    PyObject* n_get;
    PyObject* n_keys;
    PyObject* n_parse_element;
    PyObject* n_to_prepared_statement;
    PyObject* n_trim_prefix;
    PyObject* n_trim_suffix;
    PyObject* n_format_sql;
    PyObject* n_select;
    PyObject* n_insert;
    PyObject* n_update;
    PyObject* n_delete;
    PyObject* n_id_2_element_map;
    PyObject* n_result_type_map;
    PyObject* n_sql_type_map;
    PyObject* n_namespace;
    PyObject* n_mapper_class;  // "ParseMapper"
    PyObject* n_text_fn;       // "text"
    PyObject* n_re;
    PyObject* n_param_pattern;
    PyObject* n_replace_pattern;
    PyObject* n_findall;
    PyObject* n_sub;
    PyObject* n_replace;
    PyObject* n_strip;
    PyObject* n_split;
    PyObject* n_join;
    PyObject* n_upper;
    PyObject* n_startswith;
    PyObject* n_endswith;
    PyObject* n_iter;
    PyObject* n_getroot;
    PyObject* n_parse;
    PyObject* n_et;
    PyObject* n_sql_id_type_list;
    PyObject* n_builtins;  // "__builtins__"
    PyObject* n_eval;
    PyObject* n_get_type_from_string;
    PyObject* n_is_container_type_by_str;

    // Attribute names and constant texts.
    PyObject* a_id;
    PyObject* a_result_type;
    PyObject* a_refid;
    PyObject* a_test;
    PyObject* a_prefix;
    PyObject* a_suffix;
    PyObject* a_prefix_overrides;
    PyObject* a_suffix_overrides;
    PyObject* a_item;
    PyObject* a_collection;
    PyObject* a_open;
    PyObject* a_close;
    PyObject* a_separator;
    PyObject* k_params;
    PyObject* k_mapper;
    PyObject* k_namespace;
    PyObject* s_empty;
    PyObject* s_space;
    PyObject* s_newline;
    PyObject* s_comma;
    PyObject* s_where;       // "WHERE "
    PyObject* s_set;         // "SET "
    PyObject* s_returning;   // " RETURNING "
    PyObject* s_for_index;   // "_for_index_"
    PyObject* s_marker_open; // "#{"
    PyObject* s_marker_close;
    PyObject* s_subst_open;  // "${"
    PyObject* s_pipe;
    PyObject* s_is_list_head;  // "isinstance(" and ",list)"
    PyObject* s_is_list_tail;
    PyObject* s_copy_head;     // "[item for item in " and "]"
    PyObject* s_copy_tail;
    PyObject* sub_pattern;   // the literal pattern and replacement of the marker rewrite
    PyObject* sub_replacement;

    // The element kinds in the order parse_element compares them: include, sql, if, where,
    // trim, set, choose, when, otherwise, foreach.
    PyObject* kinds[10];

    // The tags of statement kinds, as compared by the accessors.
    PyObject* t_select;
    PyObject* t_insert;
    PyObject* t_update;
    PyObject* t_delete;
};
extern State state;

// element.tag / .text / .tail / .attrib: ElementTree's getter called directly for its own
// (immutable) element type, the attribute lookup for anything else.
inline Ref field(PyObject* element, Field f) {
    if (Py_TYPE(element) == reinterpret_cast<PyTypeObject*>(state.element_type) && state.element_get[f])
        return Ref::steal(state.element_get[f](element, state.element_closure[f]));
    return rt::getattr(element, state.field_names[f]);
}

// ---- text.cpp: strings ----

// Whether two exact strs hold the same characters.
bool str_equal(PyObject* a, PyObject* b) noexcept;
// `a == b` for a tag or kind value against an exact str constant.
bool equals(PyObject* value, PyObject* constant);

// The whitespace normaliser: runs of whitespace outside quoted sections and block comments
// become one space, "--" comments count as whitespace, ends are trimmed. A "#" comment (a "#"
// not followed by "{") is kept to its line end and always followed by one line break, also at
// the end of the text; `tail_comment` gets the position of the "#" whose comment ends the
// result, or -1. Text without quotes or comments gives " ".join(text.split()). `s` is a str
// (subclasses read as str).
Ref normalise(PyObject* s, Py_ssize_t& tail_comment);
Ref normalise(PyObject* s);
// ParseMapper._format_sql for any object (non-str objects go through strip/split/join).
Ref format_sql(PyObject* sql);

// Accumulates the pieces of one text the way `ret += piece` does, joining once at the end.
// A body walk starts from "" and adds each piece; the text of parse_element's own result
// (`whole`) may instead be one element's value exactly as that element's kind returns it.
class Text {
public:
    Text() noexcept = default;
    explicit Text(bool whole) noexcept : whole_(whole) {}
    ~Text();
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    // ret += piece (piece taken over); anything but an exact str goes through Python's `+=`.
    void add(Ref piece);
    // An element's value: parse_element's result is that very object, a body adds it.
    void take(Ref value);
    // The accumulated value: a str, or whatever a non-str piece turned it into.
    Ref finish();
    // The pieces so far are exact strs (nothing has taken the text over).
    bool plain() const noexcept { return !generic_; }

private:
    void push(PyObject* s);
    Ref join();

    static constexpr size_t inline_capacity = 4;
    PyObject* inline_[inline_capacity];
    PyObject** data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = inline_capacity;
    Ref generic_;
    bool whole_ = false;
};

// ---- trim.cpp: prefix/suffix trimming and the where clause ----

// One override string of a trim set, ordered longest first before use.
struct Override {
    Ref value;
    Py_ssize_t length;
};
// Orders overrides longest first, keeping the given order among equal lengths.
void order_overrides(std::vector<Override>& overrides);
// _trim_prefix / _trim_suffix over an ordered override list.
// The overrides of a set (len() of each), ordered.
std::vector<Override> overrides_of(PyObject* set);
Ref trim_text(PyObject* s, const std::vector<Override>& overrides, bool suffix);
// The where element's clause from its evaluated body.
Ref where_clause(PyObject* body);

Ref trim_prefix_fn(const Args& a);
Ref trim_suffix_fn(const Args& a);

// ---- evaluate.cpp: parse_element ----

Ref parse_element_fn(const Args& a);
// Appends the evaluation of each child of `element` (and the tails) to `out`, as the statement
// accessors do for a statement body; `param` is the evaluation dictionary.
void evaluate_body(PyObject* self, PyObject* element, PyObject* param, Text& out);

// ---- prepare.cpp: statement preparation ----

Ref to_prepared_statement_fn(const Args& a);
Ref format_sql_fn(const Args& a);
Ref to_replace_fn(const Args& a);
// text(sql) through the module global `text`, served from the clause cache when it is
// SQLAlchemy's own function.
Ref make_clause(PyObject* sql);

// ---- load.cpp / access.cpp ----

Ref init_fn(const Args& a);
Ref get_sql_fn(const Args& a);
Ref list_statement_fn(const Args& a);
Ref select_fn(const Args& a);
Ref insert_fn(const Args& a);
Ref update_fn(const Args& a);
Ref delete_fn(const Args& a);

// ---- notes (access.cpp) ----

// The statement an accessor is preparing on this thread, innermost first: a failing condition
// names it in its note when it belongs to the same mapper.
struct StatementScope;
extern thread_local StatementScope* current_statement;
struct StatementScope {
    StatementScope(PyObject* mapper_, PyObject* id_) noexcept : mapper(mapper_), id(id_), outer(current_statement) {
        current_statement = this;
    }
    ~StatementScope() { current_statement = outer; }
    StatementScope(const StatementScope&) = delete;
    StatementScope& operator=(const StatementScope&) = delete;
    PyObject* mapper;
    PyObject* id;
    StatementScope* outer;
};

// Adds the note of a failing condition (its element's tag and test text, and the statement when
// one is being prepared) to the exception in flight.
[[gnu::cold]] void note_condition(PyObject* mapper, PyObject* element, PyObject* test) noexcept;

// ---- shared helpers (access.cpp) ----

// A module global, or the NameError of an unbound global name.
Ref global(PyObject* name);
// `element.attrib[name]`.
Ref attribute(PyObject* element, PyObject* name);
// `sql, binds = value`: unpacks exactly two items as an assignment does.
inline void unpack2(PyObject* value, Ref& first, Ref& second) {
    Ref parts[2];
    rt::unpack(value, parts, 2);
    first = std::move(parts[0]);
    second = std::move(parts[1]);
}
// `a + b` for strs (and Python's + for anything else).
Ref concat(PyObject* a, PyObject* b);

}  // namespace velmo::drovik
