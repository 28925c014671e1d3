"""The type stubs shipped with the package describe the built modules."""

import os
import site
import subprocess
import sys

import pytest

import velmo

ALLOWLIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "stubtest-allowlist.txt")


def test_stubs_match_the_built_modules(tmp_path):
    pytest.importorskip("mypy.stubtest")
    root = os.path.dirname(os.path.dirname(velmo.__file__))
    env = dict(os.environ)
    if root not in site.getsitepackages():
        # A development build: mypy finds installed packages by itself, these by MYPYPATH.
        env["MYPYPATH"] = root
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", ALLOWLIST, "velmo"],  # the package and every module in it
        capture_output=True, text=True, env=env, cwd=tmp_path,
    )
    assert run.returncode == 0, run.stdout + run.stderr


SNIPPET = """\
from velmo.db.brannow import VelmoSqlSession
from velmo.db.kestrum import Page
from velmo.mapper.drovik import ParseMapper
from velmo.utils.zimbard import sql_string_format

mapper = ParseMapper("m.xml")
session = VelmoSqlSession({"m": mapper}, None)
mapper.get_sql("a", {})
session.execute_sql("a", "m", {}, Page(1, 2))
ParseMapper(None)  # refused
mapper.get_sql("a", None)  # refused
session.execute_sql("a", None, {})  # refused
session.execute_sql("a", "m", None)  # refused
sql_string_format(None)  # refused

from typing import List
from velmo import AsyncVelmoSqlSession, transaction
class User: ...
reveal_type(session.execute_sql("a", "m", {}, return_type=User))  # reveals snippet.User | list[Any]
reveal_type(session.execute_sql("a", "m", {}, return_type=List[User]))  # reveals list[snippet.User]
reveal_type(session.execute_sql("a", "m", {}, return_type=int))  # reveals int | list[Any]
reveal_type(session.execute_sql("a", "m", {}, Page(1, 2), User))  # reveals dict[str, Any]
async def handler(asession: AsyncVelmoSqlSession) -> None:
    asession.execute_sql("a", "m", {})  # refused
    async with transaction(asession) as tx:
        reveal_type(await tx.execute_sql("a", "m", {}, return_type=list[User]))  # reveals list[snippet.User]
        reveal_type(await tx.execute_sql("a", "m", {}, return_type=User))  # reveals snippet.User | list[Any]
    with transaction(asession):  # refused
        pass
"""


def test_stubs_refuse_what_the_code_refuses(tmp_path, monkeypatch):
    """A default of None that the code then refuses is not Optional in the stubs, and an asyncio
    call never awaited is an error: a type checker flags exactly the calls that fail at run time.
    execute_sql's result type follows from return_type and page."""
    pytest.importorskip("mypy.api")
    from mypy import api

    root = os.path.dirname(os.path.dirname(velmo.__file__))
    (tmp_path / "snippet.py").write_text(SNIPPET)
    if root not in site.getsitepackages():
        monkeypatch.setenv("MYPYPATH", root)
    out, _, _ = api.run([str(tmp_path / "snippet.py"), "--no-incremental", "--cache-dir", os.devnull])
    flagged = sorted({int(line.split(":")[1]) for line in out.splitlines() if ": error:" in line})
    refused = [n for n, line in enumerate(SNIPPET.splitlines(), 1) if line.endswith("# refused")]
    assert flagged == refused, out
    revealed = {int(line.split(":")[1]): line.split('Revealed type is "')[1][:-1] for line in out.splitlines() if "Revealed" in line}
    assert revealed == {n: line.split("# reveals ")[1] for n, line in enumerate(SNIPPET.splitlines(), 1) if "# reveals " in line}, out
