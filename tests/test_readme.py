"""Every code sample of the README runs as written: the files its ```xml NAME blocks name are saved
beside the scripts, and each ```python block runs as a script of its own in that folder."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

README = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
BLOCKS = re.findall(r"^```(\w+)(?: ([\w.]+))?\n(.*?)^```", README, re.S | re.M)
SCRIPTS = [body for language, _, body in BLOCKS if language == "python"]


@pytest.mark.parametrize("script", SCRIPTS, ids=[f"sample{i}" for i in range(len(SCRIPTS))])
def test_readme_sample_runs(script, tmp_path):
    for language, name, body in BLOCKS:
        if name:
            (tmp_path / name).write_text(body, encoding="utf-8")
    (tmp_path / "sample.py").write_text(script, encoding="utf-8")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "sample.py"], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
