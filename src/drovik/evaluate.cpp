// Dynamic SQL evaluation: ParseMapper.parse_element and the element kinds.
//
// The native walk appends each element's text to its caller's accumulator instead of building
// a string per element; only where, trim, set and foreach need their body as one string. Each
// child goes through self.parse_element unless that still is this module's own method, so a
// subclass or instance override is honoured exactly where Python would call it. Every element
// level holds a recursion guard, and the recursive frames stay small, so deep nesting and
// include cycles end in RecursionError.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "../sql/reading.hpp"
#include "drovik.hpp"

namespace velmo::drovik {

using namespace velmo::rt;

namespace {

// ---- override checks ----

// Whether self.parse_element still is ParseMapper's own method (no override on the instance,
// its class or a base), so the walk may call it natively.
bool own_parse_element(PyObject* self) { return is_own_method(self, state.s_parse_element, state.own_parse_element); }

// ---- the walk ----

// What the body walk that ended last has read: the pieces [start, end) of `text`, from the state
// a text starts in. The body around it takes the reading over instead of reading them again.
struct BodyReading {
    const Text* text = nullptr;
    size_t start = 0, end = 0;
    sql::Tail reading;
};

// What one evaluation has made so far, against expanded_text_limit: every character of text,
// tails and attributes (prefix, suffix, open, close, separator) it adds, each time it adds them,
// each foreach item's text, and a share for each element evaluated. The statement's text is
// never longer; includes that
// fan out or foreach elements nested in each other are refused long before their text would be
// made, also when their elements hold no text.
class Expansion {
public:
    explicit Expansion(PyObject* self) noexcept : self_(self) {}
    void charge(Py_ssize_t characters) {
        made_ += characters;
        if (made_ > expanded_text_limit) [[unlikely]]
            refuse();
    }
    // A piece about to be added, when it is a str.
    void charge(PyObject* piece) {
        if (PyUnicode_Check(piece)) charge(PyUnicode_GET_LENGTH(piece));
    }

private:
    [[noreturn, gnu::cold]] void refuse() const {
        const StatementScope* scope = current_statement;
        if (scope && scope->mapper == self_) {
            Ref name = mapper::statement_name(self_, scope->id, nullptr);
            raise_format(PyExc_MemoryError,
                         "statement %S would expand to more than %zd characters (includes that fan out, or "
                         "foreach elements nested in each other, multiply its text)",
                         name.get(), expanded_text_limit);
        }
        raise_format(PyExc_MemoryError,
                     "a mapper element would expand to more than %zd characters (includes that fan out, or foreach "
                     "elements nested in each other, multiply its text)",
                     expanded_text_limit);
    }

    PyObject* self_;
    Py_ssize_t made_ = 0;
};

struct Walk {
    PyObject* self;
    PyObject* param;    // the evaluation dictionary
    uintptr_t floor;    // lowest stack address the walk may use
    BodyReading* last;  // filled by every body walk as it ends
    Expansion* made;
};

bool emit(const Walk& w, PyObject* element, Text& out);

// Calls f(child) for each child element in document order until f returns false.
template <class F>
void for_children(PyObject* element, F&& f) {
    PyTypeObject* tp = Py_TYPE(element);
    if (tp == reinterpret_cast<PyTypeObject*>(state.element_type)) {
        // ElementTree elements iterate as sequences.
        PySequenceMethods* sq = tp->tp_as_sequence;
        for (Py_ssize_t i = 0;; ++i) {
            Py_ssize_t n = sq->sq_length(element);
            if (n < 0) throw_error();
            if (i >= n) break;
            Ref child = Ref::steal(sq->sq_item(element, i));
            if (!f(child.get())) break;
        }
        return;
    }
    for_each(element, f);
}

// The overridden self.parse_element(child, param), appended to out; false when it gives None.
// `prefixed`: the value is "" + self.parse_element(...), as include and choose build it.
VELMO_NOINLINE bool emit_override(const Walk& w, PyObject* child, Text& out, bool prefixed) {
    Ref r = call_method(w.self, state.s_parse_element, {child, w.param});
    if (prefixed) {
        if (!PyUnicode_CheckExact(r.get())) r = concat(state.s_empty, r.get());
        out.take(std::move(r));
        return true;
    }
    if (r.get() == Py_None) return false;
    out.add(std::move(r));
    return true;
}

// out += self.parse_element(child, param) (or "" + it); false (nothing added) when that gives
// None.
inline bool emit_child(const Walk& w, PyObject* child, Text& out, bool prefixed = false) {
    if (own_parse_element(w.self)) return emit(w, child, out);
    return emit_override(w, child, out, prefixed);
}

// A line comment ends with the text it is written in: where the text a body has added to `out`
// so far ends inside one (under any database's reading, with the body's own quote state), a
// line break goes there, so that nothing added after it (a child's text, a tail, the text after
// the element) joins the comment.
class CommentEnds {
public:
    // A record left by a body on a Text that is gone may name this one's address: none is
    // taken over before a body inside this one has left its own.
    CommentEnds(Text& out, BodyReading* last) noexcept : out_(out), start_(out.pieces()), read_(start_), last_(last) {
        last_->text = nullptr;
    }

