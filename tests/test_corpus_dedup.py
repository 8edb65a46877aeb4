"""build_dedup_corpus_payload: text pool and per-document entries."""

import collections

import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln

build = ln.build_dedup_corpus_payload


def reference(corpus):
    """The pure-Python routine the function replaces."""
    texts, positions, docs = [], {}, []
    for item in corpus:
        text = item.get("text")
        text = text if isinstance(text, str) else ""
        doc_id = item.get("id")
        doc_id = doc_id if isinstance(doc_id, str) else ""
        if text not in positions:
            positions[text] = len(texts)
            texts.append(text)
        docs.append({"id": doc_id, "t": positions[text], "metadata": item["metadata"] if "metadata" in item else {}})
    return texts, docs


@pytest.mark.parametrize(
    "corpus, expected",
    [
        ([{"id": "a", "text": "x"}, {"id": "b", "text": "x"}, {"id": "c"}],
         (["x", ""], [{"id": "a", "t": 0, "metadata": {}}, {"id": "b", "t": 0, "metadata": {}},
                      {"id": "c", "t": 1, "metadata": {}}])),
        ([{"id": 7, "text": "x", "metadata": None}], (["x"], [{"id": "", "t": 0, "metadata": None}])),
        ([], ([], [])),
        # no normalisation: case, composed/decomposed forms and white space differ
        ([{"text": "A"}, {"text": "a"}, {"text": "\u00e9"}, {"text": "e\u0301"}, {"text": "a "}, {"text": "a"}],
         (["A", "a", "\u00e9", "e\u0301", "a "],
          [{"id": "", "t": t, "metadata": {}} for t in (0, 1, 2, 3, 4, 1)])),
        # non-str and unencodable texts read as "" and share the pool entry of ""
        ([{"text": 5}, {"text": ""}, {"text": "\ud800"}, {"text": b"x"}, {"text": None}],
         ([""], [{"id": "", "t": 0, "metadata": {}}] * 5)),
        ([{"id": "\ud800", "text": "t", "metadata": [1]}], (["t"], [{"id": "", "t": 0, "metadata": [1]}])),
    ],
)
def test_examples(corpus, expected):
    texts, docs = build(corpus)
    assert (texts, docs) == expected
    assert all(list(d) == ["id", "t", "metadata"] for d in docs)


def test_metadata_is_shared_and_missing_metadata_is_a_new_dict():
    meta = {"k": [1]}
    corpus = [{"id": "a", "text": "x", "metadata": meta}, {"id": "b", "text": "y"}, {"id": "c", "text": "y"}]
    texts, docs = build(corpus)
    assert docs[0]["metadata"] is meta
    assert docs[1]["metadata"] == {} and docs[1]["metadata"] is not docs[2]["metadata"]
    assert corpus == [{"id": "a", "text": "x", "metadata": meta}, {"id": "b", "text": "y"}, {"id": "c", "text": "y"}]
    assert type(build([])) is tuple


def test_str_subclasses_become_plain_str():
    class S(str):
        pass

    texts, docs = build([{"id": S("i"), "text": S("x")}, {"id": "j", "text": "x"}])
    assert texts == ["x"] and type(texts[0]) is str
    assert type(docs[0]["id"]) is str and docs[0]["id"] == "i"


def test_dict_subclass_lookups_bypass_missing():
    class D(dict):
        def __missing__(self, key):
            return "computed"

    d = collections.defaultdict(lambda: "made", {"id": "a"})
    assert build([D(id="a"), d]) == (["", ], [{"id": "a", "t": 0, "metadata": {}}] * 2)
    assert "text" not in d and "metadata" not in d


def test_failing_key_lookup_reads_as_missing():
    class Bad:
        def __hash__(self):
            return hash("metadata")

        def __eq__(self, other):
            raise RuntimeError("boom")

    assert build([{Bad(): 1, "id": "a"}]) == ([""], [{"id": "a", "t": 0, "metadata": {}}])


def test_corpus_mutated_during_lookup():
    corpus = []

    class Clearing:
        def __hash__(self):
            return hash("text")

        def __eq__(self, other):
            corpus.clear()
            return False

    corpus.extend([{Clearing(): 1, "text": "a"}, {"text": "b"}, {"text": "c"}])
    texts, docs = build(corpus)
    assert texts == ["a"] and len(docs) == 1


@pytest.mark.parametrize(
    "corpus, exc, message",
    [
        ((), TypeError, "argument 'corpus': 'tuple' object cannot be converted to 'PyList'"),
        ([{"text": "a"}, 3], TypeError, "'int' object cannot be converted to 'PyDict'"),
        ([[("text", "a")]], TypeError, "'list' object cannot be converted to 'PyDict'"),
    ],
)
def test_errors(corpus, exc, message):
    with pytest.raises(exc) as info:
        build(corpus)
    assert str(info.value) == message


corpus_items = st.fixed_dictionaries(
    {},
    optional={
        "id": st.one_of(st.text(max_size=3), st.integers(), st.none()),
        "text": st.one_of(st.sampled_from(["", "a", "A", "b", "é", "a b"]), st.text(max_size=3), st.integers()),
        "metadata": st.one_of(st.none(), st.dictionaries(st.text(max_size=2), st.integers(), max_size=2)),
    },
)


@settings(max_examples=200, deadline=None)
@given(st.lists(corpus_items, max_size=20))
def test_agrees_with_reference(corpus):
    assert build(corpus) == reference(corpus)
