// SHA-256 block function on the x86 SHA extensions, chosen at run time when
// the processor reports them (CPUID leaf 7: SHA; leaf 1: SSSE3, SSE4.1).
#include "persist/digest.hpp"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))

#include <cpuid.h>
#include <immintrin.h>

#include <utility>

#define LVX_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

namespace lvx::persist::detail {
namespace {

// Four rounds (group g of 16) on the message words held in m[0..3]; the
// message schedule for later groups is advanced in the same step, so that
// SHA256MSG1/MSG2 overlap with the rounds.
template <int g>
LVX_SHA_TARGET inline __attribute__((always_inline)) void four_rounds(__m128i& abef, __m128i& cdgh, __m128i (&m)[4]) {
    __m128i msg = _mm_add_epi32(m[g % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSha256K + 4 * g)));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
    if constexpr (g >= 3 && g <= 14) {
        const __m128i t = _mm_alignr_epi8(m[g % 4], m[(g + 3) % 4], 4);
        m[(g + 1) % 4] = _mm_add_epi32(m[(g + 1) % 4], t);
        m[(g + 1) % 4] = _mm_sha256msg2_epu32(m[(g + 1) % 4], m[g % 4]);
    }
    msg = _mm_shuffle_epi32(msg, 0x0E);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, msg);
    if constexpr (g >= 1 && g <= 12) {
        m[(g + 3) % 4] = _mm_sha256msg1_epu32(m[(g + 3) % 4], m[g % 4]);
    }
}

template <int... G>
LVX_SHA_TARGET inline __attribute__((always_inline)) void all_rounds(__m128i& abef, __m128i& cdgh, __m128i (&m)[4],
                                                                    std::integer_sequence<int, G...>) {
    (four_rounds<G>(abef, cdgh, m), ...);
}

LVX_SHA_TARGET void sha256_blocks_shani(std::uint32_t st[8], const std::uint8_t* p, std::size_t nblocks) noexcept {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    // The round instructions keep the state as (A,B,E,F) and (C,D,G,H).
    __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(st));    // A B C D (low to high)
    __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(st + 4));  // E F G H
    t = _mm_shuffle_epi32(t, 0xB1);                                          // B A D C
    s1 = _mm_shuffle_epi32(s1, 0x1B);                                        // H G F E
    __m128i abef = _mm_alignr_epi8(t, s1, 8);                                // F E B A
    __m128i cdgh = _mm_blend_epi16(s1, t, 0xF0);                             // H G D C

    for (; nblocks > 0; --nblocks, p += 64) {
        const __m128i abef_in = abef;
        const __m128i cdgh_in = cdgh;
        __m128i m[4];
        for (int i = 0; i < 4; ++i) {
            m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i)), byte_swap);
        }
        all_rounds(abef, cdgh, m, std::make_integer_sequence<int, 16>{});
        abef = _mm_add_epi32(abef, abef_in);
        cdgh = _mm_add_epi32(cdgh, cdgh_in);
    }

    t = _mm_shuffle_epi32(abef, 0x1B);        // A B E F
    cdgh = _mm_shuffle_epi32(cdgh, 0xB1);     // G H C D
    abef = _mm_blend_epi16(t, cdgh, 0xF0);    // A B C D
    cdgh = _mm_alignr_epi8(cdgh, t, 8);       // E F G H
    _mm_storeu_si128(reinterpret_cast<__m128i*>(st), abef);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(st + 4), cdgh);
}

bool cpu_has_sha_extensions() noexcept {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = (c & (1u << 9)) != 0;
    const bool sse41 = (c & (1u << 19)) != 0;
    __cpuid_count(7, 0, a, b, c, d);
    const bool sha = (b & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

}  // namespace

Sha256Blocks sha256_blocks_accelerated() noexcept {
    return cpu_has_sha_extensions() ? &sha256_blocks_shani : nullptr;
}

}  // namespace lvx::persist::detail

#else

namespace lvx::persist::detail {
Sha256Blocks sha256_blocks_accelerated() noexcept { return nullptr; }
}  // namespace lvx::persist::detail

#endif