    void close() {
        adopt();
        if (!catch_up() || !reading_.in_line_comment()) return;
        out_.add(Ref::borrow(state.s_newline));
        catch_up();
    }

    // Hands what this body read to the body around it.
    void publish() const {
        if (lost_)
            last_->text = nullptr;
        else
            *last_ = {&out_, start_, read_, reading_};
    }

private:
    // A child's body that has just read the pieces from here on, from the state this reading
    // is in, read them as this one would.
    void adopt() {
        if (lost_ || last_->text != &out_ || last_->start != read_ || last_->end > out_.pieces() ||
            !reading_.at_start_of_token())
            return;
        reading_ = last_->reading;
        read_ = last_->end;
    }

    // Reads the pieces added since; false once a piece that is no str hid them.
    bool catch_up() {
        if (out_.generic() || out_.pieces() < read_) lost_ = true;
        if (lost_) return false;
        for (; read_ < out_.pieces(); ++read_) reading_.read(out_.piece(read_));
        return true;
    }

    Text& out_;
    size_t start_, read_;
    BodyReading* last_;
    bool lost_ = false;
    sql::Tail reading_;
};

// The body walk: the element's text, then each child's evaluation and tail. A statement's own
// body is followed by nothing: its end is left to the preparation, which ends a final comment.
void body(const Walk& w, PyObject* element, Text& out, bool statement = false) {
    CommentEnds comments(out, w.last);
    Ref text = field(element, Field::Text);
    if (text.get() != Py_None) {
        w.made->charge(text.get());
        out.add(std::move(text));
    }
    for_children(element, [&](PyObject* child) {
        comments.close();
        // Appending None raises str's own TypeError.
        if (!emit_child(w, child, out)) out.add(none());
        Ref tail = field(child, Field::Tail);
        if (tail.get() != Py_None) {
            comments.close();
            w.made->charge(tail.get());
            out.add(std::move(tail));
        }
        return true;
    });
    if (statement) return;
    comments.close();
    comments.publish();
}

// The body walk as one value.
Ref body_text(const Walk& w, PyObject* element) {
    Text inner;
    body(w, element, inner);
    return inner.finish();
}

// element.attrib.get(name, "")
Ref optional_attribute(PyObject* element, PyObject* name) {
    Ref attrib = field(element, Field::Attrib);
    if (PyDict_CheckExact(attrib.get())) {
        Ref v = dict_get(attrib.get(), name);
        return v ? v : Ref::borrow(state.s_empty);
    }
    return call_method(attrib.get(), state.s_get, {name, state.s_empty});
}

// Whether element.attrib holds `name`.
bool has_attribute(PyObject* element, PyObject* name) {
    Ref attrib = field(element, Field::Attrib);
    return check(PySequence_Contains(attrib.get(), name)) != 0;
}

// The kind of a tag: the first of the kinds (in the order parse_element compares) equal to it;
// ElementKind::Count for any other tag.
ElementKind kind_of(PyObject* tag) {
    for (int k = 0; k < static_cast<int>(ElementKind::Count); ++k)
        if (equal(tag, state.kinds[k])) return static_cast<ElementKind>(k);
    return ElementKind::Count;
}

VELMO_NOINLINE void emit_include(const Walk& w, PyObject* element, Text& out) {
    Ref refid = attribute(element, attribute_name(Attribute::Refid));
    Ref map = getattr(w.self, state.s_id_2_element_map);
    Ref target = Ref::steal(PyObject_GetItem(map.get(), refid.get()));
    if (!emit_child(w, target.get(), out, true)) out.add(none());
}

// eval(test, param) taken for its truth; what fails there is noted with the condition.
bool condition(const Walk& w, PyObject* element, PyObject* test) {
    try {
        return test_condition(test, w.param);
    } catch (const PyErrorSet&) {
        note_condition(w.self, element, test);
        throw;
    }
}

VELMO_NOINLINE void emit_if(const Walk& w, PyObject* element, Text& out) {
    Ref test = attribute(element, attribute_name(Attribute::Test));
    if (condition(w, element, test.get())) body(w, element, out);
}

VELMO_NOINLINE void emit_where(const Walk& w, PyObject* element, Text& out) {
    Ref temp = body_text(w, element);
    out.add(where_clause(temp.get()));
}

// A trim attribute's override set: its "|"-separated pieces, stripped.
std::vector<Override> override_list(PyObject* value) {
    if (!PyUnicode_CheckExact(value)) {
        // Not text: {piece.strip() for piece in value.split("|")} through Python.
        Ref set = Ref::steal(PySet_New(nullptr));
        Ref pieces = call_method(value, state.s_split, {state.s_pipe});
        for_each(pieces.get(),
                 [&](PyObject* piece) { check(PySet_Add(set.get(), call_method(piece, state.s_strip).get())); });
        return overrides_of(set.get());
    }
    // Equal-length overrides can never both match, so neither duplicates nor the set's order
    // change a result: a list ordered longest first does what the set does.
    std::vector<Override> list;
    Ref pieces = Ref::steal(PyUnicode_Split(value, state.s_pipe, -1));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces.get()); ++i) {
        Ref piece = call_method(PyList_GET_ITEM(pieces.get(), i), state.s_strip);
        Py_ssize_t len = PyUnicode_GET_LENGTH(piece.get());
        list.push_back({std::move(piece), len});
    }
    order_overrides(list);
    return list;
}

