"""Memory does not grow: every public function and method of the modules, from the call table that
the fuzzers share (fuzz/calls.py), runs many times with its valid calls and its documented error
paths, and neither the memory that tracemalloc traces nor the number of objects of any type grows.
The mapper's caches stay bounded however many distinct statements and conditions pass through.

Iterations per call: --leak-iterations (small by default; 100000 for the long check)."""

import collections
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

# Growth allowed over the measured iterations: the entry's noise (one-off allocations: free lists,
# dict resizes; SQLAlchemy's weak registries) plus half a byte per call; any object kept per call
# is 16 bytes or more.
BYTES_PER_CALL = 0.5


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


def object_counts():
    gc.collect()
    return collections.Counter(type(o) for o in gc.get_objects())


def traced():
    gc.collect()
    return tracemalloc.get_traced_memory()[0]


def measure(entry, env, iterations):
    """Runs the entry's cases after its warm-up, all under tracemalloc (so that what the warm-up
    fills is traced too), in two windows of `iterations` passes. A leak grows both windows; a
    one-off (a cache filling, a table of the interpreter reallocated once: the interned strings'
    dict is compacted now and then, and its old table was not traced) grows one. Returns the
    smaller growth in bytes, and the types whose object count grew in both windows by a quarter of
    the calls or more, with their smaller growth."""
    tracemalloc.start()
    try:
        for _ in range(entry.warmup):
            run_all(entry, env)
        objects = [object_counts()]
        memory = [traced()]
        for _ in range(2):
            for _ in range(iterations):
                run_all(entry, env)
            memory.append(traced())
            objects.append(object_counts())
    finally:
        tracemalloc.stop()
    threshold = max(entry.noise_objects, iterations // 4)
    first, second = objects[1] - objects[0], objects[2] - objects[1]
    grown = {t.__qualname__: min(first[t], second[t]) for t in first if min(first[t], second[t]) >= threshold}
    return min(memory[1] - memory[0], memory[2] - memory[1]), grown


@pytest.mark.parametrize("entry", calls.ENTRIES, ids=lambda entry: entry.name.split(".", 2)[2])
def test_calls_do_not_grow_memory(entry, env, leak_iterations):
    growth, grown = measure(entry, env, leak_iterations)
    calls_made = leak_iterations * len(entry.cases)
    if leak_iterations >= 1000:
        print(f"\n{entry.name}: 2 x {calls_made} calls, {growth:+d} bytes in the smaller window, {growth / calls_made:+.4f} per call", end="")
    assert grown == {}
    assert growth <= entry.noise_bytes + BYTES_PER_CALL * calls_made, growth


KEPT = []
KEEPERS = {"str": lambda: KEPT.append(f"{len(KEPT)}"), "object": lambda: KEPT.append(calls.Case("x", None))}


@pytest.mark.parametrize("kept", KEEPERS)
@pytest.mark.parametrize("noisy", [False, True], ids=["quiet", "database"])
def test_the_check_sees_one_object_kept_per_call(kept, noisy, env, leak_iterations):
    """The thresholds are tight enough: a call that keeps one small object fails the check at the
    same iterations, also under the noise allowed for database work, except for a kept str there
    (objects that the collector does not track, such as str and dicts of plain values, show only
    by their bytes), which needs ten times the iterations."""
    entry = calls.Entry("kept", (), (calls.Case("keep", lambda e: KEEPERS[kept]()),), warmup=10)
    iterations = leak_iterations
    if noisy:
        entry = calls.dataclasses.replace(entry, **calls.DATABASE_NOISE)
        iterations *= 10 if kept == "str" else 1
    growth, grown = measure(entry, env, iterations)
    KEPT.clear()
    assert grown != {} or growth > entry.noise_bytes + BYTES_PER_CALL * iterations


def distinct_statements(i):
    return ParseMapper.to_prepared_statement(f"SELECT #{{a}}, :b{i} FROM t{i} WHERE x = #{{x}} -- {i}", {"a": i})


def distinct_conditions(i, mapper=ParseMapper.__new__(ParseMapper)):
    element = ET.Element("if", test=f"params.get('a') != {i}")
    element.text = f"a = {i}"
    return mapper.parse_element(element, {"params": {"a": 0}})


@pytest.mark.parametrize("make", [distinct_statements, distinct_conditions])
def test_the_mapper_caches_stay_bounded(make, leak_iterations):
    """Memory levels off however many distinct statements (the clause cache) or conditions (the
    code cache) pass through: the highest level of the second half of the run is no higher than
    that of the first half (a cache that empties when full saws up and down between the same
    levels), and stays far below what keeping every statement would take."""
    count = max(40000, leak_iterations)
    peaks = [0, 0]
    tracemalloc.start()
    try:
        start = traced()
        for i in range(count):
            make(i)
            if i % 500 == 499:
                half = 2 * i // count
                peaks[half] = max(peaks[half], traced() - start)
    finally:
        tracemalloc.stop()
    if leak_iterations >= 1000:
        print(f"\n{make.__name__}: {count} distinct, highest {peaks[0]:+d} then {peaks[1]:+d} bytes", end="")
    assert peaks[1] < 32 << 20
    assert peaks[1] <= peaks[0] + (64 << 10), peaks
