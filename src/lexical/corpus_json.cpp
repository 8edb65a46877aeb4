// decode_corpus_json: the "dedup_v1" JSON corpus payload and the legacy flat
// list, read with the module's strict JSON reader.
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lexical/corpus.hpp"
#include "persist/json.hpp"
#include "persist/msgpack.hpp"

namespace lvx::lexical {
namespace {

namespace json = persist::json;

bool is_string(const json::Value* v) noexcept { return v != nullptr && v->type == json::Type::String; }

// JSON values to host values, for one document.
class Converter {
public:
    explicit Converter(const json::Document& doc) : doc_(doc) {}

    const json::Document& doc() const noexcept { return doc_; }

    // New str of a String value: ASCII text is written straight into the str.
    Ref str(const json::Value& v) {
        if (!v.ascii) return to_py(doc_.text(v, scratch_));
        Ref out = Ref::checked(PyUnicode_New(static_cast<Py_ssize_t>(v.n), 127));
        doc_.write_text(v, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(out.get())));
        return out;
    }

    // The str of a member name. Metadata objects repeat the same few names
    // over and over, so short names are made once per document and shared.
    Ref name(const json::Value& v) {
        const std::string_view text = doc_.name(v);
        if (text.size() > kMaxCachedName) return str(v);
        if (auto found = names_.find(text); found != names_.end()) return found->second;
        Ref s = str(v);
        if (names_.size() < kMaxCachedNames) names_.emplace(text, s);
        return s;
    }

    Ref value(const json::Value& v) {
        switch (v.type) {
            case json::Type::Null: return none();
            case json::Type::False: return to_py_bool(false);
            case json::Type::True: return to_py_bool(true);
            case json::Type::UInt:
                if (v.u > static_cast<std::uint64_t>(INT64_MAX)) return to_py_float(static_cast<double>(v.u));
                return to_py_int(static_cast<std::int64_t>(v.u));
            case json::Type::NegInt: return to_py_int(v.i);
            case json::Type::Double: return to_py_float(v.d);
            case json::Type::String: return str(v);
            case json::Type::Array: {
                const auto items = doc_.elements(v);
                Ref list = new_list(static_cast<Py_ssize_t>(items.size()));
                for (std::size_t k = 0; k < items.size(); ++k) {
                    list_set(list.get(), static_cast<Py_ssize_t>(k), value(items[k]));
                }
                return list;
            }
            case json::Type::Object: {
                const auto members = doc_.members(v);
                Ref dict = new_dict();
                for (std::size_t k = 0; k < members.size(); k += 2) {
                    Ref key = name(members[k]);
                    Ref item = value(members[k + 1]);
                    dict_set(dict.get(), key.get(), item);
                }
                return dict;
            }
        }
        raise_internal("unknown JSON value type");
    }

    // The member `key` of an object when it is a string, else "".
    Ref str_member(const json::Value& object, std::string_view key, const Ref& empty) {
        const json::Value* v = doc_.find(object, key);
        return is_string(v) ? str(*v) : empty;
    }

    // The "metadata" member converted, or a new empty dict when there is none.
    Ref metadata(const json::Value& entry) {
        const json::Value* m = doc_.find(entry, "metadata");
        return m ? value(*m) : new_dict();
    }

    bool string_equals(const json::Value* v, std::string_view text) {
        return is_string(v) && doc_.text(*v, scratch_) == text;
    }

private:
    static constexpr std::size_t kMaxCachedName = 64;
    static constexpr std::size_t kMaxCachedNames = 4096;

    const json::Document& doc_;
    std::string scratch_;
    std::unordered_map<std::string_view, Ref> names_;
};

// {"format": "dedup_v1", "texts": [...], "docs": [...]}
Ref decode_dedup(Converter& conv, const json::Value& root) {
    const json::Document& doc = conv.doc();
    if (!conv.string_equals(doc.find(root, "format"), "dedup_v1")) return none();
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
        Ref id = conv.str_member(entry, "id", empty);
        const std::size_t t = doc.find(entry, "t")->u;
        if (!pool_strs[t]) pool_strs[t] = conv.str(pool[t]);
        Ref metadata = conv.metadata(entry);
        list_set(out.get(), static_cast<Py_ssize_t>(k), corpus_document(id, pool_strs[t], metadata));
    }
    return out;
}

// [{"id": ..., "text": ..., "metadata": ...}, ...]; elements are never rejected.
Ref decode_legacy(Converter& conv, const json::Value& root) {
    const auto entries = conv.doc().elements(root);
    const Ref empty = empty_str();
    Ref out = new_list(static_cast<Py_ssize_t>(entries.size()));
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const json::Value& entry = entries[k];
        Ref doc_item;
        if (entry.type == json::Type::Object) {
            Ref id = conv.str_member(entry, "id", empty);
            Ref text = conv.str_member(entry, "text", empty);
            doc_item = corpus_document(id, text, conv.metadata(entry));
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
    Converter conv(doc);
    if (root.type == json::Type::Object) return decode_dedup(conv, root).release();
    if (root.type == json::Type::Array) return decode_legacy(conv, root).release();
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
