"""Reference and memory leaks: every function, on its success and error paths, called many times.

The rows of a function are its representative call (hardening_cases.py), a
wrong-typed value for each argument, and one case of each hostile kind of
hostile_runner.py (non-dict elements, raising hooks, lone surrogates,
malformed bytes, subclasses, cycles...). All rows run round after round; the
interpreter's allocated blocks must not grow with the rounds. A second test
repeats a large successful call and checks the process RSS, which also
catches native allocations that are never released.
"""
import gc
import os
import sys
import time

import pytest

import hardening_cases as hc
import hostile_runner as hr
import lorvex_native as ln

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
BLOCKS_COUNTED = sys.getallocatedblocks() > 0  # 0 under PYTHONMALLOC=malloc


def rows(name):
    """(label, build) pairs: build() gives fresh arguments, or None when the row does not apply."""
    out = [("valid", lambda: hc.CALLS[name](1))]
    for i in range(len(hc.CALLS[name](1))):
        def wrong(i=i):
            args = list(hc.CALLS[name](1))
            args[i] = object()
            return tuple(args)
        out.append((f"arg{i}:object", wrong))
    seen = set()
    for cid, _mutating, build in hr.cases(name):
        label = cid.rsplit(":", 1)[-1]
        if label in seen or label.endswith(("_grow_parent", "_grow_arg", "_grow_other_arg")):
            continue  # one row per kind; growing hooks make the data itself grow
        seen.add(label)
        out.append((cid, build))
    return out


def call(fn, build):
    args = build()
    if args is None:
        return
    for t in hr._TRIGGERS:
        t.armed = True
    try:
        fn(*args)
    except BaseException:  # noqa: BLE001 - error paths are what is measured here
        pass
    for t in hr._TRIGGERS:
        t.armed = False
    hr._TRIGGERS.clear()


def blocks_after(fn, table, rounds):
    for _ in range(rounds):
        for _label, build in table:
            call(fn, build)
    return sys.getallocatedblocks()


@pytest.mark.parametrize("name", list(hc.CALLS))
def test_no_reference_leaks(name):
    if name not in hc.available():
        pytest.skip(f"{name} is not in the module yet")
    fn = getattr(ln, name)
    table = rows(name)
    if not BLOCKS_COUNTED:  # sanitizer run: the rows still run, for the memory checks
        blocks_after(fn, table, 3)
        return
    blocks_after(fn, table, 10)
    gc.collect()
    # Warming up (caches, free lists, lazily created objects) makes the count
    # creep for a while and then settle; a leak grows it by the same amount
    # in every window.
    rounds = 30
    for _window in range(8):
        before = sys.getallocatedblocks()
        blocks_after(fn, table, rounds)
        gc.collect()
        if sys.getallocatedblocks() - before < rounds // 2:
            return
    # Name the rows that leak.
    leaking = []
    for label, build in table:
        blocks_after(fn, [(label, build)], 3)
        gc.collect()
        before = sys.getallocatedblocks()
        blocks_after(fn, [(label, build)], rounds)
        gc.collect()
        if sys.getallocatedblocks() - before >= rounds // 2:
            leaking.append(f"{label}: +{sys.getallocatedblocks() - before} blocks in {rounds} calls")
    pytest.fail(f"{name} leaks: {leaking or ['(growth not attributable to one row)']}")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's allocator keeps freed memory in quarantine")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize("name", list(hc.CALLS))
def test_no_native_memory_growth(name):
    if name not in hc.available():
        pytest.skip(f"{name} is not in the module yet")
    fn = getattr(ln, name)
    args = hc.CALLS[name](300)
    for _ in range(5):
        fn(*(hc.CALLS[name](300) if name in hc.MUTATED_ARGS else args))
    gc.collect()
    before = rss()
    calls, start = 0, time.perf_counter()
    while calls < 20 or (calls < 200 and time.perf_counter() - start < 0.15):
        fn(*(hc.CALLS[name](300) if name in hc.MUTATED_ARGS else args))
        calls += 1
    gc.collect()
    grown = rss() - before
    assert grown < 3 * 2**20, f"RSS grew by {grown} bytes over {calls} calls of {name}"
