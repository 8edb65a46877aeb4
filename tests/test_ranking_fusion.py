"""score_fusion_rrf and score_fusion_weighted."""

import copy
import inspect
import math
import os
import sys

import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "bench"))
from bench_ranking import py_score_fusion_rrf, py_score_fusion_weighted, same_records  # noqa: E402

rrf = ln.score_fusion_rrf
weighted = ln.score_fusion_weighted


def test_signatures_and_docstrings():
    assert str(inspect.signature(rrf)) == "(vector_results, bm25_results, k=60)"
    assert str(inspect.signature(weighted)) == "(vector_results, bm25_results, weight=0.7)"
    assert rrf.__doc__ == (
        "Merge vector + BM25 results using Reciprocal Rank Fusion.\n"
        "k: RRF smoothing constant (default 60).\n"
        'Preserves original vector score in "vector_score" field.'
    )
    assert weighted.__doc__ == (
        "Merge vector + BM25 results using weighted normalized score fusion.\n"
        "weight: 1.0 = pure semantic, 0.0 = pure lexical.\n"
        "Returns a combined list sorted by fused score descending."
    )


# --- reciprocal rank fusion ---------------------------------------------------------


def test_rrf_empty():
    assert rrf([], []) == []


def test_rrf_vector_only_record_keeps_its_score_as_vector_score():
    a = {"id": "a", "score": 0.9, "text": "x"}
    [out] = rrf([a], [])
    assert out == {"id": "a", "score": 0.016666666666666666, "text": "x", "vector_score": 0.9}
    assert list(out) == ["id", "score", "text", "vector_score"]
    assert out is not a and a == {"id": "a", "score": 0.9, "text": "x"}


def test_rrf_id_in_both_lists_sums_and_keeps_vector_copy():
    v = {"id": "a", "score": 0.5, "from": "vector"}
    b = {"id": "a", "score": 12.0, "from": "bm25"}
    [out] = rrf([v], [b])
    assert out["score"] == 2 / 60 and out["from"] == "vector" and out["vector_score"] == 0.5


def test_rrf_bm25_only_record_gets_zero_vector_score():
    [out] = rrf([], [{"id": "b", "score": 3.0, "vector_score": 0.8}])
    assert out["vector_score"] == 0.0 and out["score"] == 1 / 60


def test_rrf_records_without_id_fuse_under_empty_id():
    recs = [{"score": 0.1, "n": 1}, {"score": 0.2, "n": 2}, {"id": 5, "score": 0.3, "n": 3}]
    [out] = rrf(recs, [])
    assert out["n"] == 1
    assert out["score"] == 1.0 / 60 + 1.0 / 61 + 1.0 / 62
    assert out["vector_score"] == 0.3


@pytest.mark.parametrize(
    "k, scores",
    [
        (0, [math.inf, 1.0]),  # position 0 divides by zero
        (-1, [math.inf, -1.0]),  # position 1 divides by zero, position 0 gives -1
        (2**63 - 1, [1.0 / 2**63, 1.0 / 2**63]),
    ],
)
def test_rrf_k_is_not_range_checked(k, scores):
    out = rrf([{"id": "a"}, {"id": "b"}], [], k)
    assert sorted(r["score"] for r in out) == sorted(scores)


def test_rrf_order_best_first_and_duplicates_contribute_per_position():
    v = [{"id": "x"}, {"id": "y"}, {"id": "x"}]
    b = [{"id": "z"}, {"id": "y"}]
    out = rrf(v, b, k=1)
    assert [r["id"] for r in out] == ["x", "y", "z"]
    assert out[0]["score"] == 1.0 / 1.0 + 1.0 / 3.0
    assert out[1]["score"] == 1.0 / 2.0 + 1.0 / 2.0


@pytest.mark.parametrize(
    "args, message",
    [
        (([], [], 60.0), "argument 'k': 'float' object cannot be interpreted as an integer"),
        (([], [], None), "argument 'k': "),
        (((), []), "argument 'vector_results': 'tuple' object cannot be converted to 'PyList'"),
        (([], {}), "argument 'bm25_results': 'dict' object cannot be converted to 'PyList'"),
        (([{"id": "a"}, 3], []), "'int' object cannot be converted to 'PyDict'"),
        (([], [{"id": "a"}, "s"]), "'str' object cannot be converted to 'PyDict'"),
    ],
)
def test_rrf_argument_errors(args, message):
    with pytest.raises(TypeError) as info:
        rrf(*args)
    assert str(info.value).startswith(message)


def test_rrf_k_overflow():
    with pytest.raises(OverflowError):
        rrf([], [], 2**63)


class Missing(dict):
    def __missing__(self, key):
        return "computed"

    def __getitem__(self, key):
        return "overridden"


def test_records_are_read_from_dict_storage_and_copied_as_plain_dicts():
    rec = Missing(score=2)
    [out] = rrf([rec], [])
    assert type(out) is dict and out == {"score": 1 / 60, "vector_score": 2.0}
    [out] = weighted([rec], [])
    assert type(out) is dict and out == {"score": 0.7, "vector_score": 2.0}


def test_nested_values_are_shared_not_copied():
    meta = {"k": 1}
    [out] = rrf([{"id": "a", "metadata": meta}], [])
    assert out["metadata"] is meta


# --- weighted fusion --------------------------------------------------------------


