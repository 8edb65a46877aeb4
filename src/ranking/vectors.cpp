// cosine_similarity (double precision) and resolve_entity_alias_groups
// (single precision, union-find over all row pairs that reach the threshold).
#include <algorithm>
#include <cmath>

#include "ranking/alias_kernel.hpp"
#include "ranking/common.hpp"

namespace lvx::ranking {
namespace {

// --- cosine_similarity ----------------------------------------------------------

PyObject* cosine_similarity(Args args) {
    const std::vector<double>& a = args[0].floats;
    const std::vector<double>& b = args[1].floats;
    const std::size_t n = std::min(a.size(), b.size());
    if (n == 0) return to_py_float(0.0).release();
    double dot = 0.0;
    double sa = 0.0;
    double sb = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        dot = dot + a[i] * b[i];
        sa = sa + a[i] * a[i];
        sb = sb + b[i] * b[i];
    }
    const double denom = std::sqrt(sa) * std::sqrt(sb);
    if (denom < 1e-12) return to_py_float(0.0).release();
    return to_py_float(dot / denom).release();
}

constexpr Param kCosineParams[] = {
    required("a", Kind::SeqFloat),
    required("b", Kind::SeqFloat),
};

const FunctionSpec fn_cosine_similarity{
    "cosine_similarity",
    "cosine_similarity(a, b)\n--\n\n"
    "Compute cosine similarity between two float vectors.\n"
    "Returns 0.0 for zero-norm vectors (avoids div-by-zero).",
    kCosineParams,
    &cosine_similarity,
};
LVX_REGISTER_FUNCTION(fn_cosine_similarity);

// --- resolve_entity_alias_groups ---------------------------------------------------

// The accepted rows as single-precision vectors, stored one after another.
struct Rows {
    std::vector<float> data;
    std::vector<std::size_t> offset;
    std::vector<std::size_t> length;

    std::size_t size() const noexcept { return offset.size(); }
    const float* row(std::size_t p) const noexcept { return data.data() + offset[p]; }
    float* row(std::size_t p) noexcept { return data.data() + offset[p]; }
};

// Rows that are lists, element by element through the float conversion
// (0.0 when an element does not convert), then narrowed to float.
Rows read_rows(PyObject* embeddings) {
    const std::vector<Ref> items = snapshot(embeddings);
    Rows rows;
    rows.offset.reserve(items.size());
    rows.length.reserve(items.size());
    std::size_t expected = 0;
    for (const Ref& item : items) {
        if (PyList_Check(item.get())) expected += static_cast<std::size_t>(PyList_GET_SIZE(item.get()));
    }
    rows.data.reserve(expected);
    for (const Ref& item : items) {
        PyObject* row = item.get();
        if (!PyList_Check(row)) continue;
        const std::size_t start = rows.data.size();
        // The size is read at every step: a conversion may run code that
        // changes the row.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(row); ++i) {
            PyObject* x = PyList_GET_ITEM(row, i);
            double d;
            if (PyFloat_CheckExact(x)) {
                d = PyFloat_AS_DOUBLE(x);
            } else {
                Ref hold = Ref::borrow(x);
                d = float_of(x).value_or(0.0);
            }
            rows.data.push_back(static_cast<float>(d));
        }
        rows.offset.push_back(start);
        rows.length.push_back(rows.data.size() - start);
    }
    return rows;
}

void normalise(Rows& rows) {
    for (std::size_t p = 0; p < rows.size(); ++p) {
        float* v = rows.row(p);
        const std::size_t n = rows.length[p];
        float s = -0.0f;
        for (std::size_t i = 0; i < n; ++i) s = s + v[i] * v[i];
        if (s > 0.0f) {
            const float inv = 1.0f / std::sqrt(s);
            for (std::size_t i = 0; i < n; ++i) v[i] = v[i] * inv;
        }
    }
}

class DisjointSets {
public:
    explicit DisjointSets(std::size_t n) : parent_(n) {
        for (std::size_t i = 0; i < n; ++i) parent_[i] = static_cast<std::uint32_t>(i);
    }

    // Root of x, halving the path on the way.
    std::uint32_t find(std::uint32_t x) noexcept {
        while (parent_[x] != x) {
            parent_[x] = parent_[parent_[x]];
            x = parent_[x];
        }
        return x;
    }

    // Attaches the root of k's set under the root of j's set.
    void join(std::uint32_t j, std::uint32_t k) noexcept {
        const std::uint32_t rj = find(j);
        const std::uint32_t rk = find(k);
        if (rj != rk) parent_[rk] = rj;
    }

private:
    std::vector<std::uint32_t> parent_;
};

float dot_in_order(const float* a, const float* b, std::size_t m) noexcept {
    float dot = 0.0f;
    for (std::size_t i = 0; i < m; ++i) dot = dot + a[i] * b[i];
    return dot;
}

// Every pair (j, k), j < k, in order, one dot product at a time.
void join_pairs_scalar(const Rows& rows, float threshold, DisjointSets& sets) {
    const std::size_t n = rows.size();
    for (std::size_t j = 0; j < n; ++j) {
        if (rows.length[j] == 0) continue;
        for (std::size_t k = j + 1; k < n; ++k) {
            const std::size_t m = std::min(rows.length[j], rows.length[k]);
            if (m == 0) continue;
            if (dot_in_order(rows.row(j), rows.row(k), m) >= threshold) {
                sets.join(static_cast<std::uint32_t>(j), static_cast<std::uint32_t>(k));
            }
        }
    }
}

