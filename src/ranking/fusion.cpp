// score_fusion_rrf and score_fusion_weighted: merging a vector result list
// with a BM25 result list.
#include <cmath>
#include <limits>

#include "ranking/common.hpp"

namespace lvx::ranking {
namespace {

// --- reciprocal rank fusion ---------------------------------------------------------

PyObject* score_fusion_rrf(Args args) {
    const GcPause pause;
    const double kf = static_cast<double>(args[2].i);
    const std::vector<Ref> vec = snapshot(args[0].obj);
    const std::vector<Ref> bm = snapshot(args[1].obj);

    IdTable ids(vec.size() + bm.size());
    std::vector<double> fused;
    std::vector<double> vector_score;
    std::vector<char> seen_in_vector;
    std::vector<PyObject*> kept;  // borrowed from the snapshots

    auto contribute = [&](PyObject* item, std::size_t pos) -> std::uint32_t {
        require_dict_item(item);
        auto [slot, added] = ids.insert(get_str_from_dict(item, k_id), static_cast<std::uint32_t>(fused.size()));
        if (added) {
            fused.push_back(0.0);
            vector_score.push_back(0.0);
            seen_in_vector.push_back(0);
            kept.push_back(item);
        }
        fused[slot] = 1.0 / (static_cast<double>(pos) + kf) + fused[slot];
        return slot;
    };

    for (std::size_t i = 0; i < vec.size(); ++i) {
        PyObject* item = vec[i].get();
        // The id is read before the score, as the record is met.
        const std::uint32_t slot = contribute(item, i);
        vector_score[slot] = get_score_from_dict(item);
        seen_in_vector[slot] = 1;
    }
    for (std::size_t j = 0; j < bm.size(); ++j) contribute(bm[j].get(), j);

    const std::vector<std::uint32_t> order = order_by_score_desc(fused);
    Ref out = new_list(static_cast<Py_ssize_t>(order.size()));
    for (std::size_t o = 0; o < order.size(); ++o) {
        const std::uint32_t s = order[o];
        Ref copy = copy_record(kept[s]);
        dict_set(copy.get(), k_score.get(), to_py_float(fused[s]));
        dict_set(copy.get(), k_vector_score.get(), to_py_float(seen_in_vector[s] ? vector_score[s] : 0.0));
        list_set(out.get(), static_cast<Py_ssize_t>(o), std::move(copy));
    }
    return out.release();
}

constexpr Param kRrfParams[] = {
    required("vector_results", Kind::List),
    required("bm25_results", Kind::List),
    with_default("k", Kind::SignedInt, std::int64_t{60}),
};

const FunctionSpec fn_score_fusion_rrf{
    "score_fusion_rrf",
    "score_fusion_rrf(vector_results, bm25_results, k=60)\n--\n\n"
    "Merge vector + BM25 results using Reciprocal Rank Fusion.\n"
    "k: RRF smoothing constant (default 60).\n"
    "Preserves original vector score in \"vector_score\" field.",
    kRrfParams,
    &score_fusion_rrf,
};
LVX_REGISTER_FUNCTION(fn_score_fusion_rrf);

// --- weighted fusion -------------------------------------------------------------

// Min-max normalisation; NaN is skipped for the bounds and stays NaN.
std::vector<double> min_max_norm(const std::vector<double>& values) {
    std::vector<double> out(values.size());
    if (values.empty()) return out;
    double mn = std::numeric_limits<double>::infinity();
    double mx = -std::numeric_limits<double>::infinity();
    for (double v : values) {
        if (v < mn) mn = v;
        if (v > mx) mx = v;
    }
    const double diff = mx - mn;
    if (std::fabs(diff) < 1e-12) {
        const double fill = mx > 0.0 ? 1.0 : 0.0;
        for (double& o : out) o = fill;
        return out;
    }
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = (values[i] - mn) / diff;
    return out;
}

std::vector<double> raw_scores(const std::vector<Ref>& items) {
    std::vector<double> out;
    out.reserve(items.size());
    for (const Ref& item : items) out.push_back(PyDict_Check(item.get()) ? get_score_from_dict(item.get()) : 0.0);
    return out;
}

PyObject* score_fusion_weighted(Args args) {
    const GcPause pause;
    const double weight = args[2].f;
    const double bm25_weight = 1.0 - weight;
    const std::vector<Ref> vec = snapshot(args[0].obj);
    const std::vector<Ref> bm = snapshot(args[1].obj);

    const std::vector<double> raw_vec = raw_scores(vec);
    const std::vector<double> raw_bm = raw_scores(bm);
    const std::vector<double> norm_vec = min_max_norm(raw_vec);
    const std::vector<double> norm_bm = min_max_norm(raw_bm);

    IdTable ids(vec.size() + bm.size());
    std::vector<Ref> merged;
    std::vector<double> fused;
    merged.reserve(vec.size() + bm.size());
    fused.reserve(vec.size() + bm.size());

    for (std::size_t i = 0; i < vec.size(); ++i) {
        PyObject* item = vec[i].get();
        require_dict_item(item);
        TextRef id = get_str_from_dict(item, k_id);
        Ref copy = copy_record(item);
        dict_set(copy.get(), k_vector_score.get(), to_py_float(raw_vec[i]));
        ids.assign(std::move(id), static_cast<std::uint32_t>(merged.size()));
        merged.push_back(std::move(copy));
        fused.push_back(norm_vec[i] * weight);
    }

    Ref zero;
    for (std::size_t j = 0; j < bm.size(); ++j) {
        PyObject* item = bm[j].get();
        require_dict_item(item);
        TextRef id = get_str_from_dict(item, k_id);
        const double contribution = norm_bm[j] * bm25_weight;
        const std::int64_t p = ids.find(id);
        if (p >= 0) {
            fused[static_cast<std::size_t>(p)] = contribution + fused[static_cast<std::size_t>(p)];
            continue;
        }
        Ref copy = copy_record(item);
        if (!zero) zero = to_py_float(0.0);
        dict_set(copy.get(), k_vector_score.get(), zero);
        dict_set(copy.get(), k_fused_only.get(), to_py_bool(true));
        ids.assign(std::move(id), static_cast<std::uint32_t>(merged.size()));
        merged.push_back(std::move(copy));
        fused.push_back(contribution);
    }

    for (std::size_t p = 0; p < merged.size(); ++p) dict_set(merged[p].get(), k_score.get(), to_py_float(fused[p]));

    const std::vector<std::uint32_t> order = order_by_score_desc(fused);
    Ref out = new_list(static_cast<Py_ssize_t>(order.size()));
    for (std::size_t o = 0; o < order.size(); ++o) {
        list_set(out.get(), static_cast<Py_ssize_t>(o), std::move(merged[order[o]]));
    }
    return out.release();
}

constexpr Param kWeightedParams[] = {
    required("vector_results", Kind::List),
    required("bm25_results", Kind::List),
    with_default("weight", Kind::Float, 0.7),
};

const FunctionSpec fn_score_fusion_weighted{
    "score_fusion_weighted",
    "score_fusion_weighted(vector_results, bm25_results, weight=0.7)\n--\n\n"
    "Merge vector + BM25 results using weighted normalized score fusion.\n"
    "weight: 1.0 = pure semantic, 0.0 = pure lexical.\n"
    "Returns a combined list sorted by fused score descending.",
    kWeightedParams,
    &score_fusion_weighted,
};
LVX_REGISTER_FUNCTION(fn_score_fusion_weighted);

}  // namespace
}  // namespace lvx::ranking
