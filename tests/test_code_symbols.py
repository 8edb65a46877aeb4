"""build_symbol_index / search_symbol_index and symbol_channel_search."""
import gc
import inspect

import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln


def rec(symbol=None, qualified=None, **extra):
    md = dict(extra)
    if symbol is not None:
        md["symbol_name"] = symbol
    if qualified is not None:
        md["qualified_name"] = qualified
    return {"metadata": md}


def ref_tokens(query_tokens):
    return [t.lower() for t in query_tokens if isinstance(t, str) and len(t.encode("utf-8", "surrogatepass")) >= 3]


def ref_names(r):
    md = r.get("metadata")
    if md is None:
        return None

    def low(v):
        return v.lower() if isinstance(v, str) else ""

    return low(md.get("symbol_name")), low(md.get("qualified_name"))


def ref_index_search(corpora, query_tokens, top_k):
    """Scored positions {position: (score, field)} before the top_k cut."""
    toks = ref_tokens(query_tokens)
    if not toks:
        return {}
    entries, names = [], {}
    for pos, r in enumerate(r for corpus in corpora for r in corpus):
        got = ref_names(r)
        if got is None or got == ("", ""):
            continue
        sym, qual = got
        entries.append((pos, sym, qual))
        if sym:
            names.setdefault(sym, []).append((pos, "symbol_name"))
        if qual:
            names.setdefault(qual, []).append((pos, "qualified_name"))
    scored = {}
    for t in toks:
        for pos, field in names.get(t, []):
            scored.setdefault(pos, (1.0, field))
    if len(scored) < top_k:
        for pos, sym, qual in entries:
            if pos in scored:
                continue
            if sym and any(t in sym for t in toks):
                scored[pos] = (0.6, "symbol_name")
            elif qual and any(t in qual for t in toks):
                scored[pos] = (0.6, "qualified_name")
    return scored


def check_index_result(got, scored, top_k):
    assert len(got) == min(top_k, len(scored))
    scores = [s for _, s, _ in got]
    assert scores == sorted(scores, reverse=True)
    assert scores == sorted((s for s, _ in scored.values()), reverse=True)[: len(got)]
    for pos, score, field in got:
        assert type(pos) is int and type(score) is float
        assert scored[pos] == (score, field)
    assert len({pos for pos, _, _ in got}) == len(got)


def ref_channel(corpora, query_tokens, top_k, filters=None):
    toks = ref_tokens(query_tokens)
    if not toks:
        return []
    cands = []
    for pos, r in enumerate(r for corpus in corpora for r in corpus):
        if "metadata" not in r:
            continue
        md = r["metadata"]
        if filters and any(k not in md or str(md[k]) != str(v) for k, v in filters.items()):
            continue
        sym, qual = ref_names(r)
        if not sym and not qual:
            continue
        score, field = 0.0, "symbol_name"
        for t in toks:
            for name, which in ((sym, "symbol_name"), (qual, "qualified_name")):
                if not name:
                    continue
                if name == t:
                    score, field = 1.0, which
                elif score < 1.0 and t in name:
                    score, field = max(score, 0.6), which
        if score > 0:
            cands.append({"index": pos, "score": score, "channel": field})
    cands.sort(key=lambda c: -c["score"])
    return cands[:top_k]


PARSER = rec("Parse", "Parser.parse")


# --- symbol index -----------------------------------------------------------------


