"""Writes the seed inputs of every fuzz target into fuzz/seeds/<target>/.

Seeds are valid payloads of each format (plus a few near misses), written
with the msgpack package and by hand, so that the fuzzer starts from inputs
that reach deep into each decoder. Run it again after changing the list.
"""
import hashlib
import json
import os
import struct

import msgpack

HERE = os.path.dirname(os.path.abspath(__file__))

META = {"source": "doc.md", "page": 3, "score": 0.25, "tags": ["a", "b"], "ok": True, "none": None,
        "neg": -40, "big": 2**40, "nested": {"k": [1, 2.5, {"x": "y"}]}}
ENTITY = {"apple": {"description": "a fruit", "type": "ORG", "chunk_ids": ["c1", "c2"], "frequency": 2, "degree": 0}}
RELATION = {"apple": [{"target": "pear", "relation": "likes", "chunk_id": "c1", "description": "d", "strength": 5,
                       "weight": 6.0, "support_count": 2, "text_unit_ids": ["c1", "c2"]}]}
EMBED = {"apple": [0.5, -1.25, 1, 0.0], "pear": []}


def pack(v):
    return msgpack.packb(v, use_bin_type=True)


def seeds():
    yield "corpus_msgpack", "empty", bytes([0x93, 0x02, 0x90, 0x90])
    yield "corpus_msgpack", "docs", pack([2, ["apple pie", "x", ""], [["a", 0, META], ["b", 1, None], ["c", 7, {}]]])
    yield "corpus_msgpack", "negative_t", pack([2, ["p"], [["a", -3, [1, "s"]], ["é", 0, {1: "int key"}]]])
    yield "corpus_msgpack", "wide_forms", bytes.fromhex("9302dc0001d90461626364dd0000000193a161cd000080")
    yield "graph_msgpack", "entity", pack(ENTITY)
    yield "graph_msgpack", "relation", pack(RELATION)
    yield "graph_msgpack", "embeddings", pack(EMBED)
    yield "graph_msgpack", "scalars", bytes.fromhex("8a") + b"".join(
        pack(k) + v for k, v in [
            ("f32", bytes.fromhex("ca3fc00000")), ("u64", bytes.fromhex("cfffffffffffffffff")),
            ("i64", bytes.fromhex("d38000000000000000")), ("bin", bytes.fromhex("c40301ff02")),
            ("ext", bytes.fromhex("d40507")), ("ext8", bytes.fromhex("c7020a0102")), ("c1", b"\xc1"),
            ("bad", bytes.fromhex("d901ff")), (1, b"\xc3"), ("nan", bytes.fromhex("cb7ff8000000000000"))])
    yield "graph_msgpack", "deep", b"\x81\xa1k" + b"\x91" * 505 + b"\x01"
    yield "sentence_msgpack", "index", pack([1, {"s1": {"text": "Hello.", "chunk_id": "c1", "pos": 0},
                                                 "s2": {"text": "World.", "chunk_id": "c1", "pos": 1}},
                                             {"c1": ["s1", "s2"]}])
    yield "sentence_msgpack", "meta", pack([1, ["s1", "s2"], [{"chunk_id": "c1"}, {"chunk_id": "c1", "n": 2.5}]])
    yield "sentence_msgpack", "empty", bytes([0x93, 0x01, 0x90, 0x90])
    dedup = {"format": "dedup_v1", "texts": ["apple pie", "x"],
             "docs": [{"id": "a", "t": 0, "metadata": META}, {"id": "b", "t": 1}, {"id": "c", "t": 0, "metadata": None}]}
    yield "corpus_json", "dedup", json.dumps(dedup).encode()
    yield "corpus_json", "legacy", json.dumps([{"id": "a", "text": "apple", "metadata": {"b": 1, "a": [1.5, -2e-3]}},
                                               1, {"id": 2, "text": "t"}, {"text": "\u00e9\u4e2d\U0001f600"}]).encode()
    yield "corpus_json", "numbers", b'[{"id":"n","text":"","metadata":{"u":18446744073709551615,"i":-9223372036854775808,' \
                                    b'"f":1e308,"e":1E-5,"z":-0.0,"s":"\\u00e9\\n\\"q\\""}}]'
    yield "corpus_json", "ws", b' \t\r\n{"format":"dedup_v1","texts":[],"docs":[]} \n'
    digests = sorted(hashlib.md5(str(i).encode()).digest() for i in range(7))
    store = b"LVH1" + struct.pack("<I", len(digests)) + b"".join(digests)
    yield "hash_store", "seven", store
    yield "hash_store", "empty", b"LVH1\x00\x00\x00\x00"
    yield "hash_store", "trailing", store + b"junk"
    yield "hash_store", "truncated", store[:-5]
    yield "hash_hex", "lower", b"0123456789abcdef" * 2
    yield "hash_hex", "plus", b" \t" + b"+f" * 16 + "\u3000".encode()
    yield "hash_hex", "upper", b"FF" * 16
    yield "hash_hex", "non_ascii", "\u20ac".encode() + b"0" * 29


def main():
    for target, name, data in seeds():
        d = os.path.join(HERE, "seeds", target)
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
