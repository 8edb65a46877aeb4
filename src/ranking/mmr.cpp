// mmr_rerank: maximal-marginal-relevance reordering with Jaccard word-set
// similarity, dropping near-duplicates.
#include <algorithm>
#include <string>
#include <unordered_map>

#include "ranking/common.hpp"
#include "text/unicode.hpp"

namespace lvx::ranking {
namespace {

const Key k_text{"text"};

bool keeps(char32_t cp) noexcept {
    if (cp < 0x80) return (cp >= '0' && cp <= '9') || ((cp | 0x20) >= 'a' && (cp | 0x20) <= 'z');
    if (text::is_alphabetic(cp)) return true;
    const text::Category c = text::category(cp);
    return c == text::Nd || c == text::Nl || c == text::No;
}

// Calls f(token) for each word of the text, reduced to its alphanumeric
// characters and lower-cased; words with nothing left yield no token.
template <class F>
void for_each_mmr_token(std::string_view text_view, std::string& kept, std::string& lowered, F&& f) {
    text::split_white_space(text_view, [&](std::string_view word) {
        kept.clear();
        bool ascii = true;
        const char* p = word.data();
        const char* const end = p + word.size();
        while (p < end) {
            const auto b = static_cast<unsigned char>(*p);
            if (b < 0x80) {
                ++p;
                if (keeps(b)) kept.push_back(static_cast<char>(b | ((b >= 'A' && b <= 'Z') ? 0x20 : 0)));
                continue;
            }
            const char* start = p;
            const char32_t cp = text::decode_utf8(p, end);
            if (keeps(cp)) {
                kept.append(start, static_cast<std::size_t>(p - start));
                ascii = false;
            }
        }
        if (kept.empty()) return;
        if (ascii) {
            f(std::string_view(kept));
            return;
        }
        // ASCII letters were lowered on the way; lowering again is harmless
        // and the whole-string mapping sees every character in context.
        lowered.clear();
        text::append_lower(lowered, kept);
        f(std::string_view(lowered));
    });
}

// Token sets as duplicate-free lists of per-call token numbers: the
// intersection of two sets counts the same as with the tokens themselves.
class TokenSets {
public:
    std::vector<std::uint32_t> add(std::string_view text_view) {
        std::vector<std::uint32_t> ids;
        for_each_mmr_token(text_view, kept_, lowered_, [&](std::string_view token) {
            auto it = numbers_.find(token);
            if (it == numbers_.end()) {
                it = numbers_.emplace(std::string(token), static_cast<std::uint32_t>(numbers_.size())).first;
            }
            ids.push_back(it->second);
        });
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        return ids;
    }

    std::size_t size() const noexcept { return numbers_.size(); }

private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, std::uint32_t, Hash, std::equal_to<>> numbers_;
    std::string kept_;
    std::string lowered_;
};

// Jaccard similarity from the set sizes and the size of the intersection.
double jaccard(std::size_t a, std::size_t b, std::size_t common) noexcept {
    const std::size_t uni = a + b - common;
    if (uni == 0) return 0.0;
    return static_cast<double>(common) / static_cast<double>(uni);
}

PyObject* mmr_rerank(Args args) {
    PyObject* const results = args[0].obj;
    const double lambda_mult = args[1].f;
    const double dup_threshold = args[2].f;

    const std::vector<Ref> items = snapshot(results);
    const std::size_t n = items.size();
    if (n < 2) {
        Ref out = new_list(static_cast<Py_ssize_t>(n));
        for (std::size_t i = 0; i < n; ++i) list_set(out.get(), static_cast<Py_ssize_t>(i), items[i]);
        return out.release();
    }

    std::vector<double> relevance(n);
    std::vector<std::vector<std::uint32_t>> tokens(n);
    TokenSets sets;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* record = items[i].get();
        require_dict_item(record);
        relevance[i] = get_score_from_dict(record);
        TextRef text_ref = get_str_from_dict(record, k_text);
        tokens[i] = sets.add(text_ref.view);
    }

    // max_sim[c] is the largest similarity of c to any selected record; it is
    // brought up to date each time a record is selected.
    std::vector<double> max_sim(n, 0.0);
    std::vector<std::uint32_t> remaining(n);
    for (std::size_t i = 0; i < n; ++i) remaining[i] = static_cast<std::uint32_t>(i);
    std::vector<std::uint32_t> selected;
    const double one_minus = 1.0 - lambda_mult;
    // Membership of the tokens of the record just selected, by token number.
    std::vector<std::uint8_t> in_selected(sets.size(), 0);

    while (!remaining.empty()) {
        auto value = [&](std::uint32_t c) {
            return selected.empty() ? relevance[c] : (lambda_mult * relevance[c]) - (one_minus * max_sim[c]);
        };
        // Later candidates win unless the current best is strictly greater.
        std::size_t best_at = 0;
        double best_value = value(remaining[0]);
        for (std::size_t r = 1; r < remaining.size(); ++r) {
            const double v = value(remaining[r]);
            if (!(best_value > v)) {
                best_at = r;
                best_value = v;
            }
        }
        const std::uint32_t best = remaining[best_at];
        remaining.erase(remaining.begin() + static_cast<std::ptrdiff_t>(best_at));
        if (!selected.empty() && max_sim[best] >= dup_threshold) continue;
        selected.push_back(best);
        if (remaining.empty()) break;
        for (const std::uint32_t t : tokens[best]) in_selected[t] = 1;
        for (const std::uint32_t c : remaining) {
            const std::vector<std::uint32_t>& tc = tokens[c];
            std::size_t common = 0;
            std::size_t common2 = 0;
            std::size_t k = 0;
            for (; k + 1 < tc.size(); k += 2) {
                common += in_selected[tc[k]];
                common2 += in_selected[tc[k + 1]];
            }
            if (k < tc.size()) common += in_selected[tc[k]];
            common += common2;
            const double s = jaccard(tokens[c].size(), tokens[best].size(), common);
            if (s > max_sim[c]) max_sim[c] = s;
        }
        for (const std::uint32_t t : tokens[best]) in_selected[t] = 0;
    }

    Ref out = new_list(static_cast<Py_ssize_t>(selected.size()));
    for (std::size_t i = 0; i < selected.size(); ++i) list_set(out.get(), static_cast<Py_ssize_t>(i), items[selected[i]]);
    return out.release();
}

constexpr Param kParams[] = {
    required("results", Kind::List),
    with_default("lambda_mult", Kind::Float, 0.5),
    with_default("dup_threshold", Kind::Float, 0.85),
};

const FunctionSpec fn_mmr_rerank{
    "mmr_rerank",
    "mmr_rerank(results, lambda_mult=0.5, dup_threshold=0.85)\n--\n\n"
    "Rerank results using Maximal Marginal Relevance (Jaccard text similarity).\n"
    "\n"
    "Iteratively selects the next document maximising:\n"
    "  lambda_mult * relevance_score - (1-lambda_mult) * max_jaccard_to_selected\n"
    "\n"
    "Documents with Jaccard >= dup_threshold to any already-selected document\n"
    "are dropped as near-duplicates.\n"
    "\n"
    "Returns a reordered + deduplicated list of the original dicts.",
    kParams,
    &mmr_rerank,
};
LVX_REGISTER_FUNCTION(fn_mmr_rerank);

}  // namespace
}  // namespace lvx::ranking
