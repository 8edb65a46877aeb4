"""Fuzz targets for the module's decoders, with reference models as oracles.

Each target takes the raw fuzz input (bytes), runs the decoders on it and
raises when an outcome is not allowed: an unexpected exception type, a result
of the wrong shape, or a result that differs from the reference model written
here from the documented formats. `target(name)` returns the function; the
libFuzzer harness (harness.cc) and tests/test_fuzz_regressions.py call it.

Targets:
  corpus_msgpack   decode_corpus_msgpack
  graph_msgpack    decode_entity_graph / decode_relation_graph / decode_entity_embeddings
  sentence_msgpack decode_sentence_index / decode_sentence_meta
  corpus_json      decode_corpus_json
  hash_store       load_hash_store_binary / probe_hash_store on the input as a store file
  hash_hex         save_hash_store_binary / probe_hash_store with the input as a hex digest text
"""
import atexit
import json
import math
import os
import re
import struct
import sys
import shutil
import tempfile

import lorvex_native as ln

# The reader model recurses once or twice per nesting level (budget 1024).
sys.setrecursionlimit(max(sys.getrecursionlimit(), 20000))


class Mismatch(AssertionError):
    pass


def _same(a, b):
    """Equality that treats NaN as equal to NaN and tells int, float and bool apart."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))
    if isinstance(a, list):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    if isinstance(a, tuple):
        return len(a) == len(b) and all(_same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        ka, kb = list(a), list(b)  # keys may be NaN: compare them as values, then the values by position
        return _same(ka, kb) and all(_same(a[x], b[y]) for x, y in zip(ka, kb))
    return a == b


def _outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except Exception as exc:  # noqa: BLE001 - compared against the model below
        return ("raise", type(exc))


# LORVEX_FUZZ_ORACLE=0 skips the reference models (crash and sanitizer
# checks only, several times faster).
ORACLE = os.environ.get("LORVEX_FUZZ_ORACLE", "1") != "0"


def _check(name, got, model):
    if not ORACLE:
        return
    want = model()
    if want is None:
        return
    if got[0] != want[0] or (got[0] == "ok" and not _same(got[1], want[1])) or (
        got[0] == "raise" and got[1] is not want[1]
    ):
        raise Mismatch(f"{name}: got {got!r:.300}, model says {want!r:.300}")


# ---------------------------------------------------------------------------
# MessagePack reader model: nesting budget 1024, 0xc1 read as nil, invalid
# UTF-8 strings read (and converted to ""), extensions converted to None,
# trailing bytes ignored.


class _ReadFail(Exception):
    pass


class _Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def take(self, n):
        if self.pos + n > len(self.data):
            raise _ReadFail
        out = self.data[self.pos:self.pos + n]
        self.pos += n
        return out

    def uint(self, n):
        return int.from_bytes(self.take(n), "big")

    def sint(self, n):
        return int.from_bytes(self.take(n), "big", signed=True)

    def value(self, budget):
        budget -= 1
        if budget < 0:
            raise _ReadFail
        m = self.take(1)[0]
        if m <= 0x7F:
            return ("int", m)
        if m >= 0xE0:
            return ("int", m - 0x100)
        if 0x80 <= m <= 0x8F:
            return self.map(m & 0x0F, budget)
        if 0x90 <= m <= 0x9F:
            return self.array(m & 0x0F, budget)
        if 0xA0 <= m <= 0xBF:
            return self.string(m & 0x1F, budget)
        if m in (0xC0, 0xC1):
            return ("nil", None)
        if m == 0xC2:
            return ("bool", False)
        if m == 0xC3:
            return ("bool", True)
        if m in (0xC4, 0xC5, 0xC6):
            n = self.uint({0xC4: 1, 0xC5: 2, 0xC6: 4}[m])
            budget -= 1
            if budget < 0:
                raise _ReadFail
            return ("bin", self.take(n))
        if m in (0xC7, 0xC8, 0xC9):
            n = self.uint({0xC7: 1, 0xC8: 2, 0xC9: 4}[m])
            return self.ext(n, budget)
        if m == 0xCA:
            return ("float", struct.unpack(">f", self.take(4))[0])
        if m == 0xCB:
            return ("float", struct.unpack(">d", self.take(8))[0])
        if 0xCC <= m <= 0xCF:
            return ("int", self.uint(1 << (m - 0xCC)))
        if 0xD0 <= m <= 0xD3:
            return ("int", self.sint(1 << (m - 0xD0)))
        if 0xD4 <= m <= 0xD8:
            return self.ext(1 << (m - 0xD4), budget)
        if m in (0xD9, 0xDA, 0xDB):
            return self.string(self.uint({0xD9: 1, 0xDA: 2, 0xDB: 4}[m]), budget)
        if m in (0xDC, 0xDD):
            return self.array(self.uint(2 if m == 0xDC else 4), budget)
        return self.map(self.uint(2 if m == 0xDE else 4), budget)  # 0xde, 0xdf

    def string(self, n, budget):
        budget -= 2
        if budget < 0:
            raise _ReadFail
        raw = self.take(n)
        try:
            return ("str", raw.decode("utf-8"))
        except UnicodeDecodeError:
            return ("str", None)

    def ext(self, n, budget):
        budget -= 2
        if budget < 0:
            raise _ReadFail
        self.take(1 + n)
        return ("ext", None)

    def array(self, n, budget):
        budget -= 1
        if budget < 0:
            raise _ReadFail
        return ("array", [self.value(budget) for _ in range(n)])

    def map(self, n, budget):
        budget -= 1
        if budget < 0:
            raise _ReadFail
        out = []
        for _ in range(n):
            k = self.value(budget)
            out.append((k, self.value(budget)))
        return ("map", out)


def read_msgpack(data):
    """The first value of data as a tagged tree, or None when the read fails."""
    try:
        return _Reader(data).value(1024)
    except _ReadFail:
        return None


def to_host(v):
    kind, x = v
    if kind in ("nil", "ext"):
        return None
    if kind == "str":
        return "" if x is None else x
    if kind == "array":
        return [to_host(e) for e in x]
    if kind == "map":
        out = {}
        for k, val in x:
            key = to_host(k)
            out[key] = to_host(val)  # TypeError for list/dict keys, as the decoders raise
        return out
    return x  # int, bool, float, bin (bytes)


def model_graph(data):
    tree = read_msgpack(data)
    if tree is None:
        return ("ok", None)
    try:
        host = to_host(tree)
    except TypeError:
        return ("raise", TypeError)
    return ("ok", host if isinstance(host, dict) else None)


def model_sentence(data, want):
    tree = read_msgpack(data)
    if tree is None or tree[0] != "array" or len(tree[1]) != 3:
        return ("ok", None)
    try:
        a = to_host(tree[1][1])
        b = to_host(tree[1][2])
    except TypeError:
        return ("raise", TypeError)
    if isinstance(a, want) and isinstance(b, want):
        return ("ok", (a, b))
    return ("ok", None)


def model_corpus_msgpack(data):
    tree = read_msgpack(data)
    if tree is None or tree[0] != "array" or len(tree[1]) != 3:
        return ("ok", None)
    version, pool, docs = tree[1]
    if version != ("int", 2) or pool[0] != "array" or docs[0] != "array":
        return ("ok", None)
    texts = [x if k == "str" and x is not None else "" for k, x in pool[1]]
    out = []
    for entry in docs[1]:
        if entry[0] != "array" or len(entry[1]) != 3:
            return ("ok", None)
        ident, t, meta = entry[1]
        if ident[0] != "str" or t[0] != "int":
            return ("ok", None)
        pos = max(t[1], 0)
        text = texts[pos] if pos < len(texts) else ""
        try:
            value = to_host(meta)
        except TypeError:
            return ("raise", TypeError)
        out.append({"id": ident[1] or "", "text": text, "metadata": value})
    return ("ok", out)


def _shape(result, kind):
    if result is None:
        return
    if kind == "docs":
        assert type(result) is list
        for d in result:
            assert type(d) is dict and list(d) == ["id", "text", "metadata"], d
            assert type(d["id"]) is str and type(d["text"]) is str
    elif kind == "dict":
        assert type(result) is dict
    else:
        assert type(result) is tuple and len(result) == 2 and all(type(x) is kind for x in result)


def corpus_msgpack(data):
    got = _outcome(ln.decode_corpus_msgpack, data)
    if got[0] == "raise" and got[1] is not TypeError:
        raise Mismatch(f"decode_corpus_msgpack raised {got[1]}")
    if got[0] == "ok":
        _shape(got[1], "docs")
    _check("decode_corpus_msgpack", got, lambda: model_corpus_msgpack(data))


def graph_msgpack(data):
    memo = []

    def model():  # computed once for the three decoders
        if not memo:
            memo.append(model_graph(data))
        return memo[0]

    for fn in (ln.decode_entity_graph, ln.decode_relation_graph, ln.decode_entity_embeddings):
        got = _outcome(fn, data)
        if got[0] == "ok":
            _shape(got[1], "dict")
        _check(fn.__name__, got, model)


def sentence_msgpack(data):
    for fn, kind in ((ln.decode_sentence_index, dict), (ln.decode_sentence_meta, list)):
        got = _outcome(fn, data)
        if got[0] == "ok":
            _shape(got[1], kind)
        _check(fn.__name__, got, lambda: model_sentence(data, kind))


# ---------------------------------------------------------------------------
# JSON corpus model. Where the format leaves the reader a choice (integers
# beyond 64 bits, numbers beyond the double range, escaped lone surrogates,
# "-0") only the shape of the result is checked.


def _json_depth(text):
    depth = best = 0
    in_str = esc = False
    for ch in text:
        if in_str:
            if esc:
                esc = False
            elif ch == "\\":
                esc = True
            elif ch == '"':
                in_str = False
        elif ch == '"':
            in_str = True
        elif ch in "[{":
            depth += 1
            best = max(best, depth)
        elif ch in "]}":
            depth -= 1
    return best


class _Choice(Exception):
    pass


def _no_constant(name):
    raise ValueError(name)


def _host_json(v):
    if isinstance(v, bool) or v is None:
        return v
    if isinstance(v, int):
        if -(2**63) <= v < 2**63:
            return v
        if v < 2**64 and v > 0:
            return float(v)
        raise _Choice
    if isinstance(v, float):
        if math.isinf(v):
            raise _Choice
        return v
    if isinstance(v, str):
        if any(0xD800 <= ord(c) <= 0xDFFF for c in v):
            raise _Choice
        return v
    if isinstance(v, list):
        return [_host_json(x) for x in v]
    out = {}
    for k in sorted(v, key=lambda s: s.encode("utf-8", "surrogatepass")):
        if any(0xD800 <= ord(c) <= 0xDFFF for c in k):
            raise _Choice
        out[k] = _host_json(v[k])
    return out


def model_corpus_json(data):
    """("ok", value) from the model, or None when the reader may choose."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return ("ok", None)
    depth = _json_depth(text)
    if depth > 130:
        return ("ok", None)
    if depth >= 126:
        return None
    if re.search(r"-0(?![.\deE])", text):
        return None
    try:
        v = json.loads(text, parse_constant=_no_constant)
    except ValueError:
        return ("ok", None)
    except RecursionError:
        return None
    try:
        _host_json(v)  # a choice anywhere in the text (even in an unused member) may reject it all
        if isinstance(v, dict):
            if v.get("format") != "dedup_v1" or not isinstance(v.get("texts"), list) or not isinstance(
                v.get("docs"), list
            ):
                return ("ok", None)
            texts, out = v["texts"], []
            for d in v["docs"]:
                if not isinstance(d, dict):
                    return ("ok", None)
                t = d.get("t")
                if type(t) is not int or t < 0 or t >= len(texts) or not isinstance(texts[t], str):
                    if type(t) is int and t >= 2**64:
                        raise _Choice
                    return ("ok", None)
                ident = d.get("id") if isinstance(d.get("id"), str) else ""
                meta = _host_json(d["metadata"]) if "metadata" in d else {}
                out.append({"id": _host_json(ident), "text": _host_json(texts[t]), "metadata": meta})
            return ("ok", out)
        if isinstance(v, list):
            out = []
            for d in v:
                ident = text_ = ""
                meta = {}
                if isinstance(d, dict):
                    ident = d.get("id") if isinstance(d.get("id"), str) else ""
                    text_ = d.get("text") if isinstance(d.get("text"), str) else ""
                    if "metadata" in d:
                        meta = _host_json(d["metadata"])
                out.append({"id": _host_json(ident), "text": _host_json(text_), "metadata": meta})
            return ("ok", out)
        return ("ok", None)
    except _Choice:
        return None


