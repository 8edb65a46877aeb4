"""Benchmarks of the fusion, filtering, reranking and vector functions.

Each function is timed against a straightforward pure-Python implementation of
the same contract (below; the tests use them as reference models too) and, for
the vector kernels, against numpy. Every run first checks that both sides give
the same result on the benchmark data.

    python3 bench/bench_ranking.py            # default sizes (about a minute)
    python3 bench/bench_ranking.py --large    # bigger inputs
"""

from __future__ import annotations

import os

# One BLAS thread: the native functions run on one core, and CPU time is
# what the table compares.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import argparse
import math
import random
import re
import struct
import sys
import time

# --- record readers ------------------------------------------------------------------
# Fields are read from the dict's own storage (dict.get bypasses a subclass's
# __getitem__/__missing__); a missing or malformed field reads as "", 0.0 or None.


def read_str(record, key):
    value = dict.get(record, key)
    if not isinstance(value, str):
        return ""
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return ""
    return value


def to_float(value):
    """The interpreter's float conversion of a value, None when it fails."""
    if type(value) is float:
        return value
    kind = type(value)
    if not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
        return None
    try:
        return float(value)
    except Exception:
        return None


def read_optional(record, key):
    try:
        value = dict.get(record, key)
    except Exception:
        return None
    return None if value is None else to_float(value)


def read_score(record):
    value = read_optional(record, "score")
    return 0.0 if value is None else value


def require_dict(item):
    if not isinstance(item, dict):
        raise TypeError(f"'{type(item).__qualname__}' object cannot be converted to 'PyDict'")


def order_desc(scores):
    """Positions by score, highest first, stable (NaN-free input)."""
    return sorted(range(len(scores)), key=lambda p: -scores[p])


# --- pure-Python implementations -------------------------------------------------------


def rank_term(position, kf):
    d = position + kf
    return 1.0 / d if d else math.inf


def py_score_fusion_rrf(vector_results, bm25_results, k=60):
    kf = float(k)
    fused, vector, kept = {}, {}, {}
    for i, record in enumerate(vector_results):
        require_dict(record)
        rid = read_str(record, "id")
        fused[rid] = rank_term(i, kf) + fused.get(rid, 0.0)
        vector[rid] = read_score(record)
        kept.setdefault(rid, record)
    for j, record in enumerate(bm25_results):
        require_dict(record)
        rid = read_str(record, "id")
        fused[rid] = rank_term(j, kf) + fused.get(rid, 0.0)
        kept.setdefault(rid, record)
    ids = list(fused)
    out = []
    for p in order_desc([fused[rid] for rid in ids]):
        rid = ids[p]
        copy = dict(kept[rid])
        copy["score"] = fused[rid]
        copy["vector_score"] = vector.get(rid, 0.0)
        out.append(copy)
    return out


def min_max_norm(values):
    if not values:
        return []
    mn, mx = math.inf, -math.inf
    for v in values:
        if v < mn:
            mn = v
        if v > mx:
            mx = v
    diff = mx - mn
    if abs(diff) < 1e-12:
        return [1.0 if mx > 0.0 else 0.0] * len(values)
    return [(v - mn) / diff for v in values]


def py_score_fusion_weighted(vector_results, bm25_results, weight=0.7):
    weight = float(weight)
    bm25_weight = 1.0 - weight
    raw_vec = [read_score(r) if isinstance(r, dict) else 0.0 for r in vector_results]
    raw_bm = [read_score(r) if isinstance(r, dict) else 0.0 for r in bm25_results]
    norm_vec, norm_bm = min_max_norm(raw_vec), min_max_norm(raw_bm)
    merged, fused, where = [], [], {}
    for i, record in enumerate(vector_results):
        require_dict(record)
        rid = read_str(record, "id")
        copy = dict(record)
        copy["vector_score"] = raw_vec[i]
        where[rid] = len(merged)
        merged.append(copy)
        fused.append(norm_vec[i] * weight)
    for j, record in enumerate(bm25_results):
        require_dict(record)
        rid = read_str(record, "id")
        contribution = norm_bm[j] * bm25_weight
        p = where.get(rid)
        if p is not None:
            fused[p] = contribution + fused[p]
            merged[p]["score"] = fused[p]
            continue
        copy = dict(record)
        copy["vector_score"] = 0.0
        copy["fused_only"] = True
        where[rid] = len(merged)
        merged.append(copy)
        fused.append(contribution)
    for p, copy in enumerate(merged):
        copy["score"] = fused[p]
    return [merged[p] for p in order_desc(fused)]