@pytest.mark.parametrize(
    "corpora, toks, top_k, expected",
    [
        ([[PARSER]], ["parse"], 5, [(0, 1.0, "symbol_name")]),
        ([[PARSER]], ["Parser.Parse"], 5, [(0, 1.0, "qualified_name")]),
        ([[rec("parse", "parse")]], ["parse"], 5, [(0, 1.0, "symbol_name")]),
        ([[rec("parse", "parser.parse")]], ["parse", "parser.parse"], 5, [(0, 1.0, "symbol_name")]),
        ([[rec("parse", "parser.parse")]], ["parser.parse", "parse"], 5, [(0, 1.0, "qualified_name")]),
        ([[PARSER, rec("sparse"), rec(None, "pkg.pars"), rec("x")]], ["pars"], 5,
         [(0, 0.6, "symbol_name"), (1, 0.6, "symbol_name"), (2, 0.6, "qualified_name")]),
        ([[PARSER]], ["io", "os", 5, None], 5, []),
        ([[PARSER]], ["parse"], 0, []),
        # The exact phase already found top_k positions: no substring hits.
        ([[rec("parse"), rec("parser")]], ["parse"], 1, [(0, 1.0, "symbol_name")]),
        ([[rec("parse"), rec("parser")]], ["parse"], 2, [(0, 1.0, "symbol_name"), (1, 0.6, "symbol_name")]),
        # Positions run on across corpora and count records without names.
        ([[{}, rec(), rec(5, None)], [rec("alpha"), rec("beta")]], ["beta", "alpha"], 5,
         [(4, 1.0, "symbol_name"), (3, 1.0, "symbol_name")]),
        ([[rec("ÉLAN")]], ["élan"], 5, [(0, 1.0, "symbol_name")]),
        # A token never matches across the end of one name and the start of the next.
        ([[rec("abc", "def.x"), rec("ghi", "zab"), rec("cde", "q.cde")]], ["cde", "abc"], 9,
         [(2, 1.0, "symbol_name"), (0, 1.0, "symbol_name")]),
        ([[rec("abc", "def.x"), rec("ghi", "zab"), rec("xyz", "q.cdx")]], ["bcd", "bgh", "xzab", "abcd"], 9, []),
        ([[rec("abc", "def.x"), rec("ghi", "zab"), rec("", "q.cdx")]], ["ab", "ef.", "zab", "q.c"], 9,
         [(1, 1.0, "qualified_name"), (0, 0.6, "qualified_name"), (2, 0.6, "qualified_name")]),
    ],
)
def test_index_examples(corpora, toks, top_k, expected):
    index = ln.build_symbol_index(corpora)
    assert type(index).__name__ == "SymbolIndex"
    assert ln.search_symbol_index(index, toks, top_k) == expected


def test_index_arguments_and_errors():
    assert str(inspect.signature(ln.build_symbol_index)) == "(corpora)"
    assert str(inspect.signature(ln.search_symbol_index)) == "(index, query_tokens, top_k)"
    index = ln.build_symbol_index(corpora=[[PARSER]])
    assert ln.search_symbol_index(top_k=1, query_tokens=["parse"], index=index) == [(0, 1.0, "symbol_name")]
    with pytest.raises(TypeError, match=r"^argument 'index': 'list' object cannot be converted to 'SymbolIndex'$"):
        ln.search_symbol_index([], ["parse"], 1)
    with pytest.raises(OverflowError):
        ln.search_symbol_index(index, ["parse"], -1)
    with pytest.raises(TypeError, match=r"^argument 'query_tokens': "):
        ln.search_symbol_index(index, ("parse",), 1)
    with pytest.raises(TypeError, match="No constructor defined for SymbolIndex"):
        type(index)()


@pytest.mark.parametrize(
    "corpora, message",
    [
        ([[PARSER], ("x",)], "'tuple' object cannot be converted to 'PyList'"),
        ([[PARSER, 3]], "'int' object cannot be converted to 'PyDict'"),
        ([[{"metadata": None}]], "'NoneType' object cannot be converted to 'PyDict'"),
    ],
)
def test_malformed_corpora(corpora, message):
    with pytest.raises(TypeError) as e:
        ln.build_symbol_index(corpora)
    assert str(e.value) == message
    with pytest.raises(TypeError) as e:
        ln.symbol_channel_search(corpora, ["parse"], 5)
    assert str(e.value) == message
    assert ln.symbol_channel_search(corpora, ["io"], 5) == []  # no tokens: corpora not examined


def test_index_outlives_its_corpora():
    corpora = [[rec("Alpha", "mod.Alpha")]]
    index = ln.build_symbol_index(corpora)
    corpora[0][0]["metadata"]["symbol_name"] = "changed"
    del corpora
    gc.collect()
    assert ln.search_symbol_index(index, ["alpha"], 3) == [(0, 1.0, "symbol_name")]


# --- symbol channel -------------------------------------------------------------------


def ch(index, score, channel):
    return {"index": index, "score": score, "channel": channel}


