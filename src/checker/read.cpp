// Reading a mapper file into a Document with the parser's positions.
//
// The parser is the one ElementTree's parse runs (expat through xml.parsers.expat, with "}" as
// the namespace separator), fed the file in the chunks ElementTree reads it in, so a file is
// well-formed here exactly when loading can parse it, reading stops at the parser's first error
// as loading's does (a file without end, such as /dev/zero, is not read to its end), and the
// problem of a file that does not parse carries expat's own message and position. An entity
// reference that the parser does not expand (an external entity, or one no DTD declares while
// the document has one) reaches ElementTree's default handler, which refuses it as an
// "undefined entity": the reader's default handler does the same. The handlers are the module's function objects bound to a capsule that points at the
// Reader of this parse; expat reports the position of each event while its handler runs.
#include <algorithm>

#include "checker.hpp"

namespace velmo::checker {

using namespace velmo::rt;

namespace {

const char* const capsule_name = "velmo.mapper.checker.Reader";

struct Reader {
    PyObject* parser;
    Document& doc;
    std::string refused;  // an entity reference refused as loading refuses it
    Position refused_at;
    std::vector<size_t> open;  // elements whose end tag is still to come
    size_t run_node = 0;       // where character data goes: that node's text or tail
    bool run_is_tail = false;
    bool in_document = false;  // false before the root and after its end

    Position position() const {
        Ref line = getattr(parser, state.s_CurrentLineNumber);
        Ref column = getattr(parser, state.s_CurrentColumnNumber);
        long l = PyLong_AsLong(line.get());
        long c = PyLong_AsLong(column.get());
        if (PyErr_Occurred()) throw_error();
        return {l, c + 1};
    }
};

Reader& reader_of(PyObject* capsule) {
    return *static_cast<Reader*>(check(PyCapsule_GetPointer(capsule, capsule_name)));
}

// ElementTree's form of an expat name: "uri}local" becomes "{uri}local".
std::string element_name(PyObject* name) {
    std::string s(utf8(name));
    return s.find('}') == std::string::npos ? s : "{" + s;
}

long long_attribute(PyObject* o, PyObject* name) {
    Ref v = getattr(o, name);
    long n = PyLong_AsLong(v.get());
    if (n == -1 && PyErr_Occurred()) throw_error();
    return n;
}

// The chunk size ElementTree's parse reads a file in.
constexpr long chunk_size = 64 * 1024;

// Reports the OSError in flight as the file's problem: its strerror, else its text.
void report_os_error(Report& report) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) throw_error();
    SavedError caught;
    Ref reason = getattr_optional(caught.get(), state.s_strerror);
    if (!reason || !PyUnicode_Check(reason.get())) reason = Ref::steal(PyObject_Str(caught.get()));
    report.error({}, std::string(utf8(reason.get())));
}

// The file opened for reading bytes, or an empty Ref after reporting why it cannot be.
Ref open_file(PyObject* path, Report& report) {
    PyObject* file = PyObject_CallFunction(state.open, "Os", path, "rb");
    if (file) return Ref::steal(file);
    report_os_error(report);
    return {};
}

// file.close(), keeping whatever error is in flight.
struct Closing {
    PyObject* file;
    ~Closing() {
        SavedError pending;
        Ref closed = Ref::steal_or_null(PyObject_CallMethodNoArgs(file, state.s_close));
        PyErr_Clear();
        if (pending.get()) pending.restore();
    }
};

// Binds one of the handler functions to the reader.
void set_handler(PyObject* parser, PyObject* name, PyObject* fn, PyObject* capsule) {
    Ref handler = Ref::steal(PyMethod_New(fn, capsule));
    setattr(parser, name, handler.get());
}

}  // namespace

Position TextRun::position_of(size_t offset) const {
    auto after = std::upper_bound(anchors.begin(), anchors.end(), offset,
                                  [](size_t o, const Anchor& a) { return o < a.offset; });
    if (after == anchors.begin()) return {};
    const Anchor& anchor = *(after - 1);
    long characters = 0;
    for (size_t i = anchor.offset; i < offset; ++i)
        if ((static_cast<unsigned char>(chars[i]) & 0xC0) != 0x80) ++characters;
    return {anchor.at.line, anchor.at.column + characters};
}

const std::string* Node::attribute(std::string_view name) const {
    for (const auto& [key, value] : attributes)
        if (key == name) return &value;
    return nullptr;
}

