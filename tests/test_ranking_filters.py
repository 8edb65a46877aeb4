"""dedupe_best_by_id and filter_results_by_threshold."""

import copy
import inspect
import math
import os
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "bench"))
from bench_ranking import py_dedupe_best_by_id, py_filter_results_by_threshold, same_records  # noqa: E402

dedupe = ln.dedupe_best_by_id
keep = ln.filter_results_by_threshold


def test_signatures_and_empty_docstrings():
    assert str(inspect.signature(dedupe)) == "(results)"
    assert str(inspect.signature(keep)) == "(results, threshold, score_field='vector_score')"
    assert dedupe.__text_signature__ == "(results)" and not dedupe.__doc__
    assert not keep.__doc__


@pytest.mark.parametrize("fn, args", [(dedupe, ()), (keep, (0.0,))])
def test_empty_list(fn, args):
    assert fn([], *args) == []


# --- dedupe_best_by_id ------------------------------------------------------------


@pytest.mark.parametrize(
    "records, expected",
    [
        # best per id, in first-appearance order of the ids
        (
            [{"id": "a", "score": 0.2}, {"id": "b", "score": 0.9}, {"id": "a", "score": 0.5}],
            [{"id": "a", "score": 0.5}, {"id": "b", "score": 0.9}],
        ),
        # equal scores keep the first
        ([{"id": "a", "score": 1, "n": 1}, {"id": "a", "score": 1.0, "n": 2}], [{"id": "a", "score": 1, "n": 1}]),
        # a missing score reads 0.0 and beats -1.0
        ([{"id": "a", "score": -1.0}, {"id": "a", "n": 2}], [{"id": "a", "n": 2}]),
        # NaN never replaces and is never replaced
        ([{"id": "a", "score": math.nan, "n": 1}, {"id": "a", "score": 5.0}], "first"),
        ([{"id": "a", "score": 0.0}, {"id": "a", "score": math.nan}], [{"id": "a", "score": 0.0}]),
        # records without a usable id are dropped
        ([{"score": 1.0}, {"id": ""}, {"id": 3}, {"id": None}, {"id": "\ud800"}], []),
    ],
)
def test_dedupe(records, expected):
    out = dedupe(records)
    if expected == "first":
        assert len(out) == 1 and out[0]["n"] == 1
    else:
        assert out == expected
    assert all(o is not r for o in out for r in records)


# --- filter_results_by_threshold ------------------------------------------------------


@pytest.mark.parametrize(
    "record, threshold, field, kept",
    [
        ({"vector_score": 0.5}, 0.5, "vector_score", True),  # equality passes
        ({"vector_score": 0.49}, 0.5, "vector_score", False),
        ({"score": 0.7}, 0.5, "vector_score", True),  # fallback to "score"
        ({"vector_score": None, "score": 0.7}, 0.5, "vector_score", True),  # None counts as absent
        ({"vector_score": "0.9", "score": 0.1}, 0.5, "vector_score", False),  # strings do not convert
        ({"vector_score": 0.9}, 0.5, "score", True),  # field "score" falls back to "vector_score"
        ({"vector_score": 0.9, "x": 0.1}, 0.5, "x", False),  # other fields fall back to "score"
        ({"x": 2, "score": 0.0}, 1.5, "x", True),
        ({"fused_only": True, "vector_score": 0.0}, 1e300, "vector_score", True),
        ({"fused_only": np.True_, "vector_score": 0.0}, 0.1, "vector_score", True),
        ({"fused_only": np.False_, "vector_score": 0.0}, 0.1, "vector_score", False),
        ({"fused_only": 1, "vector_score": 0.0}, 0.1, "vector_score", False),  # not a bool
        ({"fused_only": False, "vector_score": 0.2}, 0.1, "vector_score", True),
        ({}, 0.0, "vector_score", True),  # neither field: 0.0
        ({}, -1.0, "vector_score", True),
        ({}, 1e-300, "vector_score", False),
        ({"vector_score": math.nan}, -math.inf, "vector_score", False),
        ({"vector_score": 1.0}, math.nan, "vector_score", False),
        ({"vector_score": True}, 1.0, "vector_score", True),
        ({"vector_score": 10**400, "score": 1.0}, 0.5, "vector_score", True),  # overflow reads absent
    ],
)
def test_filter_cases(record, threshold, field, kept):
    out = keep([record], threshold, field)
    assert out == ([record] if kept else [])
    if kept:
        assert out[0] is not record and type(out[0]) is dict


