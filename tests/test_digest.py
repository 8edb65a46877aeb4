import hashlib
import os
import random
import subprocess
import sys

import pytest

import lorvex_native as ln

# The Unicode White_Space set; str.strip() would also remove U+001C..U+001F.
WHITE_SPACE = "".join(map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                                0x2028, 0x2029, 0x202F, 0x205F, 0x3000]))
POOL = "abc XYZ09\t\n.é€😀\u0085\u00a0\u3000\u001c\u200b\ufeff"


def md5_ref(text):
    return hashlib.md5(text.encode()).hexdigest()


def sha_ref(text):
    return hashlib.sha256(text.strip(WHITE_SPACE).encode("utf-8")).hexdigest()


def random_texts():
    rng = random.Random(8)
    for n in range(1001):
        # every UTF-8 byte length 0..1000 (ASCII), and a mixed text of n characters
        yield "".join(rng.choice("abcdefghij klmnop\n") for _ in range(n))
        yield "".join(rng.choice(POOL) for _ in range(n))


def test_digests_match_hashlib_for_every_length():
    for text in random_texts():
        assert ln.compute_doc_hash(text) == md5_ref(text)
        assert ln.compute_sha256(text) == sha_ref(text)


@pytest.mark.parametrize("n", [1 << 20, 3 * (1 << 20) + 57])
def test_digests_match_hashlib_on_large_texts(n):
    rng = random.Random(n)
    text = "".join(rng.choice(POOL) for _ in range(n // 8)) * 8
    assert ln.compute_doc_hash(text) == md5_ref(text)
    assert ln.compute_sha256(text) == sha_ref(text)


@pytest.mark.parametrize(
    "text, md5, sha",
    [
        ("", "d41d8cd98f00b204e9800998ecf8427e",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"),
        ("abc", "900150983cd24fb0d6963f7d28e17f72",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"),
    ],
)
def test_known_digests(text, md5, sha):
    assert ln.compute_doc_hash(text) == md5
    assert ln.compute_sha256(text) == sha


@pytest.mark.parametrize(
    "text, hashed",
    [
        ("  abc\n", "abc"),
        ("\u3000abc", "abc"),
        ("\u001cabc", "\u001cabc"),  # information separators are not white space
        ("\u200babc\ufeff", "\u200babc\ufeff"),
        ("\u0085\u00a0\u2029 a b \u205f\u202f", "a b"),
        (" \t\n\u3000", ""),
    ],
)
def test_sha256_trims_white_space_only(text, hashed):
    assert ln.compute_sha256(text) == hashlib.sha256(hashed.encode()).hexdigest()


def test_md5_does_not_trim():
    assert ln.compute_doc_hash(" abc\n") == md5_ref(" abc\n") != md5_ref("abc")


@pytest.mark.parametrize("fn", [ln.compute_doc_hash, ln.compute_sha256])
def test_argument_errors(fn):
    with pytest.raises(TypeError, match=r"^argument 'text': 'bytes' object cannot be converted to 'PyString'$"):
        fn(b"abc")
    with pytest.raises(UnicodeEncodeError):
        fn("a\ud800")
    assert fn(text="x") == fn("x")


def test_portable_sha256_matches_hashlib():
    # Runs the digests with the processor's SHA instructions switched off.
    code = (
        "import hashlib, random, lorvex_native as ln\n"
        "rng = random.Random(1)\n"
        "for n in list(range(300)) + [4096, 100003]:\n"
        "    t = ''.join(rng.choice('ab\u00e9\u20ac ') for _ in range(n))\n"
        "    assert ln.compute_sha256(t) == hashlib.sha256(t.strip(' ').encode()).hexdigest(), n\n"
        "print('ok')\n"
    )
    env = dict(os.environ, LORVEX_NATIVE_PORTABLE_SHA256="1")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