def py_dedupe_best_by_id(results):
    best = {}
    for record in results:
        require_dict(record)
        rid = read_str(record, "id")
        if not rid:
            continue
        score = read_score(record)
        if rid not in best or score > best[rid][1]:
            best[rid] = (dict(record), score)
    return [copy for copy, _ in best.values()]


def is_true_bool(value):
    if type(value) is bool:
        return value
    return type(value).__module__ == "numpy" and type(value).__name__ in ("bool", "bool_") and bool(value)


def py_filter_results_by_threshold(results, threshold, score_field="vector_score"):
    threshold = float(threshold)
    fallback = "vector_score" if score_field == "score" else "score"
    out = []
    for record in results:
        require_dict(record)
        if is_true_bool(dict.get(record, "fused_only")):
            out.append(dict(record))
            continue
        score = read_optional(record, score_field)
        if score is None:
            score = read_optional(record, fallback)
        if (0.0 if score is None else score) >= threshold:
            out.append(dict(record))
    return out


WHITE_SPACE = re.compile("[\t\n\x0b\x0c\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+")
_NOT_KEPT = None


def tokenize_for_mmr(text):
    """Words split at White_Space, reduced to Alphabetic/Nd/Nl/No characters and
    lower-cased as a whole; empty results are dropped."""
    global _NOT_KEPT
    if _NOT_KEPT is None:
        import regex  # Unicode properties (Alphabetic) that `re` lacks

        _NOT_KEPT = regex.compile(r"[^\p{Alphabetic}\p{Nd}\p{Nl}\p{No}]+")
    tokens = []
    for word in WHITE_SPACE.split(text):
        kept = _NOT_KEPT.sub("", word).lower()
        if kept:
            tokens.append(kept)
    return tokens


def jaccard(a, b):
    common = len(a & b)
    union = len(a) + len(b) - common
    return common / union if union else 0.0


def py_mmr_rerank(results, lambda_mult=0.5, dup_threshold=0.85, cache_max_sim=False):
    """MMR as written: max_sim recomputed over the selected records for every
    candidate at every step. With cache_max_sim each candidate keeps its running
    maximum instead (the same result, quadratic rather than cubic)."""
    lambda_mult, dup_threshold = float(lambda_mult), float(dup_threshold)
    if len(results) < 2:
        return list(results)
    relevance, tokens = [], []
    for record in results:
        require_dict(record)
        relevance.append(read_score(record))
        tokens.append(frozenset(tokenize_for_mmr(read_str(record, "text"))))
    remaining, selected = list(range(len(results))), []
    cached = [0.0] * len(results)
    one_minus = 1.0 - lambda_mult

    def max_sim(c):
        if cache_max_sim:
            return cached[c]
        best = 0.0
        for s in selected:
            sim = jaccard(tokens[c], tokens[s])
            if sim > best:
                best = sim
        return best

    while remaining:
        best, best_value = None, None
        for c in remaining:
            value = relevance[c] if not selected else (lambda_mult * relevance[c]) - (one_minus * max_sim(c))
            if best is None or not (best_value > value):
                best, best_value = c, value
        remaining.remove(best)
        if selected and max_sim(best) >= dup_threshold:
            continue
        selected.append(best)
        if cache_max_sim:
            for c in remaining:
                sim = jaccard(tokens[c], tokens[best])
                if sim > cached[c]:
                    cached[c] = sim
    return [results[s] for s in selected]


def py_cosine_similarity(a, b):
    n = min(len(a), len(b))
    if n == 0:
        return 0.0
    dot = sa = sb = 0.0
    for i in range(n):
        x, y = float(a[i]), float(b[i])
        dot = dot + x * y
        sa = sa + x * x
        sb = sb + y * y
    denom = math.sqrt(sa) * math.sqrt(sb)
    if denom < 1e-12:  # False for NaN, as in the native code
        return 0.0
    return dot / denom


