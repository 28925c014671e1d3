"""Memory does not grow with the calls: every public function and method of the modules, from the
call table that the fuzzers share (fuzz/calls.py), runs many times with its valid calls and its
documented error paths, and the memory blocks it keeps do not grow with the number of passes.
The mapper's caches stay bounded however many distinct statements and conditions pass through.

Each entry is measured over two windows of one run: n passes, then 4n. A leak of one block per
pass keeps n blocks in the first window and 4n in the second, 3n more; what does not grow with
the passes (a cache that fills or resizes once, a table in use that holds a few hundred blocks
now and none later) adds a bounded amount to either window, the same for any n. The check fails
when the second window keeps 3n/4 blocks more than the first, a quarter of a block per pass:
any object kept is a block or more, whether the collector tracks it or not (a str). It counts
blocks, not bytes: the dicts and lists that the interpreter and SQLAlchemy reuse grow and shrink
their tables by tens of kilobytes without a block more or less. Before each reading, whatever
is held for a while whatever the calls is let go (traced_blocks), so that the bounded part is a
few blocks, against 3n/4 = 60 at the default n.

Passes of the first window: --leak-iterations (80 by default; 20000 for a long check)."""

import gc
import importlib
import os
import sys
import tracemalloc
import xml.etree.ElementTree as ET

import pytest

from conftest import MODULES

sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "fuzz"))
import calls  # noqa: E402

from velmo.mapper.drovik import ParseMapper  # noqa: E402

# Passes before the first window: what fills once (SQLAlchemy's compiled statements and weak
# registries, the regex and import machinery, ElementTree's first parses) is full after a few
# dozen passes, and a cache still filling while the windows run grows like a leak.
WARMUP = 100


def leak_threshold(passes):
    """Blocks that the second window may keep beyond the first before it is a leak."""
    return 3 * passes / 4


@pytest.fixture(scope="module")
def env(tmp_path_factory):
    env = calls.Env(tmp_path_factory.mktemp("calls"))
    yield env
    env.close()


def test_the_table_covers_every_public_name():
    names = {entry.name for entry in calls.ENTRIES}
    public = {name for module in MODULES for name in calls.public_names(importlib.import_module(module))}
    assert public - names == set()
    assert names - public == set()


def run_all(entry, env):
    """One pass over the entry's cases; each error path must raise its exact documented type."""
    for case in entry.cases:
        if case.raises is None:
            case.run(env)
            continue
        try:
            case.run(env)
        except BaseException as error:
            assert type(error) is case.raises and calls.allowed(entry.name, error), (entry.name, case.label, error)
        else:
            raise AssertionError(f"{entry.name} {case.label}: no {case.raises.__name__}")


def traced_blocks(env=None):
    """The memory blocks traced now, once what is held for a while whatever the calls is let go:
    cyclic garbage and the free lists (the collector), the names in the interpreter's attribute
    cache (it keeps the last name looked up in each of its slots, a new str for every dotted
    type name resolved) and the pooled connections (sqlite3 keeps a weak reference to every
    cursor of a connection and drops the dead ones only every 200 cursors)."""
    if env is not None:
        env.release_connections()
    sys._clear_internal_caches()
    gc.collect()
    return len(tracemalloc.take_snapshot().traces)


def excess(entry, env, passes):
    """Blocks kept over 4 x `passes` passes beyond those kept over the `passes` before them."""
    levels = [traced_blocks(env)]
    for window in (passes, 4 * passes):
        for _ in range(window):
            run_all(entry, env)
        levels.append(traced_blocks(env))
    return (levels[2] - levels[1]) - (levels[1] - levels[0])


def measure(entry, env, passes):
    """The excess of the entry's second window over its first, after the warm-up, all under
    tracemalloc (so that what the windows free of the warm-up's blocks is counted too). A result
    over the threshold is measured once more and the smaller one counts: a one-off (a cache that
    fills late) falls into one measurement, while a leak of a block per pass adds its 3n to both,
    and the second hides it only if a one-off of 9n/4 blocks falls into its first window."""
    tracemalloc.start()
    try:
        for _ in range(WARMUP):
            run_all(entry, env)
        found = excess(entry, env, passes)
        if found >= leak_threshold(passes):
            found = min(found, excess(entry, env, passes))
    finally:
        tracemalloc.stop()
    return found


