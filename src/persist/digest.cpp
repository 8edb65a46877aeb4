// Content digests: MD5 and SHA-256 of a text's UTF-8 bytes, and the
// compute_doc_hash / compute_sha256 functions built on them.
#include "persist/digest.hpp"

#include <bit>
#include <cstdlib>
#include <cstring>

#include "text/unicode.hpp"

namespace lvx::persist {
namespace {

inline std::uint32_t load_le32(const std::uint8_t* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}
inline std::uint32_t load_be32(const std::uint8_t* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
    return v;
}
inline void store_le32(std::uint8_t* p, std::uint32_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}
inline void store_be32(std::uint8_t* p, std::uint32_t v) noexcept {
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}
inline void store_le64(std::uint8_t* p, std::uint64_t v) noexcept {
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}
inline void store_be64(std::uint8_t* p, std::uint64_t v) noexcept {
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

// Both digests pad the same way: the message, a 0x80 byte, zeros up to 56
// mod 64, then the bit length as a 64-bit integer (little-endian for MD5,
// big-endian for SHA-256). `blocks` processes whole 64-byte blocks.
template <class Blocks>
void run_padded(std::string_view data, bool big_endian_length, Blocks&& blocks) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(data.data());
    const std::size_t n = data.size();
    const std::size_t whole = n / 64;
    if (whole > 0) blocks(p, whole);
    const std::size_t rest = n - whole * 64;
    std::uint8_t tail[128] = {};
    if (rest > 0) std::memcpy(tail, p + whole * 64, rest);
    tail[rest] = 0x80;
    const std::size_t tail_len = rest < 56 ? 64 : 128;
    const std::uint64_t bits = static_cast<std::uint64_t>(n) << 3;
    if (big_endian_length) {
        store_be64(tail + tail_len - 8, bits);
    } else {
        store_le64(tail + tail_len - 8, bits);
    }
    blocks(tail, tail_len / 64);
}

// --- MD5 ---------------------------------------------------------------------

inline std::uint32_t rotl(std::uint32_t x, int s) noexcept { return std::rotl(x, s); }

// One step: a = b + ((a + f + m + k) <<< s).
#define LVX_MD5_STEP(a, b, f, m, k, s) (a) = (b) + rotl((a) + (f) + (m) + (k), (s))
// F(b,c,d) = (b & c) | (~b & d), written with one operation less.
#define LVX_MD5_F(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
// G(b,c,d) = (b & d) | (c & ~d); the two halves never share a bit, so they can
// be added separately, which shortens the dependency chain on b.
#define LVX_MD5_G1(b, c, d) ((c) & ~(d))
#define LVX_MD5_G2(b, c, d) ((b) & (d))
#define LVX_MD5_H(b, c, d) ((b) ^ (c) ^ (d))
#define LVX_MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))

void md5_blocks(std::uint32_t st[4], const std::uint8_t* p, std::size_t nblocks) noexcept {
    std::uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
    for (; nblocks > 0; --nblocks, p += 64) {
        std::uint32_t m[16];
        for (int i = 0; i < 16; ++i) m[i] = load_le32(p + 4 * i);
        const std::uint32_t a0 = a, b0 = b, c0 = c, d0 = d;

#define F_(a, b, c, d, i, k, s) LVX_MD5_STEP(a, b, LVX_MD5_F(b, c, d), m[i], k, s)
        F_(a, b, c, d, 0, 0xd76aa478u, 7);
        F_(d, a, b, c, 1, 0xe8c7b756u, 12);
        F_(c, d, a, b, 2, 0x242070dbu, 17);
        F_(b, c, d, a, 3, 0xc1bdceeeu, 22);
        F_(a, b, c, d, 4, 0xf57c0fafu, 7);
        F_(d, a, b, c, 5, 0x4787c62au, 12);
        F_(c, d, a, b, 6, 0xa8304613u, 17);
        F_(b, c, d, a, 7, 0xfd469501u, 22);
        F_(a, b, c, d, 8, 0x698098d8u, 7);
        F_(d, a, b, c, 9, 0x8b44f7afu, 12);
        F_(c, d, a, b, 10, 0xffff5bb1u, 17);
        F_(b, c, d, a, 11, 0x895cd7beu, 22);
        F_(a, b, c, d, 12, 0x6b901122u, 7);
        F_(d, a, b, c, 13, 0xfd987193u, 12);
        F_(c, d, a, b, 14, 0xa679438eu, 17);
        F_(b, c, d, a, 15, 0x49b40821u, 22);
#undef F_
#define G_(a, b, c, d, i, k, s) \
    (a) = (b) + rotl((a) + LVX_MD5_G1(b, c, d) + (m[i] + (k)) + LVX_MD5_G2(b, c, d), (s))
        G_(a, b, c, d, 1, 0xf61e2562u, 5);
        G_(d, a, b, c, 6, 0xc040b340u, 9);
        G_(c, d, a, b, 11, 0x265e5a51u, 14);
        G_(b, c, d, a, 0, 0xe9b6c7aau, 20);
        G_(a, b, c, d, 5, 0xd62f105du, 5);
        G_(d, a, b, c, 10, 0x02441453u, 9);
        G_(c, d, a, b, 15, 0xd8a1e681u, 14);
        G_(b, c, d, a, 4, 0xe7d3fbc8u, 20);
        G_(a, b, c, d, 9, 0x21e1cde6u, 5);
        G_(d, a, b, c, 14, 0xc33707d6u, 9);
        G_(c, d, a, b, 3, 0xf4d50d87u, 14);
        G_(b, c, d, a, 8, 0x455a14edu, 20);
        G_(a, b, c, d, 13, 0xa9e3e905u, 5);
        G_(d, a, b, c, 2, 0xfcefa3f8u, 9);
        G_(c, d, a, b, 7, 0x676f02d9u, 14);
        G_(b, c, d, a, 12, 0x8d2a4c8au, 20);
#undef G_
#define H_(a, b, c, d, i, k, s) LVX_MD5_STEP(a, b, LVX_MD5_H(b, c, d), m[i], k, s)
        H_(a, b, c, d, 5, 0xfffa3942u, 4);
        H_(d, a, b, c, 8, 0x8771f681u, 11);
        H_(c, d, a, b, 11, 0x6d9d6122u, 16);
        H_(b, c, d, a, 14, 0xfde5380cu, 23);
        H_(a, b, c, d, 1, 0xa4beea44u, 4);
        H_(d, a, b, c, 4, 0x4bdecfa9u, 11);
        H_(c, d, a, b, 7, 0xf6bb4b60u, 16);
        H_(b, c, d, a, 10, 0xbebfbc70u, 23);
        H_(a, b, c, d, 13, 0x289b7ec6u, 4);
        H_(d, a, b, c, 0, 0xeaa127fau, 11);
        H_(c, d, a, b, 3, 0xd4ef3085u, 16);
        H_(b, c, d, a, 6, 0x04881d05u, 23);
        H_(a, b, c, d, 9, 0xd9d4d039u, 4);
        H_(d, a, b, c, 12, 0xe6db99e5u, 11);
        H_(c, d, a, b, 15, 0x1fa27cf8u, 16);
        H_(b, c, d, a, 2, 0xc4ac5665u, 23);
#undef H_
#define I_(a, b, c, d, i, k, s) LVX_MD5_STEP(a, b, LVX_MD5_I(b, c, d), m[i], k, s)
        I_(a, b, c, d, 0, 0xf4292244u, 6);
        I_(d, a, b, c, 7, 0x432aff97u, 10);
        I_(c, d, a, b, 14, 0xab9423a7u, 15);
        I_(b, c, d, a, 5, 0xfc93a039u, 21);
        I_(a, b, c, d, 12, 0x655b59c3u, 6);
        I_(d, a, b, c, 3, 0x8f0ccc92u, 10);
        I_(c, d, a, b, 10, 0xffeff47du, 15);
        I_(b, c, d, a, 1, 0x85845dd1u, 21);
        I_(a, b, c, d, 8, 0x6fa87e4fu, 6);
        I_(d, a, b, c, 15, 0xfe2ce6e0u, 10);
        I_(c, d, a, b, 6, 0xa3014314u, 15);
        I_(b, c, d, a, 13, 0x4e0811a1u, 21);
        I_(a, b, c, d, 4, 0xf7537e82u, 6);
        I_(d, a, b, c, 11, 0xbd3af235u, 10);
        I_(c, d, a, b, 2, 0x2ad7d2bbu, 15);
        I_(b, c, d, a, 9, 0xeb86d391u, 21);
#undef I_
        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    st[0] = a;
    st[1] = b;
    st[2] = c;
    st[3] = d;
}

#undef LVX_MD5_STEP
#undef LVX_MD5_F
#undef LVX_MD5_G1
#undef LVX_MD5_G2
#undef LVX_MD5_H
#undef LVX_MD5_I

// --- SHA-256 -------------------------------------------------------------------

inline std::uint32_t rotr(std::uint32_t x, int s) noexcept { return std::rotr(x, s); }

detail::Sha256Blocks select_sha256_blocks() noexcept {
    // LORVEX_NATIVE_PORTABLE_SHA256=1 in the environment keeps the portable
    // block function even on processors with SHA instructions, so that both
    // paths can be checked on one machine.
    const char* force = std::getenv("LORVEX_NATIVE_PORTABLE_SHA256");
    if (force == nullptr || force[0] == '\0' || std::strcmp(force, "0") == 0) {
        if (detail::Sha256Blocks f = detail::sha256_blocks_accelerated()) return f;
    }
    return &detail::sha256_blocks_portable;
}

const char kHexDigits[] = "0123456789abcdef";

}  // namespace

namespace detail {

const std::uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

void sha256_blocks_portable(std::uint32_t st[8], const std::uint8_t* p, std::size_t nblocks) noexcept {
    for (; nblocks > 0; --nblocks, p += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) w[i] = load_be32(p + 4 * i);
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
        std::uint32_t e = st[4], f = st[5], g = st[6], h = st[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t S1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
            const std::uint32_t ch = g ^ (e & (f ^ g));
            const std::uint32_t t1 = h + S1 + ch + kSha256K[i] + w[i];
            const std::uint32_t S0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
            const std::uint32_t maj = (a & b) | (c & (a | b));
            const std::uint32_t t2 = S0 + maj;
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        st[0] += a;
        st[1] += b;
        st[2] += c;
        st[3] += d;
        st[4] += e;
        st[5] += f;
        st[6] += g;
        st[7] += h;
    }
}

}  // namespace detail

void md5(std::string_view data, std::uint8_t out[16]) noexcept {
    std::uint32_t st[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    run_padded(data, false, [&](const std::uint8_t* p, std::size_t n) { md5_blocks(st, p, n); });
    for (int i = 0; i < 4; ++i) store_le32(out + 4 * i, st[i]);
}

void sha256(std::string_view data, std::uint8_t out[32]) noexcept {
    static const detail::Sha256Blocks blocks = select_sha256_blocks();
    std::uint32_t st[8] = {0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
                           0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u};
    run_padded(data, true, [&](const std::uint8_t* p, std::size_t n) { blocks(st, p, n); });
    for (int i = 0; i < 8; ++i) store_be32(out + 4 * i, st[i]);
}

void hex_lower(const std::uint8_t* in, std::size_t n, char* out) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = kHexDigits[in[i] >> 4];
        out[2 * i + 1] = kHexDigits[in[i] & 0x0F];
    }
}

Ref hex_text(const std::uint8_t* in, std::size_t n) {
    Ref s = Ref::checked(PyUnicode_New(static_cast<Py_ssize_t>(2 * n), 127));
    hex_lower(in, n, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(s.get())));
    return s;
}

