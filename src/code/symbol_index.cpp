// build_symbol_index / search_symbol_index: exact and substring lookup of
// code symbols by name.
//
// The index keeps every entry's two lower-cased names back to back in one
// text (symbol 0, qualified name 0, symbol 1, ...), so that the substring
// phase is one memmem pass per token over that text instead of one search per
// (entry, token) pair; an occurrence counts for the name it lies inside.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "code/common.hpp"

namespace lvx::code {
namespace {

struct Posting {
    std::uint64_t position;
    Field field;
};

struct StringViewHash {
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

struct SymbolIndexPayload final : IndexPayload {
    // Entries: records with a name, in position order.
    std::vector<std::uint64_t> positions;
    // Name k (entry k / 2; symbol when k is even) is names[bounds[k], bounds[k + 1]).
    std::string names;
    std::vector<std::size_t> bounds{0};
    // Name -> postings, keyed by views into `names` (never changed after the build).
    std::unordered_map<std::string_view, std::vector<Posting>, StringViewHash> lookup;

    std::string_view name(std::size_t k) const noexcept {
        return std::string_view(names).substr(bounds[k], bounds[k + 1] - bounds[k]);
    }
};

PyObject* build_symbol_index(Args args) {
    auto payload = std::make_unique<SymbolIndexPayload>();
    SymbolIndexPayload& p = *payload;
    std::string symbol;
    std::string qualified;
    for_each_code_record(args[0].obj, [&](std::uint64_t position, PyObject* metadata) {
        read_symbol_names(metadata, symbol, qualified);
        if (symbol.empty() && qualified.empty()) return;
        p.positions.push_back(position);
        p.names += symbol;
        p.bounds.push_back(p.names.size());
        p.names += qualified;
        p.bounds.push_back(p.names.size());
    });
    p.lookup.reserve(p.positions.size() * 2);
    for (std::size_t e = 0; e < p.positions.size(); ++e) {
        const std::string_view sym = p.name(2 * e);
        const std::string_view qual = p.name(2 * e + 1);
        if (!sym.empty()) p.lookup[sym].push_back(Posting{p.positions[e], Field::SymbolName});
        if (!qual.empty()) p.lookup[qual].push_back(Posting{p.positions[e], Field::QualifiedName});
    }
    return new_index_object(IndexKind::Symbol, std::move(payload));
}

// Marks every name that contains the token.
void mark_names_containing(const SymbolIndexPayload& p, std::string_view token, std::vector<bool>& marked) {
    const std::string_view text = p.names;
    std::size_t from = 0;
    while (from + token.size() <= text.size()) {
        const void* hit = ::memmem(text.data() + from, text.size() - from, token.data(), token.size());
        if (hit == nullptr) break;
        const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
        // The name that holds the occurrence's first byte (bounds[k] <= at < bounds[k + 1]).
        const std::size_t k =
            static_cast<std::size_t>(std::upper_bound(p.bounds.begin(), p.bounds.end(), at) - p.bounds.begin()) - 1;
        if (at + token.size() <= p.bounds[k + 1]) {
            marked[k] = true;
            from = p.bounds[k + 1];  // later occurrences in this name change nothing
        } else {
            from = at + 1;  // straddles two names: not an occurrence in either
        }
    }
}

PyObject* search_symbol_index(Args args) {
    const auto* index = static_cast<const SymbolIndexPayload*>(index_payload(args[0].obj));
    const std::vector<std::string> tokens = symbol_query_tokens(args[1].obj);
    const std::uint64_t top_k = args[2].u;
    Ref out = new_list();
    if (tokens.empty()) return out.release();

    // Scored positions in the order they were scored: exact hits (1.0) in
    // token and posting order, then substring hits (0.6) in position order.
    std::vector<Hit> hits;
    std::unordered_set<std::uint64_t> scored;
    // Every exact hit scores 1.0 and ties are cut in no particular order, so
    // once top_k positions are found the rest of the exact phase (and the
    // substring phase, which it gates) cannot change which scores survive:
    // stop there, whatever the length of the posting lists.
    for (const std::string& t : tokens) {
        if (hits.size() >= top_k) break;
        const auto it = index->lookup.find(t);
        if (it == index->lookup.end()) continue;
        for (const Posting& p : it->second) {
            if (hits.size() >= top_k) break;
            if (scored.insert(p.position).second) hits.push_back(Hit{p.position, 1.0, p.field});
        }
    }
    if (hits.size() < top_k) {
        std::vector<bool> marked(index->bounds.size() - 1, false);
        std::unordered_set<std::string_view> distinct;
        for (const std::string& t : tokens) {
            if (distinct.insert(t).second) mark_names_containing(*index, t, marked);
        }
        for (std::size_t e = 0; e < index->positions.size(); ++e) {
            if (!marked[2 * e] && !marked[2 * e + 1]) continue;
            if (!scored.empty() && scored.count(index->positions[e]) != 0) continue;
            hits.push_back(Hit{index->positions[e], 0.6, marked[2 * e] ? Field::SymbolName : Field::QualifiedName});
        }
    }
    rank_hits(hits);
    const std::size_t n = hits.size() < top_k ? hits.size() : static_cast<std::size_t>(top_k);
    out = new_list(static_cast<Py_ssize_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        const Hit& h = hits[i];
        list_set(out.get(), static_cast<Py_ssize_t>(i),
                 make_tuple(to_py_uint(h.position), to_py_float(h.score), Ref::borrow(field_name(h.field))));
    }
    return out.release();
}

constexpr Param kBuildParams[] = {
    required("corpora", Kind::List),
};
constexpr Param kSearchParams[] = {
    required("index", Kind::SymbolIndex),
    required("query_tokens", Kind::List),
    required("top_k", Kind::NonNegInt),
};

const FunctionSpec fn_build_symbol_index{
    "build_symbol_index",
    "build_symbol_index(corpora)\n--\n\n",
    kBuildParams,
    &build_symbol_index,
};
LVX_REGISTER_FUNCTION(fn_build_symbol_index);

const FunctionSpec fn_search_symbol_index{
    "search_symbol_index",
    "search_symbol_index(index, query_tokens, top_k)\n--\n\n",
    kSearchParams,
    &search_symbol_index,
};
LVX_REGISTER_FUNCTION(fn_search_symbol_index);

}  // namespace
}  // namespace lvx::code
