"""encode_corpus_msgpack / decode_corpus_msgpack: the version-2 corpus payload."""

import struct

import msgpack
import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln

encode = ln.encode_corpus_msgpack
decode = ln.decode_corpus_msgpack
build = ln.build_dedup_corpus_payload


def same(a, b):
    """Equality that also checks types, dict key order and float bits."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def pack(*items):
    return msgpack.packb(list(items))


DOC = {"id": "", "text": "", "metadata": None}

# --- encoding -----------------------------------------------------------------------


def test_empty_payload():
    assert encode([], []) == bytes([0x93, 0x02, 0x90, 0x90])
    assert decode(bytes([0x93, 0x02, 0x90, 0x90])) == []


@pytest.mark.parametrize(
    "t, written",
    [(0, 0), (5, 5), (True, 1), (False, 0), (2**64 - 1, 2**64 - 1), (-1, 0), (1.5, 0), (2.0, 0), (2**64, 0),
     ("3", 0), (None, 0), ([1], 0)],
)
def test_t_values(t, written):
    assert msgpack.unpackb(encode([], [{"id": "a", "t": t, "metadata": {}}])) == [2, [], [["a", written, {}]]]


def test_t_through_index():
    class Idx:
        def __index__(self):
            return 4

    class Bad:
        def __index__(self):
            raise ValueError("no")

    out = msgpack.unpackb(encode([], [{"t": Idx()}, {"t": Bad()}]))
    assert [d[1] for d in out[2]] == [4, 0]


def test_missing_and_mistyped_fields():
    payload = encode(["a", 1, None, "\ud800", b"x"], [{}, {"id": 5, "t": 0, "metadata": None}, {"id": "\udc00"}])
    assert msgpack.unpackb(payload) == [2, ["a", "", "", "", ""], [["", 0, None], ["", 0, None], ["", 0, None]]]


def test_metadata_mapping():
    meta = {"t": (1, 2), 3: b"ab", "f": 1.0, "big": 2**63, "neg": -(2**63), "l": [None, True]}
    (entry,) = msgpack.unpackb(encode([], [{"id": "x", "t": 0, "metadata": meta}]), strict_map_key=False)[2]
    assert entry[2] == {"t": "(1, 2)", 3: "b'ab'", "f": 1.0, "big": 2.0**63, "neg": -(2**63), "l": [None, True]}


def test_str8_and_wide_lengths():
    texts = ["x" * 31, "y" * 32, "z" * 256]
    payload = encode(texts, [{"id": "i", "t": 2}] * 16)
    assert payload.startswith(bytes([0x93, 0x02, 0x93, 0xBF]) + b"x" * 31 + bytes([0xD9, 32]))
    assert bytes([0xDA, 0x01, 0x00]) + b"z" * 256 + bytes([0xDC, 0x00, 0x10]) in payload


@pytest.mark.parametrize(
    "args, message",
    [
        (((), []), "argument 'texts': 'tuple' object cannot be converted to 'PyList'"),
        (([], ()), "argument 'docs': 'tuple' object cannot be converted to 'PyList'"),
        (([], [{}, 3]), "'int' object cannot be converted to 'PyDict'"),
    ],
)
def test_argument_errors(args, message):
    with pytest.raises(TypeError) as info:
        encode(*args)
    assert str(info.value) == message


def test_failing_lookup_and_str_raise():
    class BadKey:
        def __hash__(self):
            return hash("t")

        def __eq__(self, other):
            raise KeyError("lookup")

    class BadStr:
        def __str__(self):
            raise ValueError("str")

    with pytest.raises(KeyError, match="lookup"):
        encode([], [{BadKey(): 1}])
    with pytest.raises(ValueError, match="str"):
        encode([], [{"metadata": {"k": [BadStr()]}}])


def test_self_containing_metadata_raises_recursion_error():
    meta = []
    meta.append(meta)
    with pytest.raises(RecursionError):
        encode([], [{"metadata": meta}])


def test_docs_shrinking_while_written():
    docs = []

    class Shrink:
        def __index__(self):
            del docs[1:]
            return 1

    docs.extend([{"id": "a", "t": Shrink()}, {"id": "b"}, {"id": "c"}])
    payload = encode(["p", "q"], docs)
    assert msgpack.unpackb(payload) == [2, ["p", "q"], [["a", 1, None]]]
    assert decode(payload) == [{"id": "a", "text": "q", "metadata": None}]


# --- decoding -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "payload",
    [
        b"", b"\xc1", b"\x05", b"\x90", b"\x91", b"\xc0",
        pack(1, [], []),
        pack(2, [], [], []),
        pack(2, []),
        pack(2.0, [], []),
        pack("2", [], []),
        pack(2, {}, []),
        pack(2, [], {}),
        pack(2, ["a"], [["1", 0, {}], ["2", 0, {}], ["3", 0]]),
        pack(2, ["a"], [["1", 0, {}, 4]]),
        pack(2, ["a"], [[1, 0, {}]]),
        pack(2, ["a"], [["1", 0.0, {}]]),
        pack(2, ["a"], [["1", None, {}]]),
        pack(2, ["a"], [{"id": "1", "t": 0}]),
        # declared lengths far beyond the data
        bytes([0x93, 0x02, 0x90, 0xDD, 0xFF, 0xFF, 0xFF, 0xFF]),
        bytes([0x93, 0x02, 0xDD, 0xFF, 0xFF, 0xFF, 0xFF, 0xA1, 0x61]),
        bytes([0x93, 0x02, 0x90, 0x91, 0x93, 0xDB, 0xFF, 0xFF, 0xFF, 0xFF]),
    ],
)
def test_rejected(payload):
    assert decode(payload) is None


def test_every_truncation_rejected():
    payload = encode(["alpha", "b" * 40], [{"id": "x", "t": 1, "metadata": {"k": [1, 2.5, "s" * 300]}}])
    assert decode(payload) is not None
    for cut in range(len(payload)):
        assert decode(payload[:cut]) is None


@pytest.mark.parametrize(
    "payload, expected",
    [
        # t out of range reads "", a negative t reads pool position 0
        (pack(2, ["a", "b"], [["x", 7, 1], ["y", -1, 2], ["z", 1, None]]),
         [{"id": "x", "text": "", "metadata": 1}, {"id": "y", "text": "a", "metadata": 2},
          {"id": "z", "text": "b", "metadata": None}]),
        # pool elements that are not valid UTF-8 strings read as ""
        (pack(2, [5, None, [1], b"\xff", "ok"], [["a", 0, 0], ["b", 2, 0], ["c", 3, 0], ["d", 4, 0]]),
         [{"id": "a", "text": "", "metadata": 0}, {"id": "b", "text": "", "metadata": 0},
          {"id": "c", "text": "", "metadata": 0}, {"id": "d", "text": "ok", "metadata": 0}]),
        # invalid UTF-8 in a pool string, an id or metadata reads as ""
        (bytes([0x93, 0x02, 0x91, 0xA1, 0xFF, 0x91, 0x93, 0xA1, 0xFE, 0x00, 0x91, 0xD9, 0x01, 0xFF]),
         [{"id": "", "text": "", "metadata": [""]}]),
        # any integer encoding of the version and of t; trailing bytes ignored
        (bytes([0x93, 0xD3, 0, 0, 0, 0, 0, 0, 0, 2, 0x91, 0xA1, 0x61, 0x91, 0x93, 0xA0, 0xCF, 0, 0, 0, 0, 0, 0, 0, 0,
                0xC1, 0xFF, 0xFF]),
         [{"id": "", "text": "a", "metadata": None}]),
        (bytes([0x93, 0xCC, 0x02, 0x90, 0x91, 0x93, 0xA0, 0xD0, 0x80, 0xD4, 0x05, 0x07]),
         [{"id": "", "text": "", "metadata": None}]),
        # binary metadata stays bytes, extension metadata reads as None
        (pack(2, [], [["a", 0, b"\x00\x01"]]), [{"id": "a", "text": "", "metadata": b"\x00\x01"}]),
        (pack(2, [], []), []),
    ],
)
def test_accepted(payload, expected):
    out = decode(payload)
    assert same(out, expected)


def test_shared_pool_text():
    out = decode(pack(2, ["shared"], [["a", 0, {}], ["b", 0, {}]]))
    assert out[0]["text"] == "shared" and out[0]["text"] is out[1]["text"]


def test_unhashable_key_raises_unless_payload_malformed():
    good = bytes([0x93, 0x02, 0x90, 0x91, 0x93, 0xA1, 0x61, 0x00, 0x81, 0x90, 0x01])
    with pytest.raises(TypeError):
        decode(good)
    # the same entry followed by a later entry with the wrong shape still raises
    with pytest.raises(TypeError):
        decode(bytes([0x93, 0x02, 0x90, 0x92, 0x93, 0xA1, 0x61, 0x00, 0x81, 0x90, 0x01, 0x92, 0xA0, 0x00]))
    # a payload that does not read as a whole is rejected instead
    assert decode(bytes([0x93, 0x02, 0x90, 0x92, 0x93, 0xA1, 0x61, 0x00, 0x81, 0x90, 0x01, 0x93])) is None


@pytest.mark.parametrize("depth, ok", [(508, True), (509, False)])
def test_nesting_budget_inside_metadata(depth, ok):
    # three enclosing arrays take 6 of the 1024 units; each nested array 2, the integer 1
    meta = b"\x91" * depth + b"\x00"
    out = decode(bytes([0x93, 0x02, 0x90, 0x91, 0x93, 0xA0, 0x00]) + meta)
    assert (out is not None) is ok


def test_argument_kind():
    with pytest.raises(TypeError, match="^argument 'data': 'str' object cannot be converted to 'PyBytes'$"):
        decode("x")


# --- round trips and cross-checks ------------------------------------------------------

scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**63 - 1)
    | st.floats(allow_nan=False)
    | st.text(max_size=40)
)
json_like = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=6), children, max_size=4),
    max_leaves=10,
)
corpora = st.lists(
    st.fixed_dictionaries({
        "id": st.text(max_size=8),
        "text": st.sampled_from(["", "a", "b" * 40, "é" * 200]) | st.text(max_size=50),
        "metadata": st.dictionaries(st.text(max_size=6), json_like, max_size=5),
    }),
    max_size=6,
)


@settings(max_examples=100, deadline=None)
@given(corpora)
def test_round_trip_and_bytes_match_msgpack_package(corpus):
    texts, docs = build(corpus)
    payload = encode(texts, docs)
    assert payload == msgpack.packb([2, texts, [[d["id"], d["t"], d["metadata"]] for d in docs]])
    expected = [{"id": d["id"], "text": d["text"], "metadata": d["metadata"]} for d in corpus]
    assert same(decode(payload), expected)


def test_nan_and_negative_zero_round_trip():
    corpus = [{"id": "a", "text": "t", "metadata": {"n": float("nan"), "z": -0.0, "i": float("-inf")}}]
    assert same(decode(encode(*build(corpus))), corpus)
