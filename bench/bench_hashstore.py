"""Content digests and the binary hash store: ours against hashlib and pure Python.

Digests: compute_doc_hash / compute_sha256 against the hashlib one-liners they
replace, on texts of 100 B, 10 KB and 1 MB. Store: save, load and probe of a
store of --entries digests (default 1M) against pure-Python versions of the
same contract (mmap + binary search for the probe), and a single probe against
loading the store into a Python set.

Times are CPU time of the benchmark process.

Usage: python3 bench/bench_hashstore.py [--entries N] [--probes N]
"""
from __future__ import annotations

import argparse
import hashlib
import mmap
import os
import random
import struct
import subprocess
import sys
import tempfile
import time

import lorvex_native as ln
from corpus import stdlib_files

WHITE_SPACE = "".join(map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B),
                                0x2028, 0x2029, 0x202F, 0x205F, 0x3000]))
HEX = frozenset(b"0123456789abcdefABCDEF")


# --- pure-Python versions of the same contracts -------------------------------------

def md5_py(text: str) -> str:
    return hashlib.md5(text.encode()).hexdigest()


def sha256_py(text: str) -> str:
    return hashlib.sha256(text.strip(WHITE_SPACE).encode("utf-8")).hexdigest()


def decode_py(h: str) -> bytes | None:
    b = h.strip(WHITE_SPACE).encode()
    if len(b) != 32:
        return None
    return bytes.fromhex(b.decode()) if HEX.issuperset(b) else _decode_groups(b)


def _decode_groups(b: bytes) -> bytes | None:
    out = bytearray()
    for i in range(0, 32, 2):
        a, c = b[i], b[i + 1]
        if c not in HEX:
            return None
        if a == 0x2B:  # "+"
            out.append(int(chr(c), 16))
        elif a in HEX:
            out.append(int(chr(a) + chr(c), 16))
        else:
            return None
    return bytes(out)


def save_py(path: str, hashes: list[str]) -> None:
    entries = sorted(d for d in map(decode_py, hashes) if d is not None)
    image = b"LVH1" + struct.pack("<I", len(entries)) + b"".join(entries)
    tmp = f"{path}.tmp-{os.getpid()}"
    with open(tmp, "wb") as f:
        f.write(image)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


def load_py(path: str) -> list[str]:
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 8 or data[:4] != b"LVH1":
        raise ValueError("invalid hash store binary format")
    (n,) = struct.unpack_from("<I", data, 4)
    if len(data) < 8 + 16 * n:
        raise ValueError("truncated hash store binary file")
    return [data[i:i + 16].hex() for i in range(8, 8 + 16 * n, 16)]


