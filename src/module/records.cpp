#include "module/records.hpp"

namespace lvx {

Ref copy_pydict(PyObject* src) {
    Ref out = new_dict();
    const Py_ssize_t size = PyDict_GET_SIZE(src);
    Py_ssize_t pos = 0;
    Py_ssize_t seen = 0;
    PyObject* key;
    PyObject* value;
    for (;;) {
        if (PyDict_GET_SIZE(src) != size) raise_internal("dictionary changed size during iteration");
        if (!PyDict_Next(src, &pos, &key, &value)) break;
        if (++seen > size) raise_internal("dictionary keys changed during iteration");
        // Hold both across the insertion: a key's __hash__/__eq__ may mutate src.
        Ref k = Ref::borrow(key);
        Ref v = Ref::borrow(value);
        check_status(PyDict_SetItem(out.get(), k.get(), v.get()));
    }
    return out;
}

PyObject* lookup_quiet(PyObject* dict, PyObject* key) noexcept {
    PyObject* v = PyDict_GetItemWithError(dict, key);
    if (v == nullptr && PyErr_Occurred()) PyErr_Clear();
    return v;
}

namespace {

Ref lookup_owned(PyObject* dict, PyObject* key) noexcept { return Ref::borrow(lookup_quiet(dict, key)); }

Ref lookup_owned(PyObject* dict, std::string_view key) noexcept {
    Ref k = Ref::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
    if (!k) {
        PyErr_Clear();
        return {};
    }
    return lookup_owned(dict, k.get());
}

PyObject* key_or_null(const Key& key) noexcept {
    try {
        return key.get();
    } catch (const PyErrorSet&) {
        PyErr_Clear();
        return nullptr;
    }
}

TextRef text_of(Ref value) noexcept {
    if (!value || !PyUnicode_Check(value.get())) return {};
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(value.get(), &n);
    if (s == nullptr) {
        PyErr_Clear();
        return {};
    }
    TextRef out;
    out.view = std::string_view(s, static_cast<std::size_t>(n));
    out.owner = std::move(value);
    return out;
}

std::optional<double> optional_float(Ref value) noexcept {
    if (!value) return std::nullopt;
    return float_of(value.get());
}

}  // namespace

std::optional<double> float_of(PyObject* value) noexcept {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    Ref hold = Ref::borrow(value);
    const double d = PyFloat_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return d;
}

TextRef get_str_from_dict(PyObject* dict, const Key& key) {
    PyObject* k = key_or_null(key);
    return k ? text_of(lookup_owned(dict, k)) : TextRef{};
}

TextRef get_str_from_dict(PyObject* dict, std::string_view key) { return text_of(lookup_owned(dict, key)); }

double get_score_from_dict(PyObject* dict) {
    static const Key k_score{"score"};
    PyObject* k = key_or_null(k_score);
    if (k == nullptr) return 0.0;
    return optional_float(lookup_owned(dict, k)).value_or(0.0);
}

std::optional<double> get_optional_f64_from_dict(PyObject* dict, const Key& key) {
    PyObject* k = key_or_null(key);
    return k ? optional_float(lookup_owned(dict, k)) : std::nullopt;
}

std::optional<double> get_optional_f64_from_dict(PyObject* dict, std::string_view key) {
    return optional_float(lookup_owned(dict, key));
}

}  // namespace lvx
