// decode_corpus_json: the "dedup_v1" JSON corpus payload and the legacy flat
// list, read with the module's strict JSON reader.
#include <string>
#include <vector>

#include "lexical/corpus.hpp"
#include "persist/json.hpp"

namespace lvx::lexical {
namespace {

namespace json = persist::json;

// New str of a String value: ASCII text is written straight into the str.
Ref str_of(const json::Document& doc, const json::Value& v, std::string& scratch) {
    if (!v.ascii) return to_py(doc.text(v, scratch));
    Ref out = Ref::checked(PyUnicode_New(static_cast<Py_ssize_t>(v.n), 127));
    doc.write_text(v, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out.get())));
    return out;
}

Ref json_value_to_pyobject(const json::Document& doc, const json::Value& v, std::string& scratch) {
    switch (v.type) {
        case json::Type::Null: return none();
        case json::Type::False: return to_py_bool(false);
        case json::Type::True: return to_py_bool(true);
        case json::Type::UInt:
            if (v.u > static_cast<std::uint64_t>(INT64_MAX)) return to_py_float(static_cast<double>(v.u));
            return to_py_int(static_cast<std::int64_t>(v.u));
        case json::Type::NegInt: return to_py_int(v.i);
        case json::Type::Double: return to_py_float(v.d);
        case json::Type::String: return str_of(doc, v, scratch);
        case json::Type::Array: {
            const auto items = doc.elements(v);
            Ref list = new_list(static_cast<Py_ssize_t>(items.size()));
            for (std::size_t k = 0; k < items.size(); ++k) {
                list_set(list.get(), static_cast<Py_ssize_t>(k), json_value_to_pyobject(doc, items[k], scratch));
            }
            return list;
        }
        case json::Type::Object: {
            const auto members = doc.members(v);
            Ref dict = new_dict();
            for (std::size_t k = 0; k < members.size(); k += 2) {
                Ref name = str_of(doc, members[k], scratch);
                Ref value = json_value_to_pyobject(doc, members[k + 1], scratch);
                dict_set(dict.get(), name.get(), value);
            }
            return dict;
        }
    }
    raise_internal("unknown JSON value type");
}

bool is_string(const json::Value* v) noexcept { return v != nullptr && v->type == json::Type::String; }

// Metadata member converted, or a new empty dict when there is none.
Ref metadata_of(const json::Document& doc, const json::Value& entry, std::string& scratch) {
    const json::Value* m = doc.find(entry, "metadata");
    return m ? json_value_to_pyobject(doc, *m, scratch) : new_dict();
}

Ref text_or_empty(const json::Document& doc, const json::Value* v, const Ref& empty, std::string& scratch) {
    return is_string(v) ? str_of(doc, *v, scratch) : empty;
}

// {"format": "dedup_v1", "texts": [...], "docs": [...]}
Ref decode_dedup(const json::Document& doc, const json::Value& root, std::string& scratch) {
    const json::Value* format = doc.find(root, "format");
    if (!is_string(format) || doc.text(*format, scratch) != "dedup_v1") return none();
    const json::Value* texts = doc.find(root, "texts");
    const json::Value* docs = doc.find(root, "docs");
    if (texts == nullptr || texts->type != json::Type::Array) return none();
    if (docs == nullptr || docs->type != json::Type::Array) return none();
    const auto pool = doc.elements(*texts);
    const auto entries = doc.elements(*docs);
    // Check every entry before building anything: one bad entry rejects all.
    for (const json::Value& entry : entries) {
        if (entry.type != json::Type::Object) return none();
        const json::Value* t = doc.find(entry, "t");
        if (t == nullptr || t->type != json::Type::UInt || t->u >= pool.size()) return none();
        if (pool[t->u].type != json::Type::String) return none();
    }
    const Ref empty = empty_str();
    // Each pool text becomes one str, shared by every document that uses it.
    std::vector<Ref> pool_strs(pool.size());
    Ref out = new_list(static_cast<Py_ssize_t>(entries.size()));
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const json::Value& entry = entries[k];
        Ref id = text_or_empty(doc, doc.find(entry, "id"), empty, scratch);
        const std::size_t t = doc.find(entry, "t")->u;
        if (!pool_strs[t]) pool_strs[t] = str_of(doc, pool[t], scratch);
        Ref metadata = metadata_of(doc, entry, scratch);
        list_set(out.get(), static_cast<Py_ssize_t>(k), corpus_document(id, pool_strs[t], metadata));
    }
    return out;
}

// [{"id": ..., "text": ..., "metadata": ...}, ...]; elements are never rejected.
Ref decode_legacy(const json::Document& doc, const json::Value& root, std::string& scratch) {
    const auto entries = doc.elements(root);
    const Ref empty = empty_str();
    Ref out = new_list(static_cast<Py_ssize_t>(entries.size()));
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const json::Value& entry = entries[k];
        Ref doc_item;
        if (entry.type == json::Type::Object) {
            Ref id = text_or_empty(doc, doc.find(entry, "id"), empty, scratch);
            Ref text = text_or_empty(doc, doc.find(entry, "text"), empty, scratch);
            doc_item = corpus_document(id, text, metadata_of(doc, entry, scratch));
        } else {
            doc_item = corpus_document(empty, empty, new_dict());
        }
        list_set(out.get(), static_cast<Py_ssize_t>(k), std::move(doc_item));
    }
    return out;
}

PyObject* decode_corpus_json(Args args) {
    json::Document doc;
    if (!doc.parse(args[0].bytes)) return none().release();
    const json::Value& root = doc.root();
    const GcPause pause;
    std::string scratch;
    if (root.type == json::Type::Object) return decode_dedup(doc, root, scratch).release();
    if (root.type == json::Type::Array) return decode_legacy(doc, root, scratch).release();
    return none().release();
}

constexpr Param kParams[] = {
    required("data", Kind::Bytes),
};

const FunctionSpec fn_decode_corpus_json{
    "decode_corpus_json",
    "decode_corpus_json(data)\n--\n\n"
    "Decode a BM25 corpus JSON payload (raw bytes) into a flat list of\n"
    "{\"id\", \"text\", \"metadata\"} Python dicts.\n"
    "\n"
    "Accepts both:\n"
    "  - dedup_v1 format: {\"format\": \"dedup_v1\", \"texts\": [...], \"docs\": [...]}\n"
    "  - legacy format: list of {\"id\", \"text\", \"metadata\"} dicts\n"
    "\n"
    "Returns `None` on unrecognised/malformed input so Python can fall back.",
    kParams,
    &decode_corpus_json,
};
LVX_REGISTER_FUNCTION(fn_decode_corpus_json);

}  // namespace
}  // namespace lvx::lexical
