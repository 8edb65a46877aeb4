// build_code_doc_bridge_edges: "MENTIONED_IN" edges from code symbols to the
// prose chunks that name them.
//
// Every (symbol, chunk) pair is decided by the mention test below. To avoid
// running it for every pair, each chunk is first scanned once with an
// Aho-Corasick automaton over the ASCII-case-folded names, which reports the
// names that occur in the chunk (in any ASCII case) with a non-word byte or
// the text's end on both sides. A name is mentioned only at such an
// occurrence, so the names not reported cannot be mentioned; the reported
// ones then go through the mention test in symbol order. Cost: building the
// automaton is O(total name bytes · log), a chunk costs O(text bytes +
// reported occurrences) plus the mention tests of its candidate names.
#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "code/common.hpp"

namespace lvx::code {
namespace {

struct ByteTables {
    std::array<unsigned char, 256> fold{};  // ASCII letters to lower case
    std::array<bool, 256> word{};           // ASCII letters and digits

    ByteTables() {
        for (int b = 0; b < 256; ++b) {
            fold[b] = static_cast<unsigned char>(b >= 'A' && b <= 'Z' ? b + 32 : b);
            word[b] = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9');
        }
    }
};

const ByteTables& bytes() {
    static const ByteTables t;
    return t;
}

// First position >= from where name occurs with ASCII letters compared
// without regard to case, or npos.
std::size_t find_ascii_ci(std::string_view text, std::string_view name, std::size_t from) {
    const ByteTables& bt = bytes();
    const std::size_t m = name.size();
    if (m > text.size()) return std::string_view::npos;
    const auto* t = reinterpret_cast<const unsigned char*>(text.data());
    const auto* p = reinterpret_cast<const unsigned char*>(name.data());
    const unsigned char first = bt.fold[p[0]];
    for (std::size_t s = from; s + m <= text.size(); ++s) {
        if (bt.fold[t[s]] != first) continue;
        std::size_t k = 1;
        while (k < m && bt.fold[t[s + k]] == bt.fold[p[k]]) ++k;
        if (k == m) return s;
    }
    return std::string_view::npos;
}

// Whether `name` (non-empty) is mentioned in `text`: the first exact
// occurrence from the resume point, or only when there is none the first
// case-insensitive one, must have non-word bytes (or the text's ends) on both
// sides; a rejected occurrence moves the resume point one byte past its start.
bool mentioned(std::string_view text, std::string_view name) {
    const ByteTables& bt = bytes();
    const std::size_t n = text.size();
    const std::size_t m = name.size();
    if (m == 0 || m > n) return false;
    std::size_t resume = 0;
    bool exact = true;
    for (;;) {
        std::size_t start = std::string_view::npos;
        if (exact) {
            start = text.find(name, resume);
            if (start == std::string_view::npos) exact = false;  // no later exact occurrence either
        }
        if (!exact) {
            start = find_ascii_ci(text, name, resume);
            if (start == std::string_view::npos) return false;
        }
        const std::size_t end = start + m;
        const bool before_ok = start == 0 || !bt.word[static_cast<unsigned char>(text[start - 1])];
        const bool after_ok = end == n || !bt.word[static_cast<unsigned char>(text[end])];
        if (before_ok && after_ok) return true;
        resume = start + 1;
        if (resume + m > n) return false;
    }
}

// Aho-Corasick automaton over the distinct folded names.
class NameScanner {
public:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    explicit NameScanner(std::vector<std::string> patterns) : patterns_(std::move(patterns)) {
        build_trie();
        build_links();
        stamp_.assign(patterns_.size(), 0);
    }

    std::size_t pattern_count() const noexcept { return patterns_.size(); }

