"""Representative calls of every module function, shared by the leak, hostile-object and thread tests.

`CALLS[name](n)` builds fresh arguments (a tuple) for one successful call of
function `name`; `n` scales the size of the texts and lists so that the same
call serves as a small input (n=1) and as a large one. Functions the module
does not offer yet are simply absent from `available()`.
"""
import atexit
import hashlib
import os
import struct
import shutil
import tempfile

import msgpack

import lorvex_native as ln

# Arguments that a function changes in place by design (the graph merges).
MUTATED_ARGS = {"merge_entities_into_graph": {0}, "merge_relations_into_graph": {0}}

TMP = tempfile.mkdtemp(prefix="lorvex-hardening-")
atexit.register(shutil.rmtree, TMP, True)
STORE = os.path.join(TMP, "store.bin")
SAVED = os.path.join(TMP, "saved.bin")
DIGESTS = sorted(hashlib.md5(str(i).encode()).digest() for i in range(8))
with open(STORE, "wb") as _f:
    _f.write(b"LVH1" + struct.pack("<I", len(DIGESTS)) + b"".join(DIGESTS))


def pack(value):
    return msgpack.packb(value, use_bin_type=True)


def words(n, salt=""):
    base = ["apple", "pie", "Parse", "config", "graph", "louvain", "é", "ΟΔΟΣ", "x.py", "end."]
    return " ".join(base[(i * 7 + len(salt)) % len(base)] + salt for i in range(max(1, n) * 4))


def records(n, prefix="r"):
    out = []
    for i in range(max(2, n)):
        out.append({
            "id": f"{prefix}{i % 5}",
            "text": words(1 + i % 3, str(i % 4)) + " Fast BM25 search",
            "score": 1.0 / (i + 1),
            "vector_score": 0.5 + 0.01 * i,
            "metadata": {"source": f"doc{i}.md", "page": i},
        })
    return out


def code_record(i):
    return {
        "id": f"c{i}",
        "text": f"def authenticate_{i}(user): return login(user) parse_request",
        "metadata": {
            "source_class": "code", "symbol_name": "Authenticate" if i % 2 else f"parse_{i}",
            "qualified_name": f"login.authenticate{i}", "symbol_type": "function",
            "file_path": "src/auth/login.py", "start_line": 10 + i, "end_line": 25 + i, "language": "python",
        },
    }


