// Alias-grouping kernel, compiled for AVX-512, AVX2 and the SSE2 baseline and
// chosen once at run time. The arithmetic is the same in all three: lane-wise
// single-precision multiply, then add (the build forbids contraction into
// fused multiply-adds).
#include "ranking/alias_kernel.hpp"

namespace lvx::ranking {
namespace {

typedef float v4f __attribute__((vector_size(16)));
typedef float v8f __attribute__((vector_size(32)));
typedef float v16f __attribute__((vector_size(64)));

// V: the native vector of the instruction set (W lanes); a panel of 16 rows
// is 16 / W vectors. NR rows of the block advance against NP panels at once.
template <class V, int NR, int NP>
[[gnu::always_inline]] inline void kernel_body(const AliasKernelArgs& a) {
    constexpr int W = static_cast<int>(sizeof(V) / sizeof(float));
    constexpr int K = 16 / W;
    const std::size_t stride = a.stride;
    // Element i of row row0 + r sits in the row's own panel at lane (row0 + r) % 16.
    const float* row_base = a.panels + (a.row0 / 16) * stride + (a.row0 % 16);
    const V thr = V{} + a.threshold;

    for (std::size_t p = a.panel_begin; p < a.panel_end; p += NP) {
        const std::size_t np = (a.panel_end - p) < static_cast<std::size_t>(NP) ? (a.panel_end - p) : NP;
        V acc[NR][NP * K];
        for (int r = 0; r < NR; ++r) {
            for (int q = 0; q < NP * K; ++q) acc[r][q] = V{};
        }
        const float* pan[NP];
        for (int q = 0; q < NP; ++q) {
            // A short last step repeats its first panel; those lanes are not stored.
            pan[q] = a.panels + (p + (static_cast<std::size_t>(q) < np ? q : 0)) * stride;
        }
        for (std::size_t i = 0; i < a.length; ++i) {
            V b[NP * K];
            for (int q = 0; q < NP; ++q) {
                for (int h = 0; h < K; ++h) __builtin_memcpy(&b[q * K + h], pan[q] + i * 16 + h * W, sizeof(V));
            }
            for (int r = 0; r < NR; ++r) {
                const float x = row_base[i * 16 + r];
                for (int q = 0; q < NP * K; ++q) acc[r][q] = acc[r][q] + x * b[q];
            }
        }
        for (int r = 0; r < NR; ++r) {
            for (int q = 0; q < NP && static_cast<std::size_t>(q) < np; ++q) {
                unsigned mask = 0;
                for (int h = 0; h < K; ++h) {
                    const auto pass = acc[r][q * K + h] >= thr;
                    for (int l = 0; l < W; ++l) mask |= static_cast<unsigned>(pass[l] & 1) << (h * W + l);
                }
                a.masks[static_cast<std::size_t>(r) * a.mask_stride + p + q] = static_cast<std::uint16_t>(mask);
            }
        }
    }
}

__attribute__((target("avx512f"))) void kernel_avx512(const AliasKernelArgs& a) { kernel_body<v16f, 8, 2>(a); }
__attribute__((target("avx2"))) void kernel_avx2(const AliasKernelArgs& a) { kernel_body<v8f, 4, 1>(a); }
void kernel_sse2(const AliasKernelArgs& a) { kernel_body<v4f, 2, 1>(a); }

struct Choice {
    void (*fn)(const AliasKernelArgs&);
    std::size_t rows;
    const char* isa;
};

const Choice& choice() {
    static const Choice c = [] {
#if defined(LORVEX_ALIAS_ISA)  // development builds: 1 = sse2, 2 = avx2, 3 = avx512f
        if (LORVEX_ALIAS_ISA == 1) return Choice{&kernel_sse2, 2, "sse2"};
        if (LORVEX_ALIAS_ISA == 2) return Choice{&kernel_avx2, 4, "avx2"};
#endif
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f")) return Choice{&kernel_avx512, 8, "avx512f"};
        if (__builtin_cpu_supports("avx2")) return Choice{&kernel_avx2, 4, "avx2"};
        return Choice{&kernel_sse2, 2, "sse2"};
    }();
    return c;
}

}  // namespace

std::size_t alias_kernel_rows() { return choice().rows; }
void alias_kernel(const AliasKernelArgs& a) { choice().fn(a); }
const char* alias_kernel_isa() { return choice().isa; }

}  // namespace lvx::ranking
