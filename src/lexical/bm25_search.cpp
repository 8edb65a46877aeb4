// search_bm25: sums the precomputed per-posting contributions of the
// distinct query terms and returns the best (position, score) pairs.
#include <algorithm>
#include <unordered_set>

#include "lexical/bm25.hpp"
#include "lexical/tokenize.hpp"

namespace lvx::lexical {
namespace {

struct Hit {
    double score;
    std::uint32_t pos;
};

// Higher score first, then ascending position. Only scores > 0.0 reach the
// sort, so this is a strict total order and the outcome does not depend on
// the sorting algorithm.
inline bool better(const Hit& a, const Hit& b) noexcept {
    return a.score > b.score || (!(b.score > a.score) && a.pos < b.pos);
}

void keep_best(std::vector<Hit>& hits, std::uint64_t top_k) {
    if (top_k < hits.size()) {
        const auto k = static_cast<std::ptrdiff_t>(top_k);
        std::partial_sort(hits.begin(), hits.begin() + k, hits.end(), better);
        hits.resize(static_cast<std::size_t>(top_k));
    } else {
        std::sort(hits.begin(), hits.end(), better);
    }
}

// Distinct query terms known to the index, in order of first occurrence.
std::vector<std::uint32_t> query_terms(const TermTable& terms, std::string_view query) {
    std::string buffer;
    std::vector<std::string_view> tokens;
    tokenize(query, buffer, tokens);
    std::vector<std::uint32_t> ids;
    std::unordered_set<std::uint32_t> seen;  // used only for long queries
    constexpr std::size_t kLinearScan = 32;
    for (const std::string_view token : tokens) {
        const std::uint32_t id = terms.find(token);
        if (id == TermTable::kNone) continue;
        if (ids.size() < kLinearScan) {
            if (std::find(ids.begin(), ids.end(), id) != ids.end()) continue;
            ids.push_back(id);
            if (ids.size() == kLinearScan) seen.insert(ids.begin(), ids.end());
        } else if (seen.insert(id).second) {
            ids.push_back(id);
        }
    }
    return ids;
}

// Score accumulator of the calling thread, all zeros between searches. A
// search zeroes only the entries it touched (its candidates), so its cost
// does not grow with the corpus size. It runs no host code while entries
// are set, so a nested search on the same thread always finds it clean.
struct Accumulator {
    std::vector<double> scores;
    std::vector<std::uint32_t> candidates;
};
thread_local Accumulator t_acc;

class AccumulatorLease {
public:
    explicit AccumulatorLease(std::size_t n_docs) : acc_(t_acc) {
        if (acc_.scores.size() < n_docs) acc_.scores.resize(n_docs, 0.0);
        acc_.candidates.clear();
    }
    ~AccumulatorLease() {
        for (const std::uint32_t p : acc_.candidates) acc_.scores[p] = 0.0;
        acc_.candidates.clear();
    }
    AccumulatorLease(const AccumulatorLease&) = delete;
    AccumulatorLease& operator=(const AccumulatorLease&) = delete;
    Accumulator& get() noexcept { return acc_; }

private:
    Accumulator& acc_;
};

std::vector<Hit> best_hits(const Bm25Payload& ix, const std::vector<std::uint32_t>& ids, std::uint64_t top_k) {
    std::vector<Hit> hits;
    const std::uint32_t* const docs = ix.docs.data();
    const double* const weights = ix.weights.data();
    if (ids.size() == 1) {
        // One term: each posting is its document's whole score (0.0 + c == c
        // for every c that passes the > 0.0 filter).
        const std::uint64_t lo = ix.offsets[ids[0]];
        const std::uint64_t hi = ix.offsets[ids[0] + 1];
        hits.reserve(static_cast<std::size_t>(hi - lo));
        for (std::uint64_t i = lo; i < hi; ++i) {
            if (weights[i] > 0.0) hits.push_back({weights[i], docs[i]});
        }
    } else {
        AccumulatorLease lease(static_cast<std::size_t>(ix.n_docs));
        double* const acc = lease.get().scores.data();
        std::vector<std::uint32_t>& candidates = lease.get().candidates;
        for (const std::uint32_t t : ids) {
            const std::uint64_t hi = ix.offsets[t + 1];
            for (std::uint64_t i = ix.offsets[t]; i < hi; ++i) {
                const std::uint32_t p = docs[i];
                const double prev = acc[p];
                if (prev == 0.0) candidates.push_back(p);
                acc[p] = weights[i] + prev;
            }
        }
        hits.reserve(candidates.size());
        for (const std::uint32_t p : candidates) {
            if (acc[p] > 0.0) hits.push_back({acc[p], p});
        }
    }
    keep_best(hits, top_k);
    return hits;
}

PyObject* search_bm25(Args args) {
    const auto& ix = *static_cast<const Bm25Payload*>(index_payload(args[0].obj));
    const std::string_view query = args[1].text;
    const std::uint64_t top_k = args[2].u;
    if (ix.n_docs == 0 || top_k == 0) return new_list().release();
    const std::vector<std::uint32_t> ids = query_terms(ix.terms, query);
    if (ids.empty()) return new_list().release();

    const std::vector<Hit> hits = best_hits(ix, ids, top_k);
    Ref out = new_list(static_cast<Py_ssize_t>(hits.size()));
    for (std::size_t i = 0; i < hits.size(); ++i) {
        list_set(out.get(), static_cast<Py_ssize_t>(i), make_tuple(to_py_uint(hits[i].pos), to_py_float(hits[i].score)));
    }
    return out.release();
}

constexpr Param kParams[] = {
    required("index", Kind::Bm25Index),
    required("query", Kind::Text),
    required("top_k", Kind::NonNegInt),
};

const FunctionSpec fn_search_bm25{
    "search_bm25",
    "search_bm25(index, query, top_k)\n--\n\n",
    kParams,
    &search_bm25,
};
LVX_REGISTER_FUNCTION(fn_search_bm25);

}  // namespace
}  // namespace lvx::lexical
