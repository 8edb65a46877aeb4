"""MessagePack mapping shared by every codec: the bytes written for each kind
of host value, the reader's acceptance rules and nesting budget, and the
conversion back to host objects. Exercised through the entity-graph codec,
whose payload is the bare encoding of a dict."""

import math
import struct
import sys

import msgpack
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import lorvex_native as ln

PREFIX = b"\x81\xa1k"  # {"k": ...}
FAIL = object()


def enc(value):
    """Bytes written for `value` (inside a one-entry map)."""
    out = ln.encode_entity_graph({"k": value})
    assert out[:3] == PREFIX
    return out[3:]


def dec(body):
    """Host value read from `body` (inside a one-entry map), or FAIL."""
    out = ln.decode_entity_graph(PREFIX + body)
    return FAIL if out is None else out["k"]


def h(text):
    return bytes.fromhex(text.replace(" ", ""))


# --- writing: one case per row of the writing table and its boundaries -----

WRITE_CASES = [
    (None, "c0"),
    (False, "c2"),
    (True, "c3"),
    (0, "00"),
    (127, "7f"),
    (128, "cc 80"),
    (255, "cc ff"),
    (256, "cd 01 00"),
    (65535, "cd ff ff"),
    (65536, "ce 00 01 00 00"),
    (2**32 - 1, "ce ff ff ff ff"),
    (2**32, "cf 00 00 00 01 00 00 00 00"),
    (2**63 - 1, "cf 7f ff ff ff ff ff ff ff"),
    (-1, "ff"),
    (-32, "e0"),
    (-33, "d0 df"),
    (-128, "d0 80"),
    (-129, "d1 ff 7f"),
    (-32768, "d1 80 00"),
    (-32769, "d2 ff ff 7f ff"),
    (-(2**31), "d2 80 00 00 00"),
    (-(2**31) - 1, "d3 ff ff ff ff 7f ff ff ff"),
    (-(2**63), "d3 80 00 00 00 00 00 00 00"),
    (2**63, "cb 43 e0 00 00 00 00 00 00"),
    (-(2**63) - 1, "cb c3 e0 00 00 00 00 00 00"),
    (1.0, "cb 3f f0 00 00 00 00 00 00"),
    (-0.0, "cb 80 00 00 00 00 00 00 00"),
    (math.inf, "cb 7f f0 00 00 00 00 00 00"),
    (0.1, "cb 3f b9 99 99 99 99 99 9a"),
    ("", "a0"),
    ("é", "a2 c3 a9"),
    ([], "90"),
    ({}, "80"),
    ([1, [2]], "92 01 91 02"),
    ({1: "a"}, "81 01 a1 61"),
    ({1.5: None}, "81 cb 3f f8 00 00 00 00 00 00 c0"),
    ((1, 2), "a6" + b"(1, 2)".hex()),
    (b"ab", "a5" + b"b'ab'".hex()),
    ({(1,): 2}, "81 a4" + b"(1,)".hex() + "02"),
]


@pytest.mark.parametrize(("value", "expected"), WRITE_CASES, ids=[repr(c[0])[:30] for c in WRITE_CASES])
def test_write_smallest_form(value, expected):
    assert enc(value) == h(expected)


@pytest.mark.parametrize(
    ("n", "header"),
    [(0, "a0"), (31, "bf"), (32, "d9 20"), (255, "d9 ff"), (256, "da 01 00"), (65535, "da ff ff"), (65536, "db 00 01 00 00")],
)
def test_write_string_lengths(n, header):
    assert enc("x" * n) == h(header) + b"x" * n


@pytest.mark.parametrize(
    ("n", "header"),
    [(15, "9f"), (16, "dc 00 10"), (65535, "dc ff ff"), (65536, "dd 00 01 00 00")],
)
def test_write_array_lengths(n, header):
    assert enc([None] * n) == h(header) + b"\xc0" * n


@pytest.mark.parametrize(("n", "header"), [(15, "8f"), (16, "de 00 10"), (65536, "df 00 01 00 00")])
def test_write_map_lengths(n, header):
    body = enc({i: None for i in range(n)})
    assert body.startswith(h(header))
    assert body == msgpack.packb({i: None for i in range(n)})


