// velmo.mapper.checker: what the module's files share.
//
// A mapper file is read once by expat into a flat list of elements that carry the parser's
// positions (read.cpp). The rules then walk that list and collect problems: the mapper element
// and its statements (statements.cpp), the dynamic elements of statement bodies (body.cpp), bind
// markers in their text (markers.cpp) and include cycles (includes.cpp). report.cpp runs the
// whole check, formats the problems and holds the command line; module.cpp builds the namespace.
//
// What counts as correct is what ParseMapper accepts: the same mapper element, the same
// statement tags, the same result-type resolution (wollix), the element kinds and attributes
// that evaluation reads, and the marker patterns of statement preparation.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "../runtime/rt.hpp"

namespace velmo::checker {

using rt::Args;
using rt::Ref;

// clang-format off
#define CHECKER_NAMES(X)                                                                                              \
    X(StartElementHandler, "StartElementHandler") X(EndElementHandler, "EndElementHandler")                           \
    X(CharacterDataHandler, "CharacterDataHandler") X(ordered_attributes, "ordered_attributes")                       \
    X(Parse, "Parse") X(CurrentLineNumber, "CurrentLineNumber") X(CurrentColumnNumber, "CurrentColumnNumber")         \
    X(lineno, "lineno") X(offset, "offset") X(code, "code") X(strerror, "strerror") X(msg, "msg")                     \
    X(write, "write") X(namespace_separator, "}")  /* the separator ElementTree's parser gives expat */              \
    X(DefaultHandlerExpand, "DefaultHandlerExpand") X(read, "read") X(close, "close")
// clang-format on
VELMO_NAMES(Names, CHECKER_NAMES)

struct State : Names {
    PyObject* parser_create;         // xml.parsers.expat.ParserCreate
    PyObject* expat_error;           // xml.parsers.expat.ExpatError
    PyObject* error_string;          // xml.parsers.expat.ErrorString
    PyObject* open;                  // io.open
    PyObject* is_keyword;            // keyword.iskeyword
    PyObject* get_type_from_string;  // velmo.utils.wollix, as loading resolves result types
    PyObject* is_container_type_by_str;
    // The handler functions that the reader binds to each parse.
    PyObject* on_start;
    PyObject* on_end;
    PyObject* on_data;
    PyObject* on_default;
    // While the command line checks with --path: the directories a result type was imported
    // from, for the problem of one that does not import ("" otherwise).
    std::string looked_in;
};
extern State state;

// 1-based line and column; line 0 when the problem has no place in the file.
struct Position {
    long line = 0;
    long column = 0;
};

// An element's text or tail (UTF-8), with the parser position of each chunk that expat reported.
// Expat reports line breaks and references as chunks of their own, so no chunk spans lines and a
// position inside one is its start moved by the characters before it.
struct TextRun {
    struct Anchor {
        size_t offset;
        Position at;
    };
    std::string chars;
    std::vector<Anchor> anchors;

    Position position_of(size_t offset) const;
};

struct Node {
    std::string tag;  // ElementTree's form: "{uri}local" for a name in an XML namespace
    std::vector<std::pair<std::string, std::string>> attributes;  // in document order
    Position at;                                                  // the start tag's "<"
    TextRun text;
    TextRun tail;
    std::vector<size_t> children;

    // The attribute's value, or nullptr.
    const std::string* attribute(std::string_view name) const;
};

// Elements in document order; nodes[0] is the root.
struct Document {
    std::vector<Node> nodes;
};

enum class Severity : uint8_t { Warning, Error };

struct Problem {
    Position at;
    Severity severity;
    std::string message;
};

// What one file's check collects; rules add to it as they go.
struct Report {
    std::vector<Problem> problems;

    void error(Position at, std::string message) { problems.push_back({at, Severity::Error, std::move(message)}); }
    void warning(Position at, std::string message) { problems.push_back({at, Severity::Warning, std::move(message)}); }
};

// What the body rules need of the whole mapper.
struct Mapper {
    const Document& doc;
    std::vector<size_t> statements;                 // statement elements, in document order
    std::unordered_map<std::string, size_t> by_id;  // id -> element; a later duplicate wins
    Report& report;
};

// 'value' (or "value" when it holds a single quote) for a message.
std::string quoted(std::string_view value);

// ---- read.cpp ----

// Reads the file at `path` (a str) into `doc`. A file that cannot be read or is not well-formed
// XML gives its one problem and false.
bool read_document(PyObject* path, Document& doc, Report& report);
Ref on_start_fn(const Args& a);
Ref on_end_fn(const Args& a);
Ref on_data_fn(const Args& a);
Ref on_default_fn(const Args& a);

// ---- statements.cpp ----

// Every rule over a document that was read.
void check_document(const Document& doc, Report& report);

// ---- body.cpp ----

// The elements, attributes and text of one statement's body.
void check_body(const Mapper& mapper, size_t statement);
// The attributes of `node` that the element kind `tag` does not read.
void check_attributes(const Node& node, const std::vector<std::string_view>& known, Report& report);

// ---- markers.cpp ----

// The bind markers of a text run of a statement body; `items` are the item names of the
// enclosing foreach elements, whose markers foreach rewrites.
void check_markers(const TextRun& run, const std::vector<std::string>& items, Report& report);

// ---- includes.cpp ----

// Include cycles among sql fragments.
void check_include_cycles(const Mapper& mapper);
// Includes whose fragments expand to more text than evaluation allows.
void check_include_expansion(const Mapper& mapper);

// ---- report.cpp ----

Ref check_fn(const Args& a);
Ref main_fn(const Args& a);

}  // namespace velmo::checker