def test_filter_keeps_order_and_copies():
    recs = [{"id": str(i), "vector_score": i / 10} for i in range(10)]
    out = keep(recs, 0.45)
    assert [r["id"] for r in out] == ["5", "6", "7", "8", "9"]


class Missing(dict):
    def __missing__(self, key):
        return 1.0


def test_subclass_missing_is_not_consulted():
    assert keep([Missing(id="a")], 0.5) == []
    assert dedupe([Missing(score=9.0)]) == []


@pytest.mark.parametrize(
    "fn, args, message",
    [
        (dedupe, ([{"id": "a"}, 1],), "'int' object cannot be converted to 'PyDict'"),
        (dedupe, ((),), "argument 'results': 'tuple' object cannot be converted to 'PyList'"),
        (keep, ([None], 0.0), "'NoneType' object cannot be converted to 'PyDict'"),
        (keep, ([], "0.5"), "argument 'threshold': must be real number, not str"),
        (keep, ([], 0.5, None), "argument 'score_field': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_argument_errors(fn, args, message):
    with pytest.raises(TypeError) as info:
        fn(*args)
    assert str(info.value) == message


# --- differential tests against the reference models -------------------------------

values = (
    st.floats(allow_nan=True)
    | st.integers(-3, 3)
    | st.booleans()
    | st.none()
    | st.just("0.5")
    | st.sampled_from([np.True_, np.False_, np.float64(0.25)])
)
records = st.fixed_dictionaries(
    {},
    optional={
        "id": st.sampled_from(["a", "b", "c", ""]) | st.none(),
        "score": values,
        "vector_score": values,
        "x": values,
        "fused_only": values,
    },
)


@settings(max_examples=150, deadline=None)
@given(st.lists(records, max_size=15))
def test_dedupe_matches_model(recs):
    before = copy.deepcopy(recs)
    assert same_records(dedupe(recs), py_dedupe_best_by_id(recs))
    assert same_records(recs, before)


@settings(max_examples=150, deadline=None)
@given(st.lists(records, max_size=15), st.floats(-2, 2), st.sampled_from(["vector_score", "score", "x", ""]))
def test_filter_matches_model(recs, threshold, field):
    before = copy.deepcopy(recs)
    assert same_records(keep(recs, threshold, field), py_filter_results_by_threshold(recs, threshold, field))
    assert same_records(recs, before)


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize(
    "call",
    [
        lambda recs: dedupe(recs),
        lambda recs: keep(recs, 0.0),
        lambda recs: ln.score_fusion_rrf(recs, []),
        lambda recs: ln.score_fusion_weighted([], recs),
    ],
)
def test_collector_state_is_restored(call, enabled):
    import gc

    was = gc.isenabled()
    try:
        (gc.enable if enabled else gc.disable)()
        call([{"id": "a", "score": 1.0}])
        assert gc.isenabled() is enabled
        with pytest.raises(TypeError):
            call([{"id": "a"}, 1])
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was else gc.disable)()


def test_dedupe_many_ids_matches_model():
    import random

    rng = random.Random(12)
    recs = [{"id": f"d{rng.randrange(1500)}", "score": rng.choice([rng.random(), 0.5])} for _ in range(4000)]
    assert same_records(dedupe(recs), py_dedupe_best_by_id(recs))