def test_nan_keeps_its_bit_pattern():
    for bits in (0x7FF8000000000000, 0xFFF8000000000001, 0x7FF0000000000123):
        value = struct.unpack(">d", bits.to_bytes(8, "big"))[0]
        assert enc(value) == b"\xcb" + bits.to_bytes(8, "big")
        back = dec(enc(value))
        assert struct.pack(">d", back) == bits.to_bytes(8, "big")


def test_big_int_becomes_its_digits():
    assert enc(10**400) == b"\xda\x01\x91" + b"1" + b"0" * 400


# --- the host-to-value rules, in their order ----------------------------------


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Floaty:
    def __float__(self):
        return 2.5


class BadIndex:
    def __index__(self):
        raise ValueError("no")

    def __float__(self):
        return 3.0


class BadStr:
    def __str__(self):
        raise KeyError("boom")


class StrWithIndex(str):
    def __index__(self):
        return 7


class ListWithFloat(list):
    def __float__(self):
        return 1.5


class IntSub(int):
    pass


class FloatSub(float):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        (np.bool_(True), "c3"),
        (np.bool_(False), "c2"),
        (np.int64(-5), "fb"),
        (np.uint64(2**64 - 1), "cb 43 f0 00 00 00 00 00 00"),
        (np.float32(0.5), "cb 3f e0 00 00 00 00 00 00"),
        (Index(300), "cd 01 2c"),
        (Index(2**70), "cb 44 50 00 00 00 00 00 00"),
        (Floaty(), "cb 40 04 00 00 00 00 00 00"),
        (BadIndex(), "cb 40 08 00 00 00 00 00 00"),
        (StrWithIndex("x"), "07"),
        (ListWithFloat([1]), "cb 3f f8 00 00 00 00 00 00"),
        (IntSub(5), "05"),
        (FloatSub(2.0), "cb 40 00 00 00 00 00 00 00"),
        (StrSub("ab"), "a2 61 62"),
        (ListSub([1]), "91 01"),
        (DictSub(a=1), "81 a1 61 01"),
        ({1, 2}, msgpack.packb("{1, 2}").hex()),
        (bytearray(b"a"), msgpack.packb("bytearray(b'a')").hex()),
        ("a\ud800b", "ab 61" + "efbfbd" * 3 + "62"),
        (StrSub("\udfff"), "a9" + "efbfbd" * 3),
        ("\ud83d\ude00", "b2" + "efbfbd" * 6),
    ],
    ids=repr,
)
def test_host_value_rules(value, expected):
    assert enc(value) == h(expected)


def test_str_failure_propagates_unchanged():
    with pytest.raises(KeyError, match="boom"):
        ln.encode_entity_graph({"k": [1, {"x": BadStr()}]})
    with pytest.raises(KeyError):
        ln.encode_entity_graph({BadStr(): 1})


def test_huge_int_whose_str_fails():
    # str() of an int beyond the interpreter's digit limit raises ValueError.
    if not hasattr(sys, "set_int_max_str_digits"):
        pytest.skip("no digit limit")
    with pytest.raises(ValueError):
        enc(10**5000)


@pytest.mark.parametrize("make", [lambda x: [x], lambda x: {"a": x}, lambda x: ListSub([x]), lambda x: DictSub(a=x)])
def test_self_containing_input_raises_recursion_error(make):
    outer = make(None)
    if isinstance(outer, list):
        outer[0] = outer
    else:
        outer["a"] = outer
    with pytest.raises(RecursionError):
        ln.encode_entity_graph({"k": outer})


