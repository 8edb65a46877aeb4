"""Entity graph, relation graph and entity embedding codecs."""

import inspect

import msgpack
import pytest

import lorvex_native as ln

ENCODERS = [ln.encode_entity_graph, ln.encode_relation_graph, ln.encode_entity_embeddings]
DECODERS = [ln.decode_entity_graph, ln.decode_relation_graph, ln.decode_entity_embeddings]

ENTITY_GRAPH = {
    "ALICE": {"description": "A person", "type": "PERSON", "chunk_ids": ["c1", "c2"], "frequency": 2, "degree": 0},
    "ACME": {"description": "", "type": "ORG", "chunk_ids": [], "frequency": 1, "degree": 3, "extra": None},
}
RELATION_GRAPH = {
    "ALICE": [
        {
            "target": "ACME",
            "relation": "works_at",
            "chunk_id": "c1",
            "description": "Alice works at Acme",
            "strength": 5,
            "weight": 6.0,
            "support_count": 1,
            "text_unit_ids": ["c1"],
        }
    ]
}
EMBEDDINGS = {"x": [0.5, 1], "y": [-0.25] * 384}


@pytest.mark.parametrize(
    ("fn", "signature", "doc"),
    [
        (ln.encode_entity_graph, "(graph)", "Encode entity graph dict to msgpack bytes."),
        (
            ln.decode_entity_graph,
            "(data)",
            "Decode msgpack bytes to entity graph dict.\nReturns None on malformed input so Python can fall back to JSON.",
        ),
        (ln.encode_relation_graph, "(graph)", "Encode relation graph dict to msgpack bytes."),
        (
            ln.decode_relation_graph,
            "(data)",
            "Decode msgpack bytes to relation graph dict.\nReturns None on malformed input so Python can fall back to JSON.",
        ),
        (ln.encode_entity_embeddings, "(embeddings)", "Encode entity embeddings dict (str → list[float]) to msgpack bytes."),
        (ln.decode_entity_embeddings, "(data)", "Decode msgpack bytes to entity embeddings dict.\nReturns None on malformed input."),
    ],
)
def test_signatures_and_docstrings(fn, signature, doc):
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__ == doc


@pytest.mark.parametrize("encode", ENCODERS)
@pytest.mark.parametrize("decode", DECODERS)
def test_any_decoder_reads_any_encoder(encode, decode):
    for store in (ENTITY_GRAPH, RELATION_GRAPH, EMBEDDINGS, {}):
        payload = encode(store)
        assert payload == msgpack.packb(store)
        back = decode(payload)
        assert back == store
        assert list(back) == list(store)
        for key, value in store.items():
            if isinstance(value, dict):
                assert list(back[key]) == list(value)


def test_worked_examples():
    assert ln.encode_entity_graph({}) == b"\x80"
    assert ln.decode_entity_graph(b"\x80") == {}
    payload = ln.encode_relation_graph(RELATION_GRAPH)
    assert b"\xa6weight\xcb\x40\x18\x00\x00\x00\x00\x00\x00" in payload
    assert b"\xa8strength\x05" in payload
    back = ln.decode_relation_graph(payload)["ALICE"][0]
    assert type(back["weight"]) is float and back["weight"] == 6.0
    payload = ln.encode_entity_embeddings({"x": [0.5, 1]})
    assert payload == bytes.fromhex("81 a1 78 92 cb 3f e0 00 00 00 00 00 00 01")
    assert type(ln.decode_entity_embeddings(payload)["x"][1]) is int
    assert ln.decode_entity_graph(ln.encode_entity_graph({"t": (1, 2)})) == {"t": "(1, 2)"}


@pytest.mark.parametrize("decode", DECODERS)
@pytest.mark.parametrize("data", [b"", b"\x90", b"\xc0", b"\x01", b"\xa1a", b"\x81", b"\x81\xa1a", b"\xc1"])
def test_malformed_or_not_a_map_is_none(decode, data):
    assert decode(data) is None


@pytest.mark.parametrize("decode", DECODERS)
def test_trailing_bytes_ignored(decode):
    assert decode(ln.encode_entity_graph(ENTITY_GRAPH) + b"\x92\x01") == ENTITY_GRAPH


@pytest.mark.parametrize(("encode", "name"), zip(ENCODERS, ["graph", "graph", "embeddings"]))
def test_encoder_argument_must_be_dict(encode, name):
    with pytest.raises(TypeError, match=rf"^argument '{name}': 'list' object cannot be converted to 'PyDict'$"):
        encode([])


@pytest.mark.parametrize("decode", DECODERS)
def test_decoder_argument_must_be_bytes(decode):
    with pytest.raises(TypeError, match=r"^argument 'data': 'bytearray' object cannot be converted to 'PyBytes'$"):
        decode(bytearray(b"\x80"))
    with pytest.raises(TypeError, match=r"'memoryview' object cannot be converted to 'PyBytes'"):
        decode(memoryview(b"\x80"))


def test_dict_subclass_argument_and_bytes_subclass_data():
    class D(dict):
        pass

    class B(bytes):
        pass

    payload = ln.encode_entity_graph(D(a=1))
    assert payload == b"\x81\xa1a\x01"
    assert ln.decode_entity_graph(B(payload)) == {"a": 1}


def test_large_store_round_trip():
    graph = {f"E{i}": {"description": f"entity {i}", "type": "T", "chunk_ids": [f"c{i}"], "frequency": i, "degree": -i} for i in range(5000)}
    payload = ln.encode_entity_graph(graph)
    assert payload == msgpack.packb(graph)
    assert ln.decode_entity_graph(payload) == graph


@pytest.mark.parametrize("enabled", [True, False])
def test_decoders_leave_the_collector_as_they_found_it(enabled):
    import gc

    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        ln.decode_entity_graph(ln.encode_entity_graph(ENTITY_GRAPH))
        assert gc.isenabled() is enabled
        ln.decode_sentence_meta(b"\x93\x01\x90\x90")
        assert gc.isenabled() is enabled
        with pytest.raises(TypeError):
            ln.decode_entity_graph(b"\x81\x90\x01")
        assert gc.isenabled() is enabled
        assert ln.decode_entity_graph(b"\x81") is None
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()
