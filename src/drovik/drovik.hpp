// velmo.mapper.drovik: what the module's files share.
//
// The module state, the names it interns, and the entry points of each concern: loading
// (load.cpp), evaluation of dynamic elements (evaluate.cpp), whitespace normalisation and
// trimming (text.cpp, trim.cpp), statement preparation (prepare.cpp) and the accessors
// (access.cpp). module.cpp builds the Python-visible namespace from them.
#pragma once

#include <array>
#include <iterator>
#include <vector>

#include "../mapper/elements.hpp"
#include "../mapper/statement_notes.hpp"
#include "../runtime/rt.hpp"

namespace velmo::drovik {

using rt::Args;
using rt::concat;
using rt::Ref;
using rt::str_equal;

using mapper::Attribute;
using mapper::ElementKind;
using mapper::expanded_text_limit;  // also the most a ${} substitution may grow a text to
using mapper::StatementKind;

// clang-format off
#define DROVIK_NAMES(X)                                                                                               \
    X(tag, "tag") X(text, "text") X(tail, "tail") X(attrib, "attrib") X(get, "get") X(keys, "keys")                   \
    X(parse_element, "parse_element") X(to_prepared_statement, "to_prepared_statement")                               \
    X(trim_prefix, "_trim_prefix") X(trim_suffix, "_trim_suffix") X(format_sql, "_format_sql")                        \
    X(select, "select") X(insert, "insert") X(update, "update") X(delete, "delete")                                   \
    X(id_2_element_map, "id_2_element_map") X(result_type_map, "result_type_map")                                     \
    X(sql_type_map, "sql_type_map") X(namespace, "namespace") X(ParseMapper, "ParseMapper") X(re, "re")               \
    X(param_pattern, "param_pattern") X(replace_pattern, "replace_pattern") X(findall, "findall")                     \
    X(sub, "sub") X(replace, "replace") X(strip, "strip") X(split, "split") X(join, "join")                           \
    X(upper, "upper") X(startswith, "startswith") X(endswith, "endswith") X(iter, "iter")                             \
    X(getroot, "getroot") X(parse, "parse") X(et, "et") X(sql_id_type_list, "sql_id_type_list")                       \
    X(get_type_from_string, "get_type_from_string") X(is_container_type_by_str, "is_container_type_by_str")           \
    X(builtins, "__builtins__") X(eval, "eval") X(id, "id") X(resultType, "resultType") X(params, "params")           \
    X(mapper, "mapper") X(empty, "")                                                                                  \
    X(space, " ") X(newline, "\n") X(comma, ",") X(where, "WHERE ") X(set, "SET ")                                    \
    X(returning, " RETURNING ") X(for_index, "_for_index_") X(marker_open, "#{") X(marker_close, "}")                 \
    X(subst_open, "${") X(pipe, "|") X(is_list_head, "isinstance(") X(is_list_tail, ",list)")                         \
    X(copy_head, "[item for item in ") X(copy_tail, "]") X(sub_pattern, "#\\{([^}]+)\\}")                             \
    X(sub_replacement, ":\\1") X(container_message, "please check result_type: can`t set type: ")                     \
    X(cannot_import, "无法导入类型 ") X(unknown_type, "未知的类型: ") X(notes, "__notes__")                         \
    X(cannot_import_note, "cannot import result type ") X(unknown_type_note, "unknown result type ")
// clang-format on
VELMO_NAMES(Names, DROVIK_NAMES)

// The element fields the walk reads, and the names they are read under.
enum class Field : uint8_t { Tag, Text, Tail, Attrib, Count };

// One bound of the mapper's caches: the clause cache by its estimated memory, the code cache by
// its entries (expressions come from mapper files, so their set is small; the bound only guards
// against callers that make up new texts forever).
inline constexpr Py_ssize_t clause_cache_budget = 4 << 20;
inline constexpr Py_ssize_t code_cache_limit = 4096;

// One override string of a trim set, ordered longest first before use.
struct Override {
    Ref value;
    Py_ssize_t length;
};

struct State : Names {
    PyObject* globals;       // the module's namespace, read at call time like module globals
    PyObject* mapper_class;  // ParseMapper as built at import
    PyObject* element_type;  // xml.etree.ElementTree.Element
    // ElementTree's own getters of the fields (NULL where a field is no plain getset).
    getter element_get[static_cast<int>(Field::Count)];
    void* element_closure[static_cast<int>(Field::Count)];
    PyObject* sqlalchemy_text;  // sqlalchemy.text as imported
    PyObject* re_module;        // re as imported
    PyObject* re_sub;           // re.sub as imported
    PyObject* param_pattern;    // as compiled at import
    PyObject* builtin_eval;     // builtins.eval, run natively while `eval` resolves to it
    // wollix's functions as imported: while the globals name them, a type text resolves once per load.
    PyObject* own_get_type_from_string;
    PyObject* own_is_container_type_by_str;
    PyObject* kinds[static_cast<int>(ElementKind::Count)];             // the element tags, interned
    PyObject* attributes[static_cast<int>(Attribute::Count)];          // the attribute names, interned
    PyObject* statement_tags[static_cast<int>(StatementKind::Count)];  // the statement tags, interned

