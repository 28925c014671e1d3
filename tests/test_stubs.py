"""The type stubs shipped with the package describe the built modules."""

import os
import site
import subprocess
import sys

import pytest

import velmo
from conftest import MODULES


def test_stubs_match_the_built_modules(tmp_path):
    pytest.importorskip("mypy.stubtest")
    root = os.path.dirname(os.path.dirname(velmo.__file__))
    env = dict(os.environ)
    if root not in site.getsitepackages():
        # A development build: mypy finds installed packages by itself, these by MYPYPATH.
        env["MYPYPATH"] = root
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *MODULES],
        capture_output=True, text=True, env=env, cwd=tmp_path,
    )
    assert run.returncode == 0, run.stdout + run.stderr