// The override set as the Python set that ParseMapper._trim_prefix / _trim_suffix receive.
Ref override_set(const std::vector<Override>& list) {
    Ref set = Ref::steal(PySet_New(nullptr));
    for (const Override& o : list) check(PySet_Add(set.get(), o.value.get()));
    return set;
}

// ParseMapper._trim_prefix(ret, overrides) or _trim_suffix, natively unless overridden.
Ref trim_call(PyObject* ret, const std::vector<Override>& overrides, bool suffix) {
    PyObject* name = suffix ? state.s_trim_suffix : state.s_trim_prefix;
    PyObject* ours = suffix ? state.own_trim_suffix : state.own_trim_prefix;
    if (own_static(name, ours)) {
        if (!PyUnicode_CheckExact(ret)) raise_argument_type("s", "str", ret);
        return trim_text(ret, overrides, suffix);
    }
    Ref set = override_set(overrides);
    return call_static(name, {ret, set.get()});
}

VELMO_NOINLINE void emit_trim(const Walk& w, PyObject* element, Text& out) {
    Ref prefix = optional_attribute(element, attribute_name(Attribute::Prefix));
    Ref suffix = optional_attribute(element, attribute_name(Attribute::Suffix));
    std::vector<Override> prefixes, suffixes;
    if (has_attribute(element, attribute_name(Attribute::PrefixOverrides)))
        prefixes = override_list(attribute(element, attribute_name(Attribute::PrefixOverrides)).get());
    if (has_attribute(element, attribute_name(Attribute::SuffixOverrides)))
        suffixes = override_list(attribute(element, attribute_name(Attribute::SuffixOverrides)).get());
    Ref ret = body_text(w, element);
    if (!prefixes.empty()) ret = trim_call(ret.get(), prefixes, false);
    if (!suffixes.empty()) ret = trim_call(ret.get(), suffixes, true);
    w.made->charge(prefix.get());
    w.made->charge(suffix.get());
    // prefix + " " + ret + " " + suffix
    if (PyUnicode_CheckExact(prefix.get()) && PyUnicode_CheckExact(ret.get()) && PyUnicode_CheckExact(suffix.get())) {
        out.add(std::move(prefix));
        out.add(Ref::borrow(state.s_space));
        out.add(std::move(ret));
        out.add(Ref::borrow(state.s_space));
        out.add(std::move(suffix));
        return;
    }
    Ref s = concat(concat(concat(concat(prefix.get(), state.s_space).get(), ret.get()).get(), state.s_space).get(),
                   suffix.get());
    out.take(std::move(s));
}

