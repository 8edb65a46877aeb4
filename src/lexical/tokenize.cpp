#include "lexical/tokenize.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#include "text/unicode.hpp"

namespace lvx::lexical {
namespace {

bool is_ascii(std::string_view text) noexcept {
    const char* p = text.data();
    std::size_t n = text.size();
    std::uint64_t any = 0;
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        any |= w;
    }
    for (; n > 0; ++p, --n) any |= static_cast<unsigned char>(*p);
    return (any & 0x8080808080808080ULL) == 0;
}

// For ASCII bytes: 0 for white space, else the lower-case byte.
constexpr std::array<unsigned char, 128> kAsciiFold = [] {
    std::array<unsigned char, 128> t{};
    for (unsigned c = 0; c < 128; ++c) {
        const bool space = c == 0x20 || (c >= 0x09 && c <= 0x0D);
        t[c] = space ? 0 : static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
    return t;
}();

// ASCII text: lower-case and split in one pass. NUL is not white space, so
// it is told apart from the 0 marker of the table.
void tokenize_ascii(std::string_view text, std::string& buffer, std::vector<std::string_view>& tokens) {
    const std::size_t n = text.size();
    buffer.resize(n);
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    char* const out = buffer.data();
    std::size_t i = 0;
    while (i < n) {
        while (i < n && kAsciiFold[in[i]] == 0 && in[i] != 0) ++i;
        const std::size_t start = i;
        for (; i < n; ++i) {
            const unsigned char f = kAsciiFold[in[i]];
            if (f == 0 && in[i] != 0) break;
            out[i] = static_cast<char>(f);
        }
        if (i > start) tokens.emplace_back(out + start, i - start);
    }
}

}  // namespace

void tokenize(std::string_view text, std::string& buffer, std::vector<std::string_view>& tokens) {
    buffer.clear();
    if (is_ascii(text)) {
        tokenize_ascii(text, buffer, tokens);
        return;
    }
    buffer.reserve(text.size());
    text::append_lower(buffer, text);
    text::split_white_space(buffer, [&](std::string_view piece) { tokens.push_back(piece); });
}

std::vector<std::string> tokenize(std::string_view text) {
    std::string buffer;
    std::vector<std::string_view> views;
    tokenize(text, buffer, views);
    return {views.begin(), views.end()};
}

}  // namespace lvx::lexical