    // Calls f(pattern) once for each pattern that occurs in text with a
    // non-word byte (or the text's end) on both sides.
    template <class F>
    void scan(std::string_view text, F&& f) {
        const ByteTables& bt = bytes();
        if (++round_ == 0) {  // stamps wrapped around: start afresh
            std::fill(stamp_.begin(), stamp_.end(), 0);
            round_ = 1;
        }
        const auto* t = reinterpret_cast<const unsigned char*>(text.data());
        const std::size_t n = text.size();
        std::uint32_t s = 0;
        for (std::size_t i = 0; i < n; ++i) {
            s = step(s, bt.fold[t[i]]);
            std::uint32_t r = report_[s];
            if (r == kNone) continue;
            if (i + 1 < n && bt.word[t[i + 1]]) continue;  // no occurrence ending here can count
            for (; r != kNone; r = dict_[r]) {
                const std::uint32_t p = out_[r];
                const std::size_t start = i + 1 - patterns_[p].size();
                if (start != 0 && bt.word[t[start - 1]]) continue;
                if (stamp_[p] == round_) continue;
                stamp_[p] = round_;
                f(p);
            }
        }
    }

private:
    std::uint32_t child(std::uint32_t s, unsigned char c) const noexcept {
        if (s == 0) return root_[c];
        const auto b = edge_bytes_.begin() + first_edge_[s];
        const auto e = edge_bytes_.begin() + first_edge_[s + 1];
        const auto it = std::lower_bound(b, e, c);
        if (it == e || *it != c) return kNone;
        return edge_child_[static_cast<std::size_t>(it - edge_bytes_.begin())];
    }

    std::uint32_t step(std::uint32_t s, unsigned char c) const noexcept {
        for (;;) {
            const std::uint32_t t = child(s, c);
            if (t != kNone) return t;
            if (s == 0) return 0;
            s = fail_[s];
        }
    }

    void build_trie() {
        std::vector<std::uint32_t> order(patterns_.size());
        for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return patterns_[a] < patterns_[b]; });

        // Inserting the names in sorted order, each shares its prefix path
        // with the one before; children of a state are created in byte order.
        struct Edge {
            std::uint32_t parent;
            unsigned char byte;
            std::uint32_t child;
        };
        std::vector<Edge> edges;
        std::vector<std::uint32_t> path{0};
        std::string_view prev;
        std::uint32_t states = 1;
        out_.assign(1, kNone);
        for (std::uint32_t id : order) {
            const std::string_view name = patterns_[id];
            std::size_t lcp = 0;
            while (lcp < prev.size() && lcp < name.size() && prev[lcp] == name[lcp]) ++lcp;
            path.resize(lcp + 1);
            for (std::size_t k = lcp; k < name.size(); ++k) {
                edges.push_back(Edge{path.back(), static_cast<unsigned char>(name[k]), states});
                path.push_back(states++);
                out_.push_back(kNone);
            }
            out_[path.back()] = id;
            prev = name;
        }

        // Edges grouped by parent (stable: byte order within a parent).
        first_edge_.assign(static_cast<std::size_t>(states) + 1, 0);
        for (const Edge& e : edges) ++first_edge_[e.parent + 1];
        for (std::size_t s = 0; s < states; ++s) first_edge_[s + 1] += first_edge_[s];
        edge_bytes_.resize(edges.size());
        edge_child_.resize(edges.size());
        std::vector<std::uint32_t> fill(first_edge_.begin(), first_edge_.end() - 1);
        root_.fill(kNone);
        for (const Edge& e : edges) {
            const std::uint32_t at = fill[e.parent]++;
            edge_bytes_[at] = e.byte;
            edge_child_[at] = e.child;
            if (e.parent == 0) root_[e.byte] = e.child;
        }
    }

