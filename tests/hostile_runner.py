"""Runs the hostile-object cases of one module function (used by test_hostile.py in a subprocess).

    python tests/hostile_runner.py <function> [first-case-index]

For every node of the representative call in hardening_cases.CALLS (each
argument, each list element, dict key and value, down the nesting) the
runner derives variants: lone surrogates in text positions; NaN, infinities,
-0.0 and out-of-range integers in number positions; list, dict, tuple, str
and bytes subclasses that lie through their Python-level methods; objects
whose __float__/__index__/__str__/__hash__/__eq__ clear, grow, refill or
raise on the list or dict being walked (or on the whole argument); dict keys
that do the same from __eq__/__hash__ during lookups, including keys that
collide with the field names the module reads; None elements; cycles and
100,000-deep nesting. Each case must end in a value or a Python exception,
and (unless its hooks mutate the data themselves) leave the caller's
arguments exactly as they were, apart from the documented in-place merges.

Protocol on stdout, one line each: "START <i> <id>", then "OK <i>" or
"FAIL <i> <message>". A case that kills the process leaves a START without
its OK, which the parent reports as a crash of that case.
"""
import gc
import math
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import hardening_cases as hc  # noqa: E402

import lorvex_native as ln  # noqa: E402

# Field names the module reads from records, metadata, graphs and batches.
READ_NAMES = [
    "text", "id", "score", "vector_score", "metadata", "fused_only", "name", "type", "description", "chunk_ids",
    "frequency", "subject", "source", "relation", "object", "target", "strength", "weight", "support_count",
    "text_unit_ids", "t", "source_class", "symbol_name", "qualified_name", "symbol_type", "file_path",
    "start_line", "end_line", "language", "chunk_id",
]

# ---------------------------------------------------------------------------
# Hostile objects

_TRIGGERS = []


class Trigger:
    """Runs its action on the first few hook calls, once armed."""

    def __init__(self, action, shots=3):
        self.action = action
        self.shots = shots
        self.armed = False
        _TRIGGERS.append(self)

    def __call__(self):
        if self.armed and self.shots > 0:
            self.shots -= 1
            self.action()


def inert():
    return Trigger(lambda: None, 0)


class HostileValue:
    """Number-like, printable, hashable object whose every hook fires a trigger first."""

    def __init__(self, value, trigger):
        self.value = value
        self.t = trigger

    def __float__(self):
        self.t()
        return float(self.value)

    def __index__(self):
        self.t()
        return int(self.value)

    def __int__(self):
        self.t()
        return int(self.value)

    def __str__(self):
        self.t()
        return str(self.value)

    def __repr__(self):
        self.t()
        return repr(self.value)

    def __bool__(self):
        self.t()
        return bool(self.value)

    def __hash__(self):
        self.t()
        return hash(self.value)

    def __eq__(self, other):
        self.t()
        return self.value == other


class CollidingKey:
    """A dict key with the hash of a field name: lookups of that name call its __eq__."""

    def __init__(self, name, trigger):
        self.name = name
        self.t = trigger

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        self.t()
        return False

    def __str__(self):
        self.t()
        return "colliding-" + self.name


class HostileStr(str):
    def __new__(cls, value, trigger):
        obj = super().__new__(cls, value)
        obj.t = trigger
        return obj

    def __hash__(self):
        self.t()
        return str.__hash__(self)

    def __eq__(self, other):
        self.t()
        return str.__eq__(self, other)

    def __ne__(self, other):
        self.t()
        return str.__ne__(self, other)

    def __str__(self):
        self.t()
        return str.__str__(self)

    def lower(self):
        return "lied"


class EvilList(list):
    def __len__(self):
        return list.__len__(self) + 3

    def __getitem__(self, i):
        return "phantom"

    def __iter__(self):
        return iter(["phantom"])


class EvilDict(dict):
    def __getitem__(self, k):
        return "phantom"

    def __missing__(self, k):
        return "phantom"

    def __contains__(self, k):
        return True

    def __len__(self):
        return dict.__len__(self) + 3

    def __iter__(self):
        return iter(["phantom"])

    def keys(self):
        return ["phantom"]

    def items(self):
        return [("phantom", "phantom")]

    def values(self):
        return ["phantom"]

    def get(self, k, default=None):
        return "phantom"


class EvilTuple(tuple):
    def __len__(self):
        return 99

    def __getitem__(self, i):
        return "phantom"

    def __iter__(self):
        return iter(())


class EvilBytes(bytes):
    def __len__(self):
        return 0

    def __getitem__(self, i):
        return 0


