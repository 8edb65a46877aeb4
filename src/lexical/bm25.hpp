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

// Hash map from term text to a dense id (0, 1, 2, ... in insertion order).
class TermTable {
public:
    static constexpr std::uint32_t kNone = UINT32_MAX;
    // Largest number of terms a table holds.
    static constexpr std::uint32_t kMaxTerms = UINT32_MAX >> 1;

    TermTable();

    // Id of `term`, or kNone.
    std::uint32_t find(std::string_view term) const noexcept;
    // Id of `term`, adding it when absent (`inserted` tells which). Throws
    // std::length_error past kMaxTerms.
    std::uint32_t intern(std::string_view term, bool& inserted);

    std::size_t size() const noexcept { return starts_.size() - 1; }
    std::string_view term(std::uint32_t id) const noexcept {
        return {chars_.data() + starts_[id], static_cast<std::size_t>(starts_[id + 1] - starts_[id])};
    }
    // Releases spare capacity once no more terms will be added.
    void compact();
    std::size_t memory_bytes() const noexcept;

private:
    std::uint64_t hash(std::string_view s) const noexcept;
    void grow();

    std::string chars_;                  // every term, back to back
    std::vector<std::uint64_t> starts_;  // term id -> offset in chars_; size() + 1 entries
    std::vector<std::uint64_t> slots_;   // (hash low 32 bits << 32) | (id + 1); 0 = empty
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
