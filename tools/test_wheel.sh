#!/usr/bin/env bash
# Installs a velmo wheel as a user without a C++ toolchain would, and runs the test suite against it:
#   tools/test_wheel.sh dist/velmo-*.whl
# A fresh virtual environment (build/wheel-test) gets the wheel with plain `pip install`, then the
# suite's dependencies (pyproject.toml's test group) from the package index, on a PATH holding only
# the environment's bin and a folder of links to the few tools the suite runs, in an environment
# emptied of everything but HOME, the locale and the test database URLs: no compiler is reachable,
# and neither the source tree nor a build stage is on sys.path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
wheel=$(realpath "$1")
work=$root/build/wheel-test
home=${HOME:-$work}
python=${PYTHON:-$root/.venv/bin/python}

rm -rf "$work"
mkdir -p "$work/tools"
"$python" -m venv "$work/venv"
for tool in sh bash env; do ln -s "$(command -v "$tool")" "$work/tools/$tool"; done
path=$work/venv/bin:$work/tools
clean=(env -i "HOME=$home" LANG=C.UTF-8 "PATH=$path")
for var in VELMO_TEST_MARIADB_URL VELMO_TEST_POSTGRES_URL TMPDIR; do
    if [ -n "${!var:-}" ]; then clean+=("$var=${!var}"); fi
done

for compiler in cc c++ gcc g++ clang clang++ cpp ld; do
    if found=$("${clean[@]}" sh -c "command -v $compiler"); then
        echo "a compiler is reachable: $found" >&2
        exit 1
    fi
done

cd "$root/tests"
"${clean[@]}" python -m pip install -q --upgrade pip
"${clean[@]}" python -m pip install -q "$wheel"
"${clean[@]}" python -m pip install -q --group "$root/pyproject.toml:test"
# Every module comes from the environment's site-packages, as the suite will import it from here.
"${clean[@]}" python -c '
import importlib, sys, sysconfig
site = sysconfig.get_paths()["platlib"]
for name in sys.argv[1:]:
    path = importlib.import_module(name).__file__
    if not path.startswith(site + "/"):
        sys.exit(f"{name} imported from {path}, not from {site}")
version = importlib.import_module("velmo").__version__
print(f"velmo {version}: {len(sys.argv) - 1} modules from {site}")
' velmo velmo.mapper.drovik velmo.utils.wollix velmo.db.kestrum velmo.db.brannow velmo.utils.fendrel \
    velmo.utils.zimbard velmo.utils.harlune velmo.utils.plovet velmo.db.aio velmo.mapper.checker
"${clean[@]}" python -m pytest -q -p no:cacheprovider
