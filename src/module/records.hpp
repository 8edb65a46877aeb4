// Forgiving readers of result-record fields, and the shallow record copy.
//
// Lookups go straight to the dict's storage (no __getitem__/__missing__ of a
// subclass). The readers never raise and never leave an exception set: a
// missing, unreadable or mistyped field reads as "", 0.0 or absent.
#pragma once

#include <optional>
#include <string_view>

#include "module/core.hpp"

namespace lvx {

// A str read out of a record: holds a reference to the str so that `view`
// stays valid whatever happens to the record afterwards.
struct TextRef {
    Ref owner;
    std::string_view view;
};

// New plain dict with the same keys and values in the source's order.
// Insertion failures propagate (PyErrorSet); a source that changes size
// during the copy raises the internal-failure exception.
Ref copy_pydict(PyObject* src);

// Value under key when it is a str that encodes as UTF-8, else "".
TextRef get_str_from_dict(PyObject* dict, const Key& key);
TextRef get_str_from_dict(PyObject* dict, std::string_view key);

// "score" as a float (float conversion of any value), 0.0 when missing or
// not convertible.
double get_score_from_dict(PyObject* dict);

// Value under key as a float, absent when missing or not convertible.
std::optional<double> get_optional_f64_from_dict(PyObject* dict, const Key& key);
std::optional<double> get_optional_f64_from_dict(PyObject* dict, std::string_view key);

// Float conversion used by the readers: exact float fast path, otherwise the
// interpreter's conversion. Absent (error cleared) when it fails.
std::optional<double> float_of(PyObject* value) noexcept;

// Borrowed value under key looked up in the dict's own storage; NULL when
// missing or when the lookup raised (the exception is cleared).
PyObject* lookup_quiet(PyObject* dict, PyObject* key) noexcept;

// The dict-kind check for elements of a list argument: TypeError
// "'{type}' object cannot be converted to 'PyDict'" without the prefix.
inline void require_dict_item(PyObject* item) {
    if (!PyDict_Check(item)) raise_cannot_convert(item, "PyDict");
}

}  // namespace lvx
