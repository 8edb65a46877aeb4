"""BM25 index construction and search: exact scores, ordering, errors."""
import gc
import math
import re
import threading

import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln

WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)
_SPLIT = re.compile("[" + re.escape(WHITE_SPACE) + "]+")

K1 = 1.5
B = 0.75


def tokenize(text):
    return [t for t in _SPLIT.split(text.lower()) if t]


def doc_text(doc):
    text = doc.get("text")
    if not isinstance(text, str):
        return ""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return ""
    return text


class Model:
    """Straightforward BM25 in the same order of operations as the module."""

    def __init__(self, corpus):
        self.lengths, self.postings, df = [], {}, {}
        for p, doc in enumerate(corpus):
            tokens = tokenize(doc_text(doc))
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
        tokens = tokenize(query)
        if n == 0 or not tokens:
            return []
        avgdl = max(self.avgdl, 1e-9)
        k1_plus_1, one_minus_b = K1 + 1.0, 1.0 - B
        acc, candidates = [0.0] * n, []
        for t in dict.fromkeys(tokens):
            idf = self.idf.get(t, 0.0)
            if t not in self.postings or idf == 0.0:
                continue
            for p, tf in self.postings[t]:
                if acc[p] == 0.0:
                    candidates.append(p)
                c = (k1_plus_1 * float(tf)) / ((((float(self.lengths[p]) * B) / avgdl) + one_minus_b) * K1 + float(tf)) * idf
                acc[p] = c + acc[p]
        hits = [(p, acc[p]) for p in candidates if acc[p] > 0.0]
        hits.sort(key=lambda h: (-h[1], h[0]))
        return hits[:top_k]


def search_both(corpus, query, top_k=10):
    got = ln.search_bm25(ln.build_bm25_index(corpus), query, top_k)
    return got, Model(corpus).search(query, top_k)


def docs(*texts):
    return [{"id": str(i), "text": t} for i, t in enumerate(texts)]


# --- exact scores -------------------------------------------------------------


def test_worked_example_scores_to_the_last_bit():
    corpus = docs("apple pie", "apple", "pear")
    idf = math.log(1.5 / 2.5 + 1.0)
    assert idf == math.log(1.6)
    avgdl = 4.0 / 3.0

    def score(dl):
        return (2.5 * 1.0) / (((dl * 0.75 / avgdl) + 0.25) * 1.5 + 1.0) * idf

    got = ln.search_bm25(ln.build_bm25_index(corpus), "Apple apple", 5)
    assert got == [(1, score(1.0)), (0, score(2.0))]
    assert got[0][1] > got[1][1] > 0.0
    assert all(type(p) is int and type(s) is float for p, s in got)


def test_single_document_idf_and_repeated_term_frequency():
    # N = 1: IDF = ln(4/3); "A a A" is one term with frequency 3 and length 3.
    [(pos, score)] = ln.search_bm25(ln.build_bm25_index(docs("A a A")), "a", 3)
    idf = math.log(0.5 / 1.5 + 1.0)
    assert idf == 0.28768207245178085
    assert (pos, score) == (0, (2.5 * 3.0) / (((3.0 * 0.75 / 3.0) + 0.25) * 1.5 + 3.0) * idf)


def test_documents_without_usable_text_count_as_empty():
    corpus = [{"id": "a"}, {"text": 5}, {"text": "x y"}, {"text": None}, {"text": "x \ud800"}, {"text": b"x"}]
    idx = ln.build_bm25_index(corpus)
    got = ln.search_bm25(idx, "x y", 10)
    # N = 6, lengths 0, 0, 2, 0, 0, 0: only position 2 matches.
    assert got == Model(corpus).search("x y", 10)
    assert [p for p, _ in got] == [2]
    idf = math.log((6.0 - 1.0 + 0.5) / 1.5 + 1.0)
    avgdl = 2.0 / 6.0
    single = 2.5 / (((2.0 * 0.75 / avgdl) + 0.25) * 1.5 + 1.0) * idf
    assert got[0][1] == single + single


def test_term_in_every_document_still_scores_positive():
    n = 7
    got = ln.search_bm25(ln.build_bm25_index(docs(*["common"] * n)), "common", n)
    idf = math.log(0.5 / (n + 0.5) + 1.0)
    assert idf > 0.0
    assert got == [(p, 2.5 / ((0.75 + 0.25) * 1.5 + 1.0) * idf) for p in range(n)]


