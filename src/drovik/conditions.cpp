// eval of the conditions and collections of a mapper, compiled once per text.
//
// While the module global `eval` is the built-in, a text is compiled once, as eval compiles it,
// and its code object run the way eval runs it, including the __builtins__ entry that eval
// stores in globals lacking one. The shapes of condition that mapper files use most are tested
// without running the interpreter: `params.get(K)` or `params[K]`, alone or followed by
// `is None`, `is not None`, `== V` or `!= V`, and `K in params`, `K not in params`, where K is a
// plain string literal, V a string literal, a decimal int, None, True or False, and `params` an
// exact dict of the evaluation globals. Each makes the very dict lookup and comparison the
// bytecode makes; where `params[K]` finds no key, the code runs and raises as eval would.
#include <cstring>
#include <string>
#include <string_view>

#include "../mapper/compile.hpp"
#include "drovik.hpp"

namespace velmo::drovik {

using namespace velmo::rt;

namespace {

// How a condition reads params, and what it does with the value.
enum class Access : long { Code, Get, Index, Contains };
enum class Test : long { Truth, IsNone, IsNotNone, Eq, Ne, In, NotIn };

struct Shape {
    Access access = Access::Code;
    Test test = Test::Truth;
    std::string key;
    Ref value;  // V of == and !=
};

// Reads the shapes above from the UTF-8 source of a condition (spaces and tabs between tokens).
class ShapeReader {
public:
    ShapeReader(const char* text, size_t size) : p_(text), end_(text + size) {}

    Shape read() {
        Shape shape;
        if (word("params")) {
            if (punct('.') && word("get") && punct('(') && literal(shape.key) && punct(')'))
                shape.access = Access::Get;
            else if (punct('[') && literal(shape.key) && punct(']'))
                shape.access = Access::Index;
            else
                return {};
            if (done()) return shape;
            if (word("is")) {
                shape.test = word("not") ? Test::IsNotNone : Test::IsNone;
                if (word("None") && done()) return shape;
                return {};
            }
            if (op("==") || op("!=")) {
                shape.test = p_[-2] == '=' ? Test::Eq : Test::Ne;
                if ((shape.value = constant()) && done()) return shape;
            }
            return {};
        }
        if (literal(shape.key)) {
            shape.access = Access::Contains;
            shape.test = word("not") ? Test::NotIn : Test::In;
            if (word("in") && word("params") && done()) return shape;
        }
        return {};
    }

private:
    static bool name_char(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               static_cast<unsigned char>(c) >= 0x80;
    }
    void blanks() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t')) ++p_;
    }
    bool word(const char* w) {
        blanks();
        size_t n = std::strlen(w);
        if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, w, n) != 0 || (p_ + n < end_ && name_char(p_[n])))
            return false;
        p_ += n;
        return true;
    }
    bool punct(char c) {
        blanks();
        if (p_ == end_ || *p_ != c) return false;
        ++p_;
        return true;
    }
    // "==" or "!=", not followed by another "=".
    bool op(const char* o) {
        blanks();
        if (end_ - p_ < 2 || p_[0] != o[0] || p_[1] != o[1] || (end_ - p_ > 2 && p_[2] == '=')) return false;
        p_ += 2;
        return true;
    }
    // A plain string literal: a quote, no backslash or line break, the same quote.
    bool literal(std::string& out) {
        blanks();
        if (p_ == end_ || (*p_ != '\'' && *p_ != '"')) return false;
        char quote = *p_;
        const char* start = ++p_;
        while (p_ < end_ && *p_ != quote && *p_ != '\\' && *p_ != '\n' && *p_ != '\r') ++p_;
        if (p_ == end_ || *p_ != quote) return false;
        out.assign(start, static_cast<size_t>(p_ - start));
        ++p_;
        return true;
    }
    // V: a string literal, a decimal int without leading zeros or "_", None, True or False.
    Ref constant() {
        std::string text;
        if (literal(text))
            return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
        if (word("None")) return none();
        if (word("True")) return Ref::borrow(Py_True);
        if (word("False")) return Ref::borrow(Py_False);
        const char* start = p_;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        if (p_ == start || (p_ < end_ && name_char(*p_)) || (*start == '0' && p_ - start > 1)) return {};
        std::string digits(start, p_);
        return Ref::steal(PyLong_FromString(digits.c_str(), nullptr, 10));
    }
    bool done() {
        blanks();
        return p_ == end_;
    }

    const char* p_;
    const char* end_;
};

