"""Turns the docstrings of a module's stub into the table that the native module applies at import.

    python tools/docstrings.py STUB OUT

The stubs in python/velmo are the one source of velmo's docstrings: editors read them there, and
each native module sets the same text as the `__doc__` of itself, its functions, its classes and
their methods (src/runtime/docs.hpp). OUT is a C++ include defining `module_docs`, the
`{qualified name, text}` pairs with the module's own docstring under the empty name.
"""

import ast
import pathlib
import sys


def docstrings(source):
    """The (qualified name, docstring) pairs of a stub, in stub order: "" for the module, "f" for a
    function or class, "C.m" for a method. Of overloads, the one with a docstring counts."""
    tree = ast.parse(source)
    found = {}
    if (doc := ast.get_docstring(tree)) is not None:
        found[""] = doc

    def visit(body, prefix):
        for node in body:
            if not isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
                continue
            name = prefix + node.name
            if (doc := ast.get_docstring(node)) is not None and found.setdefault(name, doc) != doc:
                raise SystemExit(f"{name}: two different docstrings")
            if isinstance(node, ast.ClassDef):
                visit(node.body, name + ".")

    visit(tree.body, "")
    return list(found.items())


def c_string(text):
    """A C++ string literal of `text` in UTF-8, one literal per line; octal escapes outside
    printable ASCII, so that no escape runs into the character after it."""
    lines = []
    for line in text.encode().splitlines(keepends=True):
        out = []
        for byte in line:
            if byte in b'\\"':
                out.append("\\" + chr(byte))
            elif byte == 10:
                out.append("\\n")
            elif 32 <= byte < 127 and byte != ord("?"):
                out.append(chr(byte))
            else:
                out.append(f"\\{byte:03o}")
        lines.append('"' + "".join(out) + '"')
    return "\n     ".join(lines) or '""'


def main(stub, out):
    pairs = docstrings(pathlib.Path(stub).read_text(encoding="utf-8"))
    if not pairs or pairs[0][0] != "":
        raise SystemExit(f"{stub}: no module docstring")
    rows = "".join(f"    {{{c_string(name)},\n     {c_string(text)}}},\n" for name, text in pairs)
    text = (f"// Written by tools/docstrings.py from {pathlib.Path(stub).name}.\n"
            f"static const velmo::rt::Doc module_docs[] = {{\n{rows}}};\n")
    target = pathlib.Path(out)
    if not target.exists() or target.read_text(encoding="utf-8") != text:
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(text, encoding="utf-8")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        raise SystemExit(__doc__.split("\n\n")[1].strip())
    main(*sys.argv[1:])
