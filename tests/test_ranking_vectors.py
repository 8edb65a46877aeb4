"""cosine_similarity and resolve_entity_alias_groups."""

import inspect
import math
import os
import random
import struct
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "bench"))
from bench_ranking import py_cosine_similarity, py_resolve_entity_alias_groups  # noqa: E402

cosine = ln.cosine_similarity
groups = ln.resolve_entity_alias_groups


def bits(x):
    return struct.pack("<d", x)


def test_signatures_and_docstrings():
    assert str(inspect.signature(cosine)) == "(a, b)"
    assert str(inspect.signature(groups)) == "(embeddings, threshold)"
    assert cosine.__doc__ == (
        "Compute cosine similarity between two float vectors.\n"
        "Returns 0.0 for zero-norm vectors (avoids div-by-zero)."
    )
    assert groups.__doc__ == (
        "Group embedding row indices whose cosine similarity exceeds `threshold`.\n"
        "\n"
        "This avoids materializing the full NxN similarity matrix in Python."
    )


# --- cosine_similarity ----------------------------------------------------------


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([1, 0], [0, 1], 0.0),
        ([1, 2, 3], [2, 4, 6], 1.0),
        ([], [1], 0.0),
        ([0, 0], [1, 1], 0.0),
        ([1, 1, 5], [1, 1], 0.9999999999999998),  # the longer vector's tail is ignored
        ((1.0, 2.0), [1, 2], 0.9999999999999998),  # a tuple and a list of ints
        ([True, 0], [1.0, 0.0], 1.0),
        ([1e-7, 0], [1e-7, 0], 0.0),  # denominator 1e-14 < 1e-12
        ([-1.0, 0], [1.0, 0], -1.0),
    ],
)
def test_cosine_cases(a, b, expected):
    got = cosine(a, b)
    assert bits(got) == bits(expected)


@pytest.mark.parametrize("a, b", [([math.nan], [1.0]), ([math.inf, 0], [1.0, 0]), ([0.0], [math.nan])])
def test_cosine_nan_propagates(a, b):
    assert math.isnan(cosine(a, b))


@pytest.mark.parametrize(
    "a, b, message",
    [
        ("ab", [1.0], "argument 'a': "),
        ([1.0], 3, "argument 'b': 'int' object cannot be converted to 'Sequence'"),
        ([1.0, "x"], [1.0], "argument 'a': must be real number, not str"),
        ([1.0], None, "argument 'b': 'NoneType' object cannot be converted to 'Sequence'"),
    ],
)
def test_cosine_argument_errors(a, b, message):
    with pytest.raises(TypeError) as info:
        cosine(a, b)
    assert str(info.value).startswith(message)


def test_cosine_accepts_numpy_arrays_as_sequences():
    x = np.array([0.5, 0.25, -1.0])
    assert cosine(x, x) == py_cosine_similarity(x.tolist(), x.tolist())


@settings(max_examples=200, deadline=None)
@given(st.lists(st.floats(-1e150, 1e150), max_size=40), st.lists(st.floats(-1e150, 1e150), max_size=40))
def test_cosine_matches_model_bit_for_bit(a, b):
    assert bits(cosine(a, b)) == bits(py_cosine_similarity(a, b))


# --- resolve_entity_alias_groups ---------------------------------------------------


@pytest.mark.parametrize(
    "rows, threshold, expected",
    [
        ([], 0.5, []),
        ([[1.0, 2.0]], -1.0, []),
        ([[1, 0], [1, 0], [0, 1]], 0.9, [[0, 1]]),
        # A~B and B~C pass, A~C does not: one group by transitivity
        ([[1, 0], [0.8, 0.6], [0.28, 0.96]], 0.79, [[0, 1, 2]]),
        ([[1, 0], (1, 0), [1, 0]], 0.9, [[0, 1]]),  # a tuple row takes no position
        ([[0, 0], [1, 0]], 0.0, [[0, 1]]),  # a zero row's dot product is 0.0
        ([[0, 0], [1, 0]], 1e-30, []),
        ([[], [1, 0], [1, 0]], -5.0, [[1, 2]]),  # an empty row never joins
        ([[1, 0], [1, 0]], math.nan, []),
        ([[1, 0], [1, 0]], 1.0, [[0, 1]]),  # equality passes
        ([[3, 4], [3, 4, 100]], 0.5, []),  # the longer row is normalised over all its elements
        ([[1, 0, 0], [1, 0]], 0.99, [[0, 1]]),  # the pair compares over the shorter length
        ([[1, "x", None], [1, 0, 0]], 0.99, [[0, 1]]),  # elements that do not convert read 0.0
        ([[math.nan, 1], [math.nan, 1], [1, 1]], -1.0, []),
        ([[1e20, 1e20], [1, 1]], 0.01, []),  # squares overflow: the row is scaled to zeros
        ([[1e20, 1e20], [1, 1]], 0.0, [[0, 1]]),
        ([[1e-30, 0], [1e-30, 0]], -0.5, [[0, 1]]),  # squares underflow: left as is
    ],
)
def test_alias_cases(rows, threshold, expected):
    assert groups(rows, threshold) == expected
    assert py_resolve_entity_alias_groups(rows, threshold) == expected


