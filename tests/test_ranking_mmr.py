"""mmr_rerank and its word-set similarity."""

import copy
import inspect
import math
import os
import sys

import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "bench"))
from bench_ranking import py_mmr_rerank, tokenize_for_mmr  # noqa: E402

mmr = ln.mmr_rerank


def test_signature_and_docstring():
    assert str(inspect.signature(mmr)) == "(results, lambda_mult=0.5, dup_threshold=0.85)"
    assert mmr.__doc__ == (
        "Rerank results using Maximal Marginal Relevance (Jaccard text similarity).\n"
        "\n"
        "Iteratively selects the next document maximising:\n"
        "  lambda_mult * relevance_score - (1-lambda_mult) * max_jaccard_to_selected\n"
        "\n"
        "Documents with Jaccard >= dup_threshold to any already-selected document\n"
        "are dropped as near-duplicates.\n"
        "\n"
        "Returns a reordered + deduplicated list of the original dicts."
    )


def test_worked_example_returns_the_callers_dicts():
    a = {"score": 0.9, "text": "Fast BM25 search"}
    b = {"score": 0.8, "text": "fast bm25 search!"}
    c = {"score": 0.5, "text": "Graph communities"}
    before = copy.deepcopy([a, b, c])
    out = mmr([a, b, c])
    assert len(out) == 2 and out[0] is a and out[1] is c
    assert [a, b, c] == before


@pytest.mark.parametrize("items", [[], [5], [{"text": "x"}]])
def test_short_lists_are_returned_unread(items):
    out = mmr(items)
    assert out == items and out is not items and all(x is y for x, y in zip(out, items))


def test_ties_go_to_the_later_record():
    x = {"score": 0.5, "text": "alpha"}
    y = {"score": 0.5, "text": "beta"}
    assert mmr([x, y]) == [y, x]


def test_nan_relevance_loses_to_the_later_record():
    recs = [{"score": 2.0, "text": "a"}, {"score": math.nan, "text": "b"}, {"score": 1.0, "text": "c"}]
    # NaN compares false both ways, so each later record takes over the scan.
    assert [r["text"] for r in mmr(recs, 1.0)] == [r["text"] for r in py_mmr_rerank(recs, 1.0)]


@pytest.mark.parametrize(
    "dup_threshold, expected",
    [
        (0.0, "d"),  # after the first choice every similarity (even 0.0) reaches the threshold
        (-1.0, "d"),
        (0.85, "dba"),  # c repeats d's words and is dropped
        (1.0, "dba"),
        (1.01, "dbac"),  # nothing dropped
        (math.nan, "dbac"),
    ],
)
def test_dup_threshold(dup_threshold, expected):
    recs = [
        {"name": "a", "score": 0.3, "text": "one two"},
        {"name": "b", "score": 0.6, "text": "three"},
        {"name": "c", "score": 0.9, "text": "four five six"},
        {"name": "d", "score": 0.95, "text": "Four, five; SIX!"},
    ]
    assert "".join(r["name"] for r in mmr(recs, 0.5, dup_threshold)) == expected


def test_records_without_text_are_never_near_duplicates():
    recs = [{"score": 0.9}, {"score": 0.8}, {"score": 0.7, "text": 5}]
    assert mmr(recs) == [recs[0], recs[1], recs[2]]
    assert mmr(recs, 0.5, 0.0) == [recs[0]]


def test_lambda_one_follows_relevance():
    recs = [{"score": s, "text": f"w{i}"} for i, s in enumerate([0.1, 0.5, 0.3, 0.5, 0.9])]
    assert [r["score"] for r in mmr(recs, 1.0)] == [0.9, 0.5, 0.5, 0.3, 0.1]
    assert mmr(recs, 1.0)[1] is recs[3]


@pytest.mark.parametrize(
    "args, message",
    [
        (([{"text": "a"}, "b"],), "'str' object cannot be converted to 'PyDict'"),
        ((("a", "b"),), "argument 'results': 'tuple' object cannot be converted to 'PyList'"),
        (([], "x"), "argument 'lambda_mult': must be real number, not str"),
        (([], 0.5, None), "argument 'dup_threshold': must be real number, not NoneType"),
    ],
)
def test_argument_errors(args, message):
    with pytest.raises(TypeError) as info:
        mmr(*args)
    assert str(info.value) == message


