"""Benchmarks of the fusion, filtering, reranking and vector functions.

Each function is timed against a straightforward pure-Python implementation of
the same contract (below; the tests use them as reference models too) and, for
the vector kernels, against numpy. Every run first checks that both sides give
the same result on the benchmark data.

    python3 bench/bench_ranking.py            # default sizes (about a minute)
    python3 bench/bench_ranking.py --large    # bigger inputs
"""

from __future__ import annotations

import argparse
import math
import random
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


def best_time(fn, *args, repeat=5, min_time=0.2):
    """Best per-call CPU time over `repeat` batches that each run >= min_time/repeat."""
    fn(*args)
    loops, elapsed = 1, 0.0
    while True:
        t0 = clock()
        for _ in range(loops):
            fn(*args)
        elapsed = clock() - t0
        if elapsed >= min_time / repeat or loops >= 1 << 20:
            break
        loops *= 2
    best = elapsed / loops
    for _ in range(repeat - 1):
        t0 = clock()
        for _ in range(loops):
            fn(*args)
        best = min(best, (clock() - t0) / loops)
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


ROWS = []


def report(name, native_s, others):
    for label, seconds in others:
        ROWS.append((name, label, native_s, seconds))


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
    name = f"score_fusion_rrf 2 x {n}"
    report(name, best_time(ln.score_fusion_rrf, vec, bm), [("pure Python", best_time(py_score_fusion_rrf, vec, bm))])
    name = f"score_fusion_weighted 2 x {n}"
    report(
        name,
        best_time(ln.score_fusion_weighted, vec, bm),
        [("pure Python", best_time(py_score_fusion_weighted, vec, bm))],
    )


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--large", action="store_true", help="bigger inputs")
    args = parser.parse_args(argv)
    import lorvex_native as ln

    scale = 10 if args.large else 1
    bench_fusion(ln, 1000 * scale)
    print_table()
    return 0


if __name__ == "__main__":
    sys.exit(main())
