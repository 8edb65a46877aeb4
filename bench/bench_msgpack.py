"""MessagePack codecs against msgpack (C), ormsgpack (Rust) and pure Python.

Stores: an entity graph of 50k records, a relation graph of 200k entries and
20k embeddings of 384 floats (plus the sentence codecs on 50k records).
Each row times encoding and decoding of the same tree; the pure-Python
codec implements the same contract and is checked equal to ours first. It is
slow, so by default it runs on the first 10% of each store and its ratio is
taken against our time on that same sample (--python-fraction 1 for all).

Times are the best of --repeat runs of process CPU time by default, which
stays meaningful on a busy machine; --clock wall measures elapsed time.

    PYTHONPATH=build/dev python3 bench/bench_msgpack.py [--scale 2] [--repeat 3] [--clock wall]
"""

import argparse
import gc
import random
import struct
import time

import msgpack

import lorvex_native as ln

try:
    import ormsgpack
except ImportError:  # pragma: no cover
    ormsgpack = None  # type: ignore[assignment]


# --- pure-Python codec of the same contract ---------------------------------


def py_encode(obj):
    out = bytearray()
    _py_write(obj, out)
    return bytes(out)


def _py_write(o, out):
    if o is None:
        out.append(0xC0)
    elif o is True or o is False:
        out.append(0xC3 if o else 0xC2)
    elif isinstance(o, int) and -(2**63) <= o < 2**63:
        if o >= 0:
            if o < 128:
                out.append(o)
            elif o <= 0xFF:
                out += b"\xcc" + struct.pack(">B", o)
            elif o <= 0xFFFF:
                out += b"\xcd" + struct.pack(">H", o)
            elif o <= 0xFFFFFFFF:
                out += b"\xce" + struct.pack(">I", o)
            else:
                out += b"\xcf" + struct.pack(">Q", o)
        elif o >= -32:
            out.append(o & 0xFF)
        elif o >= -128:
            out += b"\xd0" + struct.pack(">b", o)
        elif o >= -32768:
            out += b"\xd1" + struct.pack(">h", o)
        elif o >= -(2**31):
            out += b"\xd2" + struct.pack(">i", o)
        else:
            out += b"\xd3" + struct.pack(">q", o)
    elif isinstance(o, float):
        out += b"\xcb" + struct.pack(">d", o)
    elif isinstance(o, str):
        b = o.encode("utf-8", "surrogatepass").decode("utf-8", "replace").encode()
        _py_header(out, len(b), 0xA0, 31, 0xD9, 0xDA, 0xDB)
        out += b
    elif isinstance(o, list):
        _py_header(out, len(o), 0x90, 15, None, 0xDC, 0xDD)
        for x in o:
            _py_write(x, out)
    elif isinstance(o, dict):
        _py_header(out, len(o), 0x80, 15, None, 0xDE, 0xDF)
        for k, v in o.items():
            _py_write(k, out)
            _py_write(v, out)
    else:
        _py_write(str(o), out)


def _py_header(out, n, fix, fix_max, m8, m16, m32):
    if n <= fix_max:
        out.append(fix + n)
    elif m8 is not None and n <= 0xFF:
        out += bytes((m8, n))
    elif n <= 0xFFFF:
        out += bytes((m16,)) + struct.pack(">H", n)
    else:
        out += bytes((m32,)) + struct.pack(">I", n)


def py_decode(data):
    try:
        value, _ = _py_read(memoryview(data), 0, 1024)
    except (IndexError, ValueError, struct.error):
        return None
    return value if isinstance(value, dict) else None


_FIXED = {
    0xCC: ">B", 0xCD: ">H", 0xCE: ">I", 0xCF: ">Q",
    0xD0: ">b", 0xD1: ">h", 0xD2: ">i", 0xD3: ">q",
    0xCA: ">f", 0xCB: ">d",
}


