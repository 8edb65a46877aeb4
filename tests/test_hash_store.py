import os
import random
import stat
import struct
import subprocess
import sys
import textwrap
import threading

import pytest

import lorvex_native as ln

WHITE_SPACE = "".join(map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                                0x2028, 0x2029, 0x202F, 0x205F, 0x3000]))
HEX = frozenset(b"0123456789abcdefABCDEF")


def decode_model(h):
    """16 digest bytes of a hex digest input, or None when it is invalid."""
    b = h.strip(WHITE_SPACE).encode()
    if len(b) != 32:
        return None
    if HEX.issuperset(b):
        return bytes.fromhex(b.decode())
    out = bytearray()
    for i in range(0, 32, 2):
        a, c = b[i], b[i + 1]
        if c not in HEX:
            return None
        if a == ord("+"):
            out.append(int(chr(c), 16))
        elif a in HEX:
            out.append(int(chr(a) + chr(c), 16))
        else:
            return None
    return bytes(out)


def image_model(hashes):
    entries = sorted(d for d in map(decode_model, hashes) if d is not None)
    return b"LVH1" + struct.pack("<I", len(entries)) + b"".join(entries)


@pytest.fixture
def store(tmp_path):
    return str(tmp_path / "hashes.bin")


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


# --- save and load -------------------------------------------------------------

def test_empty_store(store):
    ln.save_hash_store_binary(store, [])
    assert read(store) == b"LVH1\0\0\0\0"
    assert ln.load_hash_store_binary(store) == []
    assert ln.probe_hash_store(store, "00" * 16) is False


def test_sorted_with_duplicates_and_lower_case(store):
    ln.save_hash_store_binary(store, ["FF" * 16, " " + "00" * 16, "xyz", "00" * 16])
    assert read(store) == b"LVH1\x03\0\0\0" + b"\0" * 32 + b"\xff" * 16
    assert ln.load_hash_store_binary(store) == ["00" * 16, "00" * 16, "ff" * 16]


@pytest.mark.parametrize(
    "hex_input, digest",
    [
        ("0123456789abcdefABCDEF0123456789", bytes.fromhex("0123456789abcdefabcdef0123456789")),
        ("+f" * 16, b"\x0f" * 16),
        ("+0+1+2+3+4+5+6+7+8+9+a+b+c+d+E+F", bytes(range(16))),
        ("\u3000\t" + "ab" * 16 + "\u0085\n", b"\xab" * 16),
        ("\u001c" + "ab" * 16, None),  # not white space, so 33 bytes
        ("\u200b" + "ab" * 15 + "a", None),
        ("ab" * 15 + "a", None),
        ("ab" * 16 + "a", None),
        ("ab" * 15 + "f+", None),
        ("++" + "ab" * 15, None),
        ("+g" + "ab" * 15, None),
        ("0x" + "ab" * 15, None),
        ("ab" * 7 + " a" + "ab" * 8, None),
        ("-1" + "ab" * 15, None),
        ("\u00e9" * 16, None),  # 32 bytes, not ASCII
        ("\u20ac" + "a" * 29, None),  # a 3-byte character across the first group
        ("ab" * 15 + "\u00e9", None),
        ("\uff10" * 10 + "ab", None),  # full-width digits
    ],
)
def test_hex_digest_input(store, hex_input, digest):
    if digest is not None:
        assert decode_model(hex_input) == digest
    ln.save_hash_store_binary(store, [hex_input])
    assert ln.load_hash_store_binary(store) == ([] if digest is None else [digest.hex()])
    ln.save_hash_store_binary(store, [("00" * 16), (digest or b"\x01" * 16).hex()])
    # The probe reads its argument by the same rules.
    assert ln.probe_hash_store(store, hex_input) is (digest is not None)


def random_hash(rng):
    kind = rng.random()
    h = rng.randbytes(16).hex()
    if kind < 0.2:
        h = h.upper()
    elif kind < 0.3:
        for i in rng.sample(range(16), 3):
            h = h[: 2 * i] + "+" + h[2 * i + 1:]
    elif kind < 0.4:
        h = rng.choice(WHITE_SPACE + "x\u001c") + h + rng.choice(["", " ", "\n"])
    elif kind < 0.45:
        h = h[: rng.randrange(32)]
    return h


