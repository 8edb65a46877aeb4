// The hash store file: a sorted array of 16-byte MD5 digests behind an
// 8-byte header ("LVH1", entry count as unsigned 32-bit little-endian).
// save_hash_store_binary writes it, load_hash_store_binary reads it back as
// hex texts, probe_hash_store binary-searches it on disk.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "module/core.hpp"
#include "persist/digest.hpp"
#include "persist/hash_store_io.hpp"
#include "text/unicode.hpp"

namespace lvx::persist {
namespace {

constexpr char kMagic[4] = {'L', 'V', 'H', '1'};
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kEntrySize = 16;

using Entry = std::array<std::uint8_t, kEntrySize>;

// Value of each byte as a hex digit, -1 for bytes that are not one.
constexpr std::array<std::int8_t, 256> kHexValue = [] {
    std::array<std::int8_t, 256> t{};
    for (int c = 0; c < 256; ++c) {
        t[c] = c >= '0' && c <= '9' ? static_cast<std::int8_t>(c - '0')
               : c >= 'a' && c <= 'f' ? static_cast<std::int8_t>(c - 'a' + 10)
               : c >= 'A' && c <= 'F' ? static_cast<std::int8_t>(c - 'A' + 10)
                                      : std::int8_t{-1};
    }
    return t;
}();

// Reads a hex digest input: trimmed of white space, exactly 32 bytes, made of
// 16 groups that are either two hex digits or "+" and one hex digit.
bool decode_hex_digest(std::string_view s, Entry& out) noexcept {
    s = text::trim_white_space(s);
    if (s.size() != 2 * kEntrySize) return false;
    int bad = 0;
    for (std::size_t i = 0; i < kEntrySize; ++i) {
        const auto c0 = static_cast<unsigned char>(s[2 * i]);
        const int hi = c0 == '+' ? 0 : kHexValue[c0];
        const int lo = kHexValue[static_cast<unsigned char>(s[2 * i + 1])];
        bad |= hi | lo;  // negative when either is not a digit
        out[i] = static_cast<std::uint8_t>(static_cast<unsigned>(hi) << 4 | static_cast<unsigned>(lo));
    }
    return bad >= 0;
}

// An entry as two big-endian halves: integer order is byte order.
struct SortKey {
    std::uint64_t hi, lo;
    bool operator<(const SortKey& o) const noexcept { return hi < o.hi || (hi == o.hi && lo < o.lo); }
};

SortKey sort_key(const Entry& e) noexcept {
    SortKey k{0, 0};
    for (std::size_t i = 0; i < 8; ++i) {
        k.hi = k.hi << 8 | e[i];
        k.lo = k.lo << 8 | e[8 + i];
    }
    return k;
}

void store_key(const SortKey& k, std::uint8_t* out) noexcept {
    for (std::size_t i = 0; i < 8; ++i) {
        out[i] = static_cast<std::uint8_t>(k.hi >> (56 - 8 * i));
        out[8 + i] = static_cast<std::uint8_t>(k.lo >> (56 - 8 * i));
    }
}

std::uint32_t load_le32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Ascending order. Large inputs are first distributed by their top 16 bits
// (digests are evenly spread), then each small bucket is sorted.
void sort_keys(std::vector<SortKey>& keys) {
    constexpr std::size_t kBuckets = std::size_t{1} << 16;
    if (keys.size() < kBuckets) {
        std::sort(keys.begin(), keys.end());
        return;
    }
    std::vector<std::size_t> start(kBuckets + 1, 0);
    for (const SortKey& k : keys) ++start[(k.hi >> 48) + 1];
    for (std::size_t b = 0; b < kBuckets; ++b) start[b + 1] += start[b];
    std::vector<SortKey> out(keys.size());
    std::vector<std::size_t> next(start.begin(), start.end() - 1);
    for (const SortKey& k : keys) out[next[k.hi >> 48]++] = k;
    for (std::size_t b = 0; b < kBuckets; ++b) {
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(start[b]),
                  out.begin() + static_cast<std::ptrdiff_t>(start[b + 1]));
    }
    keys.swap(out);
}

// ---------------------------------------------------------------------------

PyObject* save_hash_store_binary(Args args) {
    const std::vector<std::string>& hashes = args[1].texts;
    std::vector<SortKey> entries;
    entries.reserve(hashes.size());
    Entry e;
    for (const std::string& h : hashes) {
        if (decode_hex_digest(h, e)) entries.push_back(sort_key(e));
    }
    if (entries.size() > UINT32_MAX) {
        raise(PyExc_ValueError, "too many hashes for the hash store: " + std::to_string(entries.size()) +
                                    " valid digests, at most 4294967295 fit its count field");
    }
    // Lexicographic byte order; equal digests are identical, so the sort
    // needs no stability.
    sort_keys(entries);

    const auto n = static_cast<std::uint32_t>(entries.size());
    std::string image(kHeaderSize + kEntrySize * entries.size(), '\0');
    std::memcpy(image.data(), kMagic, 4);
    for (int i = 0; i < 4; ++i) image[4 + i] = static_cast<char>((n >> (8 * i)) & 0xFF);
    auto* at = reinterpret_cast<std::uint8_t*>(image.data()) + kHeaderSize;
    for (const SortKey& k : entries) {
        store_key(k, at);
        at += kEntrySize;
    }

    replace_file(args[0].text, image);
    return none().release();
}

// ---------------------------------------------------------------------------

PyObject* load_hash_store_binary(Args args) {
    const std::string_view path = args[0].text;
    if (path.find('\0') != std::string_view::npos) raise_io_error("path contains a NUL byte");
    FileDescriptor fd(::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) raise_os_error(errno);

    std::uint8_t header[kHeaderSize];
    const std::int64_t got = read_full(fd.get(), header, sizeof header);
    if (got < 0) raise_os_error(static_cast<int>(-got));
    if (got < static_cast<std::int64_t>(kHeaderSize) || std::memcmp(header, kMagic, 4) != 0) {
        raise(PyExc_ValueError, "invalid hash store binary format");
    }
    const std::uint32_t n = load_le32(header + 4);
    const std::size_t need = kEntrySize * static_cast<std::size_t>(n);

    // A regular file too short for its count is refused before anything is
    // allocated for it; other files are read in slices up to the count.
    struct stat st;
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::uint64_t>(st.st_size) < kHeaderSize + static_cast<std::uint64_t>(need)) {
        raise(PyExc_ValueError, "truncated hash store binary file");
    }
    std::vector<std::uint8_t> body;
    while (body.size() < need) {
        const std::size_t at = body.size();
        const std::size_t slice = std::min(need - at, std::max<std::size_t>(at, std::size_t{1} << 20));
        body.resize(at + slice);
        const std::int64_t r = read_full(fd.get(), body.data() + at, slice);
        if (r < 0) raise_os_error(static_cast<int>(-r));
        if (static_cast<std::size_t>(r) < slice) raise(PyExc_ValueError, "truncated hash store binary file");
    }
    fd.close();

