"""decode_corpus_json: the strict JSON reader and the two corpus layouts."""

import json
import math
import struct

import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln

decode = ln.decode_corpus_json

I64_MIN, I64_MAX = -(2**63), 2**63 - 1


def ordered(value):
    """Host value as the decoder builds it: ints outside i64 as floats, object
    members in ascending UTF-8 byte order."""
    if isinstance(value, bool) or value is None or isinstance(value, (str, float)):
        return value
    if isinstance(value, int):
        return value if I64_MIN <= value <= I64_MAX else float(value)
    if isinstance(value, list):
        return [ordered(v) for v in value]
    return {k: ordered(value[k]) for k in sorted(value, key=lambda k: k.encode())}


def same(a, b):
    """Equality that also checks types, dict key order and float bits."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def meta_of(payload: bytes):
    """Decodes `payload` as the metadata of a one-document legacy list."""
    out = decode(b'[{"metadata": ' + payload + b"}]")
    return None if out is None else out[0]["metadata"]


def dedup(docs, texts=b'["a"]'):
    return decode(b'{"format": "dedup_v1", "texts": ' + texts + b', "docs": ' + docs + b"}")


# --- layouts -------------------------------------------------------------------


@pytest.mark.parametrize(
    "payload, expected",
    [
        (b'{"format": "dedup_v1", "texts": ["a"], "docs": [{"id": "1", "t": 0}]}',
         [{"id": "1", "text": "a", "metadata": {}}]),
        (b'{"format": "dedup_v1", "texts": ["a"], "docs": [{"id": "1", "t": 1}]}', None),
        (b'{"format": "dedup_v1", "texts": ["a"], "docs": [{"id": "1", "t": -1}]}', None),
        (b'{"format": "dedup_v1", "texts": ["a"], "docs": [{"id": "1", "t": 0.0}]}', None),
        (b'{"texts": [], "docs": []}', None),
        (b"[]", []),
        (b'[1, {"id": 2, "text": "t"}]',
         [{"id": "", "text": "", "metadata": {}}, {"id": "", "text": "t", "metadata": {}}]),
        (b"[] x", None),
        (b" [] \n", []),
    ],
)
def test_worked_examples(payload, expected):
    assert decode(payload) == expected


def test_metadata_keys_sorted_and_big_unsigned_as_float():
    (doc,) = decode(b'[{"metadata": {"b": 1, "a": 2, "n": 18446744073709551615}}]')
    assert list(doc) == ["id", "text", "metadata"]
    assert list(doc["metadata"]) == ["a", "b", "n"]
    assert doc["metadata"]["n"] == 18446744073709551615.0 and type(doc["metadata"]["n"]) is float


@pytest.mark.parametrize(
    "docs, texts, expected",
    [
        # shared pool text, id fallback, metadata of any JSON type incl. null
        (b'[{"id": "x", "t": 1, "metadata": null}, {"id": 5, "t": 1, "metadata": [1, "z"]},'
         b' {"t": 0, "metadata": {"k": true}}]',
         b'["a", "b"]',
         [{"id": "x", "text": "b", "metadata": None}, {"id": "", "text": "b", "metadata": [1, "z"]},
          {"id": "", "text": "a", "metadata": {"k": True}}]),
        (b"[]", b'["a"]', []),
        (b"[]", b"[]", []),
        # elements nobody points at need not be strings
        (b'[{"id": "1", "t": 0}]', b'["a", 5, null]', [{"id": "1", "text": "a", "metadata": {}}]),
        # "-0" is the integer zero
        (b'[{"id": "1", "t": -0}]', b'["a"]', [{"id": "1", "text": "a", "metadata": {}}]),
        # a later bad entry rejects the whole payload
        (b'[{"id": "1", "t": 0}, {"id": "2", "t": 0}, {"id": "3", "t": 5}]', b'["a"]', None),
        (b'[{"id": "1", "t": 1}]', b'["a", 5]', None),
        (b'[{"id": "1"}]', b'["a"]', None),
        (b'[{"id": "1", "t": "0"}]', b'["a"]', None),
        (b'[{"id": "1", "t": 1e0}]', b'["a", "b"]', None),
        (b'[{"id": "1", "t": 18446744073709551615}]', b'["a"]', None),
        (b'[{"id": "1", "t": 18446744073709551616}]', b'["a"]', None),
        (b'[["id", "t"]]', b'["a"]', None),
        (b'[{"id": "1", "t": 0}]', b'{"0": "a"}', None),
        (b'{"0": {"t": 0}}', b'["a"]', None),
    ],
)
def test_dedup_v1(docs, texts, expected):
    assert dedup(docs, texts) == expected


@pytest.mark.parametrize(
    "payload, accepted",
    [
        (b'{"format": "dedup_v2", "texts": [], "docs": []}', False),
        (b'{"format": 1, "texts": [], "docs": []}', False),
        (b'{"format": "dedup_v1", "docs": []}', False),
        (b'{"format": "dedup_v1", "texts": []}', False),
        (b'{"format": "dedup_v1", "texts": [], "docs": {}}', False),
        (b'{"format": "dedup_v1", "texts": [], "docs": [], "extra": [1, {}]}', True),
        # last duplicate wins, including for "format"
        (b'{"format": "x", "format": "dedup_v1", "texts": [], "docs": []}', True),
        (b'{"format": "dedup_v1", "format": "x", "texts": [], "docs": []}', False),
        (b'{"format": "dedup_v\\u0031", "texts": [], "docs": []}', True),
    ],
)
def test_dedup_v1_header(payload, accepted):
    assert (decode(payload) == []) is accepted
    if not accepted:
        assert decode(payload) is None


def test_dedup_v1_duplicate_member_in_entry():
    assert dedup(b'[{"id": "1", "t": 5, "id": "2", "t": 0}]') == [{"id": "2", "text": "a", "metadata": {}}]


@pytest.mark.parametrize("payload", [b'"x"', b"1", b"-1.5", b"null", b"true", b"false"])
def test_scalar_top_level_rejected(payload):
    assert decode(payload) is None


@pytest.mark.parametrize(
    "element",
    [b"1", b'"s"', b"null", b"[]", b'[{"id": "a"}]', b"{}", b'{"id": null, "text": 3}'],
)
def test_legacy_elements_never_rejected(element):
    assert decode(b"[" + element + b"]") == [{"id": "", "text": "", "metadata": {}}]


def test_legacy_fields():
    out = decode(
        '[{"text": "tè", "id": "i\\n", "metadata": [null, 1.5]}, {"metadata": null}, {"metadata": "m"}]'.encode()
    )
    assert out == [
        {"id": "i\n", "text": "tè", "metadata": [None, 1.5]},
        {"id": "", "text": "", "metadata": None},
        {"id": "", "text": "", "metadata": "m"},
    ]
    assert all(list(d) == ["id", "text", "metadata"] for d in out)


def test_argument_kind():
    with pytest.raises(TypeError, match=r"^argument 'data': 'bytearray' object cannot be converted to 'PyBytes'$"):
        decode(bytearray(b"[]"))
    with pytest.raises(TypeError):
        decode("[]")


# --- the reader: syntax ------------------------------------------------------------


@pytest.mark.parametrize(
    "payload",
    [
        b"", b" ", b"[", b"]", b"[1,]", b"[,1]", b"[1 2]", b"[1,,2]", b'{"a":1,}', b'{"a" 1}', b"{a:1}",
        b'{"a":}', b'{1: 2}', b"['a']", b'["abc', b'{"a":', b"[][]",
        # numbers
        b"[01]", b"[-01]", b"[1.]", b"[.5]", b"[1e]", b"[1e+]", b"[+1]", b"[-]", b"[0x10]", b"[1_0]",
        b"[NaN]", b"[Infinity]", b"[-Infinity]",
        # literals
        b"[tru]", b"[True]", b"[nul]", b"[falsey]",
        # strings
        b'["\x01"]', b'["\x1f"]', b'["a\tb"]', b'["\\x"]', b'["\\u12"]', b'["\\u12g4"]', b'["\\U0041"]', b'["\\',
        # lone surrogates in escapes
        b'["\\ud800"]', b'["\\udc00"]', b'["\\ud800\\u0041"]', b'["\\ud800x"]', b'["\\udbff\\udbff"]',
        # UTF-8
        b'["\xff"]', b'["\x80"]', b'["\xc0\x80"]', b'["\xc1\xbf"]', b'["\xe0\x80\x80"]', b'["\xed\xa0\x80"]',
        b'["\xf4\x90\x80\x80"]', b'["\xf8\x88\x80\x80\x80"]', b'["\xe2\x82"]', b'["\xe2\x82"', b"[]\xff",
        # only space, tab, line feed and carriage return count as white space
        b"\xef\xbb\xbf[]", b"\x0c[]", b"[]\x0b", b"\xc2\xa0[]", b"[\x00]", b"[]\x00",
    ],
)
def test_rejected(payload):
    assert decode(payload) is None


@pytest.mark.parametrize(
    "text, expected",
    [
        ("0", 0), ("-0", 0), ("7", 7), ("-7", -7),
        ("9223372036854775807", I64_MAX),
        ("-9223372036854775808", I64_MIN),
        ("9223372036854775808", 9223372036854775808.0),
        ("18446744073709551615", 18446744073709551615.0),
        ("18446744073709551616", 18446744073709551616.0),
        ("-9223372036854775809", -9223372036854775809.0),
        ("123456789012345678901234567890", 1.2345678901234568e29),
        ("1.5", 1.5), ("-0.0", -0.0), ("1E2", 100.0), ("1e+2", 100.0), ("25e-1", 2.5), ("0.1", 0.1),
        ("2.2250738585072011e-308", 2.2250738585072011e-308),
        ("4.9406564584124654e-324", 5e-324),
        ("1.7976931348623157e308", 1.7976931348623157e308),
        ("1e400", math.inf), ("-1e400", -math.inf), ("123456e99999999999999999999", math.inf),
        ("1e-400", 0.0), ("-1e-400", -0.0), ("0.000001e-99999999999999", 0.0), ("0e999999", 0.0),
        ("0.0000000000000000000000000000001e330", 1e299),
    ],
)
def test_numbers(text, expected):
    got = meta_of(text.encode())
    assert same(got, expected), (got, expected)
    if isinstance(expected, float) and math.isfinite(expected):
        assert same(got, float(text))


@pytest.mark.parametrize(
    "payload, expected",
    [
        (b'"\\"\\\\\\/\\b\\f\\n\\r\\t"', '"\\/\b\f\n\r\t'),
        (b'"\\u0000\\u00e9\\u00E9\\u20ac"', "\x00\xe9\xe9\u20ac"),
        (b'"\\ud83d\\ude00x"', "\U0001f600x"),
        ('"é€😀"'.encode(), "é€😀"),
        (b'"\x7f"', "\x7f"),
        (b'"' + b"abcdefgh" * 5 + b'\\n"', "abcdefgh" * 5 + "\n"),
        ('"12345678é12345678\\t12345678"'.encode(), "12345678é12345678\t12345678"),
    ],
)
def test_strings(payload, expected):
    assert meta_of(payload) == expected


@pytest.mark.parametrize(
    "payload, keys",
    [
        # ascending UTF-8 bytes, not document order
        ('{"z": 0, "A": 0, "é": 0, "\\uffff": 0, "😀": 0, "": 0, "a": 0, "aa": 0}'.encode(),
         ["", "A", "a", "aa", "z", "é", "\uffff", "😀"]),
        # escaped names sort by their text
        (b'{"\\u0062": 0, "a": 0, "c": 0}', ["a", "b", "c"]),
    ],
)
def test_member_order(payload, keys):
    assert list(meta_of(payload)) == keys


@pytest.mark.parametrize(
    "payload, expected",
    [
        (b'{"a": 1, "a": 2}', {"a": 2}),
        (b'{"a": 1, "b": 0, "a": 2, "a": 3}', {"a": 3, "b": 0}),
        (b'{"a": 1, "\\u0061": 2}', {"a": 2}),
        (b'{"b": {"x": 1}, "a": 0, "b": [2]}', {"a": 0, "b": [2]}),
    ],
)
def test_last_duplicate_wins(payload, expected):
    got = meta_of(payload)
    assert got == expected and list(got) == sorted(expected)


def nested(depth):
    return b"[" * depth + b"]" * depth


@pytest.mark.parametrize("depth, ok", [(126, True), (127, True), (128, False), (5000, False)])
def test_nesting_limit(depth, ok):
    assert (decode(nested(depth)) is not None) is ok
    # the document list and object take two levels
    objects = b'{"a":' * (depth - 2) + b"0" + b"}" * (depth - 2)
    assert (meta_of(objects) is not None) is ok


def test_nesting_rebuilt():
    # 2 levels for the document list and object, 125 inside the metadata
    out = meta_of(nested(125))
    depth = 0
    while out:
        out = out[0]
        depth += 1
    assert depth == 124 and out == []


# --- cross-check against the json module ------------------------------------------

plain_text = st.text(st.characters(blacklist_categories=("Cs",)))

json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**70), max_value=2**70)
    | st.floats(allow_nan=False, allow_infinity=False)
    | plain_text,
    lambda children: st.lists(children, max_size=5)
    | st.dictionaries(st.text(st.characters(blacklist_categories=("Cs",)), max_size=4), children, max_size=5),
    max_leaves=30,
)


@settings(max_examples=200, deadline=None)
@given(
    meta=json_values,
    ensure_ascii=st.booleans(),
    indent=st.sampled_from([None, 0, 2, "\t", "\r\n"]),
)
def test_agrees_with_json_module(meta, ensure_ascii, indent):
    if isinstance(indent, str) and indent.strip(" \t\r\n"):
        return
    legacy = [{"id": "i", "text": "t", "metadata": meta}, 3]
    payload = json.dumps(legacy, ensure_ascii=ensure_ascii, indent=indent).encode()
    expected = [{"id": d["id"], "text": d["text"], "metadata": ordered(d.get("metadata", {}))}
                if isinstance(d, dict) else {"id": "", "text": "", "metadata": {}}
                for d in json.loads(payload)]
    assert same(decode(payload), expected)


@settings(max_examples=100, deadline=None)
@given(
    texts=st.lists(plain_text, min_size=1, max_size=6),
    picks=st.lists(st.tuples(st.integers(0, 5), plain_text, json_values), max_size=8),
)
def test_dedup_v1_agrees_with_json_module(texts, picks):
    docs = [{"id": i, "t": t % len(texts), "metadata": m} for t, i, m in picks]
    payload = json.dumps({"docs": docs, "format": "dedup_v1", "texts": texts}).encode()
    expected = [{"id": d["id"], "text": texts[d["t"]], "metadata": ordered(d["metadata"])} for d in docs]
    assert same(decode(payload), expected)