def test_very_deep_input_raises_recursion_error():
    deep = []
    for _ in range(200_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        ln.encode_entity_graph({"k": deep})
    deep = {}
    for _ in range(200_000):
        deep = {"a": deep}
    with pytest.raises(RecursionError):
        ln.encode_entity_graph(deep)


def test_moderately_deep_input_is_written():
    deep = 1
    for _ in range(300):
        deep = [deep]
    assert enc(deep) == b"\x91" * 300 + b"\x01"


class Shrinker:
    """Its str() drops items from the list it lives in."""

    def __init__(self, target, keep):
        self.target = target
        self.keep = keep

    def __str__(self):
        del self.target[self.keep :]
        return "s"


@pytest.mark.parametrize(("n", "keep"), [(5, 3), (20, 17), (20, 10), (70000, 100)])
def test_list_shrinking_during_walk_is_cut(n, keep):
    items = [0] * n
    items[keep - 1] = Shrinker(items, keep)
    expected = msgpack.packb([0] * (keep - 1) + ["s"])
    assert enc(items) == expected


def test_dict_mutated_during_walk_raises():
    d = {}

    class Grow:
        def __str__(self):
            d["new"] = 1
            return "g"

    d["a"] = Grow()
    d["b"] = 2
    with pytest.raises(RuntimeError, match="changed size"):
        ln.encode_entity_graph(d)


# --- reading ----------------------------------------------------------------

READ_CASES = [
    ("c0", None),
    ("c1", None),
    ("c2", False),
    ("c3", True),
    ("7f", 127),
    ("e0", -32),
    ("cc ff", 255),
    ("cd ff ff", 65535),
    ("ce ff ff ff ff", 2**32 - 1),
    ("cf ff ff ff ff ff ff ff ff", 2**64 - 1),
    ("d0 80", -128),
    ("d0 05", 5),
    ("d1 80 00", -32768),
    ("d2 80 00 00 00", -(2**31)),
    ("d3 80 00 00 00 00 00 00 00", -(2**63)),
    ("d3 00 00 00 00 00 00 00 07", 7),
    ("ca 3f c0 00 00", 1.5),
    ("ca 3d cc cc cd", float(np.float32(0.1))),
    ("cb 3f f8 00 00 00 00 00 00", 1.5),
    ("a1 61", "a"),
    ("d9 01 61", "a"),
    ("da 00 01 61", "a"),
    ("db 00 00 00 01 61", "a"),
    ("d9 01 ff", ""),
    ("a3 ed a0 80", ""),
    ("c4 02 00 ff", b"\x00\xff"),
    ("c5 00 01 61", b"a"),
    ("c6 00 00 00 00", b""),
    ("d4 05 07", None),
    ("d5 05 07 07", None),
    ("d6 05" + "07" * 4, None),
    ("d7 05" + "07" * 8, None),
    ("d8 05" + "07" * 16, None),
    ("c7 03 05 01 02 03", None),
    ("c8 00 01 05 01", None),
    ("c9 00 00 00 00 05", None),
    ("92 01 a1 61", [1, "a"]),
    ("dc 00 02 01 02", [1, 2]),
    ("dd 00 00 00 01 c3", [True]),
    ("82 01 a1 61 01 a1 62", {1: "b"}),
    ("de 00 01 c0 c0", {None: None}),
    ("df 00 00 00 01 a0 90", {"": []}),
]


@pytest.mark.parametrize(("body", "expected"), READ_CASES, ids=[c[0] for c in READ_CASES])
def test_read_every_marker(body, expected):
    got = dec(h(body))
    assert got == expected and type(got) is type(expected)


def test_read_float32_is_widened_exactly():
    got = dec(h("ca 3d cc cc cd"))
    assert got == float(np.float32(0.1)) and got != 0.1


def test_duplicate_keys_keep_first_position_and_last_value():
    got = ln.decode_entity_graph(h("83 a1 61 01 a1 62 02 a1 61 03"))
    assert list(got.items()) == [("a", 3), ("b", 2)]


def test_trailing_bytes_are_ignored():
    payload = ln.encode_entity_graph({"a": [1, 2]})
    assert ln.decode_entity_graph(payload + b"\xc1\xff garbage") == {"a": [1, 2]}


def test_every_truncation_fails():
    payload = ln.encode_entity_graph(
        {"a": [1, -300, 2.5, "x" * 40, None, True, {"b": [70000, -(2**40)]}], "é": "y" * 300}
    )
    for cut in range(len(payload)):
        assert ln.decode_entity_graph(payload[:cut]) is None
    for body in ["91", "cc", "cd 01", "cb 00", "d9", "d9 02 61", "c4 01", "d4 05", "c7 01 05", "c7 00", "c8 00 00", "c9 00 00 00 00", "dc 00", "de 00 01 c0"]:
        assert dec(h(body)) is FAIL, body


@pytest.mark.parametrize(
    "body",
    ["dd ff ff ff ff", "df ff ff ff ff 01", "db ff ff ff ff 61", "c6 ff ff ff ff", "c9 ff ff ff ff 05", "dc ff ff" + "c0" * 100],
)
def test_huge_declared_lengths_fail_without_reserving(body):
    assert dec(h(body)) is FAIL


def test_unhashable_key_raises_type_error():
    with pytest.raises(TypeError, match="unhashable"):
        ln.decode_entity_graph(h("81 90 01"))
    with pytest.raises(TypeError, match="unhashable"):
        ln.decode_entity_graph(h("81 a1 6b 81 80 01"))
    # Raised even when the top value is not a map.
    with pytest.raises(TypeError):
        ln.decode_entity_graph(h("91 81 90 01"))


def test_unhashable_key_in_malformed_payload_reads_as_malformed():
    # The whole value is read before anything is converted: a payload that
    # does not read returns None even when an earlier key is unusable.
    assert ln.decode_entity_graph(h("82 90 01 01")) is None
    assert ln.decode_entity_graph(h("92 81 90 01 91")) is None


def nest_maps(depth, inner):
    """`depth` one-entry maps {1: {1: ... inner}}."""
    return b"\x81\x01" * depth + inner


@pytest.mark.parametrize(
    ("depth", "inner", "reads"),
    [
        (511, b"\x01", True),
        (512, b"\x01", False),
        (511, b"\x80", True),
        (512, b"\x80", False),
        (510, b"\xa1a", True),
        (511, b"\xa1a", False),
        (511, b"\xa0", False),
        (511, b"\xc4\x01a", True),
        (512, b"\xc4\x01a", False),
        (510, b"\xd4\x05\x07", True),
        (511, b"\xd4\x05\x07", False),
    ],
)
def test_nesting_budget(depth, inner, reads):
    got = ln.decode_entity_graph(nest_maps(depth, inner))
    assert (got is not None) is reads


@pytest.mark.parametrize(("arrays", "reads"), [(510, True), (511, False)])
def test_nesting_budget_with_arrays(arrays, reads):
    # One map level plus `arrays` arrays around an integer.
    got = dec(b"\x91" * arrays + b"\x01")
    assert (got is not FAIL) is reads


def test_budget_is_not_shared_between_siblings():
    deep = b"\x91" * 500 + b"\x01"
    body = b"\x93" + deep + deep + deep
    assert dec(body) is not FAIL
    # String keys at the deepest level each cost their own units.
    assert ln.decode_entity_graph(nest_maps(509, b"\x82\xa1a\x01\xa1b\x02")) is not None


# --- cross-checks against the msgpack package --------------------------------

json_scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**63 - 1)
    | st.floats(allow_nan=False)
    | st.text(max_size=40)
)
json_trees = st.recursive(
    json_scalars,
    lambda inner: st.lists(inner, max_size=8) | st.dictionaries(st.text(max_size=10), inner, max_size=8),
    max_leaves=20,
)


