// symbol_channel_search: symbol-name retrieval straight over the code
// corpora, with metadata filters compared by their str() texts.
#include <string>
#include <vector>

#include "code/common.hpp"

namespace lvx::code {
namespace {

// One filter condition. `text` holds str(value) when computing it once is
// indistinguishable from computing it per record (exact str, int, float,
// bool, None); otherwise str(value) is taken for every record it is tested on.
struct Filter {
    Ref key;
    Ref value;
    Ref text;
};

std::vector<Filter> read_filters(PyObject* filters) {
    std::vector<Filter> out;
    if (filters == nullptr) return out;
    // Snapshot of the items: str() of a value may run code that changes the
    // filters dict while the records are tested.
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(filters, &pos, &key, &value)) {
        Filter f{Ref::borrow(key), Ref::borrow(value), {}};
        if (PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
            PyBool_Check(value) || value == Py_None) {
            f.text = Ref::steal(PyObject_Str(value));
            if (!f.text) PyErr_Clear();  // e.g. an int too long for str(): raised when a record is tested
        }
        out.push_back(std::move(f));
    }
    return out;
}

bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b)) return false;
    const int c = PyUnicode_Compare(a, b);
    if (c == -1 && PyErr_Occurred()) throw PyErrorSet{};
    return c == 0;
}

Ref str_of(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref::checked(PyObject_Str(value));
}

bool passes(PyObject* metadata, const std::vector<Filter>& filters) {
    for (const Filter& f : filters) {
        Ref value = Ref::borrow(PyDict_GetItemWithError(metadata, f.key.get()));
        if (!value) {
            if (PyErr_Occurred()) throw PyErrorSet{};
            return false;
        }
        const Ref value_text = str_of(value.get());
        const Ref filter_text = f.text ? f.text : str_of(f.value.get());
        if (!same_text(value_text.get(), filter_text.get())) return false;
    }
    return true;
}

// Score of one name against the tokens, updating score and field as the
// tokens are tested in order.
inline void match_name(std::string_view name, std::string_view token, Field which, double& score, Field& field) {
    if (name.empty()) return;
    if (name == token) {
        score = 1.0;
        field = which;
    } else if (score < 1.0 && contains(name, token)) {
        score = score > 0.6 ? score : 0.6;
        field = which;
    }
}

PyObject* symbol_channel_search(Args args) {
    const std::vector<std::string> tokens = symbol_query_tokens(args[1].obj);
    const std::uint64_t top_k = args[2].u;
    Ref out = new_list();
    if (tokens.empty()) return out.release();
    const std::vector<Filter> filters = read_filters(args[3].obj);

    std::vector<Hit> hits;
    std::string symbol;
    std::string qualified;
    for_each_code_record(args[0].obj, [&](std::uint64_t position, PyObject* metadata) {
        if (!filters.empty() && !passes(metadata, filters)) return;
        read_symbol_names(metadata, symbol, qualified);
        if (symbol.empty() && qualified.empty()) return;
        double score = 0.0;
        Field field = Field::SymbolName;
        for (const std::string& t : tokens) {
            match_name(symbol, t, Field::SymbolName, score, field);
            match_name(qualified, t, Field::QualifiedName, score, field);
        }
        if (score > 0.0) hits.push_back(Hit{position, score, field});
    });

    rank_hits(hits);
    static const Key k_index{"index"};
    static const Key k_score{"score"};
    static const Key k_channel{"channel"};
    const std::size_t n = hits.size() < top_k ? hits.size() : static_cast<std::size_t>(top_k);
    out = new_list(static_cast<Py_ssize_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
        const Hit& h = hits[i];
        Ref d = new_dict();
        dict_set(d.get(), k_index.get(), to_py_uint(h.position));
        dict_set(d.get(), k_score.get(), to_py_float(h.score));
        dict_set(d.get(), k_channel.get(), Ref::borrow(field_name(h.field)));
        list_set(out.get(), static_cast<Py_ssize_t>(i), std::move(d));
    }
    return out.release();
}

constexpr Param kParams[] = {
    required("corpora", Kind::List),
    required("query_tokens", Kind::List),
    required("top_k", Kind::NonNegInt),
    with_none_default("filters", Kind::OptionalDict),
};

const FunctionSpec fn_symbol_channel_search{
    "symbol_channel_search",
    "symbol_channel_search(corpora, query_tokens, top_k, filters=None)\n--\n\n",
    kParams,
    &symbol_channel_search,
};
LVX_REGISTER_FUNCTION(fn_symbol_channel_search);

}  // namespace
}  // namespace lvx::code
