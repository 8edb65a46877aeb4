// build_dedup_corpus_payload: a text pool plus per-document entries that
// point into it.
#include "lexical/corpus.hpp"
#include "module/records.hpp"
#include "persist/msgpack.hpp"

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
    // Building one new dict per document makes the cyclic collector pass over
    // the whole heap again and again; none of the new objects can form a
    // cycle. Host code runs here only in a caller's key __eq__ during a
    // lookup, and sees nothing but the paused collector.
    const GcPause pause;

    // Text pool positions keyed by exact str objects: their hash is cached
    // in the object and their comparison runs no host code.
    Ref positions = new_dict();
    Ref texts = new_list();
    Ref docs = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(corpus); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(corpus, i));
        require_dict_item(item.get());
        Ref text = exact_str(get_str_from_dict(item.get(), k_text), empty);
        Ref id = exact_str(get_str_from_dict(item.get(), k_id), empty);
        Ref t = Ref::borrow(PyDict_GetItemWithError(positions.get(), text.get()));
        if (!t) {
            if (PyErr_Occurred()) throw PyErrorSet{};
            t = Ref::checked(PyLong_FromSsize_t(PyList_GET_SIZE(texts.get())));
            dict_set(positions.get(), text.get(), t);
            list_append(texts.get(), text);
        }
        Ref metadata = Ref::borrow(lookup_quiet(item.get(), k_metadata.get()));
        if (!metadata) metadata = new_dict();
        Ref entry = new_dict();
        dict_set(entry.get(), k_id.get(), id);
        dict_set(entry.get(), k_t.get(), t);
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
