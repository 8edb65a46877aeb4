// preprocess_documents: white-space normalisation of corpus documents.
#include "module/core.hpp"
#include "module/records.hpp"
#include "text/unicode.hpp"

namespace lvx::lexical {
namespace {

PyObject* preprocess_documents(Args args) {
    PyObject* documents = args[0].obj;
    static const Key k_text{"text"};
    Ref out = new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(documents); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(documents, i));
        require_dict_item(item.get());
        Ref copy = copy_pydict(item.get());
        TextRef text = get_str_from_dict(item.get(), k_text);
        if (text.owner) {
            std::string collapsed = text::collapse_white_space(text.view);
            // An exact str that is already normalised is kept as it is (str is immutable).
            if (collapsed != text.view || !PyUnicode_CheckExact(text.owner.get())) dict_set(copy.get(), k_text.get(), to_py(collapsed));
        }
        list_append(out.get(), copy);
    }
    return out.release();
}

constexpr Param kParams[] = {
    required("documents", Kind::List),
    required("_batch_size", Kind::NonNegInt),
};

const FunctionSpec fn_preprocess_documents{
    "preprocess_documents",
    "preprocess_documents(documents, _batch_size)\n--\n\n",
    kParams,
    &preprocess_documents,
};
LVX_REGISTER_FUNCTION(fn_preprocess_documents);

}  // namespace
}  // namespace lvx::lexical
