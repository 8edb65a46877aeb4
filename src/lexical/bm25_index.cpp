// build_bm25_index: one pass over the corpus into a forward list of
// (term id, frequency) per document, then a transposition into per-term
// posting lists carrying each posting's precomputed BM25 contribution.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "lexical/bm25.hpp"
#include "lexical/tokenize.hpp"
#include "module/records.hpp"

namespace lvx::lexical {
namespace {

struct ForwardEntry {
    std::uint32_t term;
    std::uint32_t tf;
};

// The distinct terms of one document with their counts, in order of first
// occurrence. Small and reused, so counting stays in cache; the corpus-wide
// dictionary is then consulted once per distinct term.
class DocumentTerms {
public:
    struct Entry {
        TermTable::Key key;
        std::string_view term;
        std::uint32_t count;
    };

    void count(const TermTable& terms, const std::vector<std::string_view>& tokens) {
        entries_.clear();
        std::size_t cap = 16;
        while (cap < tokens.size() * 2) cap *= 2;
        slots_.assign(cap, 0);
        const std::size_t mask = cap - 1;
        for (const std::string_view token : tokens) {
            const TermTable::Key key = terms.key(token);
            std::size_t i = static_cast<std::size_t>(key.hash) & mask;
            for (;; i = (i + 1) & mask) {
                const std::uint32_t e = slots_[i];
                if (e == 0) {
                    entries_.push_back({key, token, 1});
                    slots_[i] = static_cast<std::uint32_t>(entries_.size());
                    break;
                }
                Entry& entry = entries_[e - 1];
                if (entry.key.same(entry.term, key, token)) {
                    if (entry.count != UINT32_MAX) ++entry.count;
                    break;
                }
            }
        }
    }
    const std::vector<Entry>& entries() const noexcept { return entries_; }

private:
    std::vector<Entry> entries_;
    std::vector<std::uint32_t> slots_;  // entry index + 1; 0 = empty
};

// The text of a corpus item: its "text" value when that is a str that
// encodes as UTF-8, else "". A raising lookup propagates. `hold` keeps the
// returned view alive.
std::string_view document_text(PyObject* item, Ref& hold) {
    static const Key k_text{"text"};
    PyObject* value = PyDict_GetItemWithError(item, k_text.get());
    if (value == nullptr) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        return {};
    }
    if (!PyUnicode_Check(value)) return {};
    hold = Ref::borrow(value);
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(value, &n);
    if (s == nullptr) {
        PyErr_Clear();
        return {};
    }
    return {s, static_cast<std::size_t>(n)};
}

PyObject* build_bm25_index(Args args) {
    PyObject* corpus = args[0].obj;
    auto index = std::make_unique<Bm25Payload>();
    TermTable& terms = index->terms;

    std::vector<ForwardEntry> forward;
    std::vector<std::uint64_t> doc_len;
    std::vector<std::uint64_t> doc_end;  // end of each document's entries in `forward`
    DocumentTerms doc_terms;
    std::string buffer;
    std::vector<std::string_view> tokens;

    // Re-read the size every time: a key's __eq__ run by a lookup may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(corpus); ++i) {
        if (static_cast<std::uint64_t>(i) >= UINT32_MAX) raise(PyExc_OverflowError, "too many documents for a BM25 index");
        Ref item = Ref::borrow(PyList_GET_ITEM(corpus, i));
        require_dict_item(item.get());
        Ref hold;
        const std::string_view text = document_text(item.get(), hold);

        tokens.clear();
        tokenize(text, buffer, tokens);
        doc_terms.count(terms, tokens);
        // Start fetching every slot first: a document's misses then overlap.
        for (const DocumentTerms::Entry& e : doc_terms.entries()) terms.prefetch(e.key);
        for (const DocumentTerms::Entry& e : doc_terms.entries()) {
            std::uint32_t id;
            try {
                id = terms.add_to_document_count(e.term, e.key);
            } catch (const std::length_error&) {
                raise(PyExc_OverflowError, "too many distinct terms for a BM25 index");
            }
            forward.push_back({id, e.count});
        }
        doc_len.push_back(tokens.size());
        doc_end.push_back(forward.size());
    }