def _py_read(buf, pos, budget):
    budget -= 1
    if budget < 0:
        raise ValueError
    m = buf[pos]
    pos += 1
    if m <= 0x7F:
        return m, pos
    if m >= 0xE0:
        return m - 256, pos
    if m <= 0x8F or m in (0xDE, 0xDF):
        if m <= 0x8F:
            n = m & 0x0F
        else:
            w = 2 if m == 0xDE else 4
            n = int.from_bytes(buf[pos : pos + w], "big")
            pos += w
        budget -= 1
        if budget < 0:
            raise ValueError
        d = {}
        for _ in range(n):
            k, pos = _py_read(buf, pos, budget)
            v, pos = _py_read(buf, pos, budget)
            d[k] = v
        return d, pos
    if m <= 0x9F or m in (0xDC, 0xDD):
        if m <= 0x9F:
            n = m & 0x0F
        else:
            w = 2 if m == 0xDC else 4
            n = int.from_bytes(buf[pos : pos + w], "big")
            pos += w
        budget -= 1
        if budget < 0:
            raise ValueError
        items = []
        for _ in range(n):
            v, pos = _py_read(buf, pos, budget)
            items.append(v)
        return items, pos
    if m <= 0xBF or 0xD9 <= m <= 0xDB:
        if m <= 0xBF:
            n = m & 0x1F
        else:
            w = 1 << (m - 0xD9)
            if pos + w > len(buf):
                raise ValueError
            n = int.from_bytes(buf[pos : pos + w], "big")
            pos += w
        budget -= 2
        if budget < 0 or pos + n > len(buf):
            raise ValueError
        raw = bytes(buf[pos : pos + n])
        try:
            s = raw.decode()
        except UnicodeDecodeError:
            s = ""
        return s, pos + n
    if m in (0xC0, 0xC1):
        return None, pos
    if m in (0xC2, 0xC3):
        return m == 0xC3, pos
    if m in _FIXED:
        fmt = _FIXED[m]
        size = struct.calcsize(fmt)
        return struct.unpack_from(fmt, buf, pos)[0], pos + size
    if 0xC4 <= m <= 0xC6:
        w = 1 << (m - 0xC4)
        n = int.from_bytes(buf[pos : pos + w], "big")
        pos += w
        budget -= 1
        if budget < 0 or pos + n > len(buf):
            raise ValueError
        return bytes(buf[pos : pos + n]), pos + n
    # extensions
    if 0xD4 <= m <= 0xD8:
        n = 1 << (m - 0xD4)
    else:
        w = 1 << (m - 0xC7)
        n = int.from_bytes(buf[pos : pos + w], "big")
        pos += w
    pos += 1
    budget -= 2
    if budget < 0 or pos + n > len(buf):
        raise ValueError
    return None, pos + n


# --- data -------------------------------------------------------------------


def make_entity_graph(n, rng):
    types = ["PERSON", "ORGANIZATION", "LOCATION", "EVENT", "CONCEPT"]
    return {
        f"ENTITY_{i}": {
            "description": " ".join(rng.choice(WORDS) for _ in range(rng.randint(5, 25))),
            "type": rng.choice(types),
            "chunk_ids": [f"chunk-{rng.randrange(100000)}" for _ in range(rng.randint(1, 4))],
            "frequency": rng.randint(1, 50),
            "degree": rng.randint(0, 300),
        }
        for i in range(n)
    }


def make_relation_graph(n_entries, rng):
    graph = {}
    for i in range(n_entries):
        src = f"ENTITY_{i // 4}"
        graph.setdefault(src, []).append(
            {
                "target": f"ENTITY_{rng.randrange(n_entries // 4)}",
                "relation": rng.choice(["works_at", "located_in", "part_of", "related_to"]),
                "chunk_id": f"chunk-{rng.randrange(100000)}",
                "description": " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 12))),
                "strength": rng.randint(1, 10),
                "weight": float(rng.randint(1, 10)),
                "support_count": rng.randint(1, 5),
                "text_unit_ids": [f"chunk-{rng.randrange(100000)}" for _ in range(rng.randint(1, 3))],
            }
        )
    return graph


def make_embeddings(n, dim, rng):
    return {f"entity {i}": [rng.gauss(0.0, 0.1) for _ in range(dim)] for i in range(n)}


def make_sentences(n, rng):
    records = {
        f"s{i}": {
            "text": " ".join(rng.choice(WORDS) for _ in range(rng.randint(5, 20))) + ".",
            "chunk_id": f"c{i // 8}",
            "position": i % 8,
            "window": [f"s{j}" for j in range(max(0, i - 2), i + 3)],
        }
        for i in range(n)
    }
    chunks = {}
    for sid, rec in records.items():
        chunks.setdefault(rec["chunk_id"], []).append(sid)
    return records, chunks


WORDS = (
    "the of and to in a is that for it as was with be by on not he this are or his from at which but have an they "
    "graph entity relation retrieval index query vector score chunk document token corpus Zürich naïve 東京"
).split()


# --- timing -----------------------------------------------------------------


CLOCK = time.process_time


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = CLOCK()
        fn()
        times.append(CLOCK() - t0)
    return min(times)


