#!/usr/bin/env python3
"""BM25 index build and top-10 search: lorvex_native against bm25s, tantivy,
rank_bm25 and a straightforward pure-Python implementation of the same
contract (checked equal to ours on the same queries).

Corpora: chunks of the standard library's sources and docstrings, and a
synthetic Zipf-distributed corpus at 10k and 100k documents (1M with --full).
Every implementation indexes the same texts (its own tokenisation included)
and answers the same queries of 1-6 terms with the top 10, one query per
call. The peers score with their own BM25 variants; what is compared is the
cost of the same job.

    PYTHONPATH=build/dev python3 bench/bench_bm25.py            # about 2 minutes on an idle machine
    PYTHONPATH=build/dev python3 bench/bench_bm25.py --full     # adds the 1M corpus
"""
from __future__ import annotations

import argparse
import ctypes
import gc
import math
import os
import pathlib
import re
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from corpus import stdlib_chunks  # noqa: E402

import lorvex_native as ln  # noqa: E402

TOP_K = 10
WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)
_SPLIT = re.compile("[" + re.escape(WHITE_SPACE) + "]+")


# --- pure Python: the same contract as build_bm25_index / search_bm25 ----------


def py_tokenize(text):
    return [t for t in _SPLIT.split(text.lower()) if t]


class PyBm25:
    def __init__(self, corpus):
        self.lengths, self.postings, df = [], {}, {}
        for p, doc in enumerate(corpus):
            text = doc.get("text")
            tokens = py_tokenize(text) if isinstance(text, str) else []
            counts = {}
            for t in tokens:
                counts[t] = counts.get(t, 0) + 1
            for t, c in counts.items():
                self.postings.setdefault(t, []).append((p, c))
                df[t] = df.get(t, 0) + 1
            self.lengths.append(len(tokens))
        n = len(self.lengths)
        self.avgdl = float(sum(self.lengths)) / float(n) if n else 0.0
        self.idf = {t: math.log((float(n) - float(d) + 0.5) / (float(d) + 0.5) + 1.0) for t, d in df.items()}

    def search(self, query, top_k):
        n = len(self.lengths)
        tokens = py_tokenize(query)
        if n == 0 or not tokens:
            return []
        k1, b = 1.5, 0.75
        avgdl = max(self.avgdl, 1e-9)
        acc, candidates = [0.0] * n, []
        for t in dict.fromkeys(tokens):
            idf = self.idf.get(t, 0.0)
            if t not in self.postings or idf == 0.0:
                continue
            for p, tf in self.postings[t]:
                if acc[p] == 0.0:
                    candidates.append(p)
                c = ((k1 + 1.0) * float(tf)) / ((((float(self.lengths[p]) * b) / avgdl) + (1.0 - b)) * k1 + float(tf)) * idf
                acc[p] = c + acc[p]
        hits = [(p, acc[p]) for p in candidates if acc[p] > 0.0]
        hits.sort(key=lambda h: (-h[1], h[0]))
        return hits[:top_k]


# --- implementations: build(texts, docs) -> searcher; search(searcher, query) -----


def ours_build(texts, docs):
    return ln.build_bm25_index(docs)


def ours_search(idx, q):
    return ln.search_bm25(idx, q, TOP_K)


def pure_build(texts, docs):
    return PyBm25(docs)


def pure_search(model, q):
    return model.search(q, TOP_K)


def bm25s_build(texts, docs):
    import bm25s

    retriever = bm25s.BM25()
    retriever.index(bm25s.tokenize(texts, stopwords=None, show_progress=False), show_progress=False)
    return retriever


def bm25s_search(retriever, q):
    import bm25s

    tokens = bm25s.tokenize([q], stopwords=None, show_progress=False, return_ids=False)
    if not tokens[0]:
        return None
    k = min(TOP_K, retriever.scores["num_docs"])
    return retriever.retrieve(tokens, k=k, show_progress=False)


def tantivy_build(texts, docs):
    import tantivy

    sb = tantivy.SchemaBuilder()
    sb.add_text_field("body", stored=False)
    index = tantivy.Index(sb.build())
    writer = index.writer(heap_size=512_000_000)
    for t in texts:
        writer.add_document(tantivy.Document(body=t))
    writer.commit()
    writer.wait_merging_threads()
    index.reload()
    return index, index.searcher()


def tantivy_search(state, q):
    index, searcher = state
    return searcher.search(index.parse_query(q, ["body"]), TOP_K).hits


def rank_bm25_build(texts, docs):
    from rank_bm25 import BM25Okapi

    return BM25Okapi([t.lower().split() for t in texts])


