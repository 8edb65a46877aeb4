"""The MessagePack value tree against the direct host<->bytes paths, and the
writing of the value kinds that only reading produces (Binary, Float32,
Extension). Uses the C probe entry points of the extension through ctypes."""

import ctypes

import msgpack
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import lorvex_native as ln
from test_msgpack import READ_CASES, WRITE_CASES, any_trees, h, json_trees, nest_maps

_lib = ctypes.PyDLL(ln.__file__)
tree_decode = _lib.lvx_msgpack_probe_decode
tree_decode.restype = ctypes.py_object
tree_decode.argtypes = [ctypes.py_object]
tree_encode = _lib.lvx_msgpack_probe_encode
tree_encode.restype = ctypes.py_object
tree_encode.argtypes = [ctypes.py_object]


@pytest.mark.parametrize(
    "payload",
    [
        "c4 00",
        "c4 ff" + "00" * 255,
        "c5 01 00" + "00" * 256,
        "c5 ff ff" + "00" * 65535,
        "c6 00 01 00 00" + "00" * 65536,
        "ca 3f c0 00 00",
        "ca 7f c0 00 00",
        "ca 80 00 00 00",
        "d4 05 07",
        "d5 ff 07 08",
        "d6 80" + "07" * 4,
        "d7 01" + "07" * 8,
        "d8 7f" + "07" * 16,
        "c7 00 05",
        "c7 03 05 01 02 03",
        "c7 ff 05" + "01" * 255,
        "c8 01 00 05" + "01" * 256,
        "c9 00 01 00 00 05" + "01" * 65536,
    ],
    ids=lambda p: p[:14],
)
def test_write_binary_float32_extension(payload):
    data = h(payload)
    _, written = tree_decode(data)
    assert written == data


@pytest.mark.parametrize(
    ("payload", "smallest"),
    [
        ("c1", "c0"),
        ("d0 05", "05"),
        ("d3 00 00 00 00 00 00 00 07", "07"),
        ("cd 00 01", "01"),
        ("cf 00 00 00 00 00 00 01 00", "cd 01 00"),
        ("d1 ff ff", "ff"),
        ("d9 01 61", "a1 61"),
        ("db 00 00 00 20" + "61" * 32, "d9 20" + "61" * 32),
        ("dc 00 01 c0", "91 c0"),
        ("df 00 00 00 01 c0 c0", "81 c0 c0"),
        ("c6 00 00 00 01 61", "c4 01 61"),
        ("c7 01 05 07", "d4 05 07"),
        ("a2 c3 28", "a2 c3 28"),
    ],
)
def test_tree_writes_what_it_read_in_smallest_form(payload, smallest):
    assert tree_decode(h(payload))[1] == h(smallest)


def test_invalid_utf8_string_keeps_its_bytes_in_the_tree():
    host, written = tree_decode(h("a2 c3 28"))
    assert host == "" and written == h("a2 c3 28")


@pytest.mark.parametrize(("value", "expected"), WRITE_CASES, ids=[repr(c[0])[:30] for c in WRITE_CASES])
def test_tree_encode_matches_direct(value, expected):
    assert tree_encode(value) == h(expected)
    assert tree_encode({"k": value}) == ln.encode_entity_graph({"k": value})


@pytest.mark.parametrize(("body", "expected"), READ_CASES, ids=[c[0] for c in READ_CASES])
def test_tree_decode_matches_direct(body, expected):
    host, _ = tree_decode(h(body))
    assert host == expected and type(host) is type(expected)


@pytest.mark.parametrize(
    ("data", "reads"),
    [
        (nest_maps(511, b"\x01"), True),
        (nest_maps(512, b"\x01"), False),
        (b"\x91" * 511 + b"\x01", True),
        (b"\x91" * 512 + b"\x01", False),
        (b"\x91" * 511 + b"\x90", True),
        (b"\x91" * 512 + b"\x90", False),
        (b"\x91" * 510 + b"\xa1a", True),
        (b"\x91" * 511 + b"\xa1a", False),
        (b"", False),
        (h("dd ff ff ff ff"), False),
        (h("db ff ff ff ff 61"), False),
    ],
)
def test_tree_budget_and_truncation(data, reads):
    assert (tree_decode(data) is not None) is reads


def test_tree_unhashable_key_and_recursion():
    with pytest.raises(TypeError, match="unhashable"):
        tree_decode(h("81 90 01"))
    loop = {}
    loop["a"] = loop
    with pytest.raises(RecursionError):
        tree_encode(loop)


@settings(max_examples=100, deadline=None)
@given(json_trees)
def test_tree_encode_matches_direct_on_trees(tree):
    assert tree_encode({"k": tree}) == ln.encode_entity_graph({"k": tree})


@settings(max_examples=100, deadline=None)
@given(any_trees, st.booleans())
def test_tree_decode_matches_direct_on_any_payload(tree, single_float):
    payload = msgpack.packb({"k": tree}, use_single_float=single_float)
    host, written = tree_decode(payload)
    assert host == ln.decode_entity_graph(payload)
    # The msgpack package writes the smallest forms too.
    assert written == payload
    for cut in range(0, len(payload), max(1, len(payload) // 8)):
        assert tree_decode(payload[:cut]) is None
