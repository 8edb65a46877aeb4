"""build_code_doc_bridge_edges: the mention test, edge suppression, and a
differential test against a straightforward Python version."""
import gc
import inspect
import random

import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln

WORD = frozenset(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")


def ref_mentioned(text, name):
    t, n = text.encode(), name.encode()
    lt, ln_ = t.lower(), n.lower()  # bytes.lower() folds ASCII letters only
    resume = 0
    while True:
        start = t.find(n, resume)
        if start < 0:
            start = lt.find(ln_, resume)
            if start < 0:
                return False
        end = start + len(n)
        if (start == 0 or t[start - 1] not in WORD) and (end == len(t) or t[end] not in WORD):
            return True
        resume = start + 1
        if resume + len(n) > len(t):
            return False


def ref_edges(sym_lookup, prose_chunks, existing):
    def s(v):
        return v if isinstance(v, str) else ""

    known = {tuple(s(x) for x in e[:3]) for e in existing if isinstance(e, tuple) and len(e) >= 3}
    symbols = [(k, v) for k, v in sym_lookup.items() if isinstance(k, str) and isinstance(v, str) and k and v]
    out = []
    for chunk in prose_chunks:
        assert isinstance(chunk, dict)
        cid, text = s(chunk.get("id")), s(chunk.get("text"))
        if not cid or not text or not symbols:
            continue
        for name, node in symbols:
            triple = (node, cid, "MENTIONED_IN")
            if triple in known or len(name.encode()) > len(text.encode()):
                continue
            if ref_mentioned(text, name):
                known.add(triple)
                out.append({"source": node, "target": cid, "edge_type": "MENTIONED_IN", "chunk_id": cid})
    return out


def mentioned(name, text):
    edges = ln.build_code_doc_bridge_edges({name: "node"}, [{"id": "chunk", "text": text}], [])
    assert ref_mentioned(text, name) == bool(edges)
    return bool(edges)


@pytest.mark.parametrize(
    "name, text, expected",
    [
        ("parse_config", "Call parse_config() first", True),
        ("Parser", "the parser module", True),
        ("parse", "parse_config", True),
        ("parse", "parser", False),
        ("parse", "reparse", False),
        ("parse", "parse2", False),
        ("parse", "x-parse.", True),
        ("Node", "a Node and a nodes", True),
        ("foo", "FOO afoo", False),  # the exact occurrence inside "afoo" hides the earlier "FOO"
        ("foo", "FOO bar", True),
        ("foo", "afoo FOO", True),
        ("élan", "xélan is here", False),
        ("élan", "un élan", True),
        ("ÉLAN", "un élan", False),  # only ASCII letters fold
        ("abcdef", "abc", False),
        ("ab", "aab ab", True),
        ("aa", "aaa aa", True),
        ("a.b", "x a.b.c", True),
        ("(x)", "f(x)g", False),  # the letters around it count, whatever the name's own ends
        ("(x)", "f((x))g", True),
        ("data", "metadata DATA", True),
        ("data", "metadata DATAx", False),
    ],
)
def test_mention_test(name, text, expected):
    assert mentioned(name, text) is expected


def edge(node, chunk):
    return {"source": node, "target": chunk, "edge_type": "MENTIONED_IN", "chunk_id": chunk}


@pytest.mark.parametrize(
    "sym_lookup, chunks, existing, expected",
    [
        ({"parse": "node-a"}, [{"id": "chunk-a", "text": "parse"}], [("node-a", "chunk-a", "MENTIONED_IN")], []),
        ({"parse": "node-a"}, [{"id": "chunk-a", "text": "parse"}], [("node-a", "chunk-a", "DEFINES")],
         [edge("node-a", "chunk-a")]),
        ({"parse": "node-a"}, [{"id": "chunk-a", "text": "parse"}], [["node-a", "chunk-a", "MENTIONED_IN"]],
         [edge("node-a", "chunk-a")]),
        ({"parse": "node-a"}, [{"id": "chunk-a", "text": "parse"}], [("node-a", "chunk-a", "MENTIONED_IN", "x")], []),
        ({"parse": "node-a"}, [{"id": "chunk-a", "text": "parse"}], [("node-a", "chunk-a"), 5, None],
         [edge("node-a", "chunk-a")]),
        ({"parse": "n", "Parse": "n", "render": "m"}, [{"id": "c", "text": "parse and render"}], [],
         [edge("n", "c"), edge("m", "c")]),
        ({"parse": "n", "render": "m"}, [{"id": "c", "text": "parse"}, {"id": "c", "text": "parse render"}], [],
         [edge("n", "c"), edge("m", "c")]),
        ({"render": "m", "parse": "n"}, [{"id": "c", "text": "parse render"}], [], [edge("m", "c"), edge("n", "c")]),
        ({"parse": "n"}, [{"id": "c", "text": None}, {"id": 5, "text": "parse"}, {"text": "parse"}, {"id": "", "text": "parse"},
                          {"id": "d", "text": ""}], [], []),
        ({"": "n", "parse": "", 5: "n", "x": 5}, [{"id": "c", "text": "parse x 5"}], [], []),
        ({}, [{"id": "c", "text": "anything"}], [], []),
    ],
)
def test_edges(sym_lookup, chunks, existing, expected):
    got = ln.build_code_doc_bridge_edges(sym_lookup, chunks, existing)
    assert got == expected == ref_edges(sym_lookup, chunks, existing)
    assert all(list(e) == ["source", "target", "edge_type", "chunk_id"] for e in got)


def test_arguments_and_errors():
    sig = inspect.signature(ln.build_code_doc_bridge_edges)
    assert str(sig) == "(sym_lookup, prose_chunks, existing_edge_tuples)"
    lines = ln.build_code_doc_bridge_edges.__doc__.splitlines()
    assert lines[0] == "Scan prose chunks for occurrences of code symbol names and emit new MENTIONED_IN edges."
    assert lines[3] == "  sym_lookup: dict[str, str]  \u2014 symbol_name \u2192 node_id (names >= 4 chars)"
    assert lines[4] == '  prose_chunks: list[dict]    \u2014 each dict has "id" and "text" keys'
    assert len(lines) == 8
    with pytest.raises(TypeError, match=r"^argument 'sym_lookup': 'list' object cannot be converted to 'PyDict'$"):
        ln.build_code_doc_bridge_edges([], [], [])
    with pytest.raises(TypeError, match=r"^argument 'existing_edge_tuples': 'set' object cannot be converted to 'PyList'$"):
        ln.build_code_doc_bridge_edges({}, [], set())
    with pytest.raises(TypeError, match=r"^'str' object cannot be converted to 'PyDict'$"):
        ln.build_code_doc_bridge_edges({"parse": "n"}, [{"id": "c", "text": "parse"}, "chunk"], [])
    assert ln.build_code_doc_bridge_edges(existing_edge_tuples=[], prose_chunks=[{"id": "c", "text": "parse"}],
                                          sym_lookup={"parse": "n"}) == [edge("n", "c")]


def test_hostile_chunk_keys():
    class Mutating(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            chunks.clear()
            sym_lookup.clear()
            gc.collect()
            return str.__eq__(self, other)

    sym_lookup = {"parse": "n", "render": "m"}
    chunks = [{Mutating("id"): "c", "text": "parse render"}, {"id": "d", "text": "parse"}]
    assert ln.build_code_doc_bridge_edges(sym_lookup, chunks, []) == [edge("n", "c"), edge("m", "c")]


def test_str_subclasses_become_plain_str():
    class S(str):
        pass

    got = ln.build_code_doc_bridge_edges({"parse": S("n")}, [{"id": S("c"), "text": "parse"}], [])
    assert got == [edge("n", "c")]
    assert all(type(v) is str for v in got[0].values())


NAMES = ["parse", "Parse", "PARSE", "parse_config", "config", "élan", "data", "metadata", "a.b", "x", "aa", "foo", "Node"]
TEXT_PIECES = NAMES + [" ", "_", "(", ")", "é", "r", "2", "FOO", "afoo", "-", ".", "node", "nodes"]


@settings(max_examples=200, deadline=None)
@given(
    st.dictionaries(st.sampled_from(NAMES), st.sampled_from(["n1", "n2", "n3", "n4"]), max_size=8),
    st.lists(
        st.fixed_dictionaries(
            {"id": st.sampled_from(["c1", "c2", "c3"]), "text": st.lists(st.sampled_from(TEXT_PIECES), max_size=10).map("".join)}
        ),
        max_size=5,
    ),
    st.lists(st.tuples(st.sampled_from(["n1", "n2"]), st.sampled_from(["c1", "c2"]), st.sampled_from(["MENTIONED_IN", "X"])), max_size=3),
)
def test_matches_reference(sym_lookup, chunks, existing):
    assert ln.build_code_doc_bridge_edges(sym_lookup, chunks, existing) == ref_edges(sym_lookup, chunks, existing)


def test_many_overlapping_names_match_reference():
    # Many names sharing prefixes and suffixes, to exercise the scan's
    # suffix links, against texts built from the same pieces.
    rng = random.Random(7)
    alphabet = "abAB_.1 "
    names = {"".join(rng.choice(alphabet) for _ in range(rng.randint(1, 6))): f"n{i}" for i in range(400)}
    names.update({f"sym{i}": f"s{i}" for i in range(2000)})
    chunks = [
        {"id": f"c{i % 40}", "text": " ".join(rng.choice([*names, "xx", "AB", "Sym12"]) for _ in range(30))}
        for i in range(60)
    ]
    for c in chunks[::7]:
        c["text"] = "".join(rng.choice(alphabet) for _ in range(200))
    existing = [(f"s{i}", f"c{i % 40}", "MENTIONED_IN") for i in range(0, 2000, 3)]
    got = ln.build_code_doc_bridge_edges(names, chunks, existing)
    assert got == ref_edges(names, chunks, existing)
    assert len(got) > 100