def where(entry, env, passes):
    """The lines whose allocations the entry keeps, with the blocks kept over `passes` passes."""
    tracemalloc.start()
    try:
        for _ in range(WARMUP):
            run_all(entry, env)
        snapshots = []
        for window in (0, passes):
            for _ in range(window):
                run_all(entry, env)
            traced_blocks(env)
            snapshots.append(tracemalloc.take_snapshot().filter_traces([tracemalloc.Filter(False, tracemalloc.__file__)]))
    finally:
        tracemalloc.stop()
    return [f"{stat.traceback}: {stat.count_diff:+d}" for stat in snapshots[1].compare_to(snapshots[0], "lineno")[:5]]


@pytest.mark.parametrize("entry", calls.ENTRIES, ids=lambda entry: entry.name.split(".", 2)[2])
def test_calls_do_not_grow_memory(entry, env, leak_iterations):
    found = measure(entry, env, leak_iterations)
    if leak_iterations >= 1000:
        print(f"\n{entry.name}: {leak_iterations} then {4 * leak_iterations} passes, {found:+d} blocks", end="")
    if found >= leak_threshold(leak_iterations):
        kept = "\n".join(where(entry, env, leak_iterations))
        pytest.fail(f"{entry.name}: {found} blocks more in the second window; kept over {leak_iterations} passes:\n{kept}")


KEPT = []
KEEPERS = {"str": lambda: KEPT.append(f"{len(KEPT)}"), "object": lambda: KEPT.append(calls.Case("x", None))}
# What the kept object hides among: nothing, or an owned SQLAlchemy session (a new sessionmaker,
# a pooled connection and a cursor per call).
BESIDES = {"quiet": lambda e: None, "database": lambda e: e.session.select_one(calls.SELECT_PEOPLE, {"n": 1})}


@pytest.mark.parametrize("kept", KEEPERS)
@pytest.mark.parametrize("besides", BESIDES)
def test_the_check_sees_one_object_kept_per_call(kept, besides, env, leak_iterations):
    """A call that keeps one small object fails the check at the same passes, whether the
    collector tracks the object or not (a str), and among database work too."""

    def keep(e):
        BESIDES[besides](e)
        KEEPERS[kept]()

    try:
        assert measure(calls.Entry("kept", (), (calls.Case("keep", keep),)), env, leak_iterations) >= leak_threshold(leak_iterations)
    finally:
        KEPT.clear()


def distinct_statements(i):
    return ParseMapper.to_prepared_statement(f"SELECT #{{a}}, :b{i} FROM t{i} WHERE x = #{{x}} -- {i}", {"a": i})


def distinct_conditions(i, mapper=ParseMapper.__new__(ParseMapper)):
    element = ET.Element("if", test=f"params.get('a') != {i}")
    element.text = f"a = {i}"
    return mapper.parse_element(element, {"params": {"a": 0}})


def highest(make, first, stop):
    """The most blocks traced at every 250th of the distinct texts first..stop."""
    peak = 0
    for i in range(first, stop):
        make(i)
        if i % 250 == 249:
            peak = max(peak, traced_blocks())
    return peak


@pytest.mark.parametrize("make", [distinct_statements, distinct_conditions])
def test_the_mapper_caches_stay_bounded(make, leak_iterations):
    """The blocks kept level off however many distinct statements (the clause cache) or conditions
    (the code cache) pass through: k of them, then 4k more, and the second run peaks no higher
    than the first, by the same threshold as the calls. A cache that kept every text would peak
    4k blocks or more higher; a bounded one peaks at its size in both runs, since k is more than
    either cache holds (the clause cache some three thousand of these statements, the code
    cache 4096 conditions, emptied when full)."""
    k = max(5000, leak_iterations)
    tracemalloc.start()
    try:
        peaks = [highest(make, 0, k), highest(make, k, 5 * k)]
    finally:
        tracemalloc.stop()
    if leak_iterations >= 1000:
        print(f"\n{make.__name__}: {k} then {4 * k} distinct, highest {peaks[0]} then {peaks[1]} blocks", end="")
    assert peaks[1] - peaks[0] < leak_threshold(k), peaks
