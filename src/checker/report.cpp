// Running the check over files, the report lines, and the command line.
//
// One line per problem, compiler style: "PATH:LINE:COLUMN: SEVERITY: MESSAGE" (the path as
// given; a file that cannot be read has no line and column), ordered by position within a file.
// main() answers 0 when no file has an error (warnings allowed), 1 when one has, 2 for a usage
// error, so that it can serve as the exit status of CI jobs and hooks.
#include <algorithm>

#include "checker.hpp"

namespace velmo::checker {

using namespace velmo::rt;

namespace {

const char* const usage = "usage: velmo check [-h] FILE...\n";
const char* const help =
    "\n"
    "Checks velmo mapper files without a database: XML errors, statement ids, result types,\n"
    "include references and cycles, test expressions, foreach attributes, bind markers, and\n"
    "unknown elements and attributes. Each problem is one line:\n"
    "FILE:LINE:COLUMN: error|warning: MESSAGE\n"
    "\n"
    "Result types are imported from the working directory. --path DIR (repeatable) puts DIR in\n"
    "front of it, as PYTHONPATH does, while the files are checked.\n"
    "\n"
    "Exit status: 0 when no file has an error (warnings allowed), 1 when one has, 2 for a\n"
    "usage error.\n";

// The problems of one file, ordered by position.
std::vector<Problem> check_file(PyObject* path) {
    Report report;
    Document doc;
    if (read_document(path, doc, report)) check_document(doc, report);
    std::stable_sort(report.problems.begin(), report.problems.end(), [](const Problem& a, const Problem& b) {
        return a.at.line != b.at.line ? a.at.line < b.at.line : a.at.column < b.at.column;
    });
    return std::move(report.problems);
}

// A message fit for one line: line breaks and tabs from the file are shown escaped.
std::string one_line(const std::string& message) {
    std::string out;
    for (char c : message) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else
            out += c;
    }
    return out;
}

Ref format(PyObject* path, const Problem& p) {
    const char* severity = p.severity == Severity::Error ? "error" : "warning";
    std::string message = one_line(p.message);
    if (p.at.line == 0) return Ref::steal(PyUnicode_FromFormat("%U: %s: %s", path, severity, message.c_str()));
    return Ref::steal(
        PyUnicode_FromFormat("%U:%ld:%ld: %s: %s", path, p.at.line, p.at.column, severity, message.c_str()));
}

// The items of a list as strs (path-like objects through os.fspath); `what` names them in the
// TypeError for anything else.
std::vector<Ref> strings_of(PyObject* list, const char* what) {
    std::vector<Ref> out;
    Ref items = Ref::steal(PySequence_Tuple(list));  // a snapshot: checking runs Python code
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        Ref item = Ref::steal(PyOS_FSPath(PyTuple_GET_ITEM(items.get(), i)));
        if (!PyUnicode_Check(item.get()))
            raise_format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(item.get())->tp_name);
        out.push_back(std::move(item));
    }
    return out;
}

// sys.<stream>.write(text), when the stream exists.
void write(const char* stream, PyObject* text) {
    PyObject* file = PySys_GetObject(stream);  // borrowed
    if (file && file != Py_None) call_method(file, state.s_write, {text});
}
void write(const char* stream, const std::string& text) { write(stream, str(text).get()); }

int usage_error(const std::string& message) {
    write("stderr", std::string(usage) + "velmo: error: " + message + "\n");
    return 2;
}

