#include "code/common.hpp"

#include <cstring>

#include "code/gram_scanner.hpp"
#include "text/unicode.hpp"

namespace lvx::code {

bool contains(std::string_view haystack, std::string_view needle) noexcept {
    if (needle.empty()) return true;
    if (needle.size() > haystack.size()) return false;
    // Short texts (names): a plain loop beats memmem's set-up cost.
    if (haystack.size() < 64) {
        const char* h = haystack.data();
        const char first = needle[0];
        const char last = needle.back();
        const std::size_t m = needle.size();
        for (std::size_t i = 0, end = haystack.size() - m; i <= end; ++i) {
            if (h[i] == first && h[i + m - 1] == last && std::memcmp(h + i, needle.data(), m) == 0) return true;
        }
        return false;
    }
    return ::memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr;
}

bool token_utf8(PyObject* str, std::string& out) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(str, &n);
    if (s != nullptr) {
        out.assign(s, static_cast<std::size_t>(n));
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) return false;
    out.assign(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return true;
}

void read_lower_name(PyObject* metadata, const Key& key, std::string& out) {
    TextRef t = get_str_from_dict(metadata, key);
    if (!ascii_lower_into(out, t.view)) lower_into(out, t.view);
}

std::vector<std::string> symbol_query_tokens(PyObject* tokens) {
    std::vector<std::string> out;
    std::string raw;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(tokens); ++i) {
        PyObject* item = PyList_GET_ITEM(tokens, i);
        if (!PyUnicode_Check(item)) continue;
        if (!token_utf8(item, raw)) throw PyErrorSet{};
        if (raw.size() < 3) continue;
        std::string lowered;
        text::append_lower(lowered, raw);
        out.push_back(std::move(lowered));
    }
    return out;
}

PyObject* field_name(Field f) {
    static const Key k_symbol{"symbol_name"};
    static const Key k_qualified{"qualified_name"};
    return f == Field::SymbolName ? k_symbol.get() : k_qualified.get();
}

}  // namespace lvx::code