    Ref out = new_list(static_cast<Py_ssize_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        list_set(out.get(), static_cast<Py_ssize_t>(i), hex_text(body.data() + kEntrySize * i, kEntrySize));
    }
    return out.release();
}

// ---------------------------------------------------------------------------

// Ranges of at most this many entries are read with one pread and searched
// in memory (4 KiB).
constexpr std::uint64_t kSearchWindow = 256;

enum class Probe { Found, Missing, Unreadable };

// Binary search of the n entries after the header for target. The entries
// are read with positioned reads, never mapped, so a file that shrinks or
// changes under the search reads as unreadable or as a miss instead of
// faulting.
Probe search_entries(int fd, std::uint64_t n, const Entry& target) {
    std::uint64_t lo = 0, hi = n;
    std::uint8_t window[kSearchWindow * kEntrySize];
    std::uint64_t window_lo = 0, window_hi = 0;  // entries held in `window`
    while (lo < hi) {
        if (window_hi == window_lo && hi - lo <= kSearchWindow) {
            const std::size_t bytes = static_cast<std::size_t>(hi - lo) * kEntrySize;
            const auto at = static_cast<off_t>(kHeaderSize + lo * kEntrySize);
            if (pread_full(fd, window, bytes, at) != static_cast<std::int64_t>(bytes)) return Probe::Unreadable;
            window_lo = lo;
            window_hi = hi;
        }
        const std::uint64_t mid = lo + (hi - lo) / 2;
        const std::uint8_t* entry;
        std::uint8_t single[kEntrySize];
        if (mid >= window_lo && mid < window_hi) {
            entry = window + (mid - window_lo) * kEntrySize;
        } else {
            const auto at = static_cast<off_t>(kHeaderSize + mid * kEntrySize);
            if (pread_full(fd, single, kEntrySize, at) != static_cast<std::int64_t>(kEntrySize)) {
                return Probe::Unreadable;
            }
            entry = single;
        }
        const int c = std::memcmp(entry, target.data(), kEntrySize);
        if (c == 0) return Probe::Found;
        if (c < 0) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return Probe::Missing;
}

Probe probe_file(std::string_view path, const Entry& target) {
    if (path.find('\0') != std::string_view::npos) return Probe::Unreadable;
    // O_NONBLOCK: a pipe at the path must not block the probe (it reads as
    // empty, hence unreadable); regular files ignore the flag.
    FileDescriptor fd(::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return Probe::Unreadable;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return Probe::Unreadable;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (st.st_size < 0 || size < kHeaderSize) return Probe::Unreadable;
    std::uint8_t header[kHeaderSize];
    if (pread_full(fd.get(), header, kHeaderSize, 0) != static_cast<std::int64_t>(kHeaderSize)) {
        return Probe::Unreadable;
    }
    if (std::memcmp(header, kMagic, 4) != 0) return Probe::Unreadable;
    const std::uint64_t n = load_le32(header + 4);
    if (size < kHeaderSize + kEntrySize * n) return Probe::Unreadable;
    return search_entries(fd.get(), n, target);
}

PyObject* probe_hash_store(Args args) {
    Entry target;
    if (!decode_hex_digest(args[1].text, target)) return to_py_bool(false).release();
    switch (probe_file(args[0].text, target)) {
        case Probe::Found:
            return to_py_bool(true).release();
        case Probe::Missing:
            return to_py_bool(false).release();
        case Probe::Unreadable:
            break;
    }
    return none().release();
}

// ---------------------------------------------------------------------------

constexpr Param kSaveParams[] = {required("path", Kind::Text), required("hashes", Kind::SeqText)};
constexpr Param kLoadParams[] = {required("path", Kind::Text)};
constexpr Param kProbeParams[] = {required("path", Kind::Text), required("hash_hex", Kind::Text)};

const FunctionSpec fn_save_hash_store_binary{
    "save_hash_store_binary",
    "save_hash_store_binary(path, hashes)\n--\n\n"
    "Write MD5 hex hashes to a binary file.\n"
    "\n"
    "Binary layout:\n"
    "  bytes 0\xe2\x80\x93" "3   magic  b\"LVH1\"\n"
    "  bytes 4\xe2\x80\x93" "7   count  uint32 little-endian\n"
    "  bytes 8+    N\xc3\x97" "16   raw MD5 bytes, sorted lexicographically",
    kSaveParams,
    &save_hash_store_binary,
};
LVX_REGISTER_FUNCTION(fn_save_hash_store_binary);

const FunctionSpec fn_load_hash_store_binary{
    "load_hash_store_binary",
    "load_hash_store_binary(path)\n--\n\n"
    "Load binary hash store; returns list of hex strings (for Python set compat).",
    kLoadParams,
    &load_hash_store_binary,
};
LVX_REGISTER_FUNCTION(fn_load_hash_store_binary);

const FunctionSpec fn_probe_hash_store{
    "probe_hash_store",
    "probe_hash_store(path, hash_hex)\n--\n\n"
    "Probe binary hash store for membership without loading all hashes into Python.\n"
    "\n"
    "Opens the file via mmap and binary-searches for `hash_hex`.\n"
    "Returns `True` if found, `False` if not found, `None` if file is missing\n"
    "or unreadable (Python falls back).",
    kProbeParams,
    &probe_hash_store,
};
LVX_REGISTER_FUNCTION(fn_probe_hash_store);

}  // namespace
}  // namespace lvx::persist