def test_too_many_arguments():
    with pytest.raises(TypeError, match=r"^mmr_rerank\(\) takes from 1 to 3 positional arguments but 4 were given$"):
        mmr([], 0.5, 0.85, 1)


# --- word sets --------------------------------------------------------------------


def same_word_set(a, b):
    """Whether the two texts have the same non-empty word set (Jaccard 1.0)."""
    return len(mmr([{"text": a, "score": 1.0}, {"text": b, "score": 0.0}], 0.5, 1.0)) == 1


@pytest.mark.parametrize(
    "a, b, same",
    [
        ("don't e-mail U.S.A. 3.14", "dont email usa 314", True),
        ("Fast  fast\tFAST", "fast", True),  # duplicates collapse
        ("ΣΑΣ", "σας", True),  # final sigma at the end of the word
        ("ΣΑΣ", "σασ", False),
        ("İ", "i\u0307", False),  # U+0307 is dropped from the second, kept after lowering the first
        ("x\u00b2 \u216b \u0663", "x\u00b2 \u217b \u0663", True),  # No, Nl (lowered), Nd
        ("a\u0345", "a", False),  # U+0345 is Alphabetic though a mark
        ("a\u0301", "a", True),  # U+0301 is not
        ("a\u200bb", "ab", True),  # U+200B is not white space and is not kept
        ("a\x1cb", "ab", True),  # nor are the information separators
        ("a\u3000b", "a b", True),  # U+3000 separates
        ("a\u00a0b\u2028c", "a b c", True),
        ("--- !!!", "???", False),  # no words: empty sets never match
    ],
)
def test_word_sets(a, b, same):
    assert same_word_set(a, b) is same
    assert (set(tokenize_for_mmr(a)) == set(tokenize_for_mmr(b)) and bool(tokenize_for_mmr(a))) is same


# --- differential tests against the reference model --------------------------------

CHARS = "aAbB zZ\t\n.,'-!\u00a0\u3000\u200b\x1c\u00df\u03a3\u03c3\u0130\u0307\u0345\u00b2\u216b\u0663\U0001f600\u00e9E\u0301"
words = st.text(alphabet=CHARS, max_size=6)
texts = st.lists(words, max_size=6).map(" ".join)


@settings(max_examples=200, deadline=None)
@given(texts, texts)
def test_word_sets_match_model(a, b):
    ta, tb = set(tokenize_for_mmr(a)), set(tokenize_for_mmr(b))
    assert same_word_set(a, b) is (ta == tb and bool(ta))
    # A rewritten copy: case changed and words reordered.
    c = " ".join(reversed(a.upper().split(" ")))
    tc = set(tokenize_for_mmr(c))
    assert same_word_set(a, c) is (ta == tc and bool(ta))


record = st.fixed_dictionaries(
    {"text": st.lists(st.sampled_from(["red", "Red", "blue", "green,", "tea", "cup", "-"]), max_size=5).map(" ".join)},
    optional={"score": st.sampled_from([0.0, 0.1, 0.5, 0.5, 1.0, -0.25, 2, None, "x"])},
)


@settings(max_examples=200, deadline=None)
@given(
    st.lists(record, max_size=9),
    st.sampled_from([0.0, 0.3, 0.5, 0.7, 1.0, 1.5, -0.5]),
    st.sampled_from([0.0, 0.25, 0.5, 0.85, 1.0, 1.1]),
)
def test_mmr_matches_model(recs, lambda_mult, dup_threshold):
    out = mmr(recs, lambda_mult, dup_threshold)
    expected = py_mmr_rerank(recs, lambda_mult, dup_threshold)
    assert [id(r) for r in out] == [id(r) for r in expected]


class ClearsList:
    def __init__(self, target):
        self.target = target

    def __float__(self):
        self.target.clear()
        return 1.0


def test_list_emptied_during_the_call_is_walked_as_passed():
    recs = [{"text": "a"}, {"text": "b"}, {"text": "c"}]
    kept = list(recs)
    recs[1]["score"] = ClearsList(recs)
    out = mmr(recs)
    assert recs == [] and out[0] is kept[1] and len(out) == 3
