// extract_code_query_tokens: identifier-like tokens of a question about code.
//
// The four token patterns
//   stems       \b(\w+)\.(py|rs|...|md)\b
//   qualified   \b([A-Za-z_]\w+)\.([A-Za-z_]\w+)\b
//   identifier  \b[A-Za-z_][A-Za-z0-9_]{3,}\b
//   camel       [A-Z][a-z0-9]*|[a-z][a-z0-9]*
// are served by hand-written scanners over the query's runs of word
// characters (\w: alphabetic, marks, decimal digits, connector punctuation,
// join controls). Every match of the first three patterns starts at a word
// boundary followed by a word character, so it starts at the start of a run;
// its greedy \w+ / [A-Za-z0-9_]+ parts cannot stop inside a run (no boundary
// there, and '.' is not a word character), so each part covers a whole run.
// Matching therefore reduces to tests on consecutive runs, with the same
// leftmost, non-overlapping matches as a backtracking engine.
#include <array>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "module/core.hpp"
#include "text/unicode.hpp"

namespace lvx::code {
namespace {

// Tables prepared once per process on first use.
struct Scanners {
    std::array<bool, 128> ascii_word{};
    std::array<std::string_view, 23> extensions{
        "py", "rs", "ts", "tsx", "js", "jsx", "go", "java", "cpp", "c", "h", "cs",
        "rb", "kt", "swift", "scala", "lua", "sh", "toml", "yaml", "yml", "json", "md",
    };

    Scanners() {
        for (char c = 'a'; c <= 'z'; ++c) ascii_word[static_cast<unsigned char>(c)] = true;
        for (char c = 'A'; c <= 'Z'; ++c) ascii_word[static_cast<unsigned char>(c)] = true;
        for (char c = '0'; c <= '9'; ++c) ascii_word[static_cast<unsigned char>(c)] = true;
        ascii_word['_'] = true;
    }

    bool is_word(char32_t cp) const noexcept {
        if (cp < 0x80) return ascii_word[cp];
        if (text::is_alphabetic(cp) || text::is_join_control(cp)) return true;
        const auto c = text::category(cp);
        return c == text::Mn || c == text::Mc || c == text::Me || c == text::Nd || c == text::Pc;
    }

