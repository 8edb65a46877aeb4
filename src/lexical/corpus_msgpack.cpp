// encode_corpus_msgpack / decode_corpus_msgpack: the MessagePack corpus
// payload, version 2: [2, [text, ...], [[id, t, metadata], ...]].
#include <algorithm>
#include <string_view>
#include <vector>

#include "lexical/corpus.hpp"
#include "module/records.hpp"
#include "persist/msgpack.hpp"

namespace lvx::lexical {
namespace {

constexpr std::uint64_t kVersion = 2;

// UTF-8 text of a str, or "" for anything else (and for a str with lone
// surrogates). `item` must stay alive while the view is used.
std::string_view utf8_or_empty(PyObject* item) noexcept {
    if (item == nullptr || !PyUnicode_Check(item)) return {};
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(item, &n);
    if (s == nullptr) {
        PyErr_Clear();
        return {};
    }
    return {s, static_cast<std::size_t>(n)};
}

// Value under key, or null when absent; a failing lookup raises.
Ref lookup(PyObject* dict, const Key& key) {
    PyObject* v = PyDict_GetItemWithError(dict, key.get());
    if (v == nullptr && PyErr_Occurred()) throw PyErrorSet{};
    return Ref::borrow(v);
}

// "t": a non-negative integer (int, bool or __index__) below 2**64, else 0.
std::uint64_t position_of(const Ref& value) {
    if (!value || PyFloat_Check(value.get())) return 0;
    Ref index = Ref::steal(PyNumber_Index(value.get()));
    if (!index) {
        PyErr_Clear();
        return 0;
    }
    const unsigned long long t = PyLong_AsUnsignedLongLong(index.get());
    if (t == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return t;
}

PyObject* encode_corpus_msgpack(Args args) {
    PyObject* texts = args[0].obj;
    PyObject* docs = args[1].obj;
    static const Key k_id{"id"};
    static const Key k_t{"t"};
    static const Key k_metadata{"metadata"};

    msgpack::Writer w;
    w.put_array_header(3);
    w.put_uint(kVersion);
    // No host code runs while the pool is written: the list cannot change.
    const Py_ssize_t n_texts = PyList_GET_SIZE(texts);
    w.put_array_header(static_cast<std::size_t>(n_texts));
    for (Py_ssize_t i = 0; i < n_texts; ++i) w.put_str(utf8_or_empty(PyList_GET_ITEM(texts, i)));

    // Lookups and metadata conversion may run host code that shrinks `docs`:
    // write what is there and correct the announced length afterwards.
    const std::size_t announced = static_cast<std::size_t>(PyList_GET_SIZE(docs));
    const std::size_t header_at = w.size();
    w.put_array_header(announced);
    std::size_t written = 0;
    for (; written < announced && static_cast<Py_ssize_t>(written) < PyList_GET_SIZE(docs); ++written) {
        Ref item = Ref::borrow(PyList_GET_ITEM(docs, static_cast<Py_ssize_t>(written)));
        require_dict_item(item.get());
        const Ref id = lookup(item.get(), k_id);
        const std::uint64_t t = position_of(lookup(item.get(), k_t));
        const Ref metadata = lookup(item.get(), k_metadata);
        w.put_array_header(3);
        w.put_str(utf8_or_empty(id.get()));
        w.put_uint(t);
        if (metadata) {
            w.put_host(metadata.get());
        } else {
            w.put_nil();
        }
    }
    if (written != announced) w.rewrite_header(header_at, announced, written, false);
    return w.finish().release();
}

struct PoolText {
    std::string_view bytes;
    bool valid = false;
};

// The corpus list, or a null Ref when the payload is rejected. Throws
// PyErrorSet when a metadata value cannot become a host object.
Ref read_corpus(std::string_view data) {
    msgpack::Reader r(data);
    int budget = msgpack::kBudget;
    std::uint32_t n = 0;
    if (!r.read_array_header(n, budget) || n != 3) return {};

    msgpack::Integer version;
    if (!r.read_int(version, budget) || version.negative || version.u != kVersion) return {};

    // Texts that are not valid UTF-8 strings read as "".
    int pool_budget = budget;
    std::uint32_t n_pool = 0;
    if (!r.read_array_header(n_pool, pool_budget)) return {};
    std::vector<PoolText> pool;
    pool.reserve(std::min<std::size_t>(n_pool, r.remaining()));
    for (std::uint32_t k = 0; k < n_pool; ++k) {
        PoolText text;
        if (r.peek() == msgpack::Type::String) {
            if (!r.read_str(text.bytes, text.valid, pool_budget)) return {};
        } else if (!r.skip(pool_budget)) {
            return {};
        }
        pool.push_back(text);
    }

    int docs_budget = budget;
    std::uint32_t n_docs = 0;
    if (!r.read_array_header(n_docs, docs_budget)) return {};
    if (n_docs > r.remaining()) return {};  // every entry takes at least one byte

    const Ref empty = empty_str();
    // Each pool text becomes one str, shared by every document that uses it.
    std::vector<Ref> pool_strs(pool.size());
    Ref out = new_list(static_cast<Py_ssize_t>(n_docs));
    for (std::uint32_t k = 0; k < n_docs; ++k) {
        int entry_budget = docs_budget;
        std::uint32_t m = 0;
        if (!r.read_array_header(m, entry_budget) || m != 3) return {};
        std::string_view id_bytes;
        bool id_valid = false;
        if (!r.read_str(id_bytes, id_valid, entry_budget)) return {};
        msgpack::Integer t;
        if (!r.read_int(t, entry_budget)) return {};
        Ref metadata = r.read_host(entry_budget);
        if (!metadata) return {};

        Ref id = id_valid ? to_py(id_bytes) : empty;
        Ref text = empty;
        const std::uint64_t at = t.negative ? 0 : t.u;
        if (at < pool.size() && pool[at].valid) {
            if (!pool_strs[at]) pool_strs[at] = to_py(pool[at].bytes);
            text = pool_strs[at];
        }
        list_set(out.get(), static_cast<Py_ssize_t>(k), corpus_document(id, text, metadata));
    }
    return out;
}

PyObject* decode_corpus_msgpack(Args args) {
    const std::string_view data = args[0].bytes;
    const GcPause pause;
    try {
        Ref out = read_corpus(data);
        return out ? out.release() : none().release();
    } catch (const PyErrorSet&) {
        // A payload that does not read as a whole is rejected, not raised on.
        if (!msgpack::well_formed(data)) {
            PyErr_Clear();
            return none().release();
        }
        throw;
    }
}

constexpr Param kEncodeParams[] = {
    required("texts", Kind::List),
    required("docs", Kind::List),
};

constexpr Param kDecodeParams[] = {
    required("data", Kind::Bytes),
};

const FunctionSpec fn_encode_corpus_msgpack{
    "encode_corpus_msgpack",
    "encode_corpus_msgpack(texts, docs)\n--\n\n"
    "Encode BM25 corpus to MessagePack bytes.\n"
    "\n"
    "Layout: fixarray[3] \xe2\x86\x92 [version: u8=2, texts: array<str>, docs: array<fixarray[3]=[id,t,metadata]>]\n"
    "\n"
    "`texts` \xe2\x80\x94 deduplicated text pool (list of str)\n"
    "`docs`  \xe2\x80\x94 list of {\"id\": str, \"t\": int, \"metadata\": dict}",
    kEncodeParams,
    &encode_corpus_msgpack,
};
LVX_REGISTER_FUNCTION(fn_encode_corpus_msgpack);

const FunctionSpec fn_decode_corpus_msgpack{
    "decode_corpus_msgpack",
    "decode_corpus_msgpack(data)\n--\n\n"
    "Decode MessagePack corpus bytes back to a flat list of {\"id\",\"text\",\"metadata\"} dicts.\n"
    "Returns `None` on malformed input (Python falls back to JSON path).",
    kDecodeParams,
    &decode_corpus_msgpack,
};
LVX_REGISTER_FUNCTION(fn_decode_corpus_msgpack);

}  // namespace
}  // namespace lvx::lexical