    const std::size_t n_docs = doc_len.size();
    const std::size_t n_terms = terms.size();
    std::uint64_t total_len = 0;
    for (const std::uint64_t len : doc_len) total_len += len;
    const double n = static_cast<double>(n_docs);
    index->n_docs = n_docs;
    index->avgdl = n_docs > 0 ? static_cast<double>(total_len) / n : 0.0;

    std::vector<std::uint32_t> df(n_terms);
    terms.for_each_count([&](std::uint32_t id, std::uint32_t count) { df[id] = count; });
    std::vector<double> idf(n_terms);
    for (std::size_t t = 0; t < n_terms; ++t) {
        const double d = static_cast<double>(df[t]);
        idf[t] = std::log((n - d + 0.5) / (d + 0.5) + 1.0);
    }

    // Start of each term's postings; used as a write cursor during the
    // scatter, after which entry t holds the start of term t + 1.
    std::vector<std::uint64_t>& offsets = index->offsets;
    offsets.assign(n_terms + 1, 0);
    {
        std::uint64_t at = 0;
        for (std::size_t t = 0; t < n_terms; ++t) {
            offsets[t] = at;
            at += df[t];
        }
        offsets[n_terms] = at;
    }
    std::vector<std::uint32_t>().swap(df);
    index->docs.resize(forward.size());
    index->weights.resize(forward.size());

    const double k1 = kBm25K1;
    const double b = kBm25B;
    const double k1_plus_1 = k1 + 1.0;
    const double one_minus_b = 1.0 - b;
    const double avgdl = std::max(index->avgdl, 1e-9);
    std::uint32_t* const docs = index->docs.data();
    double* const weights = index->weights.data();
    const ForwardEntry* const fw = forward.data();
    const std::size_t n_forward = forward.size();
    std::uint64_t* const cursor = offsets.data();
    // Postings of rare terms land far apart: fetch a term's cursor, then the
    // places its next posting goes to, some entries ahead.
    constexpr std::size_t kAheadCursor = 16;
    constexpr std::size_t kAheadTarget = 8;
    std::size_t e = 0;
    for (std::size_t p = 0; p < n_docs; ++p) {
        const double dl = static_cast<double>(doc_len[p]);
        const double norm = (dl * b / avgdl + one_minus_b) * k1;
        for (; e < doc_end[p]; ++e) {
            if (e + kAheadCursor < n_forward) __builtin_prefetch(&cursor[fw[e + kAheadCursor].term]);
            if (e + kAheadTarget < n_forward) {
                const std::uint64_t next = cursor[fw[e + kAheadTarget].term];
                __builtin_prefetch(&docs[next], 1);
                __builtin_prefetch(&weights[next], 1);
            }
            const ForwardEntry fe = fw[e];
            const double tf = static_cast<double>(fe.tf);
            const std::uint64_t at = offsets[fe.term]++;
            docs[at] = static_cast<std::uint32_t>(p);
            weights[at] = k1_plus_1 * tf / (norm + tf) * idf[fe.term];
        }
    }
    for (std::size_t t = n_terms; t > 0; --t) offsets[t] = offsets[t - 1];
    offsets[0] = 0;
    terms.compact();

    return new_index_object(IndexKind::Bm25, std::move(index));
}

constexpr Param kParams[] = {
    required("corpus", Kind::List),
};

const FunctionSpec fn_build_bm25_index{
    "build_bm25_index",
    "build_bm25_index(corpus)\n--\n\n",
    kParams,
    &build_bm25_index,
};
LVX_REGISTER_FUNCTION(fn_build_bm25_index);

}  // namespace
}  // namespace lvx::lexical