VELMO_NOINLINE void emit_set(const Walk& w, PyObject* element, Text& out) {
    Ref ret = body_text(w, element);
    Ref trimmed = trim_call(ret.get(), state.comma_override, false);
    if (PyUnicode_CheckExact(trimmed.get())) {
        out.add(Ref::borrow(state.s_set));
        out.add(std::move(trimmed));
    } else {
        out.take(concat(state.s_set, trimmed.get()));
    }
}

VELMO_NOINLINE bool emit_choose(const Walk& w, PyObject* element, Text& out) {
    PyObject* when = state.kinds[static_cast<int>(ElementKind::When)];
    PyObject* otherwise = state.kinds[static_cast<int>(ElementKind::Otherwise)];
    bool chosen = false;
    for_children(element, [&](PyObject* child) {
        Ref tag = field(child, Field::Tag);
        if (!equal(tag.get(), when)) return true;
        Ref test = attribute(child, attribute_name(Attribute::Test));
        if (!condition(w, child, test.get())) return true;
        // "" + self.parse_element(child, param)
        if (!emit_child(w, child, out, true)) out.add(none());
        chosen = true;
        return false;
    });
    if (chosen) return true;
    Ref fallback;
    for_children(element, [&](PyObject* child) {
        Ref tag = field(child, Field::Tag);
        if (!equal(tag.get(), otherwise)) return true;
        fallback = Ref::borrow(child);
        return false;
    });
    if (!fallback) raise_exception("Missing otherwise element");
    if (own_parse_element(w.self)) return emit(w, fallback.get(), out);
    // return self.parse_element(otherwise, param): an override's value as it is.
    Ref r = call_method(w.self, state.s_parse_element, {fallback.get(), w.param});
    if (r.get() == Py_None) return false;
    out.take(std::move(r));
    return true;
}

// "#{" + collection + "_for_index_" + str(index) + "}" from its first part (an exact str).
Ref index_marker(PyObject* head, Py_ssize_t index) {
    char digits[24];
    int nd = 0;
    for (size_t v = static_cast<size_t>(index); nd == 0 || v; v /= 10) digits[nd++] = static_cast<char>('0' + v % 10);
    Py_ssize_t n = PyUnicode_GET_LENGTH(head);
    Ref out = Ref::steal(PyUnicode_New(n + nd + 1, PyUnicode_MAX_CHAR_VALUE(head)));
    int kind = PyUnicode_KIND(out.get());
    void* data = PyUnicode_DATA(out.get());
    std::memcpy(data, PyUnicode_DATA(head), static_cast<size_t>(n) * kind);
    for (int k = 0; k < nd; ++k) PyUnicode_WRITE(kind, data, n + k, digits[nd - 1 - k]);
    PyUnicode_WRITE(kind, data, n + nd, '}');
    return out;
}