@pytest.mark.parametrize(
    "texts,query",
    [
        # Ties go by ascending position, not by the order documents became
        # candidates ("a" reaches position 1 before "b" reaches position 0).
        (("b x", "a y", "c z"), "a b"),
        (("same text", "other", "same text", "same text"), "text same"),
        # A repeated query term counts once.
        (("apple pie", "apple", "pear"), "apple APPLE apple pie"),
        # Scores are summed in the order of the distinct query terms.
        (("q w e r t y", "q q w", "e e e r", "y t r e w q", "w"), "y w q e r t w"),
        # Case folding, final sigma, multi-character lower-case, white space.
        (("ΟΔΟΣ οδος", "İstanbul", "a\u00a0b", "a\u200bb", "x\x1cy z"), "οδος i\u0307stanbul a b a\u200bb x\x1cy"),
        (("Straße STRASSE", "strasse"), "straße strasse"),
        # ASCII control characters: only \t \n \v \f \r split.
        (("a\x00b A\x0bB\x0cC\rc", "a\x1fb\x1cA\x00B", "\x00"), "a\x00b b c a\x1fb\x1ca\x00b \x00"),
    ],
)
def test_matches_model_exactly(texts, query):
    got, want = search_both(docs(*texts), query, 10)
    assert got == want
    assert got


def test_ties_by_ascending_position():
    got = ln.search_bm25(ln.build_bm25_index(docs("b x", "a y", "c z")), "a b", 10)
    assert [p for p, _ in got] == [0, 1]
    assert got[0][1] == got[1][1]


def test_absent_query_terms_change_nothing():
    idx = ln.build_bm25_index(docs("red fish", "blue fish", "red red"))
    base = ln.search_bm25(idx, "red fish", 10)
    assert ln.search_bm25(idx, "zebra red nothing fish", 10) == base
    assert ln.search_bm25(idx, "zebra", 10) == []


@pytest.mark.parametrize("top_k", [0, 1, 2, 3, 100])
def test_top_k_cut(top_k):
    corpus = docs("a b", "a", "a a b c", "d")
    got, want = search_both(corpus, "a b c", top_k)
    assert got == want
    assert len(got) == min(top_k, 3)


@pytest.mark.parametrize("query", ["", "   ", "\t\u3000\n\u00a0"])
def test_empty_corpus_or_query_returns_nothing(query):
    assert ln.search_bm25(ln.build_bm25_index([]), query + "some", 5) == []
    assert ln.search_bm25(ln.build_bm25_index(docs("some text")), query, 5) == []


def test_corpus_of_empty_documents():
    idx = ln.build_bm25_index(docs("", "  ", "\n"))
    assert ln.search_bm25(idx, "x", 3) == []


# --- differential -------------------------------------------------------------

# ASCII-only texts and texts with other characters take different paths
# through the tokenizer: the draws mix both.
WORDS = ["a", "A", "b", "ab", "Ab", "ZZ", "x,", "x", "\x1c", "\x00", "Q\x00q", "\x7f",
         "ΟΔΟΣ", "οδος", "σ", "Σ", "İ", "i\u0307", "é", "e\u0301", "z\u200bz"]
SEPARATORS = [" ", "  ", "\t", "\n", "\x0b", "\x0c\r", "\u00a0", "\u2003", "\u3000", "\u2029", "\x85"]


@st.composite
def texts(draw, max_words=8):
    words = draw(st.lists(st.sampled_from(WORDS), max_size=max_words))
    seps = draw(st.lists(st.sampled_from(SEPARATORS), min_size=len(words) + 1, max_size=len(words) + 1))
    return seps[0] + "".join(w + s for w, s in zip(words, seps[1:]))


@settings(max_examples=200, deadline=None)
@given(
    corpus=st.lists(st.one_of(texts().map(lambda t: {"text": t}), st.just({"id": "no text"})), max_size=25),
    queries=st.lists(texts(max_words=6), min_size=1, max_size=4),
    top_k=st.integers(0, 30),
)
def test_random_corpora_match_model(corpus, queries, top_k):
    idx = ln.build_bm25_index(corpus)
    model = Model(corpus)
    for q in queries:
        assert ln.search_bm25(idx, q, top_k) == model.search(q, top_k)


# --- lifetime and threads ------------------------------------------------------


