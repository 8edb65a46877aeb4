// Helpers shared by the corpus payload functions.
#pragma once

#include <string_view>

#include "module/core.hpp"

namespace lvx::lexical {

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
