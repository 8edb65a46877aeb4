#include "text/unicode.hpp"

namespace lvx::text {

char32_t decode_utf8(const char*& p, const char* end) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(p);
    const auto* e = reinterpret_cast<const unsigned char*>(end);
    const unsigned c0 = s[0];
    if (c0 < 0x80) {
        ++p;
        return c0;
    }
    auto cont = [&](std::ptrdiff_t i) { return s + i < e && (s[i] & 0xC0) == 0x80; };
    if (c0 >= 0xC2 && c0 < 0xE0 && cont(1)) {
        p += 2;
        return ((c0 & 0x1F) << 6) | (s[1] & 0x3F);
    }
    if (c0 >= 0xE0 && c0 < 0xF0 && cont(1) && cont(2)) {
        const char32_t cp = ((c0 & 0x0F) << 12) | ((s[1] & 0x3F) << 6) | (s[2] & 0x3F);
        if (cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF)) {
            p += 3;
            return cp;
        }
    } else if (c0 >= 0xF0 && c0 < 0xF5 && cont(1) && cont(2) && cont(3)) {
        const char32_t cp = ((c0 & 0x07) << 18) | ((s[1] & 0x3F) << 12) | ((s[2] & 0x3F) << 6) | (s[3] & 0x3F);
        if (cp >= 0x10000 && cp < 0x110000) {
            p += 4;
            return cp;
        }
    }
    ++p;
    return 0xFFFD;
}

char32_t decode_utf8_backward(const char*& p, const char* begin) noexcept {
    const char* q = p - 1;
    int back = 1;
    while (q > begin && back < 4 && (static_cast<unsigned char>(*q) & 0xC0) == 0x80) {
        --q;
        ++back;
    }
    const char* r = q;
    const char32_t cp = decode_utf8(r, p);
    if (r == p) {
        p = q;
        return cp;
    }
    // Not a well-formed sequence ending at p: step back a single byte.
    --p;
    return 0xFFFD;
}

void append_utf8(std::string& out, char32_t cp) {
    char buf[4];
    std::size_t n;
    if (cp < 0x80) {
        buf[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        buf[0] = static_cast<char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        buf[0] = static_cast<char>(0xF0 | (cp >> 18));
        buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    out.append(buf, n);
}

std::size_t white_space_at_slow(const char* p, const char* end) noexcept {
    const char* q = p;
    const char32_t cp = decode_utf8(q, end);
    return is_white_space(cp) ? static_cast<std::size_t>(q - p) : 0;
}

std::string_view trim_white_space(std::string_view s) noexcept {
    const char* b = s.data();
    const char* e = b + s.size();
    std::size_t w;
    while (b < e && (w = white_space_at(b, e)) != 0) b += w;
    while (e > b) {
        const char* q = e;
        const char32_t cp = decode_utf8_backward(q, b);
        if (!is_white_space(cp)) break;
        e = q;
    }
    return {b, static_cast<std::size_t>(e - b)};
}

std::string collapse_white_space(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    split_white_space(s, [&](std::string_view piece) {
        if (!out.empty()) out.push_back(' ');
        out.append(piece);
    });
    return out;
}

namespace {

bool is_cased(char32_t cp) noexcept { return has_flag(cp, kCased); }
bool is_case_ignorable(char32_t cp) noexcept { return has_flag(cp, kCaseIgnorable); }

// Final_Sigma: a capital sigma preceded by a cased character (case-ignorable
// characters skipped) and not followed by one (case-ignorable skipped).
bool final_sigma(const char* begin, const char* at, const char* after, const char* end) noexcept {
    const char* p = at;
    char32_t c = 0;
    bool found = false;
    while (p > begin) {
        c = decode_utf8_backward(p, begin);
        if (!is_case_ignorable(c)) {
            found = true;
            break;
        }
    }
    if (!found || !is_cased(c)) return false;
    p = after;
    while (p < end) {
        c = decode_utf8(p, end);
        if (!is_case_ignorable(c)) return !is_cased(c);
    }
    return true;
}

}  // namespace

void append_lower(std::string& out, std::string_view s) {
    const char* const begin = s.data();
    const char* const end = begin + s.size();
    const char* p = begin;
    while (p < end) {
        // ASCII run.
        const char* run = p;
        while (p < end && static_cast<unsigned char>(*p) < 0x80) ++p;
        if (p > run) {
            const std::size_t old = out.size();
            out.append(run, static_cast<std::size_t>(p - run));
            for (std::size_t i = old; i < out.size(); ++i) {
                const char c = out[i];
                if (c >= 'A' && c <= 'Z') out[i] = static_cast<char>(c + 32);
            }
            if (p == end) break;
        }
        const char* at = p;
        const char32_t cp = decode_utf8(p, end);
        if (cp == 0x03A3) {
            append_utf8(out, final_sigma(begin, at, p, end) ? 0x03C2 : 0x03C3);
            continue;
        }
        bool special = false;
        for (unsigned i = 0; i < ucd_data::kSpecialLowerCount; ++i) {
            const auto& sl = ucd_data::kSpecialLower[i];
            if (sl.cp == cp) {
                for (unsigned j = 0; j < sl.len; ++j) append_utf8(out, sl.lower[j]);
                special = true;
                break;
            }
        }
        if (special) continue;
        if (cp == 0xFFFD && p - at == 1) {
            // Malformed byte: keep it as it is.
            out.push_back(*at);
            continue;
        }
        append_utf8(out, simple_lower(cp));
    }
}

}  // namespace lvx::text