def test_weighted_worked_example():
    v = [{"id": "a", "score": 0.9}, {"id": "b", "score": 0.5}]
    b = [{"id": "b", "score": 12.0}, {"id": "c", "score": 3.0}]
    snapshot = copy.deepcopy((v, b))
    out = weighted(v, b)
    assert out == [
        {"id": "a", "score": 0.7, "vector_score": 0.9},
        {"id": "b", "score": 0.30000000000000004, "vector_score": 0.5},
        {"id": "c", "score": 0.0, "vector_score": 0.0, "fused_only": True},
    ]
    assert list(out[2]) == ["id", "score", "vector_score", "fused_only"]
    assert (v, b) == snapshot


@pytest.mark.parametrize(
    "scores, fused",
    [
        ([0.42], [0.7]),
        ([0.0], [0.0]),
        ([-1.0], [0.0]),
        ([0.5, 0.5 + 1e-13], [0.7, 0.7]),  # spread below 1e-12
        ([float("nan"), 2.0], [0.7, 0.7]),  # NaN is skipped for the spread, which is 0
        ([float("nan"), 1.0, 3.0], None),  # with a spread, NaN stays NaN
        ([None, "3", 1], [0.0, 0.0, 0.7]),  # unreadable scores read 0.0
    ],
)
def test_weighted_normalisation(scores, fused):
    recs = [{"id": str(i), "score": s} for i, s in enumerate(scores)]
    out = {r["id"]: r["score"] for r in weighted(recs, [])}
    got = [out[str(i)] for i in range(len(scores))]
    if fused is None:
        assert math.isnan(got[0]) and got[1:] == [0.0, 0.7]
    else:
        assert got == fused


def test_weighted_vector_duplicates_and_bm25_merge():
    v = [{"id": "a", "score": 1.0, "n": 1}, {"id": "a", "score": 0.0, "n": 2}]
    b = [{"id": "a", "score": 5.0}, {"id": "z", "score": 1.0, "n": 3}, {"id": "z", "score": 3.0, "n": 4}]
    out = weighted(v, b)
    # BM25 hit adds to the last vector occurrence of "a"; "z" merges into its first copy.
    assert [(r["n"], r["score"]) for r in out] == [(1, 0.7), (2, 0.30000000000000004), (3, 0.15000000000000002)]
    assert "fused_only" not in out[1] and out[2]["fused_only"] is True and out[2]["vector_score"] == 0.0


@pytest.mark.parametrize(
    "weight, expected",
    [(1.0, [("v", 1.0), ("b", 0.0)]), (0.0, [("b", 1.0), ("v", 0.0)]), (2, [("v", 2.0), ("b", -1.0)])],
)
def test_weighted_extreme_weights(weight, expected):
    out = weighted([{"id": "v", "score": 1.0}], [{"id": "b", "score": 1.0}], weight)
    assert [(r["id"], r["score"]) for r in out] == expected
    assert [r.get("fused_only") for r in out] == [True if i == "b" else None for i, _ in expected]


@pytest.mark.parametrize(
    "args, message",
    [
        (([], [], "x"), "argument 'weight': must be real number, not str"),
        (([1], []), "'int' object cannot be converted to 'PyDict'"),
        (([], [None]), "'NoneType' object cannot be converted to 'PyDict'"),
    ],
)
def test_weighted_argument_errors(args, message):
    with pytest.raises(TypeError, match="^" + message.replace("(", r"\(")):
        weighted(*args)


# --- differential tests against the reference models -------------------------------

ids = st.sampled_from(["a", "b", "c", "d", "", "é", "a\U0001f600"]) | st.none() | st.integers(0, 3)
scores = (
    st.floats(-1e6, 1e6, allow_nan=False)
    | st.integers(-5, 5)
    | st.booleans()
    | st.none()
    | st.just("0.5")
    | st.just(10**400)
)


extras = st.sampled_from([True, 0.25, "t"])
records = st.fixed_dictionaries(
    {},
    optional={"text": extras, "id": ids, "vector_score": extras, "score": scores, "fused_only": extras},
)
record_lists = st.lists(records, max_size=12)


@settings(max_examples=150, deadline=None)
@given(record_lists, record_lists, st.integers(-3, 100))
def test_rrf_matches_model(v, b, k):
    before = copy.deepcopy((v, b))
    assert same_records(rrf(v, b, k), py_score_fusion_rrf(v, b, k))
    assert (v, b) == before


@settings(max_examples=150, deadline=None)
@given(record_lists, record_lists, st.floats(-2, 2, allow_nan=False))
def test_weighted_matches_model(v, b, weight):
    before = copy.deepcopy((v, b))
    assert same_records(weighted(v, b, weight), py_score_fusion_weighted(v, b, weight))
    assert (v, b) == before


class ClearsList:
    """A score whose conversion empties the caller's list mid-call."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.clear()
        return 1.0


@pytest.mark.parametrize("fuse", [rrf, weighted])
def test_list_emptied_during_the_call_is_walked_as_passed(fuse):
    v = [{"id": "a", "score": 0.5}, {"id": "b"}, {"id": "c"}]
    v[0]["score"] = ClearsList(v)
    out = fuse(v, [])
    assert sorted(r["id"] for r in out) == ["a", "b", "c"] and v == []


def test_many_ids_match_models():
    import random

    rng = random.Random(11)
    v = [{"id": f"doc-{rng.randrange(3000)}", "score": rng.random()} for _ in range(2500)]
    b = [{"id": f"doc-{rng.randrange(3000)}", "score": rng.random() * 20} for _ in range(2500)]
    assert same_records(rrf(v, b), py_score_fusion_rrf(v, b))
    assert same_records(weighted(v, b, 0.4), py_score_fusion_weighted(v, b, 0.4))
