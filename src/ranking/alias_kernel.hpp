// Single-precision dot products of one block of rows against panels of
// 16 rows, for alias grouping.
//
// Panel layout: rows are grouped by 16; panel p holds rows 16p..16p+15 with
// element i of lane l at panels[p * stride + i * 16 + l], zero padded up to
// `stride / 16` elements. Each lane accumulates its own dot product in index
// order from 0.0f (one multiply and one add per element, never fused), so
// every pair's sum is exactly the sequential single-precision sum; the SIMD
// width only decides how many pairs advance together.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lvx::ranking {

struct AliasKernelArgs {
    const float* panels;
    std::size_t stride;        // floats per panel: 16 * padded row length
    std::size_t n_panels;
    std::size_t row0;          // first row of the block (a multiple of the block height)
    std::size_t length;        // elements to accumulate (>= every row length of the block)
    std::size_t panel_begin;   // panels [panel_begin, panel_end) are compared
    std::size_t panel_end;
    float threshold;
    std::uint16_t* masks;      // masks[r * mask_stride + p]: lanes of panel p with dot >= threshold
    std::size_t mask_stride;
};

// Rows per block of the selected kernel; a divisor of 16.
std::size_t alias_kernel_rows();

// Fills masks for rows row0 .. row0 + alias_kernel_rows() - 1.
void alias_kernel(const AliasKernelArgs& a);

// Name of the instruction set the kernel uses ("avx512f", "avx2" or "sse2").
const char* alias_kernel_isa();

}  // namespace lvx::ranking
