// Helpers shared by the corpus payload functions.
#pragma once

#include <cstring>
#include <string_view>

#include "module/core.hpp"

namespace lvx::lexical {

// New str from text known to be valid UTF-8; `ascii` selects the direct copy.
inline Ref str_from_utf8(std::string_view s, bool ascii) {
    if (!ascii) return to_py(s);
    Ref out = Ref::checked(PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(out.get()), s.data(), s.size());
    return out;
}

inline Ref empty_str() { return Ref::checked(PyUnicode_New(0, 0)); }

// Pauses the host's cyclic garbage collector while a decoder builds a large
// tree of fresh containers. No host code runs meanwhile and the new objects
// form no cycles, so postponing collection loses nothing; it spares the
// repeated full-heap passes that the allocation count would otherwise trigger.
class GcPause {
public:
    GcPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_enabled_;
};

// New corpus document {"id": id, "text": text, "metadata": metadata}.
inline Ref corpus_document(const Ref& id, const Ref& text, const Ref& metadata) {
    static const Key k_id{"id"};
    static const Key k_text{"text"};
    static const Key k_metadata{"metadata"};
    Ref doc = new_dict();
    dict_set(doc.get(), k_id.get(), id);
    dict_set(doc.get(), k_text.get(), text);
    dict_set(doc.get(), k_metadata.get(), metadata);
    return doc;
}

}  // namespace lvx::lexical
