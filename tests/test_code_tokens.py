"""extract_code_query_tokens: worked examples and a differential test against
a model built on the `regex` package with the same explicit word class."""
import inspect
import unicodedata

import pytest
import regex
from hypothesis import given, settings, strategies as st

import lorvex_native as ln

# \w and \b spelt out: alphabetic, marks, decimal digits, connector
# punctuation, join controls.
W = r"[\p{Alphabetic}\p{M}\p{Nd}\p{Pc}\p{Join_Control}]"
B = rf"(?:(?<={W})(?!{W})|(?<!{W})(?={W}))"
EXTENSIONS = "py|rs|ts|tsx|js|jsx|go|java|cpp|c|h|cs|rb|kt|swift|scala|lua|sh|toml|yaml|yml|json|md"
RE_CODE_EXT = regex.compile(rf"{B}({W}+)\.({EXTENSIONS}){B}")
RE_QUALIFIED = regex.compile(rf"{B}([A-Za-z_]{W}+)\.([A-Za-z_]{W}+){B}")
RE_IDENTIFIER = regex.compile(rf"{B}[A-Za-z_][A-Za-z0-9_]{{3,}}{B}")
RE_CAMEL = regex.compile(r"[A-Z][a-z0-9]*|[a-z][a-z0-9]*")


def model(query):
    out = set()
    for m in RE_CODE_EXT.finditer(query):
        out.add(m.group(1).lower())
    for m in RE_QUALIFIED.finditer(query):
        a, b = m.group(1).lower(), m.group(2).lower()
        out |= {a, b, f"{a}.{b}"}
    for m in RE_IDENTIFIER.finditer(query):
        ident = m.group(0)
        low = ident.lower()
        out.add(low)
        out |= {p.lower() for p in RE_CAMEL.findall(ident) if len(p) >= 3}
        if "_" in low:
            out |= {p for p in low.split("_") if len(p) >= 3}
    return out


def tokens(query):
    result = ln.extract_code_query_tokens(query)
    assert isinstance(result, list)
    assert len(result) == len(set(result)), "each token occurs once"
    return set(result)


@pytest.mark.parametrize(
    "query, expected",
    [
        (
            "where is parseXMLRequest in auth/login_handler.py",
            {"where", "parsexmlrequest", "parse", "request", "auth", "login_handler", "login", "handler", "py",
             "login_handler.py"},
        ),
        ("", set()),
        ("a b c", set()),
        ("?! ... ()", set()),
        ("x.h", {"x"}),
        ("Foo.TSX", {"foo", "tsx", "foo.tsx"}),
        ("foo.tsx", {"foo", "tsx", "foo.tsx"}),
        ("file.pyc", {"file", "pyc", "file.pyc"}),
        ("data.json5", {"data", "json5", "data.json5"}),
        ("foo.bar.baz", {"foo", "bar", "foo.bar"}),
        ("os.path", {"os", "path", "os.path"}),
        ("MAX_RETRY_COUNT", {"max_retry_count", "max", "retry", "count"}),
        ("__init__", {"__init__", "init"}),
        ("XMLParser", {"xmlparser", "parser"}),
        ("utf8Decoder", {"utf8decoder", "utf8", "decoder"}),
        ("9lives_here", set()),  # an identifier cannot start with a digit
        ("_9abc", {"_9abc", "9abc", "abc"}),  # snake piece keeps the digit
        ("éfoo_bar", set()),  # no boundary between é and f
        ("éfoo.py", {"éfoo"}),
        ("Données.py", {"données", "py", "données.py"}),
        ("ΣΑΣ.md", {"σας"}),  # full lower-casing with the final sigma
        ("a.py.md", {"a", "py", "md", "py.md"}),  # stems and qualified names scan independently
        ("x.h.md", {"x"}),  # the extension is consumed: no stem "h"
        ("foo‿bar.rs", {"foo‿bar", "rs", "foo‿bar.rs"}),  # U+203F is connector punctuation
        ("does work how", {"does", "work"}),
        ("parse parse Parse", {"parse"}),
        (" ".join(f"Name{i} name{i}" for i in range(40)), {f"name{i}" for i in range(40)}),
    ],
)
def test_examples(query, expected):
    assert tokens(query) == expected


def test_signature_and_errors():
    assert str(inspect.signature(ln.extract_code_query_tokens)) == "(query)"
    assert "frozenset" in ln.extract_code_query_tokens.__doc__
    assert tokens(query="foo.bar") == {"foo", "bar", "foo.bar"}
    with pytest.raises(TypeError, match=r"^argument 'query': 'bytes' object cannot be converted to 'PyString'$"):
        ln.extract_code_query_tokens(b"foo.py")
    with pytest.raises(UnicodeEncodeError):
        ln.extract_code_query_tokens("foo\ud800.py")


FRAGMENTS = [
    "foo", "Bar", "parseXML", "Request", "MAX", "_", "__", ".", ".", " ", "/", "py", "tsx", "ts", "json5", "md", "h",
    "x", "9", "٣", "é", "e\u0301", "\u200d", "\u203f", "Σ", "İ", "données", "日本", "-", "(", ")", "utf8", "a1b2",
]
queries = st.one_of(
    st.lists(st.sampled_from(FRAGMENTS), max_size=12).map("".join),
    # Characters assigned in the interpreter's Unicode data (older than or
    # equal to the module's), so that both sides classify them alike.
    st.text(st.characters(blacklist_categories=("Cs", "Cn")), max_size=30),
    st.text(st.sampled_from("aZ_0.é\u0301\u200c‿ /py"), max_size=30),
)


@settings(max_examples=300, deadline=None)
@given(queries)
def test_matches_regex_model(query):
    assert tokens(query) == model(query)


def test_word_class_agrees_with_model():
    # Every assigned character, alone before ".py", is a stem exactly when it
    # is a word character of the model.
    word = regex.compile(W)
    for cp in range(0x30000):
        c = chr(cp)
        if unicodedata.category(c) in ("Cn", "Cs") or c == ".":
            continue
        assert bool(ln.extract_code_query_tokens(c + ".py")) == bool(word.match(c)), hex(cp)