class HostileSeq:
    """A sequence (for the sequence argument kinds) whose items change it while it is read."""

    def __init__(self, items, trigger):
        self.items = list(items)
        self.t = trigger

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        self.t()
        return self.items[i]


def _fresh(x):
    if type(x) is str:
        return "".join(list(x)) + ""
    if type(x) is dict:
        return dict(x)
    if type(x) is list:
        return list(x)
    return x


def action(kind, target):
    def clear():
        target.clear()

    def grow():
        if isinstance(target, list):
            filler = list.__getitem__(target, 0) if list.__len__(target) else None
            target.extend([filler] * 64)
        else:
            for i in range(64):
                target[f"_grow{i}"] = i

    def swap():
        if isinstance(target, list):
            target[:] = [_fresh(x) for x in list(list.__iter__(target))]
        else:
            for k in list(dict.keys(target)):
                dict.__setitem__(target, k, _fresh(dict.__getitem__(target, k)))

    def fail():
        raise RuntimeError("hostile hook")

    return {"clear": clear, "grow": grow, "swap": swap, "raise": fail}[kind]


_DEEP = {}


def deep(kind):
    if kind not in _DEEP:
        x = [] if kind == "list" else {}
        for _ in range(100_000):
            x = [x] if kind == "list" else {"k": x}
        _DEEP[kind] = x
    return _DEEP[kind]


# ---------------------------------------------------------------------------
# Case generation


def _children(node):
    if type(node) is dict:
        for k in list(node)[:6]:
            if type(k) is str:
                yield ("k", k)
            yield ("v", k)
    elif type(node) is list:
        if node:  # the other elements are built alike
            yield ("i", 0)
    elif type(node) is tuple:
        for i in range(min(len(node), 3)):
            yield ("i", i)


def _get(node, step):
    return step[1] if step[0] == "k" else node[step[1]]


def _paths(node, path=()):
    yield path
    for step in _children(node):
        yield from _paths(_get(node, step), path + (step,))


def _replace(node, step, make, ancestors):
    kind, key = step
    if kind == "k":  # swap the key object, keeping the dict object and its order
        items = list(node.items())
        node.clear()
        for k, v in items:
            node[make(k, ancestors) if k == key and type(k) is str else k] = v
        return node
    if type(node) is tuple:
        items = list(node)
        items[key] = make(items[key], ancestors)
        return type(node)(items)
    node[key] = make(node[key], ancestors)
    return node


def _apply(args, path, make):
    """Replaces the node at path with make(node, ancestors); returns the new args list."""
    args = list(args)

    def walk(node, rest, ancestors):
        if len(rest) == 1:
            return _replace(node, rest[0], make, ancestors + [node] * isinstance(node, (list, dict)))
        step = rest[0]
        child = _get(node, step)
        new_child = walk(child, rest[1:], ancestors + [node] * isinstance(node, (list, dict)))
        if new_child is not child:
            if type(node) is tuple:
                items = list(node)
                items[step[1]] = new_child
                return type(node)(items)
            node[step[1]] = new_child
        return node

    if len(path) == 1:
        args[path[0][1]] = make(args[path[0][1]], [])
    else:
        args[path[0][1]] = walk(args[path[0][1]], path[1:], [])
    return tuple(args)


def _targets(ancestors, args):
    """(label, container) pairs a hook may attack: the parent and the whole argument."""
    out = []
    if ancestors:
        out.append(("parent", ancestors[-1]))
        if ancestors[0] is not ancestors[-1]:
            out.append(("arg", ancestors[0]))
    else:
        for a in args:
            if type(a) in (list, dict):
                out.append(("other_arg", a))
                break
    return out


ACTIONS = ("clear", "grow", "swap")


def _hooked(label, make_obj):
    """Variants that put make_obj(trigger) in place: one per action and target."""
    out = []

    def raising(node, ancestors, args):
        return make_obj(node, Trigger(action("raise", None)))

    out.append((f"{label}_raise", False, raising))
    for act in ACTIONS:
        for tlabel in ("parent", "arg", "other_arg"):
            def make(node, ancestors, args, act=act, tlabel=tlabel):
                for lab, target in _targets(ancestors, args):
                    if lab == tlabel:
                        return make_obj(node, Trigger(action(act, target)))
                return None

            out.append((f"{label}_{act}_{tlabel}", True, make))
    return out


