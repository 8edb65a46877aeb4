// build_dedup_corpus_payload: a text pool plus per-document entries that
// point into it.
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lexical/corpus.hpp"
#include "module/records.hpp"

namespace lvx::lexical {
namespace {

// The str itself when it is an exact str, else a new str of its text.
Ref exact_str(const TextRef& t, const Ref& empty) {
    if (!t.owner) return empty;
    if (PyUnicode_CheckExact(t.owner.get())) return t.owner;
    return to_py(t.view);
}

PyObject* build_dedup_corpus_payload(Args args) {
    PyObject* corpus = args[0].obj;
    static const Key k_text{"text"};
    static const Key k_id{"id"};
    static const Key k_t{"t"};
    static const Key k_metadata{"metadata"};
    const Ref empty = empty_str();

    // Pool texts stay alive in `pool_refs`, so the map's views stay valid.
    std::vector<TextRef> pool_refs;
    std::unordered_map<std::string_view, Py_ssize_t> positions;
    positions.reserve(static_cast<std::size_t>(PyList_GET_SIZE(corpus)));
    Ref texts = new_list();
    Ref docs = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(corpus); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(corpus, i));
        require_dict_item(item.get());
        TextRef text = get_str_from_dict(item.get(), k_text);
        TextRef id = get_str_from_dict(item.get(), k_id);
        Py_ssize_t t;
        if (auto found = positions.find(text.view); found != positions.end()) {
            t = found->second;
        } else {
            t = PyList_GET_SIZE(texts.get());
            list_append(texts.get(), exact_str(text, empty));
            positions.emplace(text.view, t);
            pool_refs.push_back(std::move(text));
        }
        Ref metadata = Ref::borrow(lookup_quiet(item.get(), k_metadata.get()));
        if (!metadata) metadata = new_dict();
        Ref entry = new_dict();
        dict_set(entry.get(), k_id.get(), exact_str(id, empty));
        dict_set(entry.get(), k_t.get(), Ref::checked(PyLong_FromSsize_t(t)));
        dict_set(entry.get(), k_metadata.get(), metadata);
        list_append(docs.get(), entry);
    }
    return make_tuple(std::move(texts), std::move(docs)).release();
}

constexpr Param kParams[] = {
    required("corpus", Kind::List),
};

const FunctionSpec fn_build_dedup_corpus_payload{
    "build_dedup_corpus_payload",
    "build_dedup_corpus_payload(corpus)\n--\n\n"
    "Build a deduplicated corpus payload from a list of {\"id\", \"text\", \"metadata\"} dicts.\n"
    "\n"
    "Returns (texts: list[str], docs: list[dict]) where each doc has:\n"
    "  \"id\": str, \"t\": int (index into texts), \"metadata\": dict\n"
    "\n"
    "This is the native counterpart of the Python routine `BM25Retriever._build_dedup_corpus_payload()`.",
    kParams,
    &build_dedup_corpus_payload,
};
LVX_REGISTER_FUNCTION(fn_build_dedup_corpus_payload);

}  // namespace
}  // namespace lvx::lexical
