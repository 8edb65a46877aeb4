// Bm25Index payload: the term dictionary and compact posting lists.
//
// Layout (all immutable once built):
//   - TermTable maps each term to a dense id (open addressing over one
//     character arena, no per-term allocation).
//   - Postings are stored CSR-style: the postings of term t occupy
//     [offsets[t], offsets[t + 1]) of two parallel arrays, `docs` (corpus
//     position, ascending) and `weights`, the term's full BM25 contribution
//     to that document. The contribution depends only on the term (its IDF)
//     and the document (its frequency and length), both fixed at build time,
//     so it is computed once, with the same operations in the same order as a
//     search would, and a search only adds it up.
// That is 12 bytes per (term, document) posting plus the dictionary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "module/core.hpp"

namespace lvx::lexical {

// Okapi BM25 parameters of every index.
inline constexpr double kBm25K1 = 1.5;
inline constexpr double kBm25B = 0.75;

// Hash map from term text to a dense id (0, 1, 2, ... in insertion order)
// and the term's document frequency. Each slot holds the term's first 16
// bytes and its length next to part of its hash, so looking up a term of at
// most 16 bytes touches one slot and nothing else.
class TermTable {
public:
    static constexpr std::uint32_t kNone = UINT32_MAX;
    // Largest number of terms a table holds.
    static constexpr std::uint32_t kMaxTerms = UINT32_MAX >> 1;

    // A term's hash and inline bytes, computed once and reusable for lookups.
    struct Key {
        std::uint64_t hash;
        std::uint64_t head[2];  // first 16 bytes, zero padded
        std::uint32_t tag;      // low 24 bits of the hash, min(length, 255) above

        // Whether `a` (with key *this) and `b` (with key k) are the same term.
        bool same(std::string_view a, const Key& k, std::string_view b) const noexcept {
            return tag == k.tag && head[0] == k.head[0] && head[1] == k.head[1] && (a.size() <= 16 || a == b);
        }
    };

    TermTable();

    Key key(std::string_view term) const noexcept;
    // Id of `term`, or kNone.
    std::uint32_t find(std::string_view term) const noexcept;
    // Id of `term` (adding it when absent), and counts one more document
    // containing it. Throws std::length_error past kMaxTerms.
    std::uint32_t add_to_document_count(std::string_view term, const Key& key);

    std::size_t size() const noexcept { return starts_.size() - 1; }
    std::string_view term(std::uint32_t id) const noexcept {
        return {chars_.data() + starts_[id], static_cast<std::size_t>(starts_[id + 1] - starts_[id])};
    }
    // Hints the processor to fetch the slot where a lookup of `key` starts.
    void prefetch(const Key& key) const noexcept { __builtin_prefetch(&slots_[key.hash & mask_]); }
    // Calls f(id, document count) for every term, in no particular order.
    template <class F>
    void for_each_count(F&& f) const {
        for (const Slot& s : slots_) {
            if (s.id1 != 0) f(s.id1 - 1, s.df);
        }
    }
    // Releases spare capacity once no more terms will be added.
    void compact();

private:
    struct alignas(32) Slot {
        std::uint64_t head[2];
        std::uint32_t tag;
        std::uint32_t id1;  // id + 1; 0 marks an empty slot
        std::uint32_t df;
        std::uint32_t hash_hi;  // hash bits 24..55, so that growing needs no rehashing

        std::uint64_t hash() const noexcept { return (static_cast<std::uint64_t>(hash_hi) << 24) | (tag & 0xFFFFFF); }
    };

    // Slot holding the term, or the empty slot where it would go.
    std::size_t locate(std::string_view term, const Key& key) const noexcept;
    void grow();

    std::string chars_;                  // every term, back to back
    std::vector<std::uint64_t> starts_;  // term id -> offset in chars_; size() + 1 entries
    std::vector<Slot> slots_;
    std::uint64_t mask_ = 0;
    std::uint64_t seed_;
};

struct Bm25Payload final : IndexPayload {
    std::uint64_t n_docs = 0;
    double avgdl = 0.0;
    TermTable terms;
    std::vector<std::uint64_t> offsets;  // terms.size() + 1 entries
    std::vector<std::uint32_t> docs;
    std::vector<double> weights;
};

}  // namespace lvx::lexical
