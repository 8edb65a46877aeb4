"""Sentence-window index and sentence-meta codecs."""

import inspect

import msgpack
import pytest

import lorvex_native as ln

RECORDS = {
    "s1": {"text": "Hello there.", "chunk_id": "c1", "position": 0, "score": 0.5, "flags": [True, None]},
    "s2": {"text": "Bye.", "chunk_id": "c1", "position": 1, "nested": {"b": 1, "a": 2}},
}
CHUNKS = {"c1": ["s1", "s2"], "c2": []}
IDS = ["s1", "s2", "s3"]
META = [{"chunk_id": "c1", "n": 1}, {"chunk_id": "c1", "x": -2.5}, {}]


def test_signatures_and_docstrings():
    assert str(inspect.signature(ln.encode_sentence_index)) == "(records, chunk_to_sentences)"
    assert str(inspect.signature(ln.encode_sentence_meta)) == "(ids, meta)"
    assert str(inspect.signature(ln.decode_sentence_index)) == "(data)"
    assert str(inspect.signature(ln.decode_sentence_meta)) == "(data)"
    assert ln.encode_sentence_index.__doc__ == (
        "Encode SentenceWindowIndex data to msgpack bytes.\n\n"
        "`records`             — dict[str, dict]   (sentence_id → record dict)\n"
        "`chunk_to_sentences`  — dict[str, list[str]]"
    )
    assert ln.decode_sentence_index.__doc__ == (
        "Decode msgpack bytes → `(records: PyDict, chunk_to_sentences: PyDict)`.\nReturns `None` on error."
    )
    assert ln.encode_sentence_meta.__doc__ == (
        "Encode SentenceVectorStore meta to msgpack bytes.\n\n`ids`  — list[str]\n`meta` — list[dict]"
    )
    assert ln.decode_sentence_meta.__doc__ == (
        "Decode msgpack bytes → `(ids: list[str], meta: list[dict])`.\nReturns `None` on error."
    )


def test_empty_payloads():
    assert ln.encode_sentence_index({}, {}) == b"\x93\x01\x80\x80"
    assert ln.encode_sentence_meta([], []) == b"\x93\x01\x90\x90"
    assert ln.decode_sentence_index(b"\x93\x01\x80\x80") == ({}, {})
    assert ln.decode_sentence_meta(b"\x93\x01\x80\x80") is None
    assert ln.decode_sentence_meta(b"\x93\x01\x90\x90") == ([], [])
    assert ln.decode_sentence_index(b"\x93\x01\x90\x90") is None


def test_round_trip_matches_msgpack_package():
    payload = ln.encode_sentence_index(RECORDS, CHUNKS)
    assert payload == msgpack.packb([1, RECORDS, CHUNKS])
    records, chunks = ln.decode_sentence_index(payload)
    assert records == RECORDS and chunks == CHUNKS
    assert list(records["s2"]["nested"]) == ["b", "a"]
    payload = ln.encode_sentence_meta(IDS, META)
    assert payload == msgpack.packb([1, IDS, META])
    assert ln.decode_sentence_meta(payload) == (IDS, META)


@pytest.mark.parametrize("marker", [b"\x02", b"\xc0", b"\xa1x", b"\x90"])
def test_marker_is_not_checked(marker):
    assert ln.decode_sentence_meta(b"\x93" + marker + b"\x90\x90") == ([], [])
    assert ln.decode_sentence_index(b"\x93" + marker + b"\x80\x80") == ({}, {})


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"\x94\x01\x90\x90\x90",
        b"\x92\x01\x90",
        b"\x80",
        b"\x90",
        b"\x93\x01\x90",
        b"\x93\x01\x90\x80",
        b"\x93\x01\x80\x90",
        b"\x93\x01\x90\x91",
        b"\x93\xd9\x05ab",
    ],
)
def test_malformed_or_wrong_shape_is_none(data):
    assert ln.decode_sentence_meta(data) is None
    assert ln.decode_sentence_index(data) is None


def test_every_truncation_is_none():
    payload = ln.encode_sentence_index(RECORDS, CHUNKS)
    for cut in range(len(payload)):
        assert ln.decode_sentence_index(payload[:cut]) is None
    payload = ln.encode_sentence_meta(IDS, META)
    for cut in range(len(payload)):
        assert ln.decode_sentence_meta(payload[:cut]) is None


def test_trailing_bytes_ignored():
    payload = ln.encode_sentence_meta(IDS, META)
    assert ln.decode_sentence_meta(payload + b"\xc1\x00") == (IDS, META)


def test_unhashable_key_raises_only_in_a_readable_payload():
    with pytest.raises(TypeError, match="unhashable"):
        ln.decode_sentence_index(b"\x93\x01\x81\x90\x01\x80")
    with pytest.raises(TypeError, match="unhashable"):
        ln.decode_sentence_meta(b"\x93\x01\x91\x81\x90\x01\x90")
    # The second element does not read: the payload is malformed.
    assert ln.decode_sentence_index(b"\x93\x01\x81\x90\x01\x81") is None


def test_marker_counts_against_the_budget():
    # Top array (2 units) leaves 1022 for each element.
    deep = b"\x91" * 510 + b"\x01"
    assert ln.decode_sentence_meta(b"\x93" + deep + b"\x90\x90") == ([], [])
    too_deep = b"\x91" * 511 + b"\x01"
    assert ln.decode_sentence_meta(b"\x93" + too_deep + b"\x90\x90") is None


def test_argument_types():
    with pytest.raises(TypeError, match=r"^argument 'records': 'list' object cannot be converted to 'PyDict'$"):
        ln.encode_sentence_index([], {})
    with pytest.raises(TypeError, match=r"^argument 'chunk_to_sentences': "):
        ln.encode_sentence_index({}, [])
    with pytest.raises(TypeError, match=r"^argument 'ids': 'tuple' object cannot be converted to 'PyList'$"):
        ln.encode_sentence_meta((), [])
    with pytest.raises(TypeError, match=r"^argument 'meta': "):
        ln.encode_sentence_meta([], {})
    for decode in (ln.decode_sentence_index, ln.decode_sentence_meta):
        with pytest.raises(TypeError, match=r"^argument 'data': 'bytearray' object cannot be converted to 'PyBytes'$"):
            decode(bytearray(b"\x93\x01\x90\x90"))


def test_encoder_conversion_failure_propagates():
    class Bad:
        def __str__(self):
            raise ValueError("nope")

    with pytest.raises(ValueError, match="nope"):
        ln.encode_sentence_meta(["a"], [{"x": Bad()}])
    loop = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        ln.encode_sentence_index({"s": loop}, {})


def test_host_values_follow_the_mapping():
    payload = ln.encode_sentence_meta(["a"], [{"t": (1, 2), "big": 2**63, "b": b"x"}])
    assert ln.decode_sentence_meta(payload) == (["a"], [{"t": "(1, 2)", "big": 2.0**63, "b": "b'x'"}])
