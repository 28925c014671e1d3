// Tables that a module declares once: its interned names, and enumerations with their texts.
//
// A module lists its interned strings in one X-macro table, `X(field, "text")`; VELMO_NAMES makes
// the struct of PyObject* fields (named s_<field>, the one convention for interned strings) that
// the module's State derives from, and its intern() that fills them when the module initialises:
//
//     #define KESTRUM_NAMES(X) X(commit, "commit") X(enter, "__enter__")
//     VELMO_NAMES(Names, KESTRUM_NAMES)
//     struct State : Names { ... };        // state.s_commit, state.s_enter
//
// VELMO_ENUM ties an enumeration to the table of texts it indexes, so the two cannot drift apart:
//
//     #define ELEMENT_KINDS(X) X(Include, "include") X(Sql, "sql")
//     VELMO_ENUM(Kind, kind_texts, ELEMENT_KINDS)   // enum class Kind {Include, Sql, Count}
#pragma once

#include <cstdint>

#include "ref.hpp"

#define VELMO_NAME_FIELD(field, text) PyObject* s_##field = nullptr;
#define VELMO_NAME_INTERN(field, text) s_##field = ::velmo::rt::kept_name(text);
// clang-format off
#define VELMO_NAMES(TYPE, TABLE)                                                                                      \
    struct TYPE {                                                                                                     \
        TABLE(VELMO_NAME_FIELD)                                                                                       \
        void intern() { TABLE(VELMO_NAME_INTERN) }                                                                    \
    };
// clang-format on

#define VELMO_ENUM_VALUE(value, text) value,
#define VELMO_ENUM_TEXT(value, text) text,
// clang-format off
#define VELMO_ENUM(ENUM, TEXTS, TABLE)                                                                                \
    enum class ENUM : uint8_t { TABLE(VELMO_ENUM_VALUE) Count };                                                      \
    inline constexpr const char* TEXTS[] = {TABLE(VELMO_ENUM_TEXT)};                                                  \
    static_assert(sizeof(TEXTS) / sizeof(TEXTS[0]) == static_cast<size_t>(ENUM::Count));
// clang-format on

namespace velmo::rt {

// A tuple of interned names, kept for the life of the process (keyword names of calls).
PyObject* kept_names(std::initializer_list<const char*> names);

}  // namespace velmo::rt