def _f32(x):
    """Rounds a Python float to single precision (IEEE, overflow to infinity)."""
    import numpy as np

    with np.errstate(over="ignore"):
        return float(np.float32(x))


def py_resolve_entity_alias_groups(embeddings, threshold):
    """Alias grouping in pure Python, single precision emulated by rounding every
    operation's double result to float32 (exact for +, *, / and sqrt)."""
    rows = []
    for row in embeddings:
        if not isinstance(row, list):
            continue
        values = []
        for x in row:
            d = to_float(x)
            values.append(_f32(0.0 if d is None else d))
        rows.append(values)
    for v in rows:
        s = -0.0
        for x in v:
            s = _f32(s + _f32(x * x))
        if s > 0.0:
            inv = _f32(1.0 / _f32(math.sqrt(s)))
            v[:] = [_f32(x * inv) for x in v]
    thr = _f32(float(threshold))
    n = len(rows)
    parent = list(range(n))

    def find(x):
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    for j in range(n):
        for k in range(j + 1, n):
            m = min(len(rows[j]), len(rows[k]))
            if m == 0:
                continue
            dot = 0.0
            a, b = rows[j], rows[k]
            for i in range(m):
                dot = _f32(dot + _f32(a[i] * b[i]))
            if dot >= thr:
                rj, rk = find(j), find(k)
                if rj != rk:
                    parent[rk] = rj
    groups = {}
    for p in range(n):
        groups.setdefault(find(p), []).append(p)
    return [groups[r] for r in sorted(groups) if len(groups[r]) > 1]


def numpy_alias_groups(embeddings, threshold):
    """The numpy route: normalise, one matrix product, threshold, union-find in
    Python. Not bit-exact (the product reorders each sum); O(n^2) memory."""
    import numpy as np

    m = np.asarray(embeddings, dtype=np.float32)
    norms = np.sqrt((m * m).sum(axis=1, dtype=np.float32))
    norms[norms == 0] = 1.0
    m = m / norms[:, None]
    sims = m @ m.T
    js, ks = np.nonzero(np.triu(sims >= np.float32(threshold), 1))
    parent = list(range(len(m)))

    def find(x):
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    for j, k in zip(js.tolist(), ks.tolist()):
        rj, rk = find(j), find(k)
        if rj != rk:
            parent[rk] = rj
    groups = {}
    for p in range(len(m)):
        groups.setdefault(find(p), []).append(p)
    return [groups[r] for r in sorted(groups) if len(groups[r]) > 1]


# --- benchmark driver -----------------------------------------------------------------

WORDS = (
    "search index vector graph entity relation chunk token query score fusion rank "
    "code symbol module function class method python rust memory cache latency "
    "alpha beta gamma delta epsilon zeta eta theta iota kappa lambda mu nu xi "
    "omicron pi rho sigma tau upsilon phi chi psi omega the of and to in is"
).split()


def make_records(n, rng, prefix="doc", id_space=None, words=12):
    id_space = id_space or n
    return [
        {
            "id": f"{prefix}-{rng.randrange(id_space)}",
            "text": " ".join(rng.choice(WORDS) for _ in range(words)),
            "score": rng.random() * 10.0,
            "metadata": {"source": "bench"},
        }
        for _ in range(n)
    ]


# CPU time of this process: other jobs on a busy machine do not inflate it.
clock = time.process_time


def _loops_for(call, min_time):
    call()
    loops = 1
    while True:
        t0 = clock()
        for _ in range(loops):
            call()
        if clock() - t0 >= min_time or loops >= 1 << 20:
            return loops
        loops *= 2


def best_times(calls, repeat=7, min_time=0.03, budget=1.5):
    """Best per-call CPU time of each call. The calls take turns batch by batch,
    so that a change of machine load affects them alike; a slow call stops
    repeating once it has used `budget` seconds (after two batches)."""
    loops = [_loops_for(c, min_time) for c in calls]
    best = [math.inf] * len(calls)
    spent = [0.0] * len(calls)
    for round_ in range(repeat):
        for i, call in enumerate(calls):
            if round_ >= 2 and spent[i] > budget:
                continue
            t0 = clock()
            for _ in range(loops[i]):
                call()
            elapsed = clock() - t0
            spent[i] += elapsed
            best[i] = min(best[i], elapsed / loops[i])
    return best