def _leaf_variants(node):
    v = []
    if type(node) is str:
        v.append(("surrogate", False, lambda n, a, g: "a\ud800b" + n + "\udfff"))
        v.append(("str_subclass", False, lambda n, a, g: HostileStr(n, inert())))
        v += _hooked("hostile_value", lambda n, t: HostileValue(n, t))
    elif type(node) in (int, float):
        for label, val in (("nan", math.nan), ("inf", math.inf), ("-inf", -math.inf), ("-0.0", -0.0),
                           ("int_10e400", 10**400), ("int_below_i64", -(2**63) - 1), ("int_2e64", 2**64),
                           ("neg_one", -1), ("true", True)):
            v.append((label, False, lambda n, a, g, val=val: val))
        v += _hooked("hostile_number", lambda n, t: HostileValue(n, t))
    elif type(node) is bytes:
        v.append(("bytes_subclass", False, lambda n, a, g: EvilBytes(n)))
        v.append(("truncated", False, lambda n, a, g: n[: len(n) // 2]))
        v.append(("trailing", False, lambda n, a, g: n + b"\xc1\x00\xff"))
        v.append(("empty_bytes", False, lambda n, a, g: b""))
    return v


def _container_variants(node, depth, deep_ok):
    v = []
    if type(node) is list:
        v.append(("list_subclass", False, lambda n, a, g: EvilList(n)))
        v.append(("empty_list", False, lambda n, a, g: []))
        v.append(("none_element", False, lambda n, a, g: n[:1] + [None] + n[1:]))
        v.append(("cycle", False, lambda n, a, g: n + [n]))
        if deep_ok:
            v.append(("deep_list_element", False, lambda n, a, g: n + [deep("list")]))

        def hostile_elem(n, t):
            return n[:1] + [HostileValue(1.5, t)] + n[1:]

        v += _hooked("hostile_element", hostile_elem)
        def hostile_seq(n, a, g):
            seq = HostileSeq(n, None)
            seq.t = Trigger(action("clear", seq.items))
            return seq

        v.append(("hostile_sequence", True, hostile_seq))
    elif type(node) is dict:
        v.append(("dict_subclass", False, lambda n, a, g: EvilDict(n)))
        v.append(("empty_dict", False, lambda n, a, g: {}))
        v.append(("cycle", False, lambda n, a, g: {**n, "_self": n}))
        if deep_ok:
            v.append(("deep_dict_value", False, lambda n, a, g: {**n, "_deep": deep("dict")}))
            v.append(("deep_list_value", False, lambda n, a, g: {**n, "_deepl": deep("list")}))

        def hostile_keys(n, t):
            return {HostileStr(k, t) if type(k) is str else k: val for k, val in n.items()}

        def colliding(n, t):
            out = dict(n)
            for name in READ_NAMES:
                out[CollidingKey(name, t)] = name
            return out

        v += _hooked("hostile_keys", hostile_keys)
        v += _hooked("colliding_keys", colliding)
    elif type(node) is tuple:
        v.append(("tuple_subclass", False, lambda n, a, g: EvilTuple(n)))
    return v


# Extra inputs for the decoders: nesting far beyond the limits, huge declared
# lengths, keys that cannot be dict keys.
MSGPACK_EXTRA = [
    b"\x91" * 100_000 + b"\x01", b"\x81\xa1k" * 100_000 + b"\xc0", b"\xdd\xff\xff\xff\xff",
    b"\xdb\xff\xff\xff\xffabc", b"\xdf\xff\xff\xff\xff\x01", b"\x81\x90\x01", b"\x93\x02\x90\x91\x93\x81\x90\x01",
    b"\x93\x01\x81\x80\x01\x80", b"\xc1", b"\xc4\x05ab", b"\xc7\xff\x01",
]
EXTRA = {
    "decode_corpus_json": [b"[" * 100_000, b'{"a":' * 100_000, b'[{"metadata":' * 200 + b"1" + b"}]" * 200,
                           b'["\\ud800"]', b'[{"id":"\\udfff","text":"a","metadata":{"\\ud800":1}}]',
                           b"[1e999999,-1e99999,123456789012345678901234567890]", b"\xff\xfe[]", b"[\x00]"],
    "decode_corpus_msgpack": MSGPACK_EXTRA,
    "decode_entity_graph": MSGPACK_EXTRA,
    "decode_relation_graph": MSGPACK_EXTRA,
    "decode_entity_embeddings": MSGPACK_EXTRA,
    "decode_sentence_index": MSGPACK_EXTRA,
    "decode_sentence_meta": MSGPACK_EXTRA,
}
ENCODERS = {"encode_corpus_msgpack", "encode_entity_graph", "encode_relation_graph", "encode_entity_embeddings",
            "encode_sentence_index", "encode_sentence_meta"}


def cases(name):
    """(case id, mutating, build) triples; build() returns fresh arguments."""
    base = hc.CALLS[name]
    out = [("valid", False, lambda: base(1))]
    template = base(1)
    for path in [((("i", i),) + p) for i, a in enumerate(template) for p in _paths(a)]:
        node = template[path[0][1]]
        for step in path[1:]:
            node = _get(node, step)
        if path[-1][0] == "k":
            variants = [(lab, mut, mk) for lab, mut, mk in _leaf_variants(node) if lab != "surrogate"]
            variants.append(("surrogate_key", False, lambda n, a, g: "k\ud800" + n))
        else:
            variants = _leaf_variants(node) + _container_variants(node, len(path), name in ENCODERS or len(path) <= 2)
        where = "/".join(f"{s[0]}:{s[1]}" for s in path)
        for label, mutating, make in variants:
            def build(path=path, make=make):
                args = base(1)
                failed = []

                def wrapped(n, ancestors):
                    r = make(n, ancestors, args)
                    if r is None:
                        failed.append(True)
                        return n
                    return r

                new = _apply(args, path, wrapped)
                return None if failed else new

            out.append((f"{where}:{label}", mutating, build))
    for i, data in enumerate(EXTRA.get(name, [])):
        out.append((f"payload{i}", False, lambda data=data: (data,)))
    return out


# ---------------------------------------------------------------------------
# Checks


def snapshot(obj, depth=0, seen=None):
    """Identity-and-value picture of a host structure that runs no Python-level hooks."""
    seen = set() if seen is None else seen
    t = type(obj)
    if t in (str, bytes, int, bool) or obj is None:
        return (t, obj)
    if t is float:
        return (t, struct.pack("<d", obj))
    if id(obj) in seen or depth > 60:
        return (t, id(obj))
    if isinstance(obj, (list, dict, tuple)):
        seen.add(id(obj))
        if isinstance(obj, dict):
            kids = [(snapshot(k, depth + 1, seen), snapshot(v, depth + 1, seen))
                    for k, v in list(dict.items(obj))]
        else:
            kids = [snapshot(x, depth + 1, seen) for x in (list.__iter__(obj) if isinstance(obj, list)
                                                           else tuple.__iter__(obj))]
        seen.discard(id(obj))
        return (t, id(obj), kids)
    return (t, id(obj))


def touch(obj, depth=0):
    """Reads every object of a result, so that a dangling reference shows."""
    if depth > 60:
        return
    t = type(obj)
    if t in (list, tuple):
        for x in obj:
            touch(x, depth + 1)
    elif t is dict:
        for k, v in dict.items(obj):
            touch(k, depth + 1)
            touch(v, depth + 1)
    elif t in (str, bytes, int, float, bool) or obj is None:
        obj.__class__
        hash(obj) if t is not float else float(obj)
    else:
        type(obj).__name__


def run_case(name, mutating, build):
    fn = getattr(ln, name)
    args = build()
    if args is None:
        return None  # this target does not exist for this position
    keep = [i for i in range(len(args)) if i not in hc.MUTATED_ARGS.get(name, ())]
    before = None if mutating else [snapshot(args[i]) for i in keep]
    for t in _TRIGGERS:
        t.armed = True
    try:
        result = fn(*args)
        error = None
    except BaseException as exc:  # noqa: BLE001 - every exception type is an allowed outcome, checked below
        result, error = None, exc
    for t in _TRIGGERS:
        t.armed = False
    _TRIGGERS.clear()
    if error is not None:
        if isinstance(error, SystemError):
            return f"SystemError (C API misuse): {error}"
        if not isinstance(error, Exception) and not mutating:
            return f"internal failure without any mutation: {type(error).__name__}: {error}"
        str(error)
    else:
        touch(result)
    if before is not None:
        after = [snapshot(args[i]) for i in keep]
        if after != before:
            return "the caller's arguments changed"
    return None


def main():
    name = sys.argv[1]
    start = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    out = os.fdopen(1, "w", buffering=1)
    all_cases = cases(name)
    out.write(f"TOTAL {len(all_cases)}\n")
    for i, (cid, mutating, build) in enumerate(all_cases):
        if i < start:
            continue
        out.write(f"START {i} {cid}\n")
        out.flush()
        try:
            msg = run_case(name, mutating, build)
        except RecursionError as exc:  # a deep structure in the checks themselves
            msg = f"checker: {exc}"
        if msg:
            out.write(f"FAIL {i} {msg}\n")
        else:
            out.write(f"OK {i}\n")
        if i % 50 == 0:
            gc.collect()
    gc.collect()
    out.write("DONE\n")


if __name__ == "__main__":
    main()
