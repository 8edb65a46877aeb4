#include "code/gram_scanner.hpp"

namespace lvx::code {

GramScanner::GramScanner(const std::vector<std::string>& tokens) : tokens_(tokens) {
    // About 64 buckets per token keeps false hits rare; 4096 to 1M buckets.
    unsigned log2 = 12;
    while (log2 < 20 && (std::size_t{1} << log2) < tokens_.size() * 64) ++log2;
    shift_ = 32 - log2;
    const std::size_t buckets = std::size_t{1} << log2;
    bits_.assign(buckets / 64, 0);
    bucket_begin_.assign(buckets + 1, 0);
    std::vector<std::uint32_t> bucket_of(tokens_.size());
    for (std::size_t id = 0; id < tokens_.size(); ++id) {
        const std::uint32_t g = load4(tokens_[id].data());
        firsts_.push_back(g);
        const std::uint32_t h = hash(g);
        bucket_of[id] = h;
        bits_[h >> 6] |= std::uint64_t{1} << (h & 63);
        ++bucket_begin_[h + 1];
    }
    for (std::size_t b = 0; b < buckets; ++b) bucket_begin_[b + 1] += bucket_begin_[b];
    bucket_ids_.resize(tokens_.size());
    std::vector<std::uint32_t> fill(bucket_begin_.begin(), bucket_begin_.end() - 1);
    for (std::size_t id = 0; id < tokens_.size(); ++id) bucket_ids_[fill[bucket_of[id]]++] = static_cast<std::uint32_t>(id);
}

bool ascii_lower_into(std::string& out, std::string_view s) {
    out.resize(s.size());
    const auto* in = reinterpret_cast<const unsigned char*>(s.data());
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    unsigned char any = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = in[i];
        any |= c;
        o[i] = static_cast<unsigned char>(c + ((static_cast<unsigned char>(c - 'A') < 26u) ? 32 : 0));
    }
    return any < 0x80;
}

}  // namespace lvx::code
