// Helpers shared by the code-retrieval functions: token and name texts,
// lower-casing into reusable buffers, byte-wise substring tests, and the
// score ranking shared by the symbol index and the symbol channel.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "module/core.hpp"
#include "module/records.hpp"
#include "text/unicode.hpp"

namespace lvx::code {

// Plain byte-wise substring test ("" is contained in everything).
bool contains(std::string_view haystack, std::string_view needle) noexcept;

// UTF-8 text of a str for use as a query token. A str holding lone
// surrogates has no UTF-8 form; it is kept with each surrogate in its
// three-byte form, which can never match well-formed text. Returns false
// only when the interpreter fails (error set).
bool token_utf8(PyObject* str, std::string& out);

// Full default lower-case mapping of s into out (out is replaced).
inline void lower_into(std::string& out, std::string_view s) {
    out.clear();
    text::append_lower(out, s);
}

// The name under `key` of a metadata dict, lower-cased into `out`; empty when
// missing, not a str or not encodable. Never raises.
void read_lower_name(PyObject* metadata, const Key& key, std::string& out);

// Query tokens of the symbol search: every str element of `tokens` whose
// UTF-8 form has at least 3 bytes, lower-cased, in list order (duplicates
// kept). Raises only when the interpreter fails.
std::vector<std::string> symbol_query_tokens(PyObject* tokens);

enum class Field : std::uint8_t { SymbolName, QualifiedName };

// Interned "symbol_name" / "qualified_name".
PyObject* field_name(Field f);

struct Hit {
    std::uint64_t position;
    double score;
    Field field;
};

// Stable ranking by score, highest first; NaN-free scores only (1.0 / 0.6).
inline void rank_hits(std::vector<Hit>& hits) {
    std::stable_sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) { return a.score > b.score; });
}

}  // namespace lvx::code
