"""code_lexical_scores: the scoring rules, the file stem, and a differential
test against a straightforward Python version of the same rules."""
import inspect

import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln


def ref_stem(path):
    parts = [p for p in path.split("/") if p not in ("", ".")]
    if not parts or parts[-1] == "..":
        return ""
    name = parts[-1]
    dot = name.rfind(".")
    return name if dot <= 0 else name[:dot]


def ref_line(md, key):
    v = md.get(key)
    if isinstance(v, int) and -(2**63) <= v < 2**63:
        return int(v)
    return None


def ref_scores(results, query_tokens):
    toks = {t.lower() for t in query_tokens if isinstance(t, str)}
    long_toks = {t for t in toks if len(t.encode()) >= 4}
    if not toks:
        return [0.0] * len(results), 0.0
    scores = []
    for r in results:
        assert isinstance(r, dict)
        if "metadata" not in r:
            scores.append(0.0)
            continue
        md = r["metadata"]
        assert isinstance(md, dict)
        if md.get("source_class") != "code":
            scores.append(0.0)
            continue

        def s(v):
            return v.lower() if isinstance(v, str) else ""

        symbol, stype = s(md.get("symbol_name")), s(md.get("symbol_type"))
        path = md.get("file_path")
        if not isinstance(path, str):
            path = md.get("source") if isinstance(md.get("source"), str) else ""
        stem = ref_stem(path).lower()
        qual = f"{stem}.{symbol}" if stem and symbol else ""
        text = s(r.get("text"))
        score = 0.0
        if symbol:
            if symbol in toks:
                score = 1.0
            elif any(t in symbol for t in long_toks):
                score = 0.5
        if stem and stem in toks:
            score += 0.4
        if qual and qual in toks:
            score += 1.0
        score += min(sum(t in text for t in long_toks) * 0.08, 0.32)
        if score > 0 and stype in ("method", "function"):
            score *= 1.1
        start, end = ref_line(md, "start_line"), ref_line(md, "end_line")
        if start is not None and end is not None:
            span = end - start
            if span < 31:
                score += 0.05
            elif span < 81:
                score += 0.02
        scores.append(score)
    return scores, max([0.0, *scores])


def code(text="", **md):
    return {"text": text, "metadata": {"source_class": "code", **md}}


def score1(record, toks):
    scores, mx = ln.code_lexical_scores([record], toks)
    assert mx == max(0.0, scores[0])
    return scores[0]


@pytest.mark.parametrize(
    "path, stem",
    [
        ("src/auth/login.py", "login"), ("login.test.py", "login.test"), ("notes.", "notes"), ("..cfg", "."),
        (".bashrc", ".bashrc"), ("a/b/", "b"), ("a//b.c//", "b"), ("a/./.", "a"), ("", ""), ("/", ""), (".", ""),
        ("a/..", ""), ("...", ".."), ("Makefile", "Makefile"), ("C:\\x\\y.py", "C:\\x\\y"), ("dir.d/file", "file"),
    ],
)
def test_file_stem(path, stem):
    rec = code(symbol_name="zzzz", file_path=path)
    expected = 0.4 if stem else 0.0
    assert score1(rec, [stem.lower() or "nothing"]) == expected
    assert ref_stem(path) == stem


@pytest.mark.parametrize(
    "record, toks, expected",
    [
        (code(symbol_name="parse_request"), ["request"], 0.5),
        (code(symbol_name="parse_request"), ["req"], 0.0),  # short tokens match whole names only
        (code(symbol_name="Parse_request"), ["Parse_Request"], 1.0),
        (code(symbol_name="req"), ["REQ"], 1.0),
        (code("nothing", symbol_name="authenticate", file_path="src/auth/login.py"),
         ["login", "authenticate", "login.authenticate"], 2.4),
        (code("nothing", symbol_name="authenticate", file_path="src/auth/login.py", symbol_type="function"),
         ["login", "authenticate", "login.authenticate"], 2.4 * 1.1),
        (code("nothing", symbol_name="authenticate", file_path="src/auth/login.py", symbol_type="function",
              start_line=10, end_line=25), ["login", "authenticate", "login.authenticate"], 2.4 * 1.1 + 0.05),
        (code("aaaa bbbb cccc dddd eeee"), ["aaaa", "bbbb", "cccc", "dddd", "eeee"], 0.32),
        (code("aaaa bbbb cccc"), ["aaaa", "bbbb", "cccc", "cccc", "CCCC"], 3 * 0.08),
        (code("ZZZ", start_line=1, end_line=20), ["nomatch"], 0.05),  # span bonus needs no match
        (code("", start_line=20, end_line=1), ["x"], 0.05),
        (code("", start_line=0, end_line=30), ["x"], 0.05),
        (code("", start_line=0, end_line=31), ["x"], 0.02),
        (code("", start_line=0, end_line=80), ["x"], 0.02),
        (code("", start_line=0, end_line=81), ["x"], 0.0),
        (code("", start_line=True, end_line=False), ["x"], 0.05),
        (code("", start_line=1.0, end_line=5), ["x"], 0.0),
        (code("", start_line="1", end_line=5), ["x"], 0.0),
        (code("", start_line=2**63, end_line=5), ["x"], 0.0),
        (code("", start_line=-(2**63), end_line=2**63 - 1), ["x"], 0.0),  # no wrap-around
        (code("", start_line=2**63 - 1, end_line=-(2**63)), ["x"], 0.05),
        (code(symbol_name="run", file_path=5, source="pkg/util.py"), ["util"], 0.4),
        (code(symbol_name="run", file_path="a/main.py", source="pkg/util.py"), ["util"], 0.0),
        (code(symbol_name="run", file_path="", source="pkg/util.py"), ["util"], 0.0),
        (code(symbol_name="run", symbol_type="Method"), ["run"], 1.0 * 1.1),
        (code(symbol_name="run", symbol_type="async_function"), ["run"], 1.0),
        (code(symbol_name="run", symbol_type="function"), ["nomatch"], 0.0),
        (code(symbol_name=5, file_path="x/run.py"), ["run", "run.5"], 0.4),
        ({"text": "run", "metadata": {"symbol_name": "run"}}, ["run"], 0.0),
        ({"text": "run", "metadata": {"source_class": "Code", "symbol_name": "run"}}, ["run"], 0.0),
        ({"text": "run", "metadata": {"source_class": "prose", "symbol_name": "run"}}, ["run"], 0.0),
        ({"text": "run", "metadata": {"source_class": b"code", "symbol_name": "run"}}, ["run"], 0.0),
        ({"text": "run"}, ["run"], 0.0),
        (code("ΣΑΣ données", symbol_name="Données"), ["DONNÉES", "σας"], 1.0 + 2 * 0.08),
    ],
)
def test_rules(record, toks, expected):
    assert score1(record, toks) == expected
    assert ref_scores([record], toks)[0][0] == expected


