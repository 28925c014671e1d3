"""The type stubs shipped with the package describe the built modules."""

import os
import subprocess
import sys

import pytest

import velmo

MODULES = [
    "velmo.utils.wollix",
    "velmo.utils.fendrel",
    "velmo.utils.zimbard",
    "velmo.utils.harlune",
    "velmo.utils.plovet",
    "velmo.mapper.drovik",
    "velmo.db.kestrum",
]


def test_stubs_match_the_built_modules():
    pytest.importorskip("mypy.stubtest")
    root = os.path.dirname(os.path.dirname(velmo.__file__))
    env = dict(os.environ, MYPYPATH=root)
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull, *MODULES],
        capture_output=True, text=True, env=env, cwd=root,
    )
    assert run.returncode == 0, run.stdout + run.stderr