def test_alias_groups_follow_the_roots():
    # Exactly the pairs (0, 3), (1, 4) and (2, 3) pass; the second group's root is 2.
    e = [[1, 0, 0, 0, 0], [0, 1, 0, 0, 0], [0, 0, 1, 0, 0], [0, 0, 0, 1, 0], [0, 0, 0, 0, 1]]
    rows = [e[0], e[1], e[2], [1, 0, 1, 0, 0], e[1]]
    assert groups(rows, 0.7) == [[1, 4], [0, 2, 3]]


@pytest.mark.parametrize("threshold, joined", [(1.0000000001, True), (1.0000001, False), (0.99999997, True)])
def test_alias_threshold_is_compared_in_single_precision(threshold, joined):
    # 1.0000000001 rounds to 1.0f; 1.0000001 rounds to the next float above 1.
    assert groups([[1.0, 0.0], [1.0, 0.0]], threshold) == ([[0, 1]] if joined else [])


@pytest.mark.parametrize("kind", [tuple, dict])
def test_alias_argument_errors(kind):
    with pytest.raises(TypeError, match="^argument 'embeddings': '" + kind.__name__):
        groups(kind(), 0.5)
    with pytest.raises(TypeError, match="^argument 'threshold': must be real number, not str$"):
        groups([], "0.5")


class ShrinksRow:
    """An element whose conversion empties the row that holds it."""

    def __init__(self, row):
        self.row = row

    def __float__(self):
        self.row.clear()
        return 1.0


def test_alias_row_changed_during_conversion():
    row = [1.0, 0.0, 0.0]
    row[1] = ShrinksRow(row)
    assert groups([row, [1.0, 1.0]], 0.5) == [[0, 1]]


def clustered(rng, n, d, spread=0.35, lengths=None):
    centres = [[rng.gauss(0, 1) for _ in range(d)] for _ in range(max(1, n // 4))]
    rows = []
    for _ in range(n):
        row = [x + rng.gauss(0, spread) for x in rng.choice(centres)]
        if lengths:
            row = row[: rng.choice(lengths)]
        rows.append([float(np.float32(x)) if rng.random() < 0.5 else x for x in row])
    return rows


def pair_dots(rows):
    """Every pair's float32 dot product summed in index order (numpy, exact)."""
    m = np.zeros((len(rows), max(len(r) for r in rows)), dtype=np.float32)
    for p, r in enumerate(rows):
        v = np.array(r, dtype=np.float32)
        s = np.float32(-0.0)
        for x in v:
            s = np.float32(s + x * x)
        m[p, : len(v)] = v * np.float32(np.float32(1.0) / np.sqrt(s)) if s > 0 else v
    acc = np.zeros((len(rows), len(rows)), dtype=np.float32)
    for i in range(m.shape[1]):
        acc = acc + np.outer(m[:, i], m[:, i])
    return acc


@pytest.mark.parametrize("n, d, lengths", [(40, 9, None), (75, 16, [16, 15, 3, 0]), (100, 5, None)])
def test_alias_matches_model_at_the_threshold(n, d, lengths):
    """Thresholds equal to actual pair sums: a single rounding difference in any
    sum would flip the comparison."""
    rng = random.Random(n * 1000 + d)
    rows = clustered(rng, n, d, lengths=lengths)
    dots = pair_dots(rows)
    candidates = sorted({float(dots[j, k]) for j in range(n) for k in range(j + 1, n)})
    for thr in [candidates[len(candidates) * q // 10] for q in (5, 8, 9)] + [candidates[-1], 0.9]:
        assert groups(rows, thr) == py_resolve_entity_alias_groups(rows, thr)


def test_alias_large_matches_numpy_exact_model():
    """Several row tiles and panel sweeps; compared with an exact numpy model."""
    rng = random.Random(7)
    rows = clustered(rng, 300, 1100, spread=0.6)
    dots = pair_dots(rows)
    thr = float(np.float32(np.quantile(dots[np.triu_indices(300, 1)], 0.97)))
    parent = list(range(300))

    def find(x):
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    js, ks = np.nonzero(np.triu(dots >= np.float32(thr), 1))
    for j, k in sorted(zip(js.tolist(), ks.tolist())):
        rj, rk = find(j), find(k)
        if rj != rk:
            parent[rk] = rj
    members = {}
    for p in range(300):
        members.setdefault(find(p), []).append(p)
    expected = [members[r] for r in sorted(members) if len(members[r]) > 1]
    assert expected and groups(rows, thr) == expected


@settings(max_examples=40, deadline=None)
@given(
    st.lists(
        st.lists(st.sampled_from([0.0, 1.0, -1.0, 0.5, 0.1, 3.0, 1e-40, math.inf, math.nan]), max_size=4),
        max_size=40,
    ),
    st.sampled_from([0.0, 0.5, 0.9, 0.99, 1.0, -0.5]),
)
def test_alias_matches_model_on_odd_values(rows, threshold):
    assert groups(rows, threshold) == py_resolve_entity_alias_groups(rows, threshold)
