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

// Higher score first, then ascending position. Only scores > 0.0 (never
// NaN) are ranked, and positions are distinct, so this is a strict total
// order: the best k are the same whichever way they are selected.
inline bool better(const Hit& a, const Hit& b) noexcept {
    return a.score > b.score || (!(b.score > a.score) && a.pos < b.pos);
}

// The best `k` of a stream of hits, best first at the end. Hits come in
// one at a time; a hit worse than the current k-th costs one comparison.
class TopK {
public:
    explicit TopK(std::size_t k) : k_(k) { heap_.reserve(k); }

    void offer(double score, std::uint32_t pos) {
        if (!(score > 0.0) || k_ == 0) return;  // NaN fails too
        const Hit h{score, pos};
        if (heap_.size() < k_) {
            heap_.push_back(h);
            std::push_heap(heap_.begin(), heap_.end(), better);  // front: the worst kept
        } else if (better(h, heap_.front())) {
            std::pop_heap(heap_.begin(), heap_.end(), better);
            heap_.back() = h;
            std::push_heap(heap_.begin(), heap_.end(), better);
        }
    }
    std::vector<Hit> take() {
        std::sort_heap(heap_.begin(), heap_.end(), better);
        return std::move(heap_);
    }

private:
    std::size_t k_;
    std::vector<Hit> heap_;
};

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

// Score accumulator of the calling thread, all zeros between searches, and
// room for the candidate list. A search zeroes only the entries it touched
// (its candidates), so its cost does not grow with the corpus size. It runs
// no host code while entries are set, so a nested search on the same thread
// always finds the accumulator clean.
struct Accumulator {
    std::vector<double> scores;
    std::vector<std::uint32_t> candidates;
};
thread_local Accumulator t_acc;

// The calling thread's accumulator, grown for n_docs documents. (Not
// inlined: the hot loops then work on plain pointers, not on thread-local
// addresses.)
[[gnu::noinline]] Accumulator& thread_accumulator(std::size_t n_docs) {
    Accumulator& a = t_acc;
    if (a.scores.size() < n_docs) a.scores.resize(n_docs, 0.0);
    if (a.candidates.size() < n_docs + 1) a.candidates.resize(n_docs + 1);
    return a;
}

std::vector<Hit> best_hits(const Bm25Payload& ix, const std::vector<std::uint32_t>& ids, std::uint64_t top_k) {
    const std::uint32_t* const docs = ix.docs.data();
    const double* const weights = ix.weights.data();
    if (ids.size() == 1) {
        // One term: each posting is its document's whole score (0.0 + c == c
        // for every c that passes the > 0.0 filter).
        const std::uint64_t lo = ix.offsets[ids[0]];
        const std::uint64_t hi = ix.offsets[ids[0] + 1];
        TopK best(static_cast<std::size_t>(std::min<std::uint64_t>(top_k, hi - lo)));
        for (std::uint64_t i = lo; i < hi; ++i) best.offer(weights[i], docs[i]);
        return best.take();
    }

    Accumulator& a = thread_accumulator(static_cast<std::size_t>(ix.n_docs));
    double* const acc = a.scores.data();
    std::uint32_t* const cand = a.candidates.data();
    std::size_t n_cand = 0;
    struct Reset {
        double* acc;
        const std::uint32_t* cand;
        const std::size_t& n;
        ~Reset() {
            for (std::size_t i = 0; i < n; ++i) acc[cand[i]] = 0.0;
        }
    } reset{acc, cand, n_cand};

    // Every weight of a built index is positive and finite, so a document's
    // sum never returns to 0.0: it becomes a candidate once, and at most
    // n_docs candidates are written (plus the one spare slot that the
    // branch-free append writes to).
    for (const std::uint32_t t : ids) {
        const std::uint64_t hi = ix.offsets[t + 1];
        for (std::uint64_t i = ix.offsets[t]; i < hi; ++i) {
            const std::uint32_t p = docs[i];
            const double prev = acc[p];
            cand[n_cand] = p;
            n_cand += prev == 0.0 ? 1 : 0;
            acc[p] = weights[i] + prev;
        }
    }
    TopK best(static_cast<std::size_t>(std::min<std::uint64_t>(top_k, n_cand)));
    for (std::size_t i = 0; i < n_cand; ++i) {
        const std::uint32_t p = cand[i];
        best.offer(acc[p], p);
        acc[p] = 0.0;
    }
    n_cand = 0;
    return best.take();
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