// The same pairs with many dot products at once. A row is compared against
// panels of 16 rows, with the shorter vectors of each pair padded by zeros:
// the extra terms are +-0 and leave the sum unchanged because every element
// is finite (the caller checks) and a sum started at +0 is never -0. The
// threshold tests of a tile of rows are kept as bit masks and the joins are
// then made in pair order, so the sets come out as with join_pairs_scalar.
void join_pairs_blocked(const Rows& rows, std::size_t padded_length, float threshold, DisjointSets& sets) {
    const std::size_t n = rows.size();
    const std::size_t n_panels = (n + 15) / 16;
    const std::size_t stride = padded_length * 16;
    std::vector<float> panels(n_panels * stride, 0.0f);
    for (std::size_t r = 0; r < n; ++r) {
        float* dst = panels.data() + (r / 16) * stride + (r % 16);
        const float* src = rows.row(r);
        for (std::size_t i = 0; i < rows.length[r]; ++i) dst[i * 16] = src[i];
    }

    const std::size_t block = alias_kernel_rows();
    const std::size_t tile = 64;  // rows whose tests are kept before joining
    // Panels per sweep, so that a sweep stays in the second-level cache.
    const std::size_t chunk = std::max<std::size_t>(1, (256 * 1024) / (stride * sizeof(float)));
    std::vector<std::uint16_t> masks(tile * n_panels);

    for (std::size_t t0 = 0; t0 < n; t0 += tile) {
        const std::size_t t1 = std::min(n, t0 + tile);
        const std::size_t first_panel = (t0 + 1) / 16;
        for (std::size_t c0 = first_panel; c0 < n_panels; c0 += chunk) {
            const std::size_t c1 = std::min(n_panels, c0 + chunk);
            for (std::size_t j0 = t0; j0 < t1; j0 += block) {
                std::size_t length = 0;
                for (std::size_t r = j0; r < std::min(n, j0 + block); ++r) length = std::max(length, rows.length[r]);
                AliasKernelArgs a;
                a.panels = panels.data();
                a.stride = stride;
                a.n_panels = n_panels;
                a.row0 = j0;
                a.length = length;
                a.panel_begin = std::max(c0, (j0 + 1) / 16);
                a.panel_end = c1;
                a.threshold = threshold;
                a.masks = masks.data() + (j0 - t0) * n_panels;
                a.mask_stride = n_panels;
                if (a.panel_begin < a.panel_end) alias_kernel(a);
            }
        }
        for (std::size_t j = t0; j < t1; ++j) {
            if (rows.length[j] == 0) continue;
            const std::uint16_t* row_masks = masks.data() + (j - t0) * n_panels;
            for (std::size_t p = (j + 1) / 16; p < n_panels; ++p) {
                unsigned m = row_masks[p];
                while (m != 0) {
                    const std::size_t k = p * 16 + static_cast<std::size_t>(__builtin_ctz(m));
                    m &= m - 1;
                    if (k <= j || k >= n || rows.length[k] == 0) continue;
                    sets.join(static_cast<std::uint32_t>(j), static_cast<std::uint32_t>(k));
                }
            }
        }
    }
}

PyObject* resolve_entity_alias_groups(Args args) {
    Rows rows = read_rows(args[0].obj);
    normalise(rows);
    const float threshold = static_cast<float>(args[1].f);
    const std::size_t n = rows.size();
    DisjointSets sets(n);

    if (n >= 2 && !std::isnan(threshold)) {
        std::size_t longest = 0;
        bool finite = true;
        for (std::size_t p = 0; p < n; ++p) longest = std::max(longest, rows.length[p]);
        for (const float x : rows.data) finite = finite && std::isfinite(x);
        // Padding to the longest row must not cost much more than the rows.
        const std::size_t padded = ((n + 15) / 16) * 16 * longest;
        if (finite && n >= 32 && padded <= 2 * rows.data.size() + 16 * 1024) {
            join_pairs_blocked(rows, longest, threshold, sets);
        } else {
            join_pairs_scalar(rows, threshold, sets);
        }
    }

    // Members by root, in ascending position; groups in ascending root order.
    std::vector<std::vector<std::uint32_t>> members(n);
    for (std::size_t p = 0; p < n; ++p) members[sets.find(static_cast<std::uint32_t>(p))].push_back(static_cast<std::uint32_t>(p));
    Ref out = new_list();
    for (const auto& group : members) {
        if (group.size() < 2) continue;
        Ref list = new_list(static_cast<Py_ssize_t>(group.size()));
        for (std::size_t i = 0; i < group.size(); ++i) list_set(list.get(), static_cast<Py_ssize_t>(i), to_py_int(group[i]));
        list_append(out.get(), list);
    }
    return out.release();
}

constexpr Param kAliasParams[] = {
    required("embeddings", Kind::List),
    required("threshold", Kind::Float),
};

const FunctionSpec fn_resolve_entity_alias_groups{
    "resolve_entity_alias_groups",
    "resolve_entity_alias_groups(embeddings, threshold)\n--\n\n"
    "Group embedding row indices whose cosine similarity exceeds `threshold`.\n"
    "\n"
    "This avoids materializing the full NxN similarity matrix in Python.",
    kAliasParams,
    &resolve_entity_alias_groups,
};
LVX_REGISTER_FUNCTION(fn_resolve_entity_alias_groups);

}  // namespace
}  // namespace lvx::ranking