def probe_py(path: str, hash_hex: str) -> bool | None:
    target = decode_py(hash_hex)
    if target is None:
        return False
    try:
        with open(path, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            if size <= 7:
                return None
            with mmap.mmap(f.fileno(), size, prot=mmap.PROT_READ) as m:
                if m[:4] != b"LVH1":
                    return None
                (n,) = struct.unpack_from("<I", m, 4)
                if size < 8 + 16 * n:
                    return None
                lo, hi = 0, n
                while lo < hi:
                    mid = lo + (hi - lo) // 2
                    entry = m[8 + 16 * mid:24 + 16 * mid]
                    if entry == target:
                        return True
                    if entry < target:
                        lo = mid + 1
                    else:
                        hi = mid
                return False
    except (OSError, ValueError):
        return None


# --- helpers -----------------------------------------------------------------------

# Times are CPU time of this process (time.process_time), so that other load on
# the machine inflates them less than wall-clock time would.
CLOCK = time.process_time


def per_call_pair(fa, fb, min_time: float = 0.1, repeat: int = 5) -> tuple[float, float]:
    """Best time of one call of fa and of fb, measured in alternation."""
    number = 1
    while True:
        t0 = CLOCK()
        for _ in range(number):
            fa()
        if CLOCK() - t0 >= min_time / 4 or number >= 1 << 22:
            break
        number *= 2
    number *= 4
    ta = tb = float("inf")
    for _ in range(repeat):
        for f, which in ((fa, 0), (fb, 1)):
            t0 = CLOCK()
            for _ in range(number):
                f()
            dt = (CLOCK() - t0) / number
            if which == 0:
                ta = min(ta, dt)
            else:
                tb = min(tb, dt)
    return ta, tb


def best(fn, repeat: int = 2) -> float:
    times = []
    for _ in range(repeat):
        t0 = CLOCK()
        fn()
        times.append(CLOCK() - t0)
    return min(times)


def sample_text(nbytes: int) -> str:
    """Real text (standard library sources) cut to nbytes UTF-8 bytes."""
    parts, total = [], 0
    for path in stdlib_files():
        try:
            src = path.read_text(encoding="utf-8")
        except (UnicodeDecodeError, OSError):
            continue
        parts.append(src)
        total += len(src)
        if total > nbytes * 2:
            break
    text = "".join(parts).encode()[:nbytes].decode("utf-8", "ignore")
    return text


def row(name: str, ours: float, other: float, other_name: str, unit: str = "us") -> str:
    scale = 1e6 if unit == "us" else 1e3
    return f"{name:<34}{ours * scale:>12.2f}{other * scale:>14.2f}{other / ours:>9.1f}x  {other_name}"


def digests() -> None:
    print(f"{'digest (per call, us)':<34}{'ours':>12}{'other':>14}{'ratio':>10}")
    throughput = []
    for size in (100, 10_000, 1_000_000):
        text = " " + sample_text(size - 2) + "\n"
        assert ln.compute_doc_hash(text) == md5_py(text)
        assert ln.compute_sha256(text) == sha256_py(text)
        label = f"{size // 10**6} MB" if size >= 10**6 else f"{size // 1000} KB" if size >= 1000 else f"{size} B"
        for name, ours_fn, py_fn, py_name in (
            ("compute_doc_hash", ln.compute_doc_hash, md5_py, "hashlib.md5(text.encode())"),
            ("compute_sha256", ln.compute_sha256, sha256_py, "hashlib.sha256(strip+encode)"),
        ):
            ours, py = per_call_pair(lambda: ours_fn(text), lambda: py_fn(text))
            print(row(f"{name} {label}", ours, py, py_name))
            if size == 1_000_000:
                throughput.append((name, size / ours / 1e6, size / py / 1e6))
    for name, ours, py in throughput:
        print(f"{name} 1 MB throughput: ours {ours:.0f} MB/s, hashlib {py:.0f} MB/s")
    # The portable SHA-256 (no SHA instructions), for reference.
    code = ("import lorvex_native as ln, time, timeit; t = 'a' * 1_000_000;"
            "print(1 / min(timeit.repeat(lambda: ln.compute_sha256(t), number=20, repeat=3, timer=time.process_time)) * 20)")
    env = dict(os.environ, LORVEX_NATIVE_PORTABLE_SHA256="1")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    if out.returncode == 0:
        print(f"compute_sha256 1 MB, portable code path: {float(out.stdout):.0f} MB/s")


def store(entries: int, probes: int) -> None:
    rng = random.Random(42)
    hashes = [rng.randbytes(16).hex() for _ in range(entries)]
    with tempfile.TemporaryDirectory() as tmp:
        ours_path = os.path.join(tmp, "ours.bin")
        py_path = os.path.join(tmp, "py.bin")
        ln.save_hash_store_binary(ours_path, hashes)
        save_py(py_path, hashes)
        with open(ours_path, "rb") as a, open(py_path, "rb") as b:
            assert a.read() == b.read()
        assert ln.load_hash_store_binary(ours_path) == load_py(ours_path)

        print(f"\nhash store: {entries} entries ({os.path.getsize(ours_path) / 1e6:.1f} MB), page cache warm")
        print(f"{'store (ms)':<34}{'ours':>12}{'other':>14}{'ratio':>10}")
        print(row("save_hash_store_binary", best(lambda: ln.save_hash_store_binary(ours_path, hashes)),
                  best(lambda: save_py(py_path, hashes)), "python (sort + tmp/fsync/replace)", "ms"))
        print(row("load_hash_store_binary", best(lambda: ln.load_hash_store_binary(ours_path)),
                  best(lambda: load_py(ours_path)), "python (read + hex)", "ms"))

        queries = [rng.choice(hashes) if i % 2 else rng.randbytes(16).hex() for i in range(probes)]
        for q in queries[:200]:
            assert ln.probe_hash_store(ours_path, q) is probe_py(ours_path, q) is (q in set(hashes) or False)
        t0 = CLOCK()
        for q in queries:
            ln.probe_hash_store(ours_path, q)
        ours = (CLOCK() - t0) / probes
        t0 = CLOCK()
        for q in queries[: max(1, probes // 10)]:
            probe_py(ours_path, q)
        py = (CLOCK() - t0) / max(1, probes // 10)
        set_ours = best(lambda: queries[0] in set(ln.load_hash_store_binary(ours_path)))
        set_py = best(lambda: queries[0] in set(load_py(ours_path)))
        print(f"{'probe (per probe, us)':<34}{'ours':>12}{'other':>14}{'ratio':>10}")
        print(row("probe_hash_store (mean)", ours, py, "python mmap + binary search"))
        print(row("probe_hash_store (mean)", ours, set_ours, "set(load_hash_store_binary) + in"))
        print(row("probe_hash_store (mean)", ours, set_py, "set(python load) + in"))


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--entries", type=int, default=1_000_000)
    ap.add_argument("--probes", type=int, default=20_000)
    args, _ = ap.parse_known_args()
    digests()
    store(args.entries, args.probes)


if __name__ == "__main__":
    main()
