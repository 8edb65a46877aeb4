// Unicode text layer: character properties, UTF-8 decoding, white-space
// splitting and trimming, and the full default lower-case mapping.
//
// All text handled by the module is UTF-8. Text that comes from the host's
// `str` objects is always well formed; the decoders below are nevertheless
// safe on malformed bytes (they never read past the end and yield U+FFFD for
// a byte that does not start a well-formed sequence).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "text/unicode_tables.hpp"

namespace lvx::text {

// General categories, in the order the table generator numbers them.
enum Category : std::uint8_t {
    Cn, Lu, Ll, Lt, Lm, Lo, Mn, Mc, Me, Nd, Nl, No,
    Pc, Pd, Ps, Pe, Pi, Pf, Po, Sm, Sc, Sk, So,
    Zs, Zl, Zp, Cc, Cf, Cs, Co,
};

enum Flag : std::uint8_t {
    kWhiteSpace = 1,
    kAlphabetic = 2,
    kCased = 4,
    kCaseIgnorable = 8,
    kJoinControl = 16,
};

inline const ucd_data::Record& record(char32_t cp) noexcept {
    if (cp >= 0x110000) cp = 0xFFFD;
    const unsigned block = ucd_data::kStage1[cp >> ucd_data::kShift];
    return ucd_data::kRecords[ucd_data::kStage2[block * ucd_data::kBlock + (cp & (ucd_data::kBlock - 1))]];
}

inline Category category(char32_t cp) noexcept { return static_cast<Category>(record(cp).category); }
inline bool has_flag(char32_t cp, Flag f) noexcept { return (record(cp).flags & f) != 0; }

// The Unicode White_Space property (U+0009..U+000D, U+0020, U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
inline bool is_white_space(char32_t cp) noexcept {
    if (cp < 0x80) return cp == 0x20 || (cp >= 0x09 && cp <= 0x0D);
    return has_flag(cp, kWhiteSpace);
}
inline bool is_alphabetic(char32_t cp) noexcept { return has_flag(cp, kAlphabetic); }
inline bool is_join_control(char32_t cp) noexcept { return cp == 0x200C || cp == 0x200D; }
inline bool is_mark(char32_t cp) noexcept {
    const auto c = category(cp);
    return c == Mn || c == Mc || c == Me;
}
inline bool is_decimal_digit(char32_t cp) noexcept { return category(cp) == Nd; }

// Simple (one-to-one) lower-case mapping.
inline char32_t simple_lower(char32_t cp) noexcept {
    if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp + 32 : cp;
    return static_cast<char32_t>(static_cast<std::int64_t>(cp) + record(cp).lower_delta);
}

// --- UTF-8 ---------------------------------------------------------------

// Decodes one code point at p (p < end) and advances p. A malformed sequence
// yields U+FFFD and advances by one byte.
char32_t decode_utf8(const char*& p, const char* end) noexcept;
// Decodes the code point that ends just before p (p > begin) and moves p back.
char32_t decode_utf8_backward(const char*& p, const char* begin) noexcept;
void append_utf8(std::string& out, char32_t cp);
// Number of bytes the UTF-8 form of cp takes.
inline std::size_t utf8_length(char32_t cp) noexcept {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// --- White space ---------------------------------------------------------

// Length in bytes of the white-space character at p, or 0 when p does not
// start one. Non-ASCII white space starts with C2 (U+0085, U+00A0), E1
// (U+1680), E2 (U+2000..U+205F) or E3 (U+3000).
std::size_t white_space_at_slow(const char* p, const char* end) noexcept;
inline std::size_t white_space_at(const char* p, const char* end) noexcept {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x80) return (c == 0x20 || (c >= 0x09 && c <= 0x0D)) ? 1 : 0;
    if (c != 0xC2 && (c < 0xE1 || c > 0xE3)) return 0;
    return white_space_at_slow(p, end);
}

// Calls f(std::string_view piece) for every maximal run of non-white-space
// characters, in text order.
template <class F>
void split_white_space(std::string_view s, F&& f) {
    const char* p = s.data();
    const char* const end = p + s.size();
    while (p < end) {
        std::size_t w;
        while (p < end && (w = white_space_at(p, end)) != 0) p += w;
        if (p == end) break;
        const char* start = p;
        while (p < end) {
            const auto c = static_cast<unsigned char>(*p);
            if (c < 0x80) {
                if (c == 0x20 || (c >= 0x09 && c <= 0x0D)) break;
                ++p;
                continue;
            }
            if (white_space_at(p, end) != 0) break;
            p += c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            if (p > end) p = end;
        }
        f(std::string_view(start, static_cast<std::size_t>(p - start)));
    }
}

// The text without leading and trailing white space.
std::string_view trim_white_space(std::string_view s) noexcept;

// Pieces of s split at white space, joined with single spaces.
std::string collapse_white_space(std::string_view s);

// --- Case ----------------------------------------------------------------

// Appends the full default lower-case mapping of s to out: multi-character
// mappings (U+0130 -> U+0069 U+0307) and the Final_Sigma rule, no locale rules.
void append_lower(std::string& out, std::string_view s);
inline std::string to_lower(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    append_lower(out, s);
    return out;
}

}  // namespace lvx::text