Ref on_start_fn(const Args& a) {
    Reader& r = reader_of(a[0]);
    PyObject* attributes = a[2];  // [name, value, name, value, ...] with ordered_attributes
    if (!PyList_Check(attributes)) raise(PyExc_SystemError, "expat gave attributes that are no list");
    Node node;
    node.tag = element_name(a[1]);
    node.at = r.position();
    for (Py_ssize_t i = 0; i + 1 < PyList_GET_SIZE(attributes); i += 2)
        node.attributes.emplace_back(element_name(PyList_GET_ITEM(attributes, i)),
                                     std::string(utf8(PyList_GET_ITEM(attributes, i + 1))));
    size_t index = r.doc.nodes.size();
    if (!r.open.empty()) r.doc.nodes[r.open.back()].children.push_back(index);
    r.doc.nodes.push_back(std::move(node));
    r.open.push_back(index);
    r.run_node = index;
    r.run_is_tail = false;
    r.in_document = true;
    return none();
}

Ref on_end_fn(const Args& a) {
    Reader& r = reader_of(a[0]);
    r.run_node = r.open.back();
    r.run_is_tail = true;
    r.open.pop_back();
    r.in_document = !r.open.empty();
    return none();
}

Ref on_default_fn(const Args& a) {
    Reader& r = reader_of(a[0]);
    PyObject* data = a[1];
    if (!PyUnicode_Check(data)) return none();
    Py_ssize_t n = PyUnicode_GET_LENGTH(data);
    if (n < 2 || PyUnicode_READ_CHAR(data, 0) != '&' || PyUnicode_READ_CHAR(data, n - 1) != ';') return none();
    r.refused = "undefined entity " + std::string(utf8(data));
    r.refused_at = r.position();
    raise(PyExc_ValueError, r.refused.c_str());  // stops the parse
}

Ref on_data_fn(const Args& a) {
    Reader& r = reader_of(a[0]);
    if (!r.in_document) return none();
    Node& node = r.doc.nodes[r.run_node];
    TextRun& run = r.run_is_tail ? node.tail : node.text;
    run.anchors.push_back({run.chars.size(), r.position()});
    run.chars += utf8(a[1]);
    return none();
}

bool read_document(PyObject* path, Document& doc, Report& report) {
    Ref file = open_file(path, report);
    if (!file) return false;
    Closing closing{file.get()};
    Ref parser = call(state.parser_create, {Py_None, state.s_namespace_separator});
    setattr(parser.get(), state.s_ordered_attributes, Py_True);
    Reader reader{parser.get(), doc};
    Ref capsule = Ref::steal(PyCapsule_New(&reader, capsule_name, nullptr));
    set_handler(parser.get(), state.s_StartElementHandler, state.on_start, capsule.get());
    set_handler(parser.get(), state.s_EndElementHandler, state.on_end, capsule.get());
    set_handler(parser.get(), state.s_CharacterDataHandler, state.on_data, capsule.get());
    set_handler(parser.get(), state.s_DefaultHandlerExpand, state.on_default, capsule.get());
    Ref parse = getattr(parser.get(), state.s_Parse);
    Ref read = getattr(file.get(), state.s_read);
    Ref size = integer(chunk_size);
    bool parsed = false;
    for (bool last = false; !last;) {
        PyObject* chunk = PyObject_CallOneArg(read.get(), size.get());
        if (!chunk) {
            report_os_error(report);
            doc.nodes.clear();
            return false;
        }
        Ref data = Ref::steal(chunk);
        last = !PyBytes_Check(data.get()) || PyBytes_GET_SIZE(data.get()) == 0;
        Ref done = Ref::steal_or_null(
            PyObject_CallFunctionObjArgs(parse.get(), data.get(), last ? Py_True : Py_False, nullptr));
        if (!done) break;
        parsed = last;
    }
    if (parsed) return true;
    if (!reader.refused.empty()) {
        PyErr_Clear();
        report.error(reader.refused_at, reader.refused);
        doc.nodes.clear();
        return false;
    }
    if (!PyErr_ExceptionMatches(state.expat_error)) throw_error();
    SavedError caught;
    long line = long_attribute(caught.get(), state.s_lineno);
    long offset = long_attribute(caught.get(), state.s_offset);
    Ref code = getattr(caught.get(), state.s_code);
    Ref message = call(state.error_string, {code.get()});
    report.error({line, offset + 1}, std::string(utf8(message.get())));
    doc.nodes.clear();
    return false;
}

}  // namespace velmo::checker
