// build_symbol_index / search_symbol_index: exact and substring lookup of
// code symbols by name.
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "code/common.hpp"

namespace lvx::code {
namespace {

struct SymbolEntry {
    std::uint64_t position;
    std::string symbol;     // lower-cased, possibly empty
    std::string qualified;  // lower-cased, possibly empty
};

struct Posting {
    std::uint64_t position;
    Field field;
};

struct SymbolIndexPayload final : IndexPayload {
    std::vector<SymbolEntry> entries;  // records with a name, in position order
    std::unordered_map<std::string, std::vector<Posting>> names;
};

PyObject* build_symbol_index(Args args) {
    auto payload = std::make_unique<SymbolIndexPayload>();
    std::string symbol;
    std::string qualified;
    for_each_code_record(args[0].obj, [&](std::uint64_t position, PyObject* metadata) {
        read_symbol_names(metadata, symbol, qualified);
        if (symbol.empty() && qualified.empty()) return;
        if (!symbol.empty()) payload->names[symbol].push_back(Posting{position, Field::SymbolName});
        if (!qualified.empty()) payload->names[qualified].push_back(Posting{position, Field::QualifiedName});
        payload->entries.push_back(SymbolEntry{position, symbol, qualified});
    });
    return new_index_object(IndexKind::Symbol, std::move(payload));
}

bool any_contained(std::string_view name, const std::vector<std::string>& tokens) {
    for (const std::string& t : tokens) {
        if (contains(name, t)) return true;
    }
    return false;
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
    for (const std::string& t : tokens) {
        const auto it = index->names.find(t);
        if (it == index->names.end()) continue;
        for (const Posting& p : it->second) {
            if (scored.insert(p.position).second) hits.push_back(Hit{p.position, 1.0, p.field});
        }
    }
    if (hits.size() < top_k) {
        for (const SymbolEntry& e : index->entries) {
            if (!scored.empty() && scored.count(e.position) != 0) continue;
            if (!e.symbol.empty() && any_contained(e.symbol, tokens)) {
                hits.push_back(Hit{e.position, 0.6, Field::SymbolName});
            } else if (!e.qualified.empty() && any_contained(e.qualified, tokens)) {
                hits.push_back(Hit{e.position, 0.6, Field::QualifiedName});
            }
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
