// The elements of a mapper file as loading and evaluation read them: the statement tags that the
// mapper element holds, and the element kinds of a statement body with the attributes each of
// them reads. velmo.mapper.drovik loads and evaluates by these tables and velmo.mapper.checker
// checks by them, so what the checker accepts is what evaluation reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "../runtime/names.hpp"

namespace velmo::mapper {

// ---- statements ----

enum class StatementKind : uint8_t { Sql, Select, Insert, Update, Delete, Count };

struct StatementRule {
    StatementKind kind;
    const char* tag;
    bool result_type;  // loading resolves its resultType attribute
};

// The children of the mapper element that loading keeps, in the order sql_id_type_list lists them.
inline constexpr StatementRule statements[] = {
    {StatementKind::Sql, "sql", false},       {StatementKind::Select, "select", true},
    {StatementKind::Insert, "insert", false}, {StatementKind::Update, "update", false},
    {StatementKind::Delete, "delete", false},
};

constexpr const char* tag_of(StatementKind kind) { return statements[static_cast<size_t>(kind)].tag; }

// The rule of a statement tag, or nullptr for a child that loading skips.
constexpr const StatementRule* statement_rule(std::string_view tag) {
    for (const StatementRule& s : statements)
        if (tag == s.tag) return &s;
    return nullptr;
}

// ---- body elements ----

// The attributes that evaluation reads of a body element.
// clang-format off
#define MAPPER_ATTRIBUTES(X)                                                                                          \
    X(Refid, "refid") X(Test, "test") X(Prefix, "prefix") X(Suffix, "suffix")                                         \
    X(PrefixOverrides, "prefixOverrides") X(SuffixOverrides, "suffixOverrides") X(Item, "item")                       \
    X(Collection, "collection") X(Open, "open") X(Close, "close") X(Separator, "separator")
// clang-format on
VELMO_ENUM(Attribute, attribute_names, MAPPER_ATTRIBUTES)

// A set of attributes; they are listed in the order of Attribute.
class Attributes {
public:
    constexpr Attributes() noexcept = default;
    template <class... More>
    constexpr Attributes(Attribute first, More... more) noexcept : bits_(bit(first) | (bit(more) | ... | 0u)) {}

    constexpr bool contains(Attribute a) const noexcept { return (bits_ & bit(a)) != 0; }

    // Calls f(attribute) for each member, in order.
    template <class F>
    constexpr void each(F&& f) const {
        for (size_t a = 0; a < static_cast<size_t>(Attribute::Count); ++a)
            if (contains(static_cast<Attribute>(a))) f(static_cast<Attribute>(a));
    }

private:
    static constexpr uint32_t bit(Attribute a) noexcept { return uint32_t{1} << static_cast<unsigned>(a); }
    uint32_t bits_ = 0;
};

constexpr const char* name_of(Attribute a) { return attribute_names[static_cast<size_t>(a)]; }

enum class ElementKind : uint8_t { Include, Sql, If, Where, Trim, Set, Choose, When, Otherwise, Foreach, Count };

struct ElementRule {
    ElementKind kind;
    const char* tag;
    Attributes reads;
};

// Every kind, in the order parse_element compares an element's tag with them; an element of any
// other tag evaluates to None.
inline constexpr ElementRule elements[] = {
    {ElementKind::Include, "include", {Attribute::Refid}},
    {ElementKind::Sql, "sql", {}},
    {ElementKind::If, "if", {Attribute::Test}},
    {ElementKind::Where, "where", {}},
    {ElementKind::Trim,
     "trim",
     {Attribute::Prefix, Attribute::Suffix, Attribute::PrefixOverrides, Attribute::SuffixOverrides}},
    {ElementKind::Set, "set", {}},
    {ElementKind::Choose, "choose", {}},
    {ElementKind::When, "when", {Attribute::Test}},
    {ElementKind::Otherwise, "otherwise", {}},
    {ElementKind::Foreach,
     "foreach",
     {Attribute::Item, Attribute::Collection, Attribute::Open, Attribute::Close, Attribute::Separator}},
};

constexpr const ElementRule& rule_of(ElementKind kind) { return elements[static_cast<size_t>(kind)]; }
constexpr const char* tag_of(ElementKind kind) { return rule_of(kind).tag; }

// The rule of a body element's tag, or nullptr.
constexpr const ElementRule* element_rule(std::string_view tag) {
    for (const ElementRule& e : elements)
        if (tag == e.tag) return &e;
    return nullptr;
}

// ---- expansion ----

// The most characters the evaluation of one statement may make, counting every character of
// text, tails and added attributes each time it is added, and element_share for each element
// evaluated: far above any real statement, low enough that includes fanning out, or foreach
// elements nested in each other, are refused within a fraction of a second.
inline constexpr Py_ssize_t expanded_text_limit = Py_ssize_t{1} << 26;
inline constexpr Py_ssize_t element_share = 16;
// The attributes whose text evaluation adds around the bodies of trim and foreach.
inline constexpr Attributes added_attributes{Attribute::Prefix, Attribute::Suffix, Attribute::Open, Attribute::Close,
                                             Attribute::Separator};

// Each table is indexed by its kind.
constexpr bool indexed_by_kind() {
    for (size_t i = 0; i < std::size(statements); ++i)
        if (static_cast<size_t>(statements[i].kind) != i) return false;
    for (size_t i = 0; i < std::size(elements); ++i)
        if (static_cast<size_t>(elements[i].kind) != i) return false;
    return std::size(statements) == static_cast<size_t>(StatementKind::Count) &&
           std::size(elements) == static_cast<size_t>(ElementKind::Count);
}
static_assert(indexed_by_kind());

}  // namespace velmo::mapper
