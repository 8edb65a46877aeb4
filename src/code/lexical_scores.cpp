// code_lexical_scores: lexical boosts of code search hits from the query's
// identifier tokens.
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "code/common.hpp"
#include "code/gram_scanner.hpp"

namespace lvx::code {
namespace {

// Stem of the last '/'-separated component of a path ("" when there is none).
std::string_view file_stem(std::string_view path) {
    std::string_view name;
    std::size_t end = path.size();
    while (end > 0) {
        const std::size_t slash = path.rfind('/', end - 1);
        const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
        const std::string_view comp = path.substr(begin, end - begin);
        if (!comp.empty() && comp != ".") {
            name = comp;
            break;
        }
        if (slash == std::string_view::npos) break;
        end = slash;
    }
    if (name.empty() || name == "..") return {};
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return name;
    return name.substr(0, dot);
}

// Value under key converted like a signed 64-bit integer argument; absent when
// missing or not convertible (the error is cleared).
std::optional<std::int64_t> optional_line(PyObject* metadata, const Key& key) {
    Ref v = Ref::borrow(lookup_quiet(metadata, key.get()));
    if (!v) return std::nullopt;
    Ref idx = Ref::steal(PyNumber_Index(v.get()));
    if (!idx) {
        PyErr_Clear();
        return std::nullopt;
    }
    const long long n = PyLong_AsLongLong(idx.get());
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return n;
}

struct Tokens {
    std::unordered_set<std::string> all;
    std::vector<std::string> long_tokens;  // distinct, at least 4 bytes
    std::optional<GramScanner> scanner;    // over long_tokens
};

Tokens read_tokens(PyObject* list) {
    Tokens t;
    std::string raw;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (!PyUnicode_Check(item)) continue;
        if (!token_utf8(item, raw)) throw PyErrorSet{};
        std::string lowered;
        text::append_lower(lowered, raw);
        if (t.all.insert(lowered).second && lowered.size() >= 4) t.long_tokens.push_back(lowered);
    }
    if (!t.long_tokens.empty()) t.scanner.emplace(t.long_tokens);
    return t;
}

// Per-call scratch buffers, reused across records.
struct Scratch {
    std::string symbol, symbol_type, stem, qualified, text;
    std::vector<std::uint32_t> seen;  // per long token: the record that last found it
    std::uint32_t round = 0;
};

bool any_long_token_in(std::string_view lowered, const Tokens& tokens) {
    bool found = false;
    if (tokens.scanner) tokens.scanner->scan(lowered, [&](std::uint32_t) { return !(found = true); });
    return found;
}

// Number of distinct long tokens in the lower-cased text, counting at most 4.
int long_tokens_in_text(std::string_view text, const Tokens& tokens, Scratch& s) {
    constexpr int kCap = 4;
    if (!tokens.scanner) return 0;
    if (!ascii_lower_into(s.text, text)) lower_into(s.text, text);
    if (s.seen.empty()) s.seen.assign(tokens.long_tokens.size(), 0);
    if (++s.round == 0) {
        std::fill(s.seen.begin(), s.seen.end(), 0);
        s.round = 1;
    }
    int hits = 0;
    tokens.scanner->scan(s.text, [&](std::uint32_t id) {
        if (s.seen[id] == s.round) return true;
        s.seen[id] = s.round;
        return ++hits < kCap;
    });
    return hits;
}

double score_record(PyObject* record, const Tokens& tokens, Scratch& s) {
    static const Key k_metadata{"metadata"};
    static const Key k_source_class{"source_class"};
    static const Key k_symbol_name{"symbol_name"};
    static const Key k_symbol_type{"symbol_type"};
    static const Key k_file_path{"file_path"};
    static const Key k_source{"source"};
    static const Key k_text{"text"};
    static const Key k_start_line{"start_line"};
    static const Key k_end_line{"end_line"};

    require_dict_item(record);
    Ref metadata = Ref::borrow(lookup_quiet(record, k_metadata.get()));
    if (!metadata) return 0.0;
    require_dict_item(metadata.get());
    PyObject* meta = metadata.get();

    if (get_str_from_dict(meta, k_source_class).view != "code") return 0.0;

    read_lower_name(meta, k_symbol_name, s.symbol);
    read_lower_name(meta, k_symbol_type, s.symbol_type);
    TextRef path = get_str_from_dict(meta, k_file_path);
    if (!path.owner) path = get_str_from_dict(meta, k_source);
    lower_into(s.stem, file_stem(path.view));
    s.qualified.clear();
    if (!s.stem.empty() && !s.symbol.empty()) {
        s.qualified.append(s.stem).push_back('.');
        s.qualified.append(s.symbol);
    }
    const TextRef text = get_str_from_dict(record, k_text);
    const std::optional<std::int64_t> start_line = optional_line(meta, k_start_line);
    const std::optional<std::int64_t> end_line = optional_line(meta, k_end_line);

    double score = 0.0;
    if (!s.symbol.empty()) {
        if (tokens.all.count(s.symbol) != 0) {
            score = 1.0;
        } else if (any_long_token_in(s.symbol, tokens)) {
            score = 0.5;
        }
    }
    if (!s.stem.empty() && tokens.all.count(s.stem) != 0) score += 0.4;
    if (!s.qualified.empty() && tokens.all.count(s.qualified) != 0) score += 1.0;
    const int hits = long_tokens_in_text(text.view, tokens, s);  // the term is capped at four tokens
    score += std::min(static_cast<double>(hits) * 0.08, 0.32);
    if (score > 0.0 && (s.symbol_type == "method" || s.symbol_type == "function")) score *= 1.1;
    if (start_line && end_line) {
        // Exact difference: lines near the ends of the 64-bit range must not wrap.
        const __int128 span = static_cast<__int128>(*end_line) - static_cast<__int128>(*start_line);
        if (span < 31) {
            score += 0.05;
        } else if (span < 81) {
            score += 0.02;
        }
    }
    return score;
}

PyObject* code_lexical_scores(Args args) {
    PyObject* results = args[0].obj;
    const Tokens tokens = read_tokens(args[1].obj);

    Ref scores = new_list();
    double max_lex = 0.0;
    if (tokens.all.empty()) {
        const Py_ssize_t n = PyList_GET_SIZE(results);
        scores = new_list(n);
        for (Py_ssize_t i = 0; i < n; ++i) list_set(scores.get(), i, to_py_float(0.0));
    } else {
        Scratch scratch;
        // The size is read at every step: field lookups can run host code.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(results); ++i) {
            Ref record = Ref::borrow(PyList_GET_ITEM(results, i));
            const double score = score_record(record.get(), tokens, scratch);
            if (score > max_lex) max_lex = score;
            list_append(scores.get(), to_py_float(score));
        }
    }
    return make_tuple(std::move(scores), to_py_float(max_lex)).release();
}

constexpr Param kParams[] = {
    required("results", Kind::List),
    required("query_tokens", Kind::List),
};

const FunctionSpec fn_code_lexical_scores{
    "code_lexical_scores",
    "code_lexical_scores(results, query_tokens)\n--\n\n"
    "Compute per-result lexical boost scores for code retrieval.\n"
    "\n"
    "Mirrors the scoring kernel inside `_apply_code_lexical_boost` (excludes diagnostics/trace\n"
    "fill-in and the per-file diversity cap \xE2\x80\x94 those stay in Python).\n"
    "\n"
    "Returns `(lex_scores, max_lex)` where `lex_scores[i]` corresponds to `results[i]`.\n"
    "`max_lex` is 0.0 when no result matched any token.",
    kParams,
    &code_lexical_scores,
};
LVX_REGISTER_FUNCTION(fn_code_lexical_scores);

}  // namespace
}  // namespace lvx::code