    void build_links() {
        const std::size_t states = out_.size();
        fail_.assign(states, 0);
        dict_.assign(states, kNone);
        report_.assign(states, kNone);
        std::vector<std::uint32_t> queue;
        queue.reserve(states);
        queue.push_back(0);
        for (std::size_t q = 0; q < queue.size(); ++q) {
            const std::uint32_t s = queue[q];
            for (std::uint32_t e = first_edge_[s]; e < first_edge_[s + 1]; ++e) {
                const std::uint32_t t = edge_child_[e];
                const unsigned char c = edge_bytes_[e];
                std::uint32_t f = 0;
                if (s != 0) {
                    f = fail_[s];
                    std::uint32_t g;
                    while ((g = child(f, c)) == kNone && f != 0) f = fail_[f];
                    f = g == kNone ? 0 : g;
                }
                fail_[t] = f;
                dict_[t] = out_[f] != kNone ? f : dict_[f];
                report_[t] = out_[t] != kNone ? t : dict_[t];
                queue.push_back(t);
            }
        }
    }

    std::vector<std::string> patterns_;
    std::array<std::uint32_t, 256> root_{};
    std::vector<std::uint32_t> first_edge_;
    std::vector<unsigned char> edge_bytes_;
    std::vector<std::uint32_t> edge_child_;
    std::vector<std::uint32_t> out_;     // pattern ending at the state, or kNone
    std::vector<std::uint32_t> fail_;
    std::vector<std::uint32_t> dict_;    // nearest proper suffix state with a pattern
    std::vector<std::uint32_t> report_;  // the state itself if it has a pattern, else dict_
    std::vector<std::uint32_t> stamp_;
    std::uint32_t round_ = 0;
};

struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
using StringSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;
// Node ids already linked to each chunk id by a "MENTIONED_IN" edge.
using KnownEdges = std::unordered_map<std::string, StringSet, StringHash, std::equal_to<>>;

// UTF-8 text of a str, or "" when it is not a str or has no UTF-8 form.
std::string_view text_or_empty(PyObject* o) noexcept {
    if (!PyUnicode_Check(o)) return {};
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (s == nullptr) {
        PyErr_Clear();
        return {};
    }
    return {s, static_cast<std::size_t>(n)};
}

// The str to put in an edge: the caller's object when it is an exact str.
Ref edge_text(const Ref& owner, std::string_view view) {
    if (owner && PyUnicode_CheckExact(owner.get())) return owner;
    return to_py(view);
}

struct Symbol {
    Ref name_obj;  // keeps `name` alive
    Ref node_obj;  // keeps `node` alive
    std::string_view name;
    std::string_view node;
};

