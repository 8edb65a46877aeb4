// TermTable: open addressing with linear probing; slots hold the low 32 bits
// of the hash next to the term id, so most mismatches are settled without
// touching the character arena.
#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "lexical/bm25.hpp"

namespace lvx::lexical {
namespace {

__extension__ typedef unsigned __int128 u128;

inline std::uint64_t mum(std::uint64_t a, std::uint64_t b) noexcept {
    const u128 r = static_cast<u128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

constexpr std::uint64_t kP0 = 0xa0761d6478bd642fULL;
constexpr std::uint64_t kP1 = 0xe7037ed1a0b428dbULL;
constexpr std::uint64_t kP2 = 0x8ebc6af09c88c6e3ULL;

// A different seed for every table, so that colliding term sets cannot be
// prepared in advance.
std::uint64_t fresh_seed(const void* salt) noexcept {
    static std::atomic<std::uint64_t> counter{0};
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
    return mum(now ^ kP0, (reinterpret_cast<std::uintptr_t>(salt) + n) ^ kP1);
}

constexpr std::size_t kInitialSlots = 1024;

}  // namespace

TermTable::TermTable() : starts_{0}, slots_(kInitialSlots, 0), mask_(kInitialSlots - 1), seed_(fresh_seed(this)) {}

std::uint64_t TermTable::hash(std::string_view s) const noexcept {
    const char* p = s.data();
    std::size_t n = s.size();
    std::uint64_t h = seed_ ^ mum(n ^ kP0, kP2);
    while (n > 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = mum(w ^ kP1, h ^ kP0);
        p += 8;
        n -= 8;
    }
    std::uint64_t w = 0;
    if (n != 0) std::memcpy(&w, p, n);
    return mum(w ^ kP2, h ^ kP1);
}

std::uint32_t TermTable::find(std::string_view term) const noexcept {
    const std::uint64_t h = hash(term) & 0xFFFFFFFFULL;
    for (std::uint64_t i = h & mask_;; i = (i + 1) & mask_) {
        const std::uint64_t s = slots_[i];
        if (s == 0) return kNone;
        if ((s >> 32) == h) {
            const auto id = static_cast<std::uint32_t>(s) - 1;
            if (this->term(id) == term) return id;
        }
    }
}

std::uint32_t TermTable::intern(std::string_view term, bool& inserted) {
    const std::uint64_t h = hash(term) & 0xFFFFFFFFULL;
    std::uint64_t i = h & mask_;
    for (;; i = (i + 1) & mask_) {
        const std::uint64_t s = slots_[i];
        if (s == 0) break;
        if ((s >> 32) == h) {
            const auto id = static_cast<std::uint32_t>(s) - 1;
            if (this->term(id) == term) {
                inserted = false;
                return id;
            }
        }
    }
    if (size() >= kMaxTerms) throw std::length_error("too many distinct terms");
    const auto id = static_cast<std::uint32_t>(size());
    chars_.append(term);
    starts_.push_back(chars_.size());
    slots_[i] = (h << 32) | (static_cast<std::uint64_t>(id) + 1);
    inserted = true;
    // Keep the load factor at most one half.
    if (size() * 2 > slots_.size()) grow();
    return id;
}

void TermTable::grow() {
    std::vector<std::uint64_t> next(slots_.size() * 2, 0);
    const std::uint64_t mask = next.size() - 1;
    for (const std::uint64_t s : slots_) {
        if (s == 0) continue;
        std::uint64_t i = (s >> 32) & mask;
        while (next[i] != 0) i = (i + 1) & mask;
        next[i] = s;
    }
    slots_.swap(next);
    mask_ = mask;
}

void TermTable::compact() {
    chars_.shrink_to_fit();
    starts_.shrink_to_fit();
}

std::size_t TermTable::memory_bytes() const noexcept {
    return chars_.capacity() + starts_.capacity() * sizeof(std::uint64_t) + slots_.capacity() * sizeof(std::uint64_t);
}

}  // namespace lvx::lexical