def corpus_json(data):
    got = _outcome(ln.decode_corpus_json, data)
    if got[0] == "raise":
        raise Mismatch(f"decode_corpus_json raised {got[1]}")
    _shape(got[1], "docs")
    _check("decode_corpus_json", got, lambda: model_corpus_json(data))


# ---------------------------------------------------------------------------
# Hash store model.

_WHITE_SPACE = "".join(
    [chr(c) for c in range(0x09, 0x0E)]
    + ["\x20", "\x85", "\xa0", "\u1680"]
    + [chr(c) for c in range(0x2000, 0x200B)]
    + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
)
_HEX = b"0123456789abcdefABCDEF"


def model_digest(text):
    raw = text.strip(_WHITE_SPACE).encode("utf-8", "surrogatepass")
    if len(raw) != 32:
        return None
    out = bytearray()
    for i in range(0, 32, 2):
        a, b = raw[i], raw[i + 1]
        if a in _HEX and b in _HEX:
            out.append(int(raw[i:i + 2], 16))
        elif a == ord("+") and b in _HEX:
            out.append(int(raw[i + 1:i + 2], 16))
        else:
            return None
    return bytes(out)


def model_load(data):
    if len(data) < 8 or data[:4] != b"LVH1":
        return ("raise", ValueError)
    n = int.from_bytes(data[4:8], "little")
    if len(data) < 8 + 16 * n:
        return ("raise", ValueError)
    return ("ok", [data[8 + 16 * i:24 + 16 * i].hex() for i in range(n)])