    bool is_extension(std::string_view s) const noexcept {
        for (std::string_view e : extensions) {
            if (e == s) return true;
        }
        return false;
    }
};

const Scanners& scanners() {
    static const Scanners s;  // thread-safe one-time initialisation
    return s;
}

// A maximal run of word characters, as byte offsets into the query.
struct Run {
    std::size_t begin;
    std::size_t end;
    bool ascii_ident;  // every character is one of [A-Za-z0-9_]
};

std::vector<Run> word_runs(const Scanners& sc, std::string_view q) {
    std::vector<Run> runs;
    const char* const base = q.data();
    const char* const end = base + q.size();
    const char* p = base;
    bool in_run = false;
    Run cur{};
    while (p < end) {
        const char* at = p;
        const auto c = static_cast<unsigned char>(*p);
        bool word;
        bool ident;
        if (c < 0x80) {
            ++p;
            word = sc.ascii_word[c];
            ident = word;
        } else {
            word = sc.is_word(text::decode_utf8(p, end));
            ident = false;
        }
        if (word) {
            if (!in_run) {
                cur = Run{static_cast<std::size_t>(at - base), 0, true};
                in_run = true;
            }
            cur.ascii_ident = cur.ascii_ident && ident;
        } else if (in_run) {
            cur.end = static_cast<std::size_t>(at - base);
            runs.push_back(cur);
            in_run = false;
        }
    }
    if (in_run) {
        cur.end = q.size();
        runs.push_back(cur);
    }
    return runs;
}

inline bool ident_start(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
inline bool is_upper(char c) noexcept { return c >= 'A' && c <= 'Z'; }
inline bool is_lower_or_digit(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// The set of tokens, kept in first-insertion order. Queries yield a handful
// of tokens, so a linear scan finds duplicates until the set grows larger.
class TokenSet {
public:
    void add(std::string_view token) {
        if (contains(token)) return;
        order_.emplace_back(token);  // deque: earlier elements never move
        if (order_.size() == kLinear + 1) {
            for (const std::string& t : order_) seen_.insert(t);
        } else if (order_.size() > kLinear) {
            seen_.insert(order_.back());
        }
    }
    const std::deque<std::string>& tokens() const noexcept { return order_; }

private:
    static constexpr std::size_t kLinear = 16;

    bool contains(std::string_view token) const {
        if (order_.size() > kLinear) return seen_.count(token) != 0;
        for (const std::string& t : order_) {
            if (t == token) return true;
        }
        return false;
    }

    std::deque<std::string> order_;
    std::unordered_set<std::string_view> seen_;
};

void ascii_lower_append(std::string& out, std::string_view s) {
    for (char c : s) out.push_back(is_upper(c) ? static_cast<char>(c + 32) : c);
}

std::deque<std::string> extract_tokens(std::string_view q) {
    const Scanners& sc = scanners();
    const std::vector<Run> runs = word_runs(sc, q);
    TokenSet set;
    auto run_text = [&](const Run& r) { return q.substr(r.begin, r.end - r.begin); };
    // A run directly followed by '.' and then another run.
    auto dotted = [&](std::size_t i) {
        return i + 1 < runs.size() && runs[i].end < q.size() && q[runs[i].end] == '.' &&
               runs[i + 1].begin == runs[i].end + 1;
    };

    // Stems of file names with a known extension.
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (dotted(i) && runs[i + 1].ascii_ident && sc.is_extension(run_text(runs[i + 1]))) {
            set.add(text::to_lower(run_text(runs[i])));
            ++i;  // the extension is consumed by the match
        }
    }

    // Qualified names a.b, both halves starting with [A-Za-z_] and at least
    // two characters long.
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (!dotted(i)) continue;
        const Run& a = runs[i];
        const Run& b = runs[i + 1];
        if (!ident_start(q[a.begin]) || a.end - a.begin < 2 || !ident_start(q[b.begin]) || b.end - b.begin < 2) {
            continue;
        }
        std::string first = text::to_lower(run_text(a));
        std::string second = text::to_lower(run_text(b));
        std::string joined;
        joined.reserve(first.size() + 1 + second.size());
        joined.append(first).push_back('.');
        joined.append(second);
        set.add(first);
        set.add(second);
        set.add(joined);
        ++i;
    }

    // Identifiers of four or more characters, with their camel-case and
    // snake-case pieces of three or more characters.
    std::string lowered;
    for (const Run& r : runs) {
        if (!r.ascii_ident || r.end - r.begin < 4 || !ident_start(q[r.begin])) continue;
        const std::string_view ident = run_text(r);
        lowered.clear();
        ascii_lower_append(lowered, ident);
        set.add(lowered);

        for (std::size_t k = 0; k < ident.size();) {
            const char c = ident[k];
            if (!is_upper(c) && !(c >= 'a' && c <= 'z')) {
                ++k;
                continue;
            }
            std::size_t e = k + 1;
            while (e < ident.size() && is_lower_or_digit(ident[e])) ++e;
            if (e - k >= 3) set.add(std::string_view(lowered).substr(k, e - k));
            k = e;
        }

        if (lowered.find('_') != std::string::npos) {
            std::size_t start = 0;
            for (std::size_t k = 0; k <= lowered.size(); ++k) {
                if (k == lowered.size() || lowered[k] == '_') {
                    if (k - start >= 3) set.add(std::string_view(lowered).substr(start, k - start));
                    start = k + 1;
                }
            }
        }
    }
    return set.tokens();
}

PyObject* extract_code_query_tokens(Args args) {
    const std::deque<std::string> tokens = extract_tokens(args[0].text);
    Ref out = new_list(static_cast<Py_ssize_t>(tokens.size()));
    for (std::size_t i = 0; i < tokens.size(); ++i) list_set(out.get(), static_cast<Py_ssize_t>(i), to_py(tokens[i]));
    return out.release();
}

constexpr Param kParams[] = {
    required("query", Kind::Text),
};

const FunctionSpec fn_extract_code_query_tokens{
    "extract_code_query_tokens",
    "extract_code_query_tokens(query)\n--\n\n"
    "Extract identifier-like tokens from a code query.\n"
    "\n"
    "Mirrors `code_retrieval._extract_code_query_tokens`. Tokens come from:\n"
    "- basename stems of file names, with a known extension stripped (`auth/login.py` -> `login`);\n"
    "- qualified names: `foo.bar` yields `foo`, `bar` and `foo.bar`;\n"
    "- every identifier of at least 4 characters, plus its CamelCase and snake_case parts\n"
    "  of at least 3 characters.\n"
    "\n"
    "Returns a list of lower-case tokens (each once, in no particular order); the caller\n"
    "wraps it in a `frozenset`.",
    kParams,
    &extract_code_query_tokens,
};
LVX_REGISTER_FUNCTION(fn_extract_code_query_tokens);

}  // namespace
}  // namespace lvx::code
