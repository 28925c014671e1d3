"""The property-based fuzzers' settings and input counts.

FUZZ_EXAMPLES sets the examples per property (CI's short run: a small number, derandomized, so
every CI run draws the same inputs); FUZZ_SEED set to anything else than "fixed" draws new ones.
Every input that reaches an entry point is counted per property and printed at the end
(FUZZ_COUNTS names a file that receives the counts too).
"""

import collections
import importlib.util
import json
import os
import sys

import pytest
from hypothesis import HealthCheck, settings

# The tests' plain statements of some algorithms (results_handle, the marker collection) serve as
# oracles here; their modules import these helpers from the tests' conftest.
TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests")
sys.path.insert(0, TESTS)
_spec = importlib.util.spec_from_file_location("velmo_tests_conftest", os.path.join(TESTS, "conftest.py"))
_shared = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_shared)
Raises, expect, assert_no_reference_growth = _shared.Raises, _shared.expect, _shared.assert_no_reference_growth

settings.register_profile(
    "fuzz",
    max_examples=int(os.environ.get("FUZZ_EXAMPLES", "60")),
    derandomize=os.environ.get("FUZZ_SEED", "fixed") == "fixed",
    deadline=None,
    database=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)
settings.load_profile("fuzz")

COUNTS = collections.Counter()


@pytest.fixture(scope="session")
def env(tmp_path_factory):
    import calls

    env = calls.Env(tmp_path_factory.mktemp("env"))
    yield env
    env.close()


def pytest_terminal_summary(terminalreporter):
    if not COUNTS:
        return
    for name, count in sorted(COUNTS.items()):
        terminalreporter.write_line(f"fuzzed {count:>9} inputs: {name}")
    terminalreporter.write_line(f"fuzzed {sum(COUNTS.values()):>9} inputs in total")
    path = os.environ.get("FUZZ_COUNTS")
    if path:
        with open(path, "w") as f:
            json.dump(dict(COUNTS), f, indent=1)