@pytest.mark.parametrize(
    "corpora, toks, top_k, filters, expected",
    [
        ([[PARSER]], ["parse"], 5, None, [ch(0, 1.0, "symbol_name")]),
        ([[PARSER]], ["pars"], 5, None, [ch(0, 0.6, "qualified_name")]),
        ([[PARSER]], ["parse", "parser.parse"], 5, None, [ch(0, 1.0, "qualified_name")]),
        ([[PARSER]], ["parser.parse", "parse"], 5, None, [ch(0, 1.0, "symbol_name")]),
        ([[rec("parse", "parse")]], ["parse"], 5, None, [ch(0, 1.0, "qualified_name")]),
        ([[PARSER]], ["xyz", "ab"], 5, None, []),
        ([[rec("b")] * 2 + [rec("a")] * 5 + [rec("a")]], ["a", "aaa"], 5, None, []),  # tokens need 3 bytes
        ([[rec("x")] * 2 + [rec("beta")] + [rec("x")] * 4 + [rec("beta")]], ["beta"], 5, None,
         [ch(2, 1.0, "symbol_name"), ch(7, 1.0, "symbol_name")]),
        ([[rec("xx"), rec("betas"), rec("x"), rec("x"), rec("beta"), rec("x"), rec("x"), rec("x"), rec("x"),
           rec("beta")]], ["beta"], 1, None, [ch(4, 1.0, "symbol_name")]),
        ([[rec("run", language="python"), rec("run"), rec("run", language="go"), rec("run", language="python")]],
         ["run"], 5, {"language": "python"}, [ch(0, 1.0, "symbol_name"), ch(3, 1.0, "symbol_name")]),
        ([[rec("run"), {}, rec("run")]], ["run"], 5, {}, [ch(0, 1.0, "symbol_name"), ch(2, 1.0, "symbol_name")]),
        ([[rec("run", n=10), rec("run", n="10"), rec("run", n=10.0), rec("run", n=True)]], ["run"], 5, {"n": 10},
         [ch(0, 1.0, "symbol_name"), ch(1, 1.0, "symbol_name")]),
        ([[rec("run", flag=True), rec("run", flag="True"), rec("run", flag=1)]], ["run"], 5, {"flag": "True"},
         [ch(0, 1.0, "symbol_name"), ch(1, 1.0, "symbol_name")]),
        ([[rec("run", n=None)]], ["run"], 5, {"n": "None"}, [ch(0, 1.0, "symbol_name")]),
        ([[rec("run", k="a"), rec("run", k="a", j="b"), rec("run", j="b")]], ["run"], 5, {"k": "a", "j": "b"},
         [ch(1, 1.0, "symbol_name")]),
    ],
)
def test_channel_examples(corpora, toks, top_k, filters, expected):
    got = ln.symbol_channel_search(corpora, toks, top_k, filters)
    assert got == expected == ref_channel(corpora, toks, top_k, filters)
    assert all(list(d) == ["index", "score", "channel"] for d in got)


def test_channel_arguments():
    assert str(inspect.signature(ln.symbol_channel_search)) == "(corpora, query_tokens, top_k, filters=None)"
    corpora = [[rec("run", lang="c")]]
    assert ln.symbol_channel_search(corpora, ["run"], 1) == [ch(0, 1.0, "symbol_name")]
    assert ln.symbol_channel_search(filters={"lang": "c"}, top_k=1, query_tokens=["run"], corpora=corpora) == [
        ch(0, 1.0, "symbol_name")
    ]
    with pytest.raises(TypeError, match=r"^argument 'filters': 'list' object cannot be converted to 'PyDict'$"):
        ln.symbol_channel_search(corpora, ["run"], 1, [("lang", "c")])
    with pytest.raises(TypeError, match=r"^argument 'top_k': 'float' object cannot be interpreted as an integer$"):
        ln.symbol_channel_search(corpora, ["run"], 1.0)


class Boom:
    def __str__(self):
        raise ValueError("boom")


