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

namespace lvx::code {

// Walking a large corpus is bound by memory latency: each record is a dict
// somewhere in the heap. Prefetches the record 16 ahead and the key table of
// the record 8 ahead (by then its object is in cache). Reads nothing that
// could run host code.
inline void prefetch_records_ahead(PyObject* list, Py_ssize_t r) noexcept {
    constexpr Py_ssize_t kAhead = 8;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (r + 2 * kAhead < n) __builtin_prefetch(PyList_GET_ITEM(list, r + 2 * kAhead));
    if (r + kAhead < n) {
        PyObject* ahead = PyList_GET_ITEM(list, r + kAhead);
        if (PyDict_CheckExact(ahead)) {
            const char* keys = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(ahead)->ma_keys);
            __builtin_prefetch(keys);
            __builtin_prefetch(keys + 64);
        }
    }
}

// Walks every record of a list of corpora, numbering records from 0 across
// all corpora, and calls f(position, metadata) for each record that has a
// "metadata" dict. A corpus that is not a list, a record that is not a dict
// or a "metadata" value that is not a dict raises the conversion TypeError.
// Sizes are re-read at every step and the current corpus, record and
// metadata are held: f may run host code that changes the lists.
template <class F>
void for_each_code_record(PyObject* corpora, F&& f) {
    static const Key k_metadata{"metadata"};
    std::uint64_t position = 0;
    for (Py_ssize_t c = 0; c < PyList_GET_SIZE(corpora); ++c) {
        Ref corpus = Ref::borrow(PyList_GET_ITEM(corpora, c));
        if (!PyList_Check(corpus.get())) raise_cannot_convert(corpus.get(), "PyList");
        for (Py_ssize_t r = 0; r < PyList_GET_SIZE(corpus.get()); ++r, ++position) {
            prefetch_records_ahead(corpus.get(), r);
            Ref record = Ref::borrow(PyList_GET_ITEM(corpus.get(), r));
            require_dict_item(record.get());
            Ref metadata = Ref::borrow(lookup_quiet(record.get(), k_metadata.get()));
            if (!metadata) continue;
            require_dict_item(metadata.get());
            f(position, metadata.get());
        }
    }
}

// Lower-cased "symbol_name" and "qualified_name" of a metadata dict.
inline void read_symbol_names(PyObject* metadata, std::string& symbol, std::string& qualified) {
    static const Key k_symbol_name{"symbol_name"};
    static const Key k_qualified_name{"qualified_name"};
    read_lower_name(metadata, k_symbol_name, symbol);
    read_lower_name(metadata, k_qualified_name, qualified);
}

}  // namespace lvx::code