def bits(value):
    return struct.unpack("<q", struct.pack("<d", value))[0] if isinstance(value, float) else value


def same_records(a, b):
    """Equal lists of dicts, floats compared bit for bit, key order included."""
    if len(a) != len(b):
        return False
    for x, y in zip(a, b):
        if list(x) != list(y) or [bits(v) for v in x.values()] != [bits(v) for v in y.values()]:
            return False
    return True


ROWS: list[tuple[str, ...]] = []


def compare(name, native, baselines):
    """Times native() against each (label, call) and records the rows."""
    times = best_times([native] + [call for _, call in baselines])
    for (label, _), seconds in zip(baselines, times[1:]):
        ROWS.append((name, label, times[0], seconds))


def print_table():
    print(f"{'benchmark':44} {'baseline':22} {'native':>11} {'baseline':>11} {'speed-up':>9}")
    for name, label, native_s, other_s in ROWS:
        print(f"{name:44} {label:22} {native_s * 1e6:9.1f}us {other_s * 1e6:9.1f}us {other_s / native_s:8.1f}x")


def bench_fusion(ln, n):
    rng = random.Random(1)
    vec = make_records(n, rng, id_space=n)
    bm = make_records(n, rng, id_space=n)
    assert same_records(ln.score_fusion_rrf(vec, bm), py_score_fusion_rrf(vec, bm))
    assert same_records(ln.score_fusion_weighted(vec, bm), py_score_fusion_weighted(vec, bm))
    compare(
        f"score_fusion_rrf 2 x {n}",
        lambda: ln.score_fusion_rrf(vec, bm),
        [("pure Python", lambda: py_score_fusion_rrf(vec, bm))],
    )
    compare(
        f"score_fusion_weighted 2 x {n}",
        lambda: ln.score_fusion_weighted(vec, bm),
        [("pure Python", lambda: py_score_fusion_weighted(vec, bm))],
    )


def bench_filters(ln, n):
    """Both filters on the two fusion inputs joined (2 x n records)."""
    rng = random.Random(2)
    recs = make_records(2 * n, rng, id_space=n)
    for r in recs:
        r["vector_score"] = rng.random()
        if rng.random() < 0.1:
            r["fused_only"] = True
    assert same_records(ln.dedupe_best_by_id(recs), py_dedupe_best_by_id(recs))
    assert same_records(ln.filter_results_by_threshold(recs, 0.5), py_filter_results_by_threshold(recs, 0.5))
    compare(
        f"dedupe_best_by_id 2 x {n}",
        lambda: ln.dedupe_best_by_id(recs),
        [("pure Python", lambda: py_dedupe_best_by_id(recs))],
    )
    compare(
        f"filter_results_by_threshold 2 x {n}",
        lambda: ln.filter_results_by_threshold(recs, 0.5),
        [("pure Python", lambda: py_filter_results_by_threshold(recs, 0.5))],
    )


def make_vocabulary(size, rng):
    letters = "abcdefghijklmnopqrstuvwxyz"
    return [
        "".join(rng.choice(letters) for _ in range(rng.randint(2, 9))) + rng.choice(["", ",", ".", "'s"])
        for _ in range(size)
    ]