def test_channel_str_failures_propagate():
    corpora = [[rec("run", k=Boom())]]
    with pytest.raises(ValueError, match="boom"):
        ln.symbol_channel_search(corpora, ["run"], 5, {"k": "x"})
    with pytest.raises(ValueError, match="boom"):
        ln.symbol_channel_search([[rec("run", k="x")]], ["run"], 5, {"k": Boom()})
    # Not reached: a record without the key, or no tokens.
    assert ln.symbol_channel_search([[rec("run")]], ["run"], 5, {"k": Boom()}) == []
    assert ln.symbol_channel_search(corpora, ["ab"], 5, {"k": Boom()}) == []
    with pytest.raises(ValueError):  # str() of a huge int raises when it is reached
        ln.symbol_channel_search([[rec("run", k="1")]], ["run"], 5, {"k": 10**5000})

    class BadStr:
        def __str__(self):
            return 5

    with pytest.raises(TypeError):
        ln.symbol_channel_search([[rec("run", k=BadStr())]], ["run"], 5, {"k": "5"})


def test_channel_filter_key_errors_propagate():
    class BadKey:
        def __hash__(self):
            return hash("k")

        def __eq__(self, other):
            raise RuntimeError("eq")

    with pytest.raises(RuntimeError, match="eq"):
        ln.symbol_channel_search([[rec("run", k="x")]], ["run"], 5, {BadKey(): "x"})
    # Records without a colliding key never call it.
    assert ln.symbol_channel_search([[rec("run")]], ["run"], 5, {BadKey(): "x"}) == []


def test_channel_hostile_str_mutations():
    class Mutator:
        def __init__(self, target):
            self.target = target

        def __str__(self):
            self.target.clear()
            gc.collect()
            return "x"

    md = {"symbol_name": "run", "qualified_name": "m.run"}
    md["k"] = Mutator(md)  # clears the metadata dict that holds it
    corpora = [[{"metadata": md}, rec("run", k="x")]]
    assert ln.symbol_channel_search(corpora, ["run"], 5, {"k": "x"}) == [ch(1, 1.0, "symbol_name")]

    corpora = [[rec("run", k="x"), rec("run", k="x")]]
    corpora[0][0]["metadata"]["k"] = Mutator(corpora[0])  # empties the corpus mid-walk
    assert ln.symbol_channel_search(corpora, ["run"], 5, {"k": "x"}) == [ch(0, 1.0, "symbol_name")]

    filters = {"k": None, "j": "y"}
    filters["k"] = Mutator(filters)  # the filters dict is read once, before the walk
    corpora = [[rec("run", k="x", j="y"), rec("run", k="x", j="z")]]
    assert ln.symbol_channel_search(corpora, ["run"], 5, filters) == [ch(0, 1.0, "symbol_name")]


VOCAB = ["parse", "Parse", "parser", "Parser.parse", "parse_args", "pars", "io", "Élan", "élan", "args", ""]
LANGS = ["python", "go", 10, "10", True, None]
record_st = st.one_of(
    st.just({}),
    st.fixed_dictionaries(
        {
            "metadata": st.fixed_dictionaries(
                {},
                optional={
                    "symbol_name": st.one_of(st.sampled_from(VOCAB), st.integers()),
                    "qualified_name": st.one_of(st.sampled_from(VOCAB), st.none()),
                    "language": st.sampled_from(LANGS),
                },
            )
        }
    ),
)
corpora_st = st.lists(st.lists(record_st, max_size=6), max_size=4)
tokens_st = st.lists(st.one_of(st.sampled_from(VOCAB), st.integers()), max_size=5)


@settings(max_examples=200, deadline=None)
@given(corpora_st, tokens_st, st.integers(0, 8))
def test_index_matches_reference(corpora, toks, top_k):
    got = ln.search_symbol_index(ln.build_symbol_index(corpora), toks, top_k)
    check_index_result(got, ref_index_search(corpora, toks, top_k), top_k)


@settings(max_examples=200, deadline=None)
@given(corpora_st, tokens_st, st.integers(0, 8), st.one_of(st.none(), st.dictionaries(st.just("language"), st.sampled_from(LANGS))))
def test_channel_matches_reference(corpora, toks, top_k, filters):
    assert ln.symbol_channel_search(corpora, toks, top_k, filters) == ref_channel(corpora, toks, top_k, filters)
