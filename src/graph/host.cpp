#include "graph/host.hpp"

#include <cstring>
#include <string>

#include "module/records.hpp"
#include "text/unicode.hpp"

namespace lvx::graph {

namespace {

template <class T>
bool has_surrogate(const T* data, Py_ssize_t n) noexcept {
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (data[i] >= 0xD800 && data[i] <= 0xDFFF) return true;
    }
    return false;
}

bool ready(PyObject* s) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(s) < 0) {
        PyErr_Clear();
        return false;
    }
#else
    (void)s;
#endif
    return true;
}

std::string_view utf8_view(PyObject* s) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p == nullptr) throw PyErrorSet{};
    return {p, static_cast<std::size_t>(n)};
}

}  // namespace

bool is_text(PyObject* obj) noexcept {
    if (!PyUnicode_Check(obj) || !ready(obj)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(obj);
    switch (PyUnicode_KIND(obj)) {
        case PyUnicode_1BYTE_KIND:
            return true;
        case PyUnicode_2BYTE_KIND:
            return !has_surrogate(PyUnicode_2BYTE_DATA(obj), n);
        default:
            return !has_surrogate(PyUnicode_4BYTE_DATA(obj), n);
    }
}

bool same_text(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    if (!ready(a) || !ready(b)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) return false;
    // Cached hashes (-1 while not computed) settle most unequal pairs.
    const Py_hash_t ha = reinterpret_cast<PyASCIIObject*>(a)->hash;
    const Py_hash_t hb = reinterpret_cast<PyASCIIObject*>(b)->hash;
    if (ha != -1 && hb != -1 && ha != hb) return false;
    // Strings are stored in the narrowest kind that holds their largest code
    // point, so equal texts have equal kinds.
    const int kind = PyUnicode_KIND(a);
    if (kind != static_cast<int>(PyUnicode_KIND(b))) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(n) * kind) == 0;
}

Ref exact_str(PyObject* s) {
    if (PyUnicode_CheckExact(s)) return Ref::borrow(s);
    if (!ready(s)) throw PyErrorSet{};
    return Ref::checked(PyUnicode_FromKindAndData(PyUnicode_KIND(s), PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s)));
}

Ref empty_str() {
    static const Key k_empty{""};
    return Ref::borrow(k_empty.get());
}

Ref trimmed_str(PyObject* obj) {
    const std::string_view text = utf8_view(obj);
    const std::string_view t = text::trim_white_space(text);
    if (t.size() == text.size()) return exact_str(obj);
    return to_py(t);
}

namespace {

bool is_ascii_white_space(unsigned char c) noexcept { return c == 0x20 || (c >= 0x09 && c <= 0x0D); }

// normalised_key for an ASCII str: lower-casing and trimming commute there.
Ref ascii_key(PyObject* name) {
    const auto* s = PyUnicode_1BYTE_DATA(name);
    Py_ssize_t b = 0, e = PyUnicode_GET_LENGTH(name);
    const Py_ssize_t n = e;
    while (b < e && is_ascii_white_space(s[b])) ++b;
    while (e > b && is_ascii_white_space(s[e - 1])) --e;
    if (b == e) return {};
    bool upper = false;
    for (Py_ssize_t i = b; i < e && !upper; ++i) upper = s[i] >= 'A' && s[i] <= 'Z';
    if (!upper && b == 0 && e == n) return exact_str(name);
    Ref key = Ref::checked(PyUnicode_New(e - b, 127));
    auto* d = PyUnicode_1BYTE_DATA(key.get());
    for (Py_ssize_t i = b; i < e; ++i) {
        const Py_UCS1 c = s[i];
        d[i - b] = static_cast<Py_UCS1>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
    return key;
}

}  // namespace

Ref normalised_key(PyObject* name) {
    if (!is_text(name)) return {};
    if (PyUnicode_IS_ASCII(name)) return ascii_key(name);
    const std::string_view text = utf8_view(name);
    // Reused between calls; no host code runs while it is in use.
    static std::string lowered;
    lowered.clear();
    text::append_lower(lowered, text);
    const std::string_view key = text::trim_white_space(lowered);
    if (key.empty()) return {};
    if (key == text) return exact_str(name);
    return to_py(key);
}

bool list_has_text(PyObject* list, PyObject* s) noexcept {
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(list); i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (item == s || (PyUnicode_Check(item) && same_text(item, s))) return true;
    }
    return false;
}

Ref single_item_list(PyObject* item) {
    Ref list = new_list(1);
    list_set(list.get(), 0, Ref::borrow(item));
    return list;
}

Ref lookup(PyObject* dict, const Key& key) {
    PyObject* k = key.get();
    return Ref::borrow(lookup_quiet(dict, k));
}

}  // namespace lvx::graph
