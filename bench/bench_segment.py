"""Sentence segmentation: segment_text against the re.split based Python version.

Texts are standard-library docstrings: one long text (all of them joined,
--long-mb megabytes) and many short chunk-sized texts.

Usage: python3 bench/bench_segment.py [--long-mb N] [--docs N]
"""
from __future__ import annotations

import argparse
import re
import time

import lorvex_native as ln
from corpus import stdlib_chunks

WHITE_SPACE = "".join(map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                                0x2028, 0x2029, 0x202F, 0x205F, 0x3000]))
# Same contract as ours: Unicode White_Space (re's \s would add U+001C..U+001F).
SPLIT = re.compile("(?<=[.!?])[" + re.escape(WHITE_SPACE) + "]+")
# The application's own routine splits on \s.
SPLIT_S = re.compile(r"(?<=[.!?])\s+")


def segment_py(text: str, min_chars: int, split=SPLIT, strip=WHITE_SPACE) -> list[str]:
    out: list[str] = []
    for piece in split.split(text):
        piece = piece.strip(strip)
        if not piece:
            continue
        if len(piece.encode()) < min_chars and out:
            out[-1] += " " + piece
        else:
            out.append(piece)
    return out


def segment_app(text: str, min_chars: int) -> list[str]:
    return segment_py(text, min_chars, SPLIT_S, None)


def best(fn, repeat: int = 3) -> float:
    """Best CPU time of this process over a few runs (other load on the
    machine inflates CPU time less than wall-clock time)."""
    times = []
    for _ in range(repeat):
        t0 = time.process_time()
        fn()
        times.append(time.process_time() - t0)
    return min(times)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--long-mb", type=float, default=4.0)
    ap.add_argument("--docs", type=int, default=20000)
    args, _ = ap.parse_known_args()
    docs = [d["text"] for d in stdlib_chunks(args.docs)]
    long_text = "\n\n".join(docs)
    while len(long_text) < args.long_mb * 1e6:
        long_text += "\n\n" + long_text
    long_text = long_text[: int(args.long_mb * 1e6)]
    cases = [
        (f"one text, {len(long_text.encode()) / 1e6:.1f} MB", [long_text]),
        (f"{len(docs)} docstrings, {sum(map(len, docs)) / len(docs):.0f} chars each", docs),
    ]
    print(f"{'segment_text':<40}{'min':>5}{'ours (ms)':>11}{'python (ms)':>13}{'ratio':>8}{'app (ms)':>13}{'ratio':>8}")
    for label, texts in cases:
        for min_chars in (0, 20):
            expected = [segment_py(t, min_chars) for t in texts]
            assert [ln.segment_text(t, min_chars) for t in texts] == expected
            ours = best(lambda: [ln.segment_text(t, min_chars) for t in texts])
            py = best(lambda: [segment_py(t, min_chars) for t in texts])
            app = best(lambda: [segment_app(t, min_chars) for t in texts])
            print(f"{label:<40}{min_chars:>5}{ours * 1e3:>11.1f}{py * 1e3:>13.1f}{py / ours:>7.1f}x"
                  f"{app * 1e3:>13.1f}{app / ours:>7.1f}x")


if __name__ == "__main__":
    main()
