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

struct TermState {
    std::uint32_t last_doc = 0;  // position + 1 of the last document that used the term
    std::uint32_t count = 0;     // occurrences in that document
    std::uint32_t df = 0;        // documents containing the term
};

struct ForwardEntry {
    std::uint32_t term;
    std::uint32_t tf;
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

    std::vector<TermState> state;
    std::vector<ForwardEntry> forward;
    std::vector<std::uint64_t> doc_len;
    std::vector<std::uint64_t> doc_end;  // end of each document's entries in `forward`
    std::vector<std::uint32_t> distinct;
    std::string buffer;
    std::vector<std::string_view> tokens;

    // Re-read the size every time: a key's __eq__ run by a lookup may change the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(corpus); ++i) {
        if (static_cast<std::uint64_t>(i) >= UINT32_MAX - 1) {
            raise(PyExc_OverflowError, "too many documents for a BM25 index");
        }
        const auto doc = static_cast<std::uint32_t>(i) + 1;  // stored position + 1
        Ref item = Ref::borrow(PyList_GET_ITEM(corpus, i));
        require_dict_item(item.get());
        Ref hold;
        const std::string_view text = document_text(item.get(), hold);

        tokens.clear();
        tokenize(text, buffer, tokens);
        distinct.clear();
        for (const std::string_view token : tokens) {
            bool inserted = false;
            std::uint32_t id;
            try {
                id = terms.intern(token, inserted);
            } catch (const std::length_error&) {
                raise(PyExc_OverflowError, "too many distinct terms for a BM25 index");
            }
            if (inserted) state.emplace_back();
            TermState& st = state[id];
            if (st.last_doc != doc) {
                st.last_doc = doc;
                st.count = 1;
                distinct.push_back(id);
            } else if (st.count != UINT32_MAX) {
                ++st.count;
            }
        }
        for (const std::uint32_t id : distinct) {
            forward.push_back({id, state[id].count});
            ++state[id].df;
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

    std::vector<double> idf(n_terms);
    for (std::size_t t = 0; t < n_terms; ++t) {
        const double df = static_cast<double>(state[t].df);
        idf[t] = std::log((n - df + 0.5) / (df + 0.5) + 1.0);
    }

    // Start of each term's postings; used as a write cursor during the
    // scatter, after which entry t holds the start of term t + 1.
    std::vector<std::uint64_t>& offsets = index->offsets;
    offsets.assign(n_terms + 1, 0);
    {
        std::uint64_t at = 0;
        for (std::size_t t = 0; t < n_terms; ++t) {
            offsets[t] = at;
            at += state[t].df;
        }
        offsets[n_terms] = at;
    }
    std::vector<TermState>().swap(state);
    index->docs.resize(forward.size());
    index->weights.resize(forward.size());

    const double k1 = kBm25K1;
    const double b = kBm25B;
    const double k1_plus_1 = k1 + 1.0;
    const double one_minus_b = 1.0 - b;
    const double avgdl = std::max(index->avgdl, 1e-9);
    std::uint32_t* const docs = index->docs.data();
    double* const weights = index->weights.data();
    std::size_t e = 0;
    for (std::size_t p = 0; p < n_docs; ++p) {
        const double dl = static_cast<double>(doc_len[p]);
        const double norm = (dl * b / avgdl + one_minus_b) * k1;
        for (; e < doc_end[p]; ++e) {
            const ForwardEntry fe = forward[e];
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