def model_probe(data, digest):
    if digest is None:
        return False
    if len(data) <= 7 or data[:4] != b"LVH1":
        return None
    n = int.from_bytes(data[4:8], "little")
    if len(data) < 8 + 16 * n:
        return None
    lo, hi = 0, n
    while lo < hi:
        mid = lo + (hi - lo) // 2
        entry = data[8 + 16 * mid:24 + 16 * mid]
        if entry == digest:
            return True
        if entry < digest:
            lo = mid + 1
        else:
            hi = mid
    return False


_TMP = tempfile.mkdtemp(prefix="lorvex-fuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
atexit.register(shutil.rmtree, _TMP, True)
_STORE = os.path.join(_TMP, "store.bin")
_PROBES = ["00" * 16, "ff" * 16, "0123456789abcdef" * 2, " " + "AB" * 16 + "\n", "+f" * 16, "zz" * 16, "0" * 31]


def hash_store(data):
    with open(_STORE, "wb") as f:
        f.write(data)
    _check("load_hash_store_binary", _outcome(ln.load_hash_store_binary, _STORE), lambda: model_load(data))
    probes = list(_PROBES)
    if len(data) >= 24:  # digests found in the file itself, so that hits are exercised
        for off in (8, 8 + 16 * ((len(data) - 8) // 32), 8 + 16 * ((len(data) - 8) // 16 - 1)):
            probes.append(data[off:off + 16].hex())
    for hx in probes:
        got = ln.probe_hash_store(_STORE, hx)
        want = model_probe(data, model_digest(hx))
        if got is not want:
            raise Mismatch(f"probe_hash_store({hx!r}) on {data[:40]!r}: got {got}, model says {want}")


def hash_hex(data):
    text = data.decode("utf-8", "replace")
    digest = model_digest(text)
    with open(_STORE, "wb") as f:
        f.write(b"LVH1\x03\x00\x00\x00" + bytes(16) + bytes(range(16)) + b"\xff" * 16)
    got = ln.probe_hash_store(_STORE, text)
    want = model_probe(open(_STORE, "rb").read(), digest)
    if got is not want:
        raise Mismatch(f"probe_hash_store({text!r}): got {got}, model says {want}")
    ln.save_hash_store_binary(_STORE, [text, "00" * 16, text])
    stored = ln.load_hash_store_binary(_STORE)
    want_list = sorted([bytes(16)] + ([digest, digest] if digest is not None else []))
    if stored != [d.hex() for d in want_list]:
        raise Mismatch(f"save_hash_store_binary([{text!r}, ...]) stored {stored}")


TARGETS = {
    "corpus_msgpack": (corpus_msgpack, ["decode_corpus_msgpack"]),
    "graph_msgpack": (graph_msgpack, ["decode_entity_graph", "decode_relation_graph", "decode_entity_embeddings"]),
    "sentence_msgpack": (sentence_msgpack, ["decode_sentence_index", "decode_sentence_meta"]),
    "corpus_json": (corpus_json, ["decode_corpus_json"]),
    "hash_store": (hash_store, ["load_hash_store_binary", "probe_hash_store"]),
    "hash_hex": (hash_hex, ["save_hash_store_binary", "load_hash_store_binary", "probe_hash_store"]),
}


def available(name):
    return all(hasattr(ln, f) for f in TARGETS[name][1])


def target(name):
    fn, needs = TARGETS[name]
    missing = [f for f in needs if not hasattr(ln, f)]
    if missing:
        raise LookupError(f"target {name}: the module has no {', '.join(missing)} yet")
    return fn