def sample(store, fraction):
    n = max(1, int(len(store) * fraction))
    return dict(list(store.items())[:n])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--scale", type=float, default=1.0, help="multiply every store size")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--clock", choices=["cpu", "wall"], default="cpu")
    ap.add_argument("--python-fraction", type=float, default=0.1, help="share of each store the pure-Python codec runs on (0 skips it)")
    args = ap.parse_args()
    global CLOCK
    CLOCK = time.process_time if args.clock == "cpu" else time.perf_counter
    rng = random.Random(7)
    s = args.scale

    stores = [
        ("entity graph 50k", lambda: make_entity_graph(int(50_000 * s), rng), ln.encode_entity_graph, ln.decode_entity_graph),
        ("relation graph 200k", lambda: make_relation_graph(int(200_000 * s), rng), ln.encode_relation_graph, ln.decode_relation_graph),
        ("embeddings 20k x 384", lambda: make_embeddings(int(20_000 * s), 384, rng), ln.encode_entity_embeddings, ln.decode_entity_embeddings),
    ]

    rows = []
    for name, make, encode, decode in stores:
        # One store alive at a time, and none while decoding, so that the
        # collector's passes during decoding see only the decoded objects.
        store = make()
        payload = encode(store)
        assert payload == msgpack.packb(store), name
        assert decode(payload) == store, name
        if ormsgpack is not None:
            assert ormsgpack.packb(store) == payload, name
        part = sample(store, args.python_fraction) if args.python_fraction > 0 else None
        if part is not None:
            part_payload = encode(part)
            assert py_encode(part) == part_payload, name
            assert py_decode(part_payload) == part, name
        gc.collect()
        ours_e = best(lambda: encode(store), args.repeat)
        mp_e = best(lambda: msgpack.packb(store), args.repeat)
        orm_e = best(lambda: ormsgpack.packb(store), args.repeat) if ormsgpack else None
        py_e = py_d = None
        if part is not None:
            # Scaled by our own time on the sample, so that the ratio column
            # compares equal work.
            py_e = best(lambda: py_encode(part), 1) * ours_e / best(lambda: encode(part), args.repeat)
        del store
        gc.collect()
        ours_d = best(lambda: decode(payload), args.repeat)
        mp_d = best(lambda: msgpack.unpackb(payload), args.repeat)
        orm_d = best(lambda: ormsgpack.unpackb(payload), args.repeat) if ormsgpack else None
        if part is not None:
            py_d = best(lambda: py_decode(part_payload), 1) * ours_d / best(lambda: decode(part_payload), args.repeat)
        rows.append((name + " encode", len(payload), ours_e, mp_e, orm_e, py_e))
        rows.append((name + " decode", len(payload), ours_d, mp_d, orm_d, py_d))
        del payload, part

    records, chunks = make_sentences(int(50_000 * s), rng)
    payload = ln.encode_sentence_index(records, chunks)
    assert payload == msgpack.packb([1, records, chunks])
    assert ln.decode_sentence_index(payload) == (records, chunks)
    rows.append(
        (
            "sentence index 50k encode",
            len(payload),
            best(lambda: ln.encode_sentence_index(records, chunks), args.repeat),
            best(lambda: msgpack.packb([1, records, chunks]), args.repeat),
            best(lambda: ormsgpack.packb([1, records, chunks]), args.repeat) if ormsgpack else None,
            None,
        )
    )
    del records, chunks
    gc.collect()
    rows.append(
        (
            "sentence index 50k decode",
            len(payload),
            best(lambda: ln.decode_sentence_index(payload), args.repeat),
            best(lambda: msgpack.unpackb(payload), args.repeat),
            best(lambda: ormsgpack.unpackb(payload), args.repeat) if ormsgpack else None,
            None,
        )
    )

    def ms(t):
        return "-" if t is None else f"{t * 1e3:9.1f}"

    def ratio(t, ours):
        return "-" if t is None else f"{t / ours:6.2f}x"

    print(f"{'case':32} {'bytes':>11} {'ours ms':>9} {'msgpack':>9} {'ormsgpack':>9} {'python':>9}   vs msgpack  vs ormsgpack  vs python")
    for name, size, ours, mp, orm, py in rows:
        print(
            f"{name:32} {size:11d} {ms(ours)} {ms(mp)} {ms(orm)} {ms(py)}   {ratio(mp, ours):>10}  {ratio(orm, ours):>11}  {ratio(py, ours):>8}"
        )
    print(f"clock: {args.clock}; ratios: peer time / our time (above 1.00x means we are faster)")
    if args.python_fraction > 0 and args.python_fraction < 1:
        print(f"python column: measured on {args.python_fraction:.0%} of each store, scaled by our own time on that sample")


if __name__ == "__main__":
    main()