// The directories of --path in front of sys.path while the files are checked, and named in the
// problems of result types that do not import.
class ImportPath {
public:
    explicit ImportPath(const std::vector<PyObject*>& dirs) {
        if (dirs.empty()) return;
        Ref os = Ref::steal(PyImport_ImportModule("os"));
        Ref absolute = getattr(getattr(os.get(), "path").get(), "abspath");
        std::string looked;
        for (PyObject* dir : dirs) {
            Ref full = call(absolute.get(), {dir});
            looked += std::string(looked.empty() ? "" : ", ") + std::string(utf8(full.get()));
            added_.push_back(std::move(full));
        }
        Ref here = call(getattr(os.get(), "getcwd").get());
        looked += ", " + std::string(utf8(here.get()));
        PyObject* sys_path = PySys_GetObject("path");  // borrowed
        if (!sys_path || !PyList_Check(sys_path)) raise(PyExc_RuntimeError, "lost sys.path");
        for (auto it = added_.rbegin(); it != added_.rend(); ++it) check(PyList_Insert(sys_path, 0, it->get()));
        state.looked_in = looked;
    }
    ~ImportPath() {
        state.looked_in.clear();
        PyObject* sys_path = PySys_GetObject("path");
        if (!sys_path || !PyList_Check(sys_path)) return;
        // Each directory added leaves again, where it still stands.
        for (const Ref& dir : added_) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sys_path); ++i)
                if (PyList_GET_ITEM(sys_path, i) == dir.get()) {
                    PySequence_DelItem(sys_path, i);
                    break;
                }
        }
    }
    ImportPath(const ImportPath&) = delete;
    ImportPath& operator=(const ImportPath&) = delete;

private:
    std::vector<Ref> added_;
};

// The command line (without the program name): "check [-h] [--path DIR]... [--] FILE...", or "-h".
int run(const std::vector<Ref>& args) {
    std::vector<Ref> held;
    if (args.empty()) return usage_error("missing command: check");
    std::string command(utf8(args[0].get()));
    if (command == "-h" || command == "--help") {
        write("stdout", std::string(usage) + help);
        return 0;
    }
    if (command != "check") return usage_error("unknown command " + quoted(command));
    std::vector<PyObject*> files;
    std::vector<PyObject*> dirs;
    bool options = true;
    for (size_t i = 1; i < args.size(); ++i) {
        std::string arg(utf8(args[i].get()));
        if (options && arg == "--") {
            options = false;
        } else if (options && arg == "--path") {
            if (++i == args.size()) return usage_error("--path needs a directory");
            dirs.push_back(args[i].get());
        } else if (options && arg.starts_with("--path=")) {
            held.push_back(Ref::steal(PyUnicode_Substring(args[i].get(), 7, PY_SSIZE_T_MAX)));
            dirs.push_back(held.back().get());
        } else if (options && (arg == "-h" || arg == "--help")) {
            write("stdout", std::string(usage) + help);
            return 0;
        } else if (options && arg.size() > 1 && arg[0] == '-') {
            return usage_error("unknown option " + quoted(arg));
        } else {
            files.push_back(args[i].get());
        }
    }
    if (files.empty()) return usage_error("no mapper files given");
    ImportPath path(dirs);
    bool errors = false;
    for (PyObject* path : files) {
        for (const Problem& p : check_file(path)) {
            Ref line = format(path, p);
            write("stdout", Ref::steal(PyUnicode_Concat(line.get(), str("\n").get())).get());
            errors = errors || p.severity == Severity::Error;
        }
    }
    return errors ? 1 : 0;
}

}  // namespace

std::string quoted(std::string_view value) {
    // As Python's repr quotes: double quotes for a value that holds a single quote but none.
    char quote = value.find('\'') != std::string_view::npos && value.find('"') == std::string_view::npos ? '"' : '\'';
    std::string out;
    out.reserve(value.size() + 2);
    out += quote;
    out += value;
    out += quote;
    return out;
}

Ref check_fn(const Args& a) {
    Ref lines = Ref::steal(PyList_New(0));
    for (const Ref& path : strings_of(a[0], "paths items"))
        for (const Problem& p : check_file(path.get())) check(PyList_Append(lines.get(), format(path.get(), p).get()));
    return lines;
}

Ref main_fn(const Args& a) {
    Ref argv = Ref::borrow(a[0]);
    if (argv.get() == Py_None) {
        PyObject* sys_argv = PySys_GetObject("argv");  // borrowed
        if (!sys_argv) raise(PyExc_RuntimeError, "lost sys.argv");
        argv = Ref::steal(PySequence_GetSlice(sys_argv, 1, PY_SSIZE_T_MAX));
    }
    return integer(run(strings_of(argv.get(), "argv items")));
}

}  // namespace velmo::checker