@pytest.mark.parametrize("n", [0, 1, 5, 300, 5000, 70000])
def test_against_model(store, n):
    rng = random.Random(n)
    hashes = [random_hash(rng) for _ in range(n)]
    hashes += rng.sample(hashes, min(len(hashes), 20))  # duplicates
    ln.save_hash_store_binary(store, tuple(hashes))
    image = image_model(hashes)
    assert read(store) == image
    loaded = ln.load_hash_store_binary(store)
    assert loaded == [image[i:i + 16].hex() for i in range(8, len(image), 16)]
    present = set(loaded)
    probes = [h for h in hashes[:200]] + [rng.randbytes(16).hex() for _ in range(200)]
    for h in probes:
        d = decode_model(h)
        expected = False if d is None else d.hex() in present
        assert ln.probe_hash_store(store, h) is expected


@pytest.mark.parametrize(
    "content, error",
    [
        (b"", "invalid hash store binary format"),
        (b"LVH1\0\0\0", "invalid hash store binary format"),
        (b"LVH2\0\0\0\0", "invalid hash store binary format"),
        (b"LVH1\x02\0\0\0" + b"\x01" * 16, "truncated hash store binary file"),
        (b"LVH1\xff\xff\xff\xff" + b"\x01" * 16, "truncated hash store binary file"),
    ],
)
def test_load_and_probe_refuse_malformed_files(store, content, error):
    write(store, content)
    with pytest.raises(ValueError, match=f"^{error}$"):
        ln.load_hash_store_binary(store)
    assert ln.probe_hash_store(store, "01" * 16) is None


def test_trailing_bytes_are_ignored(store):
    write(store, b"LVH1\x01\0\0\0" + b"\x07" * 16 + b"junk")
    assert ln.load_hash_store_binary(store) == ["07" * 16]
    assert ln.probe_hash_store(store, "07" * 16) is True


def test_load_io_errors(tmp_path):
    with pytest.raises(OSError, match=r"^No such file or directory \(os error 2\)$"):
        ln.load_hash_store_binary(str(tmp_path / "missing"))
    with pytest.raises(OSError, match=r"^Is a directory \(os error 21\)$"):
        ln.load_hash_store_binary(str(tmp_path))
    with pytest.raises(OSError):
        ln.load_hash_store_binary(str(tmp_path) + "/a\0b")


def test_argument_errors(store):
    with pytest.raises(TypeError, match=r"^argument 'hashes': "):
        ln.save_hash_store_binary(store, "ab")
    with pytest.raises(TypeError, match=r"^argument 'hashes': 'int' object cannot be converted to 'PyString'$"):
        ln.save_hash_store_binary(store, ["00" * 16, 5])
    with pytest.raises(TypeError, match=r"^argument 'hashes': 'generator' object cannot be converted to 'Sequence'$"):
        ln.save_hash_store_binary(store, (h for h in ["00" * 16]))
    with pytest.raises(TypeError, match=r"^argument 'path': 'PosixPath' object cannot be converted to 'PyString'$"):
        import pathlib
        ln.load_hash_store_binary(pathlib.Path(store))
    with pytest.raises(TypeError, match=r"^argument 'hash_hex': "):
        ln.probe_hash_store(store, b"00" * 16)
    assert not os.path.exists(store)


# --- probe ---------------------------------------------------------------------

def test_probe_unreadable_files(tmp_path, store):
    missing = str(tmp_path / "missing")
    assert ln.probe_hash_store(missing, "00" * 16) is None
    assert ln.probe_hash_store(missing, "00" * 15) is False  # invalid input: no file access
    assert ln.probe_hash_store(str(tmp_path), "00" * 16) is None
    assert ln.probe_hash_store(store + "\0x", "00" * 16) is None
    write(store, b"LVH1\0\0\0")
    assert ln.probe_hash_store(store, "00" * 16) is None
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    assert ln.probe_hash_store(fifo, "00" * 16) is None  # and does not wait for a writer


def test_probe_follows_the_binary_search_on_unsorted_files(store):
    a, b, c = b"\x05" * 16, b"\x01" * 16, b"\x09" * 16
    write(store, b"LVH1\x03\0\0\0" + a + b + c)
    # The middle entry (b) is smaller than a, so the search goes right and misses a.
    assert ln.probe_hash_store(store, a.hex()) is False
    assert ln.probe_hash_store(store, b.hex()) is True
    assert ln.probe_hash_store(store, c.hex()) is True