PyObject* build_code_doc_bridge_edges(Args args) {
    static const Key k_id{"id"};
    static const Key k_text{"text"};
    static const Key k_source{"source"};
    static const Key k_target{"target"};
    static const Key k_edge_type{"edge_type"};
    static const Key k_chunk_id{"chunk_id"};
    static const Key k_mentioned_in{"MENTIONED_IN"};
    PyObject* sym_lookup = args[0].obj;
    PyObject* chunks = args[1].obj;
    PyObject* existing = args[2].obj;

    KnownEdges known;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(existing); ++i) {
        PyObject* t = PyList_GET_ITEM(existing, i);
        if (!PyTuple_Check(t) || PyTuple_GET_SIZE(t) < 3) continue;
        if (text_or_empty(PyTuple_GET_ITEM(t, 2)) != "MENTIONED_IN") continue;
        const std::string_view source = text_or_empty(PyTuple_GET_ITEM(t, 0));
        const std::string_view target = text_or_empty(PyTuple_GET_ITEM(t, 1));
        known[std::string(target)].emplace(source);
    }

    std::vector<Symbol> symbols;
    {
        Py_ssize_t pos = 0;
        PyObject* key;
        PyObject* value;
        while (PyDict_Next(sym_lookup, &pos, &key, &value)) {
            const std::string_view name = text_or_empty(key);
            const std::string_view node = text_or_empty(value);
            if (name.empty() || node.empty()) continue;
            symbols.push_back(Symbol{Ref::borrow(key), Ref::borrow(value), name, node});
        }
    }

    // Distinct folded names, and the symbols (in symbol order) of each.
    std::vector<std::string> patterns;
    std::vector<std::vector<std::uint32_t>> pattern_symbols;
    {
        std::unordered_map<std::string, std::uint32_t> ids;
        const ByteTables& bt = bytes();
        std::string folded;
        for (std::uint32_t i = 0; i < symbols.size(); ++i) {
            folded.assign(symbols[i].name);
            for (char& c : folded) c = static_cast<char>(bt.fold[static_cast<unsigned char>(c)]);
            const auto [it, inserted] = ids.emplace(folded, static_cast<std::uint32_t>(patterns.size()));
            if (inserted) {
                patterns.push_back(folded);
                pattern_symbols.emplace_back();
            }
            pattern_symbols[it->second].push_back(i);
        }
    }
    NameScanner scanner(std::move(patterns));

    Ref out = new_list();
    std::vector<std::uint32_t> candidates;
    // The size is read at every step: reading a chunk's fields can run host code.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(chunks); ++i) {
        Ref chunk = Ref::borrow(PyList_GET_ITEM(chunks, i));
        require_dict_item(chunk.get());
        const TextRef id = get_str_from_dict(chunk.get(), k_id);
        const TextRef text = get_str_from_dict(chunk.get(), k_text);
        if (id.view.empty() || text.view.empty() || symbols.empty()) continue;

        candidates.clear();
        scanner.scan(text.view, [&](std::uint32_t p) {
            candidates.insert(candidates.end(), pattern_symbols[p].begin(), pattern_symbols[p].end());
        });
        if (candidates.empty()) continue;
        std::sort(candidates.begin(), candidates.end());

        auto known_it = known.find(id.view);
        Ref id_obj;
        for (std::uint32_t s : candidates) {
            const Symbol& sym = symbols[s];
            if (known_it != known.end() && known_it->second.find(sym.node) != known_it->second.end()) continue;
            if (!mentioned(text.view, sym.name)) continue;
            if (known_it == known.end()) known_it = known.emplace(std::string(id.view), StringSet{}).first;
            known_it->second.emplace(sym.node);
            if (!id_obj) id_obj = edge_text(id.owner, id.view);
            Ref edge = new_dict();
            dict_set(edge.get(), k_source.get(), edge_text(sym.node_obj, sym.node));
            dict_set(edge.get(), k_target.get(), id_obj);
            dict_set(edge.get(), k_edge_type.get(), Ref::borrow(k_mentioned_in.get()));
            dict_set(edge.get(), k_chunk_id.get(), id_obj);
            list_append(out.get(), edge);
        }
    }
    return out.release();
}

constexpr Param kParams[] = {
    required("sym_lookup", Kind::Dict),
    required("prose_chunks", Kind::List),
    required("existing_edge_tuples", Kind::List),
};

const FunctionSpec fn_build_code_doc_bridge_edges{
    "build_code_doc_bridge_edges",
    "build_code_doc_bridge_edges(sym_lookup, prose_chunks, existing_edge_tuples)\n--\n\n"
    "Scan prose chunks for occurrences of code symbol names and emit new MENTIONED_IN edges.\n"
    "\n"
    "Arguments:\n"
    "  sym_lookup: dict[str, str]  \xE2\x80\x94 symbol_name \xE2\x86\x92 node_id (names >= 4 chars)\n"
    "  prose_chunks: list[dict]    \xE2\x80\x94 each dict has \"id\" and \"text\" keys\n"
    "  existing_edge_tuples: list[tuple[str, str, str]]  \xE2\x80\x94 (source, target, edge_type)\n"
    "\n"
    "Returns list[dict] of new edge dicts (not already in existing_edge_tuples).",
    kParams,
    &build_code_doc_bridge_edges,
};
LVX_REGISTER_FUNCTION(fn_build_code_doc_bridge_edges);

}  // namespace
}  // namespace lvx::code