VELMO_NOINLINE void emit_foreach(const Walk& w, PyObject* element, Text& out) {
    Ref item = attribute(element, attribute_name(Attribute::Item));
    Ref collection = attribute(element, attribute_name(Attribute::Collection));
    Ref open = attribute(element, attribute_name(Attribute::Open));
    Ref close = attribute(element, attribute_name(Attribute::Close));
    Ref separator = attribute(element, attribute_name(Attribute::Separator));

    // The collection is evaluated against a copy of the caller's parameters, so their dict
    // never receives eval's __builtins__ entry.
    Ref params = Ref::steal(PyObject_GetItem(w.param, state.s_params));
    if (!PyDict_Check(params.get())) raise(PyExc_TypeError, "globals must be a dict");
    Ref globals = Ref::steal(PyDict_Copy(params.get()));
    Ref is_list = evaluate(concat(concat(state.s_is_list_head, collection.get()).get(), state.s_is_list_tail).get(),
                           globals.get());
    if (!truthy(is_list.get())) raise_exception("Collection must be a list");
    Ref list =
        evaluate(concat(concat(state.s_copy_head, collection.get()).get(), state.s_copy_tail).get(), globals.get());
    Py_ssize_t count = PyObject_Size(list.get());
    if (count < 0) throw_error();

    bool plain = PyUnicode_CheckExact(item.get()) && PyUnicode_CheckExact(collection.get());
    Ref old_marker, marker_head;
    if (plain) {
        old_marker = concat(concat(state.s_marker_open, item.get()).get(), state.s_marker_close);
        marker_head = concat(concat(state.s_marker_open, collection.get()).get(), state.s_for_index);
    }
    w.made->charge(open.get());
    w.made->charge(close.get());
    std::vector<Ref> parts;
    parts.reserve(static_cast<size_t>(count));
    bool all_str = true;
    for (Py_ssize_t index = 0; index < count; ++index) {
        Ref child_ret = body_text(w, element);
        Ref old_string = old_marker, new_string;
        if (plain) {
            new_string = index_marker(marker_head.get(), index);
        } else {
            old_string = concat(concat(state.s_marker_open, item.get()).get(), state.s_marker_close);
            Ref number = Ref::steal(PyObject_Str(integer(index).get()));
            new_string =
                concat(concat(concat(concat(state.s_marker_open, collection.get()).get(), state.s_for_index).get(),
                              number.get())
                           .get(),
                       state.s_marker_close);
        }
        Ref replaced = PyUnicode_CheckExact(child_ret.get()) && PyUnicode_CheckExact(old_string.get()) &&
                               PyUnicode_CheckExact(new_string.get())
                           ? Ref::steal(PyUnicode_Replace(child_ret.get(), old_string.get(), new_string.get(), -1))
                           : call_method(child_ret.get(), state.s_replace, {old_string.get(), new_string.get()});
        all_str = all_str && PyUnicode_CheckExact(replaced.get());
        // Each item's text is made once more here: nested foreach elements pay for every level.
        w.made->charge(replaced.get());
        w.made->charge(separator.get());
        parts.push_back(std::move(replaced));
    }

    // open + separator.join(parts) + close
    if (all_str && PyUnicode_CheckExact(open.get()) && PyUnicode_CheckExact(separator.get()) &&
        PyUnicode_CheckExact(close.get())) {
        out.add(std::move(open));
        for (size_t i = 0; i < parts.size(); ++i) {
            if (i) out.add(Ref::borrow(separator.get()));
            out.add(std::move(parts[i]));
        }
        out.add(std::move(close));
        return;
    }
    Ref py_parts = Ref::steal(PyList_New(static_cast<Py_ssize_t>(parts.size())));
    for (size_t i = 0; i < parts.size(); ++i)
        PyList_SET_ITEM(py_parts.get(), static_cast<Py_ssize_t>(i), parts[i].release());
    Ref joined = call_method(separator.get(), state.s_join, {py_parts.get()});
    out.take(concat(concat(open.get(), joined.get()).get(), close.get()));
}

// parse_element's body: appends the element's evaluation to out; false for an element of an
// unlisted tag (parse_element returns None). The frame is kept small: it recurses once per
// nesting level, the kinds with larger frames live in their own functions.
bool emit(const Walk& w, PyObject* element, Text& out) {
    RecursionGuard guard(" while evaluating a mapper element");
    check_stack(w.floor, "maximum recursion depth exceeded while evaluating a mapper element");
    w.made->charge(mapper::element_share);
    Ref tag = field(element, Field::Tag);
    switch (kind_of(tag.get())) {
        case ElementKind::Include: emit_include(w, element, out); return true;
        case ElementKind::Sql:
        case ElementKind::When:
        case ElementKind::Otherwise: body(w, element, out); return true;
        case ElementKind::If: emit_if(w, element, out); return true;
        case ElementKind::Where: emit_where(w, element, out); return true;
        case ElementKind::Trim: emit_trim(w, element, out); return true;
        case ElementKind::Set: emit_set(w, element, out); return true;
        case ElementKind::Choose: return emit_choose(w, element, out);
        case ElementKind::Foreach: emit_foreach(w, element, out); return true;
        case ElementKind::Count: break;
    }
    return false;
}

}  // namespace

Ref parse_element_fn(const Args& a) {
    BodyReading last;
    Expansion made(a[0]);
    Walk w{a[0], a[2], stack_floor(), &last, &made};
    Text out(true);
    if (!emit(w, a[1], out)) return none();
    // A body ends its own comments; what a foreach or trim puts around its bodies (the separator,
    // open, close, prefix, suffix) is read here, as a whole value.
    return sql::end_line_comment(out.finish());
}

void evaluate_body(PyObject* self, PyObject* element, PyObject* param, Text& out) {
    BodyReading last;
    Expansion made(self);
    body(Walk{self, param, stack_floor(), &last, &made}, element, out, true);
}

}  // namespace velmo::drovik
