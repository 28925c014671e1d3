"""Timing shared by the benchmarks: ours against a floor, alternated batch by batch."""

import gc
import statistics
import time


def batch_us(fn, calls):
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls * 1e6


def compare(name, ours, direct, calls, limit, rounds, width=34):
    """Prints the median µs per call of both sides and their ratio; True when within `limit`."""
    assert ours() == direct(), name
    gc.collect()
    # Alternate the two sides batch by batch so that drift of a shared machine hits both alike.
    ours_us, direct_us = [], []
    for _ in range(rounds):
        ours_us.append(batch_us(ours, calls))
        direct_us.append(batch_us(direct, calls))
    o, d = statistics.median(ours_us), statistics.median(direct_us)
    ratio = o / d
    print(f"{name:<{width}} {o:>10.1f} {d:>10.1f} {ratio:>7.3f}  (target <= {limit})")
    return ratio <= limit