@settings(max_examples=100, deadline=None)
@given(st.dictionaries(st.text(max_size=10), json_trees, max_size=8))
def test_bytes_match_msgpack_package_and_round_trip(tree):
    payload = ln.encode_entity_graph(tree)
    assert payload == msgpack.packb(tree)
    back = ln.decode_entity_graph(payload)
    assert back == tree
    assert list(back) == list(tree)


any_scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(width=32, allow_nan=False)
    | st.text(max_size=40)
    | st.binary(max_size=300)
    | st.builds(msgpack.ExtType, st.integers(0, 127), st.binary(max_size=20))
)
any_trees = st.recursive(
    any_scalars,
    lambda inner: st.lists(inner, max_size=8)
    | st.dictionaries(st.integers(-5, 300) | st.text(max_size=70) | st.none(), inner, max_size=8),
    max_leaves=20,
)


def ext_to_none(v):
    if isinstance(v, msgpack.ExtType):
        return None
    if isinstance(v, list):
        return [ext_to_none(x) for x in v]
    if isinstance(v, dict):
        return {k: ext_to_none(x) for k, x in v.items()}
    return v


@settings(max_examples=100, deadline=None)
@given(st.dictionaries(st.text(max_size=10), any_trees, max_size=8), st.booleans())
def test_reads_what_msgpack_package_writes(tree, single_float):
    payload = msgpack.packb(tree, use_single_float=single_float)
    expected = msgpack.unpackb(payload, strict_map_key=False)
    assert ln.decode_entity_graph(payload) == ext_to_none(expected)