    // The objects that ParseMapper's namespace holds, to recognise an override.
    PyObject* own_parse_element;
    PyObject* own_trim_prefix;  // the staticmethod objects
    PyObject* own_trim_suffix;
    PyObject* own_format_sql;

    // Caches and scratch space, filled at call time.
    PyObject* code_cache;    // condition text -> (code object, shape, key): conditions.cpp
    PyObject* clause_cache;  // final SQL text -> TextClause, oldest first
    Py_ssize_t clause_cache_weight;
    std::vector<char> scratch;             // the normaliser's and the marker rewrite's output buffer
    std::vector<Override> comma_override;  // set's prefix override, {","}
};
extern State state;

// The name each field is read under.
inline PyObject* field_name(Field f) {
    static constexpr PyObject* State::* names[] = {&State::s_tag, &State::s_text, &State::s_tail, &State::s_attrib};
    static_assert(std::size(names) == static_cast<size_t>(Field::Count));
    return state.*names[static_cast<int>(f)];
}

// The name of an attribute of a body element, and the tag of a statement kind.
inline PyObject* attribute_name(Attribute a) { return state.attributes[static_cast<int>(a)]; }
inline PyObject* statement_tag(StatementKind k) { return state.statement_tags[static_cast<int>(k)]; }

// element.tag / .text / .tail / .attrib: ElementTree's getter called directly for its own
// (immutable) element type, the attribute lookup for anything else.
inline Ref field(PyObject* element, Field f) {
    int i = static_cast<int>(f);
    if (Py_TYPE(element) == reinterpret_cast<PyTypeObject*>(state.element_type) && state.element_get[i])
        return Ref::steal(state.element_get[i](element, state.element_closure[i]));
    return rt::getattr(element, field_name(f));
}

// ---- text.cpp: strings ----

// The whitespace normaliser, under the readings of every database (sql/reading.hpp): runs of
// whitespace outside strings become one space, ends are trimmed, a "--" comment before
// whitespace is removed; a "#" comment and any other "--" comment is kept to its line end and
// always followed by one line break, also at the end of the text; strings stay verbatim and
// block comments keep their text. Text without quotes or comments gives " ".join(text.split()).
// `s` is a str (subclasses read as str).
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
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    // ret += piece (piece taken over); anything but an exact str goes through Python's `+=`.
    void add(Ref piece);
    // An element's value: parse_element's result is that very object, a body adds it.
    void take(Ref value);
    // The accumulated value: a str, or whatever a non-str piece turned it into.
    Ref finish();

    // The str pieces so far, in order (while no piece that is not a str made the text generic).
    bool generic() const noexcept { return static_cast<bool>(generic_); }
    size_t pieces() const noexcept { return size_; }
    PyObject* piece(size_t i) const noexcept {
        return (i < inline_capacity ? first_[i] : more_[i - inline_capacity]).get();
    }

private:
    void push(Ref s);
    void clear() noexcept;
    Ref join();

    // The pieces (non-empty exact str objects): most texts have few, which are kept in place
    // rather than in an allocation of their own.
    static constexpr size_t inline_capacity = 4;
    std::array<Ref, inline_capacity> first_;
    std::vector<Ref> more_;
    size_t size_ = 0;
    Ref generic_;
    bool whole_ = false;
};

// ---- trim.cpp: prefix/suffix trimming and the where clause ----

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

// ---- conditions.cpp: eval of conditions and collections ----

// eval(source, globals) for a dict `globals`, with `eval` looked up as a global name of the module.
Ref evaluate(PyObject* source, PyObject* globals);
// bool(eval(source, globals)), for a condition.
bool test_condition(PyObject* source, PyObject* globals);

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
VELMO_COLD void note_condition(PyObject* mapper, PyObject* element, PyObject* test) noexcept;

// ---- shared helpers (access.cpp) ----

// Whether ParseMapper.<name>, read through the module global, is still our own static method.
bool own_static(PyObject* name, PyObject* ours);
// ParseMapper.<name>(args...) through the module global.
Ref call_static(PyObject* name, std::initializer_list<PyObject*> args);
// `element.attrib[name]`.
Ref attribute(PyObject* element, PyObject* name);
// `sql, binds = value`: unpacks exactly two items as an assignment does.
inline void unpack2(PyObject* value, Ref& first, Ref& second) {
    Ref parts[2];
    rt::unpack(value, parts, 2);
    first = std::move(parts[0]);
    second = std::move(parts[1]);
}

}  // namespace velmo::drovik