def test_empty_tokens_and_results():
    assert ln.code_lexical_scores([1, None, {}], []) == ([0.0, 0.0, 0.0], 0.0)
    assert ln.code_lexical_scores([1, None], [1, b"x", None]) == ([0.0, 0.0], 0.0)
    assert ln.code_lexical_scores([], ["parse"]) == ([], 0.0)


@pytest.mark.parametrize(
    "results, message",
    [
        ([code(), 5], "'int' object cannot be converted to 'PyDict'"),
        ([{"metadata": None}], "'NoneType' object cannot be converted to 'PyDict'"),
        ([{"metadata": [1]}], "'list' object cannot be converted to 'PyDict'"),
    ],
)
def test_malformed_records_raise(results, message):
    with pytest.raises(TypeError) as e:
        ln.code_lexical_scores(results, ["x"])
    assert str(e.value) == message


def test_arguments():
    assert str(inspect.signature(ln.code_lexical_scores)) == "(results, query_tokens)"
    assert ln.code_lexical_scores.__doc__.splitlines()[0] == "Compute per-result lexical boost scores for code retrieval."
    assert ln.code_lexical_scores(query_tokens=["run"], results=[code(symbol_name="run")]) == ([1.0], 1.0)
    with pytest.raises(TypeError, match=r"^argument 'query_tokens': 'frozenset' object cannot be converted to 'PyList'$"):
        ln.code_lexical_scores([], frozenset({"x"}))
    with pytest.raises(TypeError, match=r"^argument 'results': 'tuple' object cannot be converted to 'PyList'$"):
        ln.code_lexical_scores((), ["x"])


def test_dict_subclasses_and_surrogate_tokens():
    class Missing(dict):
        def __missing__(self, key):
            return "code"

    rec = {"text": "", "metadata": Missing(symbol_name="run")}
    assert score1(rec, ["run"]) == 0.0
    assert "source_class" not in rec["metadata"]
    # A token without a UTF-8 form still makes the token set non-empty.
    assert ln.code_lexical_scores([code(start_line=1, end_line=2)], ["\ud800"]) == ([0.05], 0.05)


def test_hostile_keys_and_index():
    class Mutating(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            results.clear()
            meta.clear()
            return str.__eq__(self, other)

    class Line:
        def __index__(self):
            meta.clear()
            results.clear()
            return 3

    meta = {Mutating("symbol_name"): "run", "source_class": "code", "start_line": Line(), "end_line": 4}
    results = [{"text": "run", "metadata": meta}, code(symbol_name="run")]
    scores, _ = ln.code_lexical_scores(results, ["run"])
    assert len(scores) == 1  # the list was emptied during the first record


VOCAB = ["parse", "Parse", "request", "parse_request", "login", "auth", "x", "util", "run", "données", "ΣΑΣ", "io"]
PATHS = ["src/auth/login.py", "pkg/util.py", "login", ".bashrc", "a/..", "", "parse.py", "x/run.rs"]
md_values = {
    "source_class": st.sampled_from(["code", "code", "prose", None]),
    "symbol_name": st.one_of(st.sampled_from(VOCAB), st.none(), st.integers()),
    "symbol_type": st.sampled_from(["function", "method", "Method", "class", None]),
    "file_path": st.one_of(st.sampled_from(PATHS), st.none()),
    "source": st.sampled_from(PATHS),
    "start_line": st.one_of(st.integers(-5, 200), st.none(), st.floats(0, 5), st.integers(2**62, 2**64)),
    "end_line": st.one_of(st.integers(-5, 200), st.none(), st.integers(-(2**64), -(2**62))),
}
records = st.fixed_dictionaries(
    {
        "text": st.one_of(st.lists(st.sampled_from(VOCAB)).map(" ".join), st.none()),
        "metadata": st.fixed_dictionaries({}, optional=md_values),
    }
)


@settings(max_examples=150, deadline=None)
@given(st.lists(records, max_size=8), st.lists(st.one_of(st.sampled_from(VOCAB + PATHS), st.integers()), max_size=6))
def test_matches_reference(results, toks):
    assert ln.code_lexical_scores(results, toks) == ref_scores(results, toks)
