// Helpers shared by the fusion, filtering and reranking functions: a strong
// snapshot of a list argument, an id table keyed by the id text, and the
// stable descending score order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "module/core.hpp"
#include "module/records.hpp"

namespace lvx::ranking {

// Record keys read or written by the fusion and filter functions.
inline const Key k_id{"id"};
inline const Key k_score{"score"};
inline const Key k_vector_score{"vector_score"};
inline const Key k_fused_only{"fused_only"};

// Strong references to the items of a list, taken once. Host code that runs
// later in the call (a value's __float__, a key's __eq__) may change or empty
// the caller's list; the walk goes on over what the list held at the start.
inline std::vector<Ref> snapshot(PyObject* list) {
    std::vector<Ref> items;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    items.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) items.push_back(Ref::borrow(PyList_GET_ITEM(list, i)));
    return items;
}

// Shallow record copy. An exact dict copies through the interpreter's own
// dict copy, which yields the same keys, values and order as the generic
// key-by-key walk of copy_pydict and is several times faster.
inline Ref copy_record(PyObject* src) {
    if (PyDict_CheckExact(src)) return Ref::checked(PyDict_Copy(src));
    return copy_pydict(src);
}

// Maps id texts to slots: an open-addressing table keyed by the id's UTF-8
// text. The hash is the interpreter's cached str hash (taken from the base
// str type, so a subclass overriding __hash__ hashes like its text); the
// views point into str objects kept alive by the table.
class IdTable {
public:
    // Holds up to `expected` ids at a load of at most one half (callers size
    // it by the number of records they walk).
    explicit IdTable(std::size_t expected) {
        std::size_t cap = 16;
        while (cap < expected * 2) cap *= 2;
        entries_.assign(cap, Entry{});
        owners_.reserve(expected);
    }

    // Slot of the id when present; otherwise stores `fresh` and returns it.
    // `.second` tells whether the id was new.
    std::pair<std::uint32_t, bool> insert(TextRef id, std::uint32_t fresh) {
        Entry& e = probe(id);
        if (e.used) return {e.slot, false};
        fill(e, std::move(id), fresh);
        return {fresh, true};
    }

    // Slot of the id, or -1 when absent.
    std::int64_t find(const TextRef& id) {
        const Entry& e = probe(id);
        return e.used ? static_cast<std::int64_t>(e.slot) : -1;
    }

    // Points an existing or new id at `slot`.
    void assign(TextRef id, std::uint32_t slot) {
        Entry& e = probe(id);
        if (e.used) {
            e.slot = slot;
        } else {
            fill(e, std::move(id), slot);
        }
    }

private:
    struct Entry {
        std::uint64_t hash = 0;
        const char* data = nullptr;
        std::size_t size = 0;
        std::uint32_t slot = 0;
        bool used = false;
    };

    static std::uint64_t hash_of(const TextRef& id) noexcept {
        if (id.view.empty() || !id.owner) return 0;
        return static_cast<std::uint64_t>(PyUnicode_Type.tp_hash(id.owner.get()));
    }

    // The entry holding the id, or the free entry where it belongs (its hash
    // already filled in).
    Entry& probe(const TextRef& id) {
        const std::uint64_t h = hash_of(id);
        const std::size_t mask = entries_.size() - 1;
        for (std::size_t i = static_cast<std::size_t>(h ^ (h >> 29)) & mask;; i = (i + 1) & mask) {
            Entry& e = entries_[i];
            if (!e.used) {
                e.hash = h;
                return e;
            }
            if (e.hash == h && e.size == id.view.size() &&
                (e.size == 0 || std::memcmp(e.data, id.view.data(), e.size) == 0)) {
                return e;
            }
        }
    }

    void fill(Entry& e, TextRef id, std::uint32_t slot) {
        e.data = id.view.data();
        e.size = id.view.size();
        e.slot = slot;
        e.used = true;
        owners_.push_back(std::move(id.owner));
    }

    std::vector<Entry> entries_;
    std::vector<Ref> owners_;
};

// Positions 0..n-1 ordered by score, highest first, stable. Two scores are
// equal when neither is greater, so a NaN ties with everything; the merge
// only ever asks "is the right one strictly greater", which keeps the order
// well defined (and the sort memory-safe) with NaN present.
std::vector<std::uint32_t> order_by_score_desc(const std::vector<double>& scores);

}  // namespace lvx::ranking