// Compiles `source` (an exact str) as eval does. Returns the cache entry: (code,), or
// (code, access, test, K, V) for a shape above.
Ref compile_expression(PyObject* source) {
    Py_ssize_t size = 0;
    const char* utf8 = check(PyUnicode_AsUTF8AndSize(source, &size));
    Ref code = mapper::compile_as_eval(utf8, static_cast<size_t>(size));
    const char* compiled = mapper::eval_source(utf8);
    Shape shape = ShapeReader(compiled, std::strlen(compiled)).read();
    if (shape.access == Access::Code) return tuple({code.get()});
    Ref key = Ref::steal(PyUnicode_DecodeUTF8(shape.key.data(), static_cast<Py_ssize_t>(shape.key.size()), nullptr));
    Ref access = Ref::steal(PyLong_FromLong(static_cast<long>(shape.access)));
    Ref test = Ref::steal(PyLong_FromLong(static_cast<long>(shape.test)));
    return tuple({code.get(), access.get(), test.get(), key.get(), shape.value ? shape.value.get() : Py_None});
}

// The cache entry of a condition text, compiled once (state.code_cache).
Ref compiled(PyObject* source) {
    PyObject* cache = state.code_cache;
    Ref key = PyUnicode_CheckExact(source) ? Ref::borrow(source) : Ref::steal(PyUnicode_FromObject(source));
    if (Ref entry = dict_get(cache, key.get())) return entry;
    Ref entry = compile_expression(key.get());
    if (PyDict_GET_SIZE(cache) >= code_cache_limit) PyDict_Clear(cache);
    dict_set(cache, key.get(), entry.get());
    return entry;
}

// The __builtins__ entry eval stores in globals that lack one.
void give_builtins(PyObject* globals) {
    if (check(PyDict_Contains(globals, state.s_builtins))) return;
    PyObject* builtins = PyEval_GetBuiltins();
    if (!builtins) throw_error();
    dict_set(globals, state.s_builtins, builtins);
}

// Whether eval resolves to the built-in and the source is text: the compiled road.
bool compiled_road(PyObject* source, Ref& eval) {
    eval = load_global(state.globals, state.s_eval);
    return eval.get() == state.builtin_eval && PyUnicode_Check(source);
}

Ref run(PyObject* entry, PyObject* globals) {
    give_builtins(globals);
    return Ref::steal(PyEval_EvalCode(PyTuple_GET_ITEM(entry, 0), globals, globals));
}

}  // namespace

Ref evaluate(PyObject* source, PyObject* globals) {
    Ref eval;
    if (!compiled_road(source, eval)) return call(eval.get(), {source, globals});
    return run(compiled(source).get(), globals);
}

namespace {

// The outcome of a condition of a shape above on the dict `params`, or -1 when its code has to
// run (params[K] without K).
int test_shape(PyObject* entry, PyObject* params) {
    auto access = static_cast<Access>(PyLong_AsLong(PyTuple_GET_ITEM(entry, 1)));
    auto test = static_cast<Test>(PyLong_AsLong(PyTuple_GET_ITEM(entry, 2)));
    PyObject* key = PyTuple_GET_ITEM(entry, 3);
    if (access == Access::Contains) return (check(PyDict_Contains(params, key)) != 0) == (test == Test::In);
    Ref value = dict_get(params, key);
    if (!value) {
        if (access == Access::Index) return -1;
        value = none();
    }
    switch (test) {
        case Test::Truth: return truthy(value.get());
        case Test::IsNone: return value.get() == Py_None;
        case Test::IsNotNone: return value.get() != Py_None;
        case Test::Eq:
        case Test::Ne: {
            Ref result = Ref::steal(
                PyObject_RichCompare(value.get(), PyTuple_GET_ITEM(entry, 4), test == Test::Eq ? Py_EQ : Py_NE));
            return truthy(result.get());
        }
        case Test::In:
        case Test::NotIn: break;
    }
    return -1;
}

}  // namespace

bool test_condition(PyObject* source, PyObject* globals) {
    Ref eval;
    if (!compiled_road(source, eval)) return truthy(call(eval.get(), {source, globals}).get());
    Ref entry = compiled(source);
    if (PyTuple_GET_SIZE(entry.get()) > 1) {
        Ref params = dict_get(globals, state.s_params);
        if (params && PyDict_CheckExact(params.get())) {
            give_builtins(globals);
            if (int outcome = test_shape(entry.get(), params.get()); outcome >= 0) return outcome != 0;
        }
    }
    return truthy(run(entry.get(), globals).get());
}

}  // namespace velmo::drovik
