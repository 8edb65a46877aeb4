"""Document preprocessing: white-space normalisation of corpus documents."""
import collections

import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln

WHITE_SPACE = (
    [chr(c) for c in range(0x09, 0x0E)]
    + ["\x20", "\x85", "\xa0", "\u1680"]
    + [chr(c) for c in range(0x2000, 0x200B)]
    + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
)
NOT_WHITE_SPACE = ["\x1c", "\x1d", "\x1e", "\x1f", "\u200b", "\ufeff", "\u180e"]


def model(text):
    pieces, cur = [], []
    for ch in text:
        if ch in WHITE_SPACE:
            if cur:
                pieces.append("".join(cur))
                cur = []
        else:
            cur.append(ch)
    if cur:
        pieces.append("".join(cur))
    return " ".join(pieces)


@pytest.mark.parametrize(
    "text,expected",
    [
        ("  Foo \n\n Bar  ", "Foo Bar"),
        ("", ""),
        ("  \t\n ", ""),
        ("A\u00a0B", "A B"),
        ("A\u200bB", "A\u200bB"),
        ("ΟΔΟΣ ΟΔΟΣ", "ΟΔΟΣ ΟΔΟΣ"),
        ("x\x1cy\x1fz", "x\x1cy\x1fz"),
        ("\u3000lead and trail\u2029", "lead and trail"),
    ],
)
def test_collapses_white_space_and_keeps_case(text, expected):
    doc = {"id": "a", "text": text}
    out = ln.preprocess_documents([doc], 32)
    assert out == [{"id": "a", "text": expected}]
    assert doc["text"] == text


def test_white_space_set_is_exactly_the_unicode_property():
    # Every code point between two letters: it splits iff it is White_Space.
    ws = set(WHITE_SPACE)
    chars = [chr(c) for c in range(0x110000) if not 0xD800 <= c <= 0xDFFF]
    batches = [chars[i:i + 8192] for i in range(0, len(chars), 8192)]
    docs = [{"text": "b" + "".join(f"{c}b" for c in batch)} for batch in batches]
    out = ln.preprocess_documents(docs, 1)
    for batch, doc in zip(batches, out):
        assert doc["text"] == "b" + "".join(f"{' ' if c in ws else c}b" for c in batch)
    assert not ws & set(NOT_WHITE_SPACE)


@pytest.mark.parametrize(
    "doc,expected",
    [
        ({"id": "a"}, {"id": "a"}),
        ({"text": None}, {"text": None}),
        ({"text": 5, "k": [1]}, {"text": 5, "k": [1]}),
        ({"text": b" a "}, {"text": b" a "}),
        ({"text": "bad \ud800 text"}, {"text": "bad \ud800 text"}),
    ],
)
def test_non_string_text_is_left_as_is(doc, expected):
    assert ln.preprocess_documents([doc], 1) == [expected]


def test_copies_are_plain_shallow_and_ordered():
    meta = {"k": 1}
    src = collections.OrderedDict([("z", 1), ("text", " a "), ("metadata", meta)])
    (out,) = ln.preprocess_documents([src], 1)
    assert type(out) is dict
    assert list(out) == ["z", "text", "metadata"]
    assert out["metadata"] is meta
    assert src["text"] == " a "


def test_dict_subclass_lookup_bypasses_missing():
    d = collections.defaultdict(lambda: "  made up  ")
    d["id"] = "x"
    assert ln.preprocess_documents([d], 1) == [{"id": "x"}]
    assert "text" not in d

    class S(str):
        pass

    assert ln.preprocess_documents([{S("text"): S(" p  q ")}], 1) == [{"text": "p q"}]


@pytest.mark.parametrize("bad", ["y", None, 3, ["x"]])
def test_non_dict_item_fails_without_partial_result(bad):
    with pytest.raises(TypeError) as info:
        ln.preprocess_documents([{"text": "x"}, bad], 1)
    assert str(info.value) == f"'{type(bad).__name__}' object cannot be converted to 'PyDict'"


def test_empty_and_batch_size_has_no_effect():
    docs = [{"text": " a "}, {"text": "b  c"}]
    assert ln.preprocess_documents(docs, 0) == ln.preprocess_documents(docs, 10**18) == [{"text": "a"}, {"text": "b c"}]
    assert ln.preprocess_documents([], 0) == []


ALPHABET = st.sampled_from(
    WHITE_SPACE + NOT_WHITE_SPACE + list("aZ.,!") + ["Σ", "\u0130", "é", "\U0001f600", "\u0345"]
)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.text(alphabet=ALPHABET, max_size=40), max_size=5))
def test_matches_python_model(texts):
    docs = [{"id": str(i), "text": t} for i, t in enumerate(texts)]
    out = ln.preprocess_documents(docs, 8)
    assert out == [{"id": str(i), "text": model(t)} for i, t in enumerate(texts)]


def test_surrogates_and_odd_keys_never_crash():
    # The key is already inside the source dict; copying must re-hash it and propagate.
    class Flaky:
        calls = 0

        def __hash__(self):
            Flaky.calls += 1
            if Flaky.calls > 1:
                raise RuntimeError("boom")
            return 1

    src = {Flaky(): 1, "text": "a"}
    with pytest.raises(RuntimeError, match="boom"):
        ln.preprocess_documents([src], 1)
    assert ln.preprocess_documents([{"\ud800": "\udfff", "text": "\ud800"}], 1) == [{"\ud800": "\udfff", "text": "\ud800"}]
