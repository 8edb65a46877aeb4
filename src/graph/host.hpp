// Host-object helpers shared by the knowledge-graph functions: text checks
// and keys, and the bounded list walk.
//
// A value "is text" when it is a str (or subclass) that encodes as UTF-8, that
// is, holds no lone surrogate. Comparisons work on the code points stored in
// the str objects, which for such strings is the same as comparing their UTF-8
// bytes; none of these helpers runs host code (no __eq__, __hash__ or __str__).
#pragma once

#include <algorithm>
#include <string_view>

#include "module/core.hpp"
#include "module/records.hpp"

namespace lvx::graph {

// True when obj is a str (subclasses included) without lone surrogates.
bool is_text(PyObject* obj) noexcept;

// Code-point equality of two str objects (no host code runs).
bool same_text(PyObject* a, PyObject* b) noexcept;

// `value` when is_text(value), else the empty text; compared with the str `key`.
inline bool text_or_empty_equals(PyObject* value, PyObject* key) noexcept {
    if (value != nullptr && is_text(value)) return same_text(value, key);
    return PyUnicode_GET_LENGTH(key) == 0;
}

// An exact str with the text of the str `s`: `s` itself when it is an exact
// str, else a new copy (so that no subclass behaviour reaches the graph).
Ref exact_str(PyObject* s);

// The shared empty str.
Ref empty_str();

// The text `obj` as an exact str with leading and trailing White_Space removed
// (obj must satisfy is_text).
Ref trimmed_str(PyObject* obj);

// Graph key of a name: full lower-case mapping, then White_Space trimmed.
// Empty Ref (no error set) when the name is not text or the key is empty.
Ref normalised_key(PyObject* name);

// Calls f(item) for the items of `list` by index. The bound is the smaller of
// the list's current length and its length at the start, so a list that
// shrinks ends the walk early and appended items are not visited. Each item is
// held while f runs. The caller holds `list`.
template <class F>
void walk_list(PyObject* list, F&& f) {
    const Py_ssize_t start = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < std::min(start, PyList_GET_SIZE(list)); ++i) {
        Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
        f(item.get());
    }
}

// Elements 0 and 1 of a tuple or list (subclasses included) of at least two
// elements; false for anything else.
inline bool first_two(PyObject* item, Ref& first, Ref& second) {
    if (PyTuple_Check(item)) {
        if (PyTuple_GET_SIZE(item) < 2) return false;
        first = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return true;
    }
    if (PyList_Check(item)) {
        if (PyList_GET_SIZE(item) < 2) return false;
        first = Ref::borrow(PyList_GET_ITEM(item, 0));
        second = Ref::borrow(PyList_GET_ITEM(item, 1));
        return true;
    }
    return false;
}

// Value under a fixed key in the dict's own storage, held; empty when missing
// or when the lookup raised (the exception is cleared).
Ref lookup(PyObject* dict, const Key& key);

// True when the list holds a str equal to the text `s` (elements of other
// types never match). Runs no host code, so the list cannot change meanwhile.
bool list_has_text(PyObject* list, PyObject* s) noexcept;

// A new one-element list.
Ref single_item_list(PyObject* item);

// A held value read as a double (float conversion), `fallback` when there is
// no value or it does not convert.
inline double float_of_or(const Ref& value, double fallback) noexcept {
    return value ? float_of(value.get()).value_or(fallback) : fallback;
}

}  // namespace lvx::graph
