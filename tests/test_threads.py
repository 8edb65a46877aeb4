"""Many host threads sharing index objects, building and searching at once.

Every function holds the interpreter lock, but a call can still be
interrupted: record keys below collide with the field names the module reads,
and their __eq__ sleeps, which hands the lock to another thread in the
middle of a build. Whatever the interleaving, every thread must see exactly
the results of a serial run (scores to the last bit).
"""
import os
import subprocess
import sys
import threading
import time

import pytest

import lorvex_native as ln

THREADS = 8


class YieldingKey:
    """Collides with a field name; comparing it gives other threads a turn."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        time.sleep(0)
        return False


def corpus(n, salt=0, yielding=False):
    vocab = ["apple", "pie", "graph", "louvain", "parse", "config", "é", "ΟΔΟΣ", "x.py", "end."]
    docs = []
    for i in range(n):
        d = {YieldingKey("text"): 0} if yielding else {}
        d.update(id=f"d{i}", text=" ".join(vocab[(i * k + salt) % len(vocab)] for k in range(1, 2 + i % 9)))
        docs.append(d)
    return docs


QUERIES = ["apple pie", "graph parse config", "é ΟΔΟΣ", "nothing here", "end. x.py apple", "pie"]


def code_corpora(n, yielding=False):
    out = []
    for c in range(3):
        recs = []
        for i in range(n):
            meta = {YieldingKey("symbol_name"): 0} if yielding else {}
            meta.update(symbol_name=f"parse_{(i + c) % 7}", qualified_name=f"mod{c}.Parser{i % 5}.parse_{i % 7}")
            recs.append({"id": f"{c}-{i}", "metadata": meta})
        out.append(recs)
    return out


TOKENS = [["parse_1"], ["parser3"], ["mod1.parser2.parse_2", "parse"], ["pars", "xyz"], ["nothing"]]


def run_threads(work):
    """Runs work(thread_index) in THREADS threads started together; returns their results."""
    barrier = threading.Barrier(THREADS)
    results, errors = [None] * THREADS, []

    def body(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not errors, errors
    return results


needs_bm25 = pytest.mark.skipif(not hasattr(ln, "search_bm25"), reason="BM25 search is not in the module yet")
needs_symbols = pytest.mark.skipif(not hasattr(ln, "search_symbol_index"), reason="symbol index not in the module")


@needs_bm25
def test_threads_share_one_bm25_index():
    index = ln.build_bm25_index(corpus(400))
    expected = [ln.search_bm25(index, q, 50) for q in QUERIES]
    assert any(expected)

    def work(i):
        return [[ln.search_bm25(index, q, 50) for q in QUERIES[i % 3:] + QUERIES[:i % 3]] for _ in range(20)]

    for i, rounds in enumerate(run_threads(work)):
        for got in rounds:
            assert got == expected[i % 3:] + expected[:i % 3]


@needs_bm25
def test_threads_build_and_search_with_interruptions():
    # Serial results for each thread's own corpus, then all threads at once.
    expected = []
    for i in range(THREADS):
        index = ln.build_bm25_index(corpus(60, salt=i))
        expected.append([ln.search_bm25(index, q, 10) for q in QUERIES])
    shared = ln.build_bm25_index(corpus(60))
    shared_expected = [ln.search_bm25(shared, q, 10) for q in QUERIES]

    def work(i):
        out = []
        for _ in range(3):
            index = ln.build_bm25_index(corpus(60, salt=i, yielding=True))
            out.append([ln.search_bm25(index, q, 10) for q in QUERIES])
            out.append([ln.search_bm25(shared, q, 10) for q in QUERIES])
        return out

    for i, got in enumerate(run_threads(work)):
        assert got[0::2] == [expected[i]] * 3
        assert got[1::2] == [shared_expected] * 3


@needs_symbols
def test_threads_share_one_symbol_index():
    index = ln.build_symbol_index(code_corpora(50))
    expected = [ln.search_symbol_index(index, t, 20) for t in TOKENS]
    assert any(expected)

    def work(i):
        return [[ln.search_symbol_index(index, t, 20) for t in TOKENS] for _ in range(20)]

    for rounds in run_threads(work):
        for got in rounds:
            assert got == expected


@needs_symbols
def test_threads_build_symbol_indexes_with_interruptions():
    expected = [ln.search_symbol_index(ln.build_symbol_index(code_corpora(30)), t, 20) for t in TOKENS]
    channel = ln.symbol_channel_search(code_corpora(30), ["parse_1", "pars"], 20)

    def work(i):
        out = []
        for _ in range(3):
            index = ln.build_symbol_index(code_corpora(30, yielding=True))
            out.append([ln.search_symbol_index(index, t, 20) for t in TOKENS])
            out.append(ln.symbol_channel_search(code_corpora(30, yielding=True), ["parse_1", "pars"], 20))
        return out

    for got in run_threads(work):
        assert got[0::2] == [expected] * 3
        assert got[1::2] == [channel] * 3


@pytest.mark.skipif(not hasattr(ln, "extract_code_query_tokens"), reason="not in the module yet")
def test_first_use_of_the_query_patterns_from_many_threads():
    # The patterns are compiled on first use: that first use must happen in
    # a fresh interpreter, from all threads at once.
    script = f"""
import sys, threading
sys.setswitchinterval(1e-6)
import lorvex_native as ln
q = "where is parseXMLRequest in auth/login_handler.py and os.path"
barrier = threading.Barrier({THREADS})
out = []
def body():
    barrier.wait()
    out.append(sorted(ln.extract_code_query_tokens(q)))
ts = [threading.Thread(target=body) for _ in range({THREADS})]
[t.start() for t in ts]
[t.join() for t in ts]
assert len(out) == {THREADS} and all(o == out[0] for o in out), out
assert out[0] == sorted(ln.extract_code_query_tokens(q))
print("ok")
"""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.abspath(ln.__file__))] + [p for p in [env.get("PYTHONPATH")] if p])
    proc = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr[-3000:]
