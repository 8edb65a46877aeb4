"""Corpus payloads: ours against orjson / json / msgpack plus the Python code around them.

    python bench/bench_corpus.py              # 100k documents
    python bench/bench_corpus.py --docs 300000
"""
from __future__ import annotations

import argparse
import json
import time

import msgpack
import orjson

import lorvex_native as ln
from corpus import stdlib_chunks


def make_corpus(n_docs: int) -> list[dict]:
    """stdlib documents with typical chunk metadata; about one in ten texts repeats an earlier one.
    When the stdlib runs out, its chunks come round again with a marker line, so texts stay distinct."""
    base = stdlib_chunks(n_docs)
    texts = []
    for i in range(n_docs):
        d = base[i % len(base)]
        texts.append(d["text"] if i < len(base) else f"{d['text']}\n# round {i // len(base)}")
    corpus = []
    for i in range(n_docs):
        d = base[i % len(base)]
        corpus.append({
            "id": f"doc-{i:07d}",
            "text": texts[i - 7] if i % 10 == 9 else texts[i],
            "metadata": {
                "file_path": d["metadata"]["file_path"],
                "chunk_index": i % 97,
                "source_class": "code" if i % 3 else "prose",
                "score": i / 7.0,
                "tags": ["stdlib", f"t{i % 13}"],
                "indexed": i % 2 == 0,
            },
        })
    return corpus


# --- pure-Python implementations of the same contracts ------------------------------------


def build_dedup_py(corpus):
    texts, positions, docs = [], {}, []
    for item in corpus:
        text = item.get("text")
        text = text if isinstance(text, str) else ""
        doc_id = item.get("id")
        doc_id = doc_id if isinstance(doc_id, str) else ""
        t = positions.get(text)
        if t is None:
            t = positions[text] = len(texts)
            texts.append(text)
        docs.append({"id": doc_id, "t": t, "metadata": item["metadata"] if "metadata" in item else {}})
    return texts, docs


def corpus_from_json_value(obj):
    """The list built from a parsed payload (member order of metadata left as parsed)."""
    if isinstance(obj, dict):
        if obj.get("format") != "dedup_v1":
            return None
        texts, docs = obj.get("texts"), obj.get("docs")
        if not isinstance(texts, list) or not isinstance(docs, list):
            return None
        out = []
        for d in docs:
            if not isinstance(d, dict):
                return None
            t = d.get("t")
            if type(t) is not int or not 0 <= t < len(texts) or not isinstance(texts[t], str):
                return None
            doc_id = d.get("id")
            out.append({"id": doc_id if isinstance(doc_id, str) else "", "text": texts[t],
                        "metadata": d["metadata"] if "metadata" in d else {}})
        return out
    if isinstance(obj, list):
        out = []
        for d in obj:
            if isinstance(d, dict):
                doc_id, text = d.get("id"), d.get("text")
                out.append({"id": doc_id if isinstance(doc_id, str) else "",
                            "text": text if isinstance(text, str) else "",
                            "metadata": d["metadata"] if "metadata" in d else {}})
            else:
                out.append({"id": "", "text": "", "metadata": {}})
        return out
    return None


def encode_msgpack_py(texts, docs):
    return msgpack.packb([2, texts, [[d.get("id", ""), d.get("t", 0), d.get("metadata")] for d in docs]])


def decode_msgpack_py(data):
    try:
        value = msgpack.unpackb(data, strict_map_key=False)
    except Exception:
        return None
    if not isinstance(value, list) or len(value) != 3 or value[0] != 2:
        return None
    texts, docs = value[1], value[2]
    out = []
    for entry in docs:
        if not isinstance(entry, list) or len(entry) != 3:
            return None
        doc_id, t, meta = entry
        out.append({"id": doc_id, "text": texts[t] if 0 <= t < len(texts) else "", "metadata": meta})
    return out


# --- timing ------------------------------------------------------------------------------


def best(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def row(job: str, ours: float, others: list[tuple[str, float]]) -> None:
    cells = "".join(f"{name:>18}{t * 1e3:>9.1f} ms {t / ours:>5.2f}x" for name, t in others)
    print(f"{job:<30}{ours * 1e3:>9.1f} ms  {cells}")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--docs", type=int, default=100_000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    corpus = make_corpus(args.docs)
    r = args.repeat

    texts, docs = ln.build_dedup_corpus_payload(corpus)
    assert (texts, docs) == build_dedup_py(corpus)
    dedup_json = json.dumps({"format": "dedup_v1", "texts": texts, "docs": docs}).encode()
    legacy_json = json.dumps(corpus).encode()
    assert ln.decode_corpus_json(dedup_json) == corpus == corpus_from_json_value(orjson.loads(dedup_json))
    assert ln.decode_corpus_json(legacy_json) == corpus == corpus_from_json_value(orjson.loads(legacy_json))

    print(f"corpus: {len(corpus)} documents, {len(texts)} distinct texts; "
          f"dedup_v1 JSON {len(dedup_json) / 1e6:.1f} MB, legacy JSON {len(legacy_json) / 1e6:.1f} MB")
    print("ratio = their time / our time (higher is better for us)\n")
    print(f"{'job':<30}{'ours':>12}")

    row("build_dedup_corpus_payload", best(lambda: ln.build_dedup_corpus_payload(corpus), r),
        [("python", best(lambda: build_dedup_py(corpus), r))])
    for name, payload in (("dedup_v1", dedup_json), ("legacy", legacy_json)):
        row(f"decode_corpus_json {name}", best(lambda: ln.decode_corpus_json(payload), r),
            [("orjson+python", best(lambda: corpus_from_json_value(orjson.loads(payload)), r)),
             ("json+python", best(lambda: corpus_from_json_value(json.loads(payload)), r))])

    if not hasattr(ln, "encode_corpus_msgpack"):
        return
    packed = ln.encode_corpus_msgpack(texts, docs)
    assert packed == encode_msgpack_py(texts, docs)
    assert ln.decode_corpus_msgpack(packed) == corpus == decode_msgpack_py(packed)
    print(f"\nMessagePack payload {len(packed) / 1e6:.1f} MB")
    enc = best(lambda: ln.encode_corpus_msgpack(texts, docs), r)
    dec = best(lambda: ln.decode_corpus_msgpack(packed), r)
    enc_py = best(lambda: encode_msgpack_py(texts, docs), r)
    dec_py = best(lambda: decode_msgpack_py(packed), r)
    row("encode_corpus_msgpack", enc, [("msgpack+python", enc_py)])
    row("decode_corpus_msgpack", dec, [("msgpack+python", dec_py)])
    row("round trip", enc + dec, [("msgpack+python", enc_py + dec_py)])
    full = best(lambda: ln.decode_corpus_msgpack(ln.encode_corpus_msgpack(*ln.build_dedup_corpus_payload(corpus))), r)
    full_py = best(lambda: decode_msgpack_py(encode_msgpack_py(*build_dedup_py(corpus))), r)
    row("build + encode + decode", full, [("msgpack+python", full_py)])


if __name__ == "__main__":
    main()
