// Finds which of a set of tokens (each at least 4 bytes) occur in a text, in
// one pass: every 4-byte window of the text is hashed into a bitmap of the
// tokens' first four bytes, and only windows that hit the bitmap are compared
// with the tokens. The windows are independent of each other, so the pass
// runs at the processor's throughput rather than at its load latency.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace lvx::code {

class GramScanner {
public:
    // Tokens shorter than 4 bytes are not allowed.
    explicit GramScanner(const std::vector<std::string>& tokens);

    // Calls f(token index) for every occurrence of a token in text, by start
    // position; stops early when f returns false.
    template <class F>
    void scan(std::string_view text, F&& f) const {
        const std::size_t n = text.size();
        if (n < 4 || tokens_.empty()) return;
        const char* const t = text.data();
        for (std::size_t pos = 0; pos + 4 <= n; ++pos) {
            const std::uint32_t g = load4(t + pos);
            const std::uint32_t h = hash(g);
            if ((bits_[h >> 6] >> (h & 63) & 1) == 0) continue;
            for (std::uint32_t i = bucket_begin_[h]; i < bucket_begin_[h + 1]; ++i) {
                const std::uint32_t id = bucket_ids_[i];
                const std::string& tok = tokens_[id];
                if (firsts_[id] != g || tok.size() > n - pos) continue;
                if (std::memcmp(tok.data() + 4, t + pos + 4, tok.size() - 4) != 0) continue;
                if (!f(id)) return;
            }
        }
    }

private:
    static std::uint32_t load4(const char* p) noexcept {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    std::uint32_t hash(std::uint32_t g) const noexcept { return (g * 0x9E3779B1u) >> shift_; }

    std::vector<std::string> tokens_;
    std::vector<std::uint32_t> firsts_;  // first four bytes of each token
    unsigned shift_ = 20;                // 32 - log2(buckets)
    std::vector<std::uint64_t> bits_;
    std::vector<std::uint32_t> bucket_begin_;
    std::vector<std::uint32_t> bucket_ids_;
};

// Whether every byte is ASCII.
inline bool is_ascii(std::string_view s) noexcept {
    unsigned char acc = 0;
    for (char c : s) acc |= static_cast<unsigned char>(c);
    return acc < 0x80;
}

// Lower-cases the ASCII letters of s into out (out is replaced). Returns
// whether s is all ASCII, that is whether out is its full lower-case form.
bool ascii_lower_into(std::string& out, std::string_view s);

}  // namespace lvx::code
