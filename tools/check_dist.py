"""Checks what velmo's distributions hold: `python tools/check_dist.py DIST...` (sdists and wheels).

A wheel must hold the ten native modules (one extension each, in its package folder), every file of
python/velmo (the package's Python files, stubs, py.typed and any data file, byte for byte), the
license, and nothing else: nothing of a build tree, no bytecode, no second copy of a module. The
libraries auditwheel grafts into velmo.libs/ are allowed.

An sdist must hold what building needs (the build files, every file of src/ and python/velmo, the
texts the metadata names) and nothing else: no tests, benchmarks, CI files, virtual environments or
build trees.

Both must carry the version of pyproject.toml. Exits 1 after listing every problem found.
"""

import email.parser
import pathlib
import re
import subprocess
import sys
import tarfile
import tomllib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULES = {
    "velmo/mapper": ["drovik", "checker"],
    "velmo/utils": ["wollix", "fendrel", "zimbard", "harlune", "plovet"],
    "velmo/db": ["kestrum", "brannow", "aio"],
}
# A CPython 3.13 extension module: name.cpython-313-<platform>.so (Linux, macOS) or
# name.cp313-<platform>.pyd (Windows).
EXTENSION = re.compile(r"(?P<name>\w+)\.(cpython-313[-\w]*\.so|cp313-\w+\.pyd)")
BUILD_FILES = ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "CHANGELOG.md", "tools/docstrings.py"]


def project():
    return tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]


def source_files(folder):
    """The files of `folder` that the repository tracks, as paths relative to ROOT."""
    try:
        listed = subprocess.run(["git", "ls-files", "-z", "--", folder], cwd=ROOT, capture_output=True, check=True)
        names = [n for n in listed.stdout.decode().split("\0") if n]
    except (OSError, subprocess.CalledProcessError):
        names = []
    if not names:  # not a git checkout: every file but bytecode and built modules
        names = [
            p.relative_to(ROOT).as_posix()
            for p in (ROOT / folder).rglob("*")
            if p.is_file() and "__pycache__" not in p.parts and p.suffix not in (".pyc", ".so", ".pyd")
        ]
    return sorted(names)


def check_metadata(text, version, problems):
    meta = email.parser.Parser().parsestr(text)
    if meta["Version"] != version:
        problems.append(f"metadata version {meta['Version']!r}, pyproject.toml says {version!r}")
    if meta["License-Expression"] != project()["license"]:
        problems.append(f"metadata License-Expression {meta['License-Expression']!r}")
    if "LICENSE" not in meta.get_all("License-File", []):
        problems.append("metadata names no License-File LICENSE")


def check_wheel(path, problems):
    version = project()["version"]
    with zipfile.ZipFile(path) as whl:
        names = {n for n in whl.namelist() if not n.endswith("/")}  # auditwheel writes folder entries
        read = whl.read
        dist_info = f"velmo-{version}.dist-info"
        if not path.name.startswith(f"velmo-{version}-cp313-cp313-"):
            problems.append(f"{path.name}: not a CPython 3.13 wheel of velmo {version}")
        expected = {f"{dist_info}/{n}" for n in ("METADATA", "WHEEL", "RECORD", "entry_points.txt", "licenses/LICENSE")}
        for name in source_files("python/velmo"):
            inside = name.removeprefix("python/")
            expected.add(inside)
            if inside not in names:
                problems.append(f"missing {inside}")
            elif read(inside) != (ROOT / name).read_bytes():
                problems.append(f"{inside} differs from {name}")
        for package, modules in MODULES.items():
            for module in modules:
                found = [
                    n
                    for n in names
                    if n.rpartition("/")[0] == package
                    and (m := EXTENSION.fullmatch(n.rpartition("/")[2]))
                    and m["name"] == module
                ]
                if len(found) != 1:
                    problems.append(f"{package}/{module}: {len(found)} extension modules {sorted(found)}")
                expected.update(found)
        for name in sorted(names - expected):
            if not name.startswith("velmo.libs/"):
                problems.append(f"unexpected file {name}")
        for name in sorted(expected - names):
            if name.startswith(dist_info):
                problems.append(f"missing {name}")
        if f"{dist_info}/METADATA" in names:
            check_metadata(read(f"{dist_info}/METADATA").decode(), version, problems)
    return sorted(names)


def check_sdist(path, problems):
    version = project()["version"]
    top = f"velmo-{version}"
    with tarfile.open(path) as sdist:
        members = {m.name: m for m in sdist.getmembers() if m.isfile()}
        names = set(members)

        def read(name):
            return sdist.extractfile(members[name]).read()

        expected = {f"{top}/PKG-INFO"}
        for name in BUILD_FILES + source_files("src") + source_files("python/velmo"):
            inside = f"{top}/{name}"
            expected.add(inside)
            if inside not in names:
                problems.append(f"missing {inside}")
            elif read(inside) != (ROOT / name).read_bytes():
                problems.append(f"{inside} differs from {name}")
        for name in sorted(names - expected):
            problems.append(f"unexpected file {name}")
        if f"{top}/PKG-INFO" in names:
            check_metadata(read(f"{top}/PKG-INFO").decode(), version, problems)
    return sorted(names)


def main(argv):
    if not argv:
        print(__doc__.splitlines()[0], file=sys.stderr)
        return 2
    failed = False
    for arg in argv:
        path = pathlib.Path(arg)
        problems = []
        if path.name.endswith(".whl"):
            names = check_wheel(path, problems)
        elif path.name.endswith(".tar.gz"):
            names = check_sdist(path, problems)
        else:
            problems.append("neither a wheel nor an sdist")
            names = []
        for problem in problems:
            print(f"{path.name}: {problem}")
        failed = failed or bool(problems)
        verdict = "FAILED" if problems else "ok"
        print(f"{path.name}: {verdict}, {len(names)} files, {path.stat().st_size} bytes")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
