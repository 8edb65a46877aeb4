// Helpers shared by the corpus payload functions.
#pragma once

#include <string_view>

#include "module/core.hpp"

namespace lvx::lexical {

inline Ref empty_str() { return Ref::checked(PyUnicode_New(0, 0)); }

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