def rank_bm25_search(model, q):
    scores = model.get_scores(q.lower().split())
    top = np.argsort(-scores, kind="stable")[:TOP_K]
    return [(int(i), float(scores[i])) for i in top]


IMPLS = [
    ("lorvex_native", ours_build, ours_search),
    ("bm25s", bm25s_build, bm25s_search),
    ("tantivy", tantivy_build, tantivy_search),
    ("rank_bm25", rank_bm25_build, rank_bm25_search),
    ("pure Python", pure_build, pure_search),
]
# Implementations whose queries cost a scan of the whole corpus: timed on a
# subset of the queries.
SLOW = {"rank_bm25", "pure Python"}
# Skipped above this many documents (unless --no-limits): their build or
# queries would take many minutes.
LIMITS = {"rank_bm25": 200_000, "pure Python": 50_000, "bm25s": 200_000}


# --- corpora and queries ---------------------------------------------------------


def zipf_corpus(n_docs, seed=0, vocab=200_000, a=1.1):
    rng = np.random.default_rng(seed)
    lengths = rng.integers(10, 91, n_docs)
    ranks = rng.zipf(a, int(lengths.sum()))
    ranks = (ranks - 1) % vocab
    words = [f"w{i}" for i in range(vocab)]
    texts, at = [], 0
    for n in lengths.tolist():
        texts.append(" ".join([words[r] for r in ranks[at:at + n].tolist()]))
        at += n
    n_postings = int(np.unique(np.repeat(np.arange(n_docs, dtype=np.int64), lengths) * vocab + ranks).size)
    return texts, n_postings


def zipf_queries(n, seed=1, vocab=200_000, a=1.1):
    rng = np.random.default_rng(seed)
    return [" ".join(f"w{(r - 1) % vocab}" for r in rng.zipf(a, int(rng.integers(1, 7)))) for _ in range(n)]


_WORD = re.compile(r"^[a-z][a-z0-9]*$")


def text_queries(texts, n, seed=1):
    """Words picked from random documents (plain alphanumeric words, so that
    every library's query parser reads them as terms)."""
    rng = np.random.default_rng(seed)
    out = []
    while len(out) < n:
        words = [w for w in texts[int(rng.integers(len(texts)))].lower().split() if _WORD.match(w)]
        if not words:
            continue
        k = int(rng.integers(1, 7))
        out.append(" ".join(words[int(i)] for i in rng.integers(0, len(words), k)))
    return out


def count_postings(texts):
    return sum(len(set(py_tokenize(t))) for t in texts)


# --- measurement -------------------------------------------------------------------


try:
    _malloc_trim = ctypes.CDLL("libc.so.6").malloc_trim
except (OSError, AttributeError):  # not glibc
    _malloc_trim = None  # type: ignore[assignment]


def rss_bytes():
    """Resident set size after handing freed heap memory back to the system,
    so that the growth over a build is what the built index keeps."""
    gc.collect()
    if _malloc_trim is not None:
        _malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def time_build(build, texts, docs, reps):
    """Best build time of `reps` runs, the last built state, and the RSS
    growth of the first build."""
    best, state, grown = math.inf, None, 0
    for rep in range(reps):
        state = None
        rss0 = rss_bytes()
        t0 = time.perf_counter()
        state = build(texts, docs)
        best = min(best, time.perf_counter() - t0)
        if rep == 0:
            grown = rss_bytes() - rss0
    return best, state, grown


def time_queries(search, state, queries, repeat, budget_s=3.0):
    """Latency of each query: the best of `repeat` passes (fewer when one pass
    takes longer than `budget_s`), which keeps preemption by other processes
    out of the figures."""
    lat = np.full(len(queries), np.inf)
    for rep in range(repeat):
        start = time.perf_counter()
        for i, q in enumerate(queries):
            t0 = time.perf_counter_ns()
            search(state, q)
            lat[i] = min(lat[i], time.perf_counter_ns() - t0)
        if time.perf_counter() - start > budget_s:
            break
    lat = lat / 1e3  # microseconds
    return lat.mean(), np.percentile(lat, 50), np.percentile(lat, 99)


def dictionary_bytes(texts):
    """Size of lorvex_native's term dictionary for these texts: slots of 32
    bytes (load at most one half, at least 1024), the term bytes, and two
    8-byte offsets per term."""
    terms = set()
    for t in texts:
        terms.update(py_tokenize(t))
    slots = 1024
    while len(terms) * 2 > slots:
        slots *= 2
    return len(terms), slots * 32 + sum(len(t.encode()) for t in terms) + 16 * (len(terms) + 1)