def corpora(n):
    return [[code_record(i) for i in range(max(2, n))], [code_record(100 + i) for i in range(max(1, n // 2))],
            [{"id": "prose", "text": "no metadata"}]]


def entity_graph(n):
    return {f"e{i}": {"description": "d" * (i % 3), "type": "ORG", "chunk_ids": ["c1", f"c{i}"], "frequency": 2,
                      "degree": i} for i in range(max(2, n))}


def relation_graph(n):
    return {f"e{i}": [{"target": f"e{i + 1}", "relation": "likes", "chunk_id": "c1", "description": "d",
                       "strength": 5, "weight": 6.0 + i, "support_count": 2, "text_unit_ids": ["c1", "c2"]}]
            for i in range(max(2, n))}


def embeddings_dict(n):
    return {f"e{i}": [0.5 * i, -1.25, 1, 0.0] * max(1, n // 4) for i in range(max(2, n))}


def rows(n):
    return [[1.0, 0.0, 0.5], [0.9, 0.1, 0.5], [0.0, 1.0, 0.0]] * max(1, n)


_INDEXES = {}


def bm25_index():
    if "bm25" not in _INDEXES:
        _INDEXES["bm25"] = ln.build_bm25_index(records(40))
    return _INDEXES["bm25"]


def symbol_index():
    if "symbol" not in _INDEXES:
        _INDEXES["symbol"] = ln.build_symbol_index(corpora(20))
    return _INDEXES["symbol"]


def corpus_payload(n):
    docs = [[f"d{i}", i % 3, {"source": f"s{i}", "k": [1, 2.5, None, True]}] for i in range(max(2, n))]
    return pack([2, ["apple pie", "x", words(n)], docs])


def corpus_json(n):
    import json
    return json.dumps({"format": "dedup_v1", "texts": ["apple pie", words(n)],
                       "docs": [{"id": f"d{i}", "t": i % 2, "metadata": {"b": i, "a": [1.5, None, True]}}
                                for i in range(max(2, n))]}).encode()


CALLS = {
    "preprocess_documents": lambda n: (records(n), 32),
    "build_bm25_index": lambda n: (records(n),),
    "search_bm25": lambda n: (bm25_index(), "apple pie fast " + words(n), 5),
    "symbol_channel_search": lambda n: (corpora(n), ["parse_1", "authenticate", "login.authenticate3"], 5,
                                       {"language": "python"}),
    "build_symbol_index": lambda n: (corpora(n),),
    "search_symbol_index": lambda n: (symbol_index(), ["parse_1", "authent", "login.authenticate3"], 5),
    "compute_doc_hash": lambda n: (words(n),),
    "extract_code_query_tokens": lambda n: ("where is parseXMLRequest in auth/login_handler.py " + words(n),),
    "code_lexical_scores": lambda n: ([code_record(i) for i in range(max(2, n))] + records(2),
                                      ["login", "authenticate", "login.authenticate", "parse"]),
    "decode_corpus_json": lambda n: (corpus_json(n),),
    "encode_corpus_msgpack": lambda n: (["apple pie", "x", words(n)],
                                        [{"id": f"d{i}", "t": i % 3, "metadata": {"k": [1, 2.5, None, True, "s"]}}
                                         for i in range(max(2, n))]),
    "decode_corpus_msgpack": lambda n: (corpus_payload(n),),
    "compute_sha256": lambda n: ("  " + words(n) + "\n",),
    "save_hash_store_binary": lambda n: (SAVED, ["00" * 16, " " + "FF" * 16, "xyz"] + [d.hex() for d in DIGESTS] * n),
    "load_hash_store_binary": lambda n: (STORE,),
    "probe_hash_store": lambda n: (STORE, DIGESTS[3].hex()),
    "encode_sentence_index": lambda n: ({f"s{i}": {"text": words(1), "chunk_id": "c1", "pos": i, "w": 0.5}
                                         for i in range(max(2, n))}, {"c1": [f"s{i}" for i in range(max(2, n))]}),
    "decode_sentence_index": lambda n: (pack([1, {f"s{i}": {"text": words(1), "pos": i} for i in range(max(2, n))},
                                              {"c1": ["s0", "s1"]}]),),
    "encode_sentence_meta": lambda n: ([f"s{i}" for i in range(max(2, n))],
                                       [{"chunk_id": "c1", "n": i, "w": 0.5} for i in range(max(2, n))]),
    "decode_sentence_meta": lambda n: (pack([1, [f"s{i}" for i in range(max(2, n))],
                                             [{"chunk_id": "c1", "n": i} for i in range(max(2, n))]]),),
    "segment_text": lambda n: ("Hello world. This is fine! Ok? Yes. " * n + "Wait...  what", 5),
    "cosine_similarity": lambda n: ([1.0, 2.0, 3.0] * n, (2, 4, 6.0) * n),
    "score_fusion_weighted": lambda n: (records(n, "v"), records(n, "b"), 0.7),
    "score_fusion_rrf": lambda n: (records(n, "v"), records(n, "b"), 60),
    "dedupe_best_by_id": lambda n: (records(n),),
    "filter_results_by_threshold": lambda n: (records(n) + [{"fused_only": True, "vector_score": 0.0}], 0.5,
                                              "vector_score"),
    "mmr_rerank": lambda n: (records(n), 0.5, 0.85),
    "build_code_doc_bridge_edges": lambda n: ({"parse_config": "node-a", "Parser": "node-b", "élan": "node-c"},
                                              [{"id": f"c{i}", "text": "Call parse_config() first, the parser"}
                                               for i in range(max(2, n))],
                                              [("node-b", "c0", "MENTIONED_IN"), ["x", "y", "z"]]),
    "encode_entity_graph": lambda n: (entity_graph(n),),
    "decode_entity_graph": lambda n: (pack(entity_graph(n)),),
    "encode_relation_graph": lambda n: (relation_graph(n),),
    "decode_relation_graph": lambda n: (pack(relation_graph(n)),),
    "encode_entity_embeddings": lambda n: (embeddings_dict(n),),
    "decode_entity_embeddings": lambda n: (pack(embeddings_dict(n)),),
    "build_dedup_corpus_payload": lambda n: (records(n),),
    "build_graph_edges": lambda n: (entity_graph(n), relation_graph(n)),
    "run_louvain": lambda n: ([f"e{i}" for i in range(max(3, n))],
                              [(f"e{i}", f"e{(i + 1) % max(3, n)}", 1.0 + i % 2) for i in range(max(3, n))]
                              + [[f"e0", "e2", 2]], 1.0),
    "merge_entities_into_graph": lambda n: (entity_graph(2), [
        (f"doc{i}", [{"name": " Apple ", "type": "ORG", "description": "d"}, {"name": f"E{i % 3}"}])
        for i in range(max(2, n))] + [["docL", [{"name": "pear", "type": "UNKNOWN"}]]]),
    "merge_relations_into_graph": lambda n: (relation_graph(2), [
        (f"doc{i}", [{"subject": "E0", "relation": "likes", "object": "e1", "strength": 3, "description": " d "},
                     ("A", "rel", "C")]) for i in range(max(2, n))]),
    "resolve_entity_alias_groups": lambda n: (rows(n), 0.9),
}

# Index objects are built by other functions: a call needs them too.
NEEDS = {"search_bm25": "build_bm25_index", "search_symbol_index": "build_symbol_index"}


def available():
    return [name for name in CALLS if hasattr(ln, name) and hasattr(ln, NEEDS.get(name, name))]
