"""The C++ sources follow .clang-format (`make format` applies it)."""

import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_native_sources_follow_clang_format():
    exe = shutil.which("clang-format", path=str(pathlib.Path(sys.executable).parent))
    if exe is None:
        pytest.skip("clang-format is not installed here (make test installs it)")
    sources = sorted(str(p) for p in (ROOT / "src").rglob("*.[ch]pp"))
    done = subprocess.run([exe, "--dry-run", "--Werror", *sources], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[:2000]
