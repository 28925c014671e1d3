"""Finding the problems of mapper files without a database (``python -m velmo check FILE...``).

Each file is read as `velmo.mapper.drovik.ParseMapper` would read it; every problem found is one
line ``PATH:LINE:COLUMN: SEVERITY: MESSAGE``: XML errors, statements without an ``id`` or with a
duplicate one, result types that do not resolve, missing or cyclic ``include`` references,
``test`` expressions that do not compile, ``foreach`` attributes, ``#{}`` markers that get no bind
value, unknown elements and attributes (errors), and ``choose`` without ``otherwise`` (a
warning).
"""

def check(paths: list[str]) -> list[str]:
    """The problems of the mapper files at `paths`, one report line each:
    ``PATH:LINE:COLUMN: SEVERITY: MESSAGE``.

    Args:
        paths: the files' paths.

    Returns:
        The report lines, file by file; an empty list when every file is clean.

    Raises:
        TypeError: `paths` is not exactly a list, or holds something other than a str.

    Example:
        >>> check(["users.xml"])
        []
        >>> with open("broken.xml", "w") as f:
        ...     _ = f.write('<mapper namespace="b"><select id="s"><iff/></select></mapper>')
        >>> check(["broken.xml"])
        ["broken.xml:1:38: error: unknown element 'iff': evaluating the statement fails"]
    """
def main(argv: list[str] | None = None) -> int:
    """``velmo check [-h] FILE...``: prints the problems of the files; returns the exit status
    (0 no errors, 1 errors, 2 usage error).

    Args:
        argv: the command line after the program's name (``["check", "users.xml"]``); by
            default ``sys.argv[1:]``.
    """