def bench_mmr(ln, n, words):
    rng = random.Random(3)
    vocabulary = make_vocabulary(3000, rng)
    weights = [1.0 / (r + 1) for r in range(len(vocabulary))]  # Zipf-like word frequencies
    base = [rng.choices(vocabulary, weights, k=words) for _ in range(n // 2)]
    recs = []
    for i in range(n):
        text = list(base[i % len(base)]) if i % 5 == 0 else rng.choices(vocabulary, weights, k=words)
        if i % 5 == 0:  # a near-duplicate of an earlier text
            text[rng.randrange(words)] = rng.choice(vocabulary).capitalize()
        recs.append({"id": str(i), "text": " ".join(text), "score": rng.random()})
    expected = ln.mmr_rerank(recs)
    assert [r["id"] for r in expected] == [r["id"] for r in py_mmr_rerank(recs)]
    assert [r["id"] for r in expected] == [r["id"] for r in py_mmr_rerank(recs, cache_max_sim=True)]
    compare(
        f"mmr_rerank {n} x {words} words",
        lambda: ln.mmr_rerank(recs),
        [
            ("pure Python", lambda: py_mmr_rerank(recs)),
            ("pure Python, cached", lambda: py_mmr_rerank(recs, cache_max_sim=True)),
        ],
    )


def cpu_mhz():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("cpu MHz"):
                    return float(line.split(":")[1])
    except OSError:
        pass
    return None


def bench_vectors(ln, dim, rows, large):
    import numpy as np

    rng = random.Random(4)
    a = [rng.gauss(0, 1) for _ in range(dim)]
    b = [rng.gauss(0, 1) for _ in range(dim)]
    assert ln.cosine_similarity(a, b) == py_cosine_similarity(a, b)

    def numpy_cosine():
        x, y = np.asarray(a), np.asarray(b)
        denom = np.linalg.norm(x) * np.linalg.norm(y)
        return 0.0 if denom < 1e-12 else float(x @ y / denom)

    assert abs(numpy_cosine() - ln.cosine_similarity(a, b)) < 1e-12
    compare(
        f"cosine_similarity {dim}-d lists",
        lambda: ln.cosine_similarity(a, b),
        [("numpy (from lists)", numpy_cosine), ("pure Python", lambda: py_cosine_similarity(a, b))],
    )

    # Alias grouping: clusters of noisy copies of random directions.
    def embeddings(n, d):
        centres = [[rng.gauss(0, 1) for _ in range(d)] for _ in range(max(1, n // 3))]
        return [[x + rng.gauss(0, 0.35) for x in rng.choice(centres)] for _ in range(n)]

    small = embeddings(80, 48)
    assert ln.resolve_entity_alias_groups(small, 0.8) == py_resolve_entity_alias_groups(small, 0.8)
    compare(
        "resolve_entity_alias_groups 80 x 48",
        lambda: ln.resolve_entity_alias_groups(small, 0.8),
        [("pure Python", lambda: py_resolve_entity_alias_groups(small, 0.8))],
    )

    emb = embeddings(rows, dim)
    ours = ln.resolve_entity_alias_groups(emb, 0.8)
    theirs = numpy_alias_groups(emb, 0.8)
    if ours != theirs:  # the matrix product rounds differently; report, do not fail
        print(f"note: numpy grouping differs near the threshold ({len(ours)} vs {len(theirs)} groups)")
    times = best_times(
        [lambda: ln.resolve_entity_alias_groups(emb, 0.8), lambda: numpy_alias_groups(emb, 0.8)],
        repeat=3,
        min_time=0.0,
    )
    ROWS.append((f"resolve_entity_alias_groups {rows} x {dim}", "numpy matmul + union", times[0], times[1]))
    pairs = rows * (rows - 1) // 2
    flops = 2.0 * pairs * dim / times[0]
    line = f"alias grouping: {pairs / times[0] / 1e6:.1f} M pairs/s, {flops / 1e9:.1f} GFLOP/s single precision"
    mhz = cpu_mhz()
    if mhz:
        peak = mhz * 1e6 * 32  # two 256-bit FMA pipes: 32 single-precision FLOP per cycle
        line += f" = {100 * flops / peak:.0f}% of one core's peak ({peak / 1e9:.0f} GFLOP/s at {mhz:.0f} MHz)"
    line += f"; vector unit: {cpu_vector_isa()}; memory O(n*d): {rows * dim * 4 * 2 / 1e6:.0f} MB of panels vs {rows * rows * 4 / 1e6:.0f} MB for the n x n matrix"
    NOTES.append(line)


def cpu_vector_isa():
    flags = open("/proc/cpuinfo").read() if os.path.exists("/proc/cpuinfo") else ""
    return "avx512f" if " avx512f" in flags else "avx2" if " avx2" in flags else "sse2"


NOTES: list[str] = []


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--large", action="store_true", help="bigger inputs")
    args = parser.parse_args(argv)
    import lorvex_native as ln

    scale = 10 if args.large else 1
    bench_fusion(ln, 1000 * scale)
    bench_filters(ln, 1000 * scale)
    bench_mmr(ln, 200 * (5 if args.large else 1), 50)
    bench_vectors(ln, 384, 5000 * (2 if args.large else 1), args.large)
    print_table()
    for note in NOTES:
        print(note)
    return 0


if __name__ == "__main__":
    sys.exit(main())
