// MessagePack codecs of the sentence-window index and of the sentence vector
// store's metadata: both payloads are the array [1, first, second].
#include "module/core.hpp"
#include "persist/msgpack.hpp"

namespace lvx::sentence {
namespace {

PyObject* encode_pair(Args args) {
    msgpack::Writer w;
    w.put_array_header(3);
    w.put_uint(1);
    w.put_host(args[0].obj);
    w.put_host(args[1].obj);
    return w.finish().release();
}

// Reads [marker, first, second] and returns (first, second) when both have
// the wanted kind, else None. The marker is not examined.
PyObject* decode_pair(std::string_view data, int (*kind_check)(PyObject*)) {
    const GcPause pause;
    try {
        msgpack::Reader r(data);
        int budget = msgpack::kBudget;
        std::uint32_t n = 0;
        if (!r.read_array_header(n, budget) || n != 3 || !r.skip(budget)) return none().release();
        Ref first = r.read_host(budget);
        if (!first) return none().release();
        Ref second = r.read_host(budget);
        if (!second) return none().release();
        if (!kind_check(first.get()) || !kind_check(second.get())) return none().release();
        return make_tuple(std::move(first), std::move(second)).release();
    } catch (PyErrorSet&) {
        // A value that cannot become a host object is an error only when the
        // payload reads as a whole.
        if (!msgpack::well_formed(data)) {
            PyErr_Clear();
            return none().release();
        }
        throw;
    }
}

int is_dict(PyObject* o) { return PyDict_Check(o); }
int is_list(PyObject* o) { return PyList_Check(o); }

PyObject* decode_sentence_index(Args args) { return decode_pair(args[0].bytes, &is_dict); }
PyObject* decode_sentence_meta(Args args) { return decode_pair(args[0].bytes, &is_list); }

constexpr Param kIndexParams[] = {
    required("records", Kind::Dict),
    required("chunk_to_sentences", Kind::Dict),
};
constexpr Param kMetaParams[] = {
    required("ids", Kind::List),
    required("meta", Kind::List),
};
constexpr Param kData[] = {required("data", Kind::Bytes)};

const FunctionSpec fn_encode_sentence_index{
    "encode_sentence_index",
    "encode_sentence_index(records, chunk_to_sentences)\n--\n\n"
    "Encode SentenceWindowIndex data to msgpack bytes.\n"
    "\n"
    "`records`             \xe2\x80\x94 dict[str, dict]   (sentence_id \xe2\x86\x92 record dict)\n"
    "`chunk_to_sentences`  \xe2\x80\x94 dict[str, list[str]]",
    kIndexParams,
    &encode_pair,
};
LVX_REGISTER_FUNCTION(fn_encode_sentence_index);

const FunctionSpec fn_decode_sentence_index{
    "decode_sentence_index",
    "decode_sentence_index(data)\n--\n\n"
    "Decode msgpack bytes \xe2\x86\x92 `(records: PyDict, chunk_to_sentences: PyDict)`.\n"
    "Returns `None` on error.",
    kData,
    &decode_sentence_index,
};
LVX_REGISTER_FUNCTION(fn_decode_sentence_index);

const FunctionSpec fn_encode_sentence_meta{
    "encode_sentence_meta",
    "encode_sentence_meta(ids, meta)\n--\n\n"
    "Encode SentenceVectorStore meta to msgpack bytes.\n"
    "\n"
    "`ids`  \xe2\x80\x94 list[str]\n"
    "`meta` \xe2\x80\x94 list[dict]",
    kMetaParams,
    &encode_pair,
};
LVX_REGISTER_FUNCTION(fn_encode_sentence_meta);

const FunctionSpec fn_decode_sentence_meta{
    "decode_sentence_meta",
    "decode_sentence_meta(data)\n--\n\n"
    "Decode msgpack bytes \xe2\x86\x92 `(ids: list[str], meta: list[dict])`.\n"
    "Returns `None` on error.",
    kData,
    &decode_sentence_meta,
};
LVX_REGISTER_FUNCTION(fn_decode_sentence_meta);

}  // namespace
}  // namespace lvx::sentence