def test_index_owns_its_data_and_can_be_searched_repeatedly():
    corpus = docs("alpha beta", "beta gamma", "gamma alpha beta")
    idx = ln.build_bm25_index(corpus)
    want = Model(corpus).search("beta alpha", 10)
    corpus[0]["text"] = "changed"
    corpus.clear()
    gc.collect()
    for _ in range(3):
        assert ln.search_bm25(idx, "beta alpha", 10) == want


def test_searches_from_several_threads():
    corpus = docs(*[f"w{i % 7} w{i % 11} w{i % 13} common" for i in range(2000)])
    idx = ln.build_bm25_index(corpus)
    queries = [f"w{i} w{i + 1} common" for i in range(12)]
    want = [ln.search_bm25(idx, q, 20) for q in queries]
    errors = []

    def worker():
        try:
            for _ in range(20):
                for q, w in zip(queries, want):
                    assert ln.search_bm25(idx, q, 20) == w
        except AssertionError as e:  # pragma: no cover
            errors.append(e)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors


def test_indexes_of_different_sizes_share_a_thread_cleanly():
    big = ln.build_bm25_index(docs(*[f"t{i % 5} u{i % 3}" for i in range(500)]))
    small = ln.build_bm25_index(docs("t1 u1", "t2"))
    first = ln.search_bm25(big, "t1 u1", 1000)
    assert ln.search_bm25(small, "t1 u1 t2", 10) == Model(docs("t1 u1", "t2")).search("t1 u1 t2", 10)
    assert ln.search_bm25(big, "t1 u1", 1000) == first


# --- errors -------------------------------------------------------------------


class CollidesWithText:
    """A key equal in hash to "text" whose comparison runs arbitrary code."""

    def __init__(self, action):
        self.action = action

    def __hash__(self):
        return hash("text")

    def __eq__(self, other):
        return self.action()


def test_failing_text_lookup_propagates():
    def boom():
        raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        ln.build_bm25_index([{"text": "a"}, {CollidesWithText(boom): 1}])


def test_corpus_shrinking_during_build_is_safe():
    corpus = []

    def shrink():
        corpus.clear()
        return False

    corpus.extend([{CollidesWithText(shrink): 1, "text": "a b"}] + docs("a", "b", "c"))
    idx = ln.build_bm25_index(corpus)
    # Only the first document was read before the list emptied.
    assert ln.search_bm25(idx, "a b c", 10) == Model(docs("a b")).search("a b c", 10)


@pytest.mark.parametrize(
    "call,exc,message",
    [
        (lambda: ln.build_bm25_index(({"text": "x"},)), TypeError,
         "argument 'corpus': 'tuple' object cannot be converted to 'PyList'"),
        (lambda: ln.build_bm25_index([{"text": "x"}, None]), TypeError,
         "'NoneType' object cannot be converted to 'PyDict'"),
        (lambda: ln.build_bm25_index(["x"]), TypeError, "'str' object cannot be converted to 'PyDict'"),
        (lambda: ln.build_bm25_index(), TypeError,
         "build_bm25_index() missing 1 required positional argument: 'corpus'"),
        (lambda: ln.search_bm25(IDX, b"x", 1), TypeError,
         "argument 'query': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: ln.search_bm25(object(), "x", 1), TypeError,
         "argument 'index': 'object' object cannot be converted to 'Bm25Index'"),
        (lambda: ln.search_bm25(IDX, "x", 2.0), TypeError,
         "argument 'top_k': 'float' object cannot be interpreted as an integer"),
        (lambda: ln.search_bm25(IDX, "x"), TypeError,
         "search_bm25() missing 1 required positional argument: 'top_k'"),
        (lambda: ln.search_bm25(IDX, "x", 3, 4), TypeError,
         "search_bm25() takes 3 positional arguments but 4 were given"),
        (lambda: ln.search_bm25(IDX, "\ud800", 1), UnicodeEncodeError, None),
        (lambda: ln.search_bm25(IDX, "x", -1), OverflowError, None),
    ],
)
def test_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    if exc is OverflowError:
        assert not str(info.value).startswith("argument")


IDX = ln.build_bm25_index(docs("x y", "y z"))


def test_keyword_arguments_and_huge_top_k():
    want = Model(docs("x y", "y z")).search("y x", 10)
    assert ln.search_bm25(index=IDX, query="y x", top_k=2**64 - 1) == want
    assert ln.search_bm25(IDX, top_k=True, query="y") == Model(docs("x y", "y z")).search("y", 1)
