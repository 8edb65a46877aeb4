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

TermTable::TermTable() : starts_{0}, slots_(kInitialSlots), mask_(kInitialSlots - 1), seed_(fresh_seed(this)) {}

TermTable::Key TermTable::key(std::string_view s) const noexcept {
    const char* p = s.data();
    const std::size_t n = s.size();
    Key k{};
    std::memcpy(k.head, p, n < 16 ? n : 16);
    std::uint64_t r;
    if (n <= 16) {
        r = mum(k.head[0] ^ kP0, k.head[1] ^ seed_);
    } else {
        // 16 bytes at a time, then the last 16 bytes (overlapping).
        std::uint64_t h = seed_;
        std::size_t i = 0;
        for (; i + 16 < n; i += 16) {
            std::uint64_t w[2];
            std::memcpy(w, p + i, 16);
            h = mum(w[0] ^ kP0, w[1] ^ h);
        }
        std::uint64_t w[2];
        std::memcpy(w, p + n - 16, 16);
        r = mum(w[0] ^ kP2, w[1] ^ h);
    }
    r = mum(r ^ kP1, n ^ kP2);
    // The low bits pick the slot: fold the high half in.
    r ^= (r >> 29) ^ (r >> 47);
    const auto len = static_cast<std::uint32_t>(n < 255 ? n : 255);
    k.hash = r;
    k.tag = static_cast<std::uint32_t>(r & 0xFFFFFF) | (len << 24);
    return k;
}

std::size_t TermTable::locate(std::string_view term, const Key& key) const noexcept {
    for (std::uint64_t i = key.hash & mask_;; i = (i + 1) & mask_) {
        const Slot& s = slots_[i];
        if (s.id1 == 0) return static_cast<std::size_t>(i);
        if (s.tag == key.tag && s.head[0] == key.head[0] && s.head[1] == key.head[1] &&
            (term.size() <= 16 || this->term(s.id1 - 1) == term)) {
            return static_cast<std::size_t>(i);
        }
    }
}

std::uint32_t TermTable::find(std::string_view term) const noexcept {
    const std::uint32_t id1 = slots_[locate(term, key(term))].id1;
    return id1 == 0 ? kNone : id1 - 1;
}

std::uint32_t TermTable::add_to_document_count(std::string_view term, const Key& key) {
    Slot& slot = slots_[locate(term, key)];
    if (slot.id1 != 0) {
        ++slot.df;
        return slot.id1 - 1;
    }
    if (size() >= kMaxTerms) throw std::length_error("too many distinct terms");
    const auto id = static_cast<std::uint32_t>(size());
    chars_.append(term);
    starts_.push_back(chars_.size());
    slot = Slot{{key.head[0], key.head[1]}, key.tag, id + 1, 1, static_cast<std::uint32_t>(key.hash >> 24)};
    // Keep the load factor at most one half.
    if (size() * 2 > slots_.size()) grow();
    return id;
}

void TermTable::grow() {
    std::vector<Slot> next(slots_.size() * 2);
    const std::uint64_t mask = next.size() - 1;
    for (const Slot& s : slots_) {
        if (s.id1 == 0) continue;
        std::uint64_t i = s.hash() & mask;
        while (next[i].id1 != 0) i = (i + 1) & mask;
        next[i] = s;
    }
    slots_.swap(next);
    mask_ = mask;
}

void TermTable::compact() {
    chars_.shrink_to_fit();
    starts_.shrink_to_fit();
}

}  // namespace lvx::lexical