namespace {

PyObject* compute_doc_hash(Args args) {
    std::uint8_t digest[16];
    md5(args[0].text, digest);
    return hex_text(digest, sizeof digest).release();
}

PyObject* compute_sha256(Args args) {
    std::uint8_t digest[32];
    sha256(text::trim_white_space(args[0].text), digest);
    return hex_text(digest, sizeof digest).release();
}

constexpr Param kTextParam[] = {required("text", Kind::Text)};

const FunctionSpec fn_compute_doc_hash{
    "compute_doc_hash",
    "compute_doc_hash(text)\n--\n\n"
    "Return the MD5 hex digest of `text` \xe2\x80\x94 matches Python `hashlib.md5(text.encode()).hexdigest()`.",
    kTextParam,
    &compute_doc_hash,
};
LVX_REGISTER_FUNCTION(fn_compute_doc_hash);

const FunctionSpec fn_compute_sha256{
    "compute_sha256",
    "compute_sha256(text)\n--\n\n"
    "Return the SHA-256 hex digest of `text` (UTF-8 encoded, leading/trailing\n"
    "whitespace stripped).\n"
    "\n"
    "Mirrors: `hashlib.sha256(text.strip().encode(\"utf-8\")).hexdigest()`",
    kTextParam,
    &compute_sha256,
};
LVX_REGISTER_FUNCTION(fn_compute_sha256);

}  // namespace
}  // namespace lvx::persist
