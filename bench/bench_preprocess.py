"""White-space normalisation of corpus documents: ours against the pure-Python way."""
from __future__ import annotations

import argparse
import re
import time

import lorvex_native as ln
from corpus import stdlib_chunks

WS = re.compile("[\t-\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+")


def preprocess_py(documents: list[dict]) -> list[dict]:
    out = []
    for doc in documents:
        copy = dict(doc)
        text = doc.get("text")
        if isinstance(text, str):
            copy["text"] = " ".join(p for p in WS.split(text) if p)
        out.append(copy)
    return out


def tokenize_py(text: str) -> list[str]:
    return [p for p in WS.split(text.lower()) if p]


def best(fn, repeat: int = 5) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--docs", type=int, default=20000)
    args = ap.parse_args()
    docs = stdlib_chunks(args.docs)
    mb = sum(len(d["text"].encode()) for d in docs) / 1e6
    assert ln.preprocess_documents(docs, 64) == preprocess_py(docs)
    ours = best(lambda: ln.preprocess_documents(docs, 64))
    py = best(lambda: preprocess_py(docs))
    print(f"corpus: {len(docs)} stdlib documents, {mb:.1f} MB")
    print(f"{'job':<28}{'ours (ms)':>12}{'python (ms)':>14}{'ratio':>9}")
    print(f"{'preprocess_documents':<28}{ours * 1e3:>12.1f}{py * 1e3:>14.1f}{py / ours:>8.1f}x")
    if hasattr(ln, "build_bm25_index"):
        # The tokenizer runs inside index construction; the pure-Python side only tokenizes.
        tok = best(lambda: [tokenize_py(d["text"]) for d in docs])
        idx = best(lambda: ln.build_bm25_index(docs))
        print(f"{'tokenize (python only)':<28}{'':>12}{tok * 1e3:>14.1f}")
        print(f"{'build_bm25_index (ours)':<28}{idx * 1e3:>12.1f}{'':>14}{tok / idx:>8.1f}x")


if __name__ == "__main__":
    main()