def run_corpus(name, texts, n_postings, queries, slow_queries, only, repeat, no_limits=False):
    docs = [{"id": str(i), "text": t, "metadata": {}} for i, t in enumerate(texts)]
    n = len(docs)
    print(f"\n== {name}: {n:,} documents, {n_postings:,} postings, {len(queries)} queries "
          f"({slow_queries} for rank_bm25 and pure Python) ==")
    rows = {}
    ours_idx = None
    for impl, build, search in IMPLS:
        if only and impl not in only and impl != "lorvex_native":
            continue
        if impl in LIMITS and n > LIMITS[impl] and not no_limits:
            continue
        qs = queries[:slow_queries] if impl in SLOW else queries
        reps = 3 if impl == "lorvex_native" and n <= 200_000 else 1
        build_s, state, grown = time_build(build, texts, docs, reps)
        mean, p50, p99 = time_queries(search, state, qs, repeat)
        rows[impl] = (build_s, mean, p50, p99)
        if impl == "lorvex_native":
            ours_idx = state
            n_terms, dict_bytes = dictionary_bytes(texts)
            print(f"lorvex_native index: RSS growth {grown / 2**20:.1f} MiB = {grown / max(n_postings, 1):.1f} bytes "
                  f"per posting; less the term dictionary ({n_terms:,} terms, {dict_bytes / 2**20:.1f} MiB): "
                  f"{(grown - dict_bytes) / max(n_postings, 1):.1f} bytes per posting")
        if impl == "pure Python":
            for q in qs:
                assert ln.search_bm25(ours_idx, q, TOP_K) == state.search(q, TOP_K), q
            print(f"pure Python results equal lorvex_native on {len(qs)} queries")
        state = None
        gc.collect()
    ours = rows["lorvex_native"]
    print(f"{'implementation':<15}{'build s':>10}{'x ours':>9}{'query mean us':>15}{'p50 us':>10}{'p99 us':>10}{'x ours':>9}")
    for impl, (b, mean, p50, p99) in rows.items():
        print(f"{impl:<15}{b:>10.3f}{b / ours[0]:>9.1f}{mean:>15.1f}{p50:>10.1f}{p99:>10.1f}{mean / ours[1]:>9.1f}")
    return rows


def plot(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = sorted(results)
    impls = [name for name, _, _ in IMPLS]
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(11, 4.2))
    for impl in impls:
        xs = [s for s in sizes if impl in results[s]]
        if not xs:
            continue
        ax1.plot(xs, [results[s][impl][0] for s in xs], marker="o", label=impl)
        ax2.plot(xs, [results[s][impl][1] / 1e3 for s in xs], marker="o", label=impl)
    for ax, title, unit in ((ax1, "Index build (same texts)", "seconds"),
                            (ax2, f"Query, top {TOP_K}, mean latency", "milliseconds")):
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("documents (Zipf corpus)")
        ax.set_ylabel(unit)
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.3)
    ax1.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"\nplot saved to {path}")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--full", action="store_true", help="add the 1M-document Zipf corpus")
    ap.add_argument("--queries", type=int, default=1000)
    ap.add_argument("--no-limits", action="store_true", help="run every peer at every size")
    ap.add_argument("--repeat", type=int, default=3, help="runs per query; the best counts")
    ap.add_argument("--slow-queries", type=int, default=20, help="queries timed for rank_bm25 and pure Python")
    ap.add_argument("--stdlib-docs", type=int, default=20_000, help="0 skips the standard library corpus")
    ap.add_argument("--sizes", type=int, nargs="*", help="Zipf corpus sizes (default 10000 100000, and 1000000 with --full)")
    ap.add_argument("--only", nargs="*", help="peers to run besides lorvex_native ('none' for none)")
    ap.add_argument("--plot", default=str(pathlib.Path(__file__).with_name("bench_bm25.png")))
    args = ap.parse_args()

    if args.stdlib_docs:
        texts = [d["text"] for d in stdlib_chunks(args.stdlib_docs)]
        run_corpus("standard library chunks", texts, count_postings(texts), text_queries(texts, args.queries),
                   args.slow_queries, args.only, args.repeat)

    sizes = args.sizes or [10_000, 100_000] + ([1_000_000] if args.full else [])
    queries = zipf_queries(args.queries)
    results = {}
    for n in sizes:
        texts, n_postings = zipf_corpus(n)
        results[n] = run_corpus(f"Zipf {n:,}", texts, n_postings, queries, args.slow_queries, args.only, args.repeat,
                                args.no_limits)
        texts = None
    ours = [results[n]["lorvex_native"][0] / n * 1e6 for n in sizes]
    print("\nlorvex_native build time per document (us): "
          + ", ".join(f"{n:,}: {t:.2f}" for n, t in zip(sizes, ours)))
    plot(results, args.plot)


if __name__ == "__main__":
    main()