def test_probe_survives_a_file_rewritten_in_place(tmp_path, store):
    # One process truncates and rewrites the store in place while another
    # probes it; the prober must never die (a mapping would fault on the
    # truncated pages) and answers only True, False or None.
    rng = random.Random(3)
    hashes = [rng.randbytes(16).hex() for _ in range(100_000)]
    ln.save_hash_store_binary(store, hashes)
    writer = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import time
        path = {store!r}
        data = open(path, "rb").read()
        end = time.monotonic() + 30
        with open(path, "r+b", buffering=0) as f:
            while time.monotonic() < end:
                f.truncate(0)
                f.seek(0)
                for i in range(0, len(data), 65536):
                    f.write(data[i:i + 65536])
    """)])
    try:
        prober = subprocess.run([sys.executable, "-c", textwrap.dedent(f"""
            import time, lorvex_native as ln
            hashes = {hashes[:50]!r}
            seen = set()
            end = time.monotonic() + 1.5
            while time.monotonic() < end:
                for h in hashes:
                    seen.add(ln.probe_hash_store({store!r}, h))
            assert seen <= {{True, False, None}}, seen
            print(sorted(map(repr, seen)))
        """)], capture_output=True, text=True, timeout=60)
    finally:
        writer.kill()
        writer.wait()
    assert prober.returncode == 0, (prober.returncode, prober.stderr)


# --- atomic save -----------------------------------------------------------------

def run_isolated(code):
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, (out.returncode, out.stderr)
    return out.stdout


def test_failed_save_keeps_the_old_store(tmp_path, store):
    ln.save_hash_store_binary(store, ["%032x" % i for i in range(10)])
    before = read(store)
    stdout = run_isolated(f"""
        import resource, signal, lorvex_native as ln
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        try:
            ln.save_hash_store_binary({store!r}, ["%032x" % i for i in range(1000)])
        except OSError as e:
            print(e)
        else:
            print("saved")
    """)
    assert stdout.strip() == "File too large (os error 27)"
    assert read(store) == before
    assert os.listdir(tmp_path) == ["hashes.bin"]  # no temporary file left


def test_save_keeps_permissions(tmp_path, store):
    ln.save_hash_store_binary(store, [])
    os.chmod(store, 0o640)
    ln.save_hash_store_binary(store, ["11" * 16])
    assert stat.S_IMODE(os.stat(store).st_mode) == 0o640
    assert read(store) == image_model(["11" * 16])
    fresh = str(tmp_path / "fresh.bin")
    old = os.umask(0o027)
    try:
        ln.save_hash_store_binary(fresh, [])
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(fresh).st_mode) == 0o640


def test_save_through_symbolic_links(tmp_path):
    real_dir = tmp_path / "real"
    real_dir.mkdir()
    target = real_dir / "store.bin"
    ln.save_hash_store_binary(str(target), [])
    link = tmp_path / "link.bin"
    os.symlink("real/store.bin", link)  # relative to the link's directory
    chain = tmp_path / "chain.bin"
    os.symlink(link.name, chain)
    ln.save_hash_store_binary(str(chain), ["22" * 16])
    assert os.path.islink(link) and os.path.islink(chain)
    assert read(target) == image_model(["22" * 16])
    dangling = tmp_path / "dangling.bin"
    os.symlink("real/new.bin", dangling)
    ln.save_hash_store_binary(str(dangling), ["33" * 16])
    assert os.path.islink(dangling)
    assert read(real_dir / "new.bin") == image_model(["33" * 16])
    loop = tmp_path / "loop"
    os.symlink("loop", loop)
    with pytest.raises(OSError, match=r"\(os error 40\)$"):
        ln.save_hash_store_binary(str(loop), [])
    assert sorted(os.listdir(real_dir)) == ["new.bin", "store.bin"]


def test_save_io_errors(tmp_path):
    with pytest.raises(OSError, match=r"^No such file or directory \(os error 2\)$"):
        ln.save_hash_store_binary(str(tmp_path / "no" / "such.bin"), [])
    with pytest.raises(OSError, match=r"^No such file or directory \(os error 2\)$"):
        ln.save_hash_store_binary("", [])
    with pytest.raises(OSError, match=r"^Is a directory \(os error 21\)$"):
        ln.save_hash_store_binary(str(tmp_path), [])
    with pytest.raises(OSError):
        ln.save_hash_store_binary(str(tmp_path / "a\0b"), [])
    assert os.listdir(tmp_path) == []


def test_save_to_a_pipe_writes_in_place(tmp_path):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(read(fifo)), daemon=True)
    reader.start()
    try:
        ln.save_hash_store_binary(fifo, ["00" * 16])
    finally:
        reader.join(10)
        if reader.is_alive():  # release the reader if the save never opened the pipe
            os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
    assert received == [image_model(["00" * 16])]
