#include "persist/json.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "text/unicode.hpp"

namespace lvx::persist::json {

namespace {

constexpr int kMaxDepth = 127;

inline bool is_space(unsigned char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool is_digit(unsigned char c) noexcept { return c >= '0' && c <= '9'; }

// True when none of the 8 bytes needs attention inside a string: no quote,
// no backslash, no control character, no byte >= 0x80.
inline bool plain8(const unsigned char* p) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t high = 0x8080808080808080ULL;
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    const std::uint64_t lt = (x - ones * 0x20) & ~x & high;
    const std::uint64_t q = x ^ (ones * '"');
    const std::uint64_t b = x ^ (ones * '\\');
    const std::uint64_t eq = ((q - ones) & ~q & high) | ((b - ones) & ~b & high);
    return ((lt | eq | (x & high)) == 0);
}

inline bool plain_byte(unsigned char c) noexcept { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

// First byte at or after p that needs attention inside a string, or end.
inline const unsigned char* skip_plain(const unsigned char* p, const unsigned char* end) noexcept {
#ifdef __SSE2__
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i space = _mm_set1_epi8(0x20);
    while (end - p >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        // Signed compare: bytes >= 0x80 are negative and count as below 0x20.
        const __m128i special =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, quote), _mm_cmpeq_epi8(x, backslash)), _mm_cmplt_epi8(x, space));
        const int mask = _mm_movemask_epi8(special);
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
        p += 16;
    }
#endif
    while (end - p >= 8 && plain8(p)) p += 8;
    while (p < end && plain_byte(*p)) ++p;
    return p;
}

// Length of the well-formed UTF-8 sequence at p (whose first byte is >= 0x80),
// or 0 when it is malformed.
inline std::size_t utf8_sequence(const unsigned char* p, const unsigned char* end) noexcept {
    const char* q = reinterpret_cast<const char*>(p);
    const char* const e = reinterpret_cast<const char*>(end);
    text::decode_utf8(q, e);
    const auto n = static_cast<std::size_t>(q - reinterpret_cast<const char*>(p));
    return n >= 2 ? n : 0;  // a malformed sequence advances by a single byte
}

inline int hex_value(unsigned char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    c |= 0x20;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

inline bool hex4(const unsigned char*& p, const unsigned char* end, char32_t& cp) noexcept {
    if (end - p < 4) return false;
    cp = 0;
    for (int k = 0; k < 4; ++k) {
        const int h = hex_value(p[k]);
        if (h < 0) return false;
        cp = (cp << 4) | static_cast<char32_t>(h);
    }
    p += 4;
    return true;
}

// Reads the rest of a string up to and including its closing quote,
// checking UTF-8, control characters and escapes, and hands the text to the
// sink: bytes(p, n) for literal runs, escape(cp) for each escape sequence.
template <class Sink>
bool string_body(const unsigned char*& p, const unsigned char* end, Sink& sink, bool& ascii) {
    for (;;) {
        const unsigned char* const run = p;
        unsigned char c;
        for (;;) {
            p = skip_plain(p, end);
            if (p == end) return false;
            c = *p;
            if (c >= 0x80) {
                const std::size_t n = utf8_sequence(p, end);
                if (n == 0) return false;
                ascii = false;
                p += n;
                continue;
            }
            break;
        }
        if (p > run) sink.bytes(run, static_cast<std::size_t>(p - run));
        if (c == '"') {
            ++p;
            return true;
        }
        if (c < 0x20) return false;
        // Backslash.
        if (end - p < 2) return false;
        const unsigned char e = p[1];
        p += 2;
        char32_t cp;
        switch (e) {
            case '"': cp = '"'; break;
            case '\\': cp = '\\'; break;
            case '/': cp = '/'; break;
            case 'b': cp = '\b'; break;
            case 'f': cp = '\f'; break;
            case 'n': cp = '\n'; break;
            case 'r': cp = '\r'; break;
            case 't': cp = '\t'; break;
            case 'u': {
                if (!hex4(p, end, cp)) return false;
                if (cp >= 0xDC00 && cp <= 0xDFFF) return false;  // lone low surrogate
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    char32_t low;
                    if (end - p < 2 || p[0] != '\\' || p[1] != 'u') return false;
                    p += 2;
                    if (!hex4(p, end, low) || low < 0xDC00 || low > 0xDFFF) return false;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                if (cp >= 0x80) ascii = false;
                break;
            }
            default: return false;
        }
        sink.escape(cp);
    }
}

// Measures the text.
struct CountSink {
    std::size_t n = 0;
    bool escaped = false;
    void bytes(const unsigned char*, std::size_t k) noexcept { n += k; }
    void escape(char32_t cp) noexcept {
        n += text::utf8_length(cp);
        escaped = true;
    }
};

// Appends the text to a string.
struct StringSink {
    std::string& out;
    void bytes(const unsigned char* p, std::size_t k) { out.append(reinterpret_cast<const char*>(p), k); }
    void escape(char32_t cp) { text::append_utf8(out, cp); }
};

// Writes the text to a buffer already sized by CountSink.
struct BufferSink {
    char* out;
    void bytes(const unsigned char* p, std::size_t k) noexcept {
        std::memcpy(out, p, k);
        out += k;
    }
    void escape(char32_t cp) noexcept {
        if (cp < 0x80) {
            *out++ = static_cast<char>(cp);
        } else if (cp < 0x800) {
            *out++ = static_cast<char>(0xC0 | (cp >> 6));
            *out++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out++ = static_cast<char>(0xE0 | (cp >> 12));
            *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *out++ = static_cast<char>(0xF0 | (cp >> 18));
            *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
};

}  // namespace

class Parser {
public:
    Parser(Document& doc, std::string_view input)
        : doc_(doc),
          begin_(reinterpret_cast<const unsigned char*>(input.data())),
          p_(begin_),
          end_(begin_ + input.size()) {}

    bool run() {
        skip_space();
        if (p_ == end_ || !value(doc_.root_)) return false;
        skip_space();
        return p_ == end_;
    }

private:
    struct Member {
        std::string_view name;
        std::size_t index;  // position of the name node in stack_
    };

    void skip_space() noexcept {
        while (p_ < end_ && is_space(*p_)) ++p_;
    }

    bool literal(const char* word, std::size_t n) noexcept {
        if (static_cast<std::size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
        p_ += n;
        return true;
    }

    bool value(Value& out) {
        switch (*p_) {
            case '{': return object(out);
            case '[': return array(out);
            case '"': return string(out);
            case 't': out.type = Type::True; return literal("true", 4);
            case 'f': out.type = Type::False; return literal("false", 5);
            case 'n': out.type = Type::Null; return literal("null", 4);
            default:
                if (*p_ == '-' || is_digit(*p_)) return number(out);
                return false;
        }
    }

    bool array(Value& out) {
        ++p_;
        if (++depth_ > kMaxDepth) return false;
        const std::size_t mark = stack_.size();
        skip_space();
        if (p_ < end_ && *p_ == ']') {
            ++p_;
        } else {
            for (;;) {
                if (p_ == end_) return false;
                Value v;
                if (!value(v)) return false;
                stack_.push_back(v);
                skip_space();
                if (p_ == end_) return false;
                if (*p_ == ',') {
                    ++p_;
                    skip_space();
                    continue;
                }
                if (*p_ != ']') return false;
                ++p_;
                break;
            }
        }
        out.type = Type::Array;
        out.first = doc_.nodes_.size();
        out.n = stack_.size() - mark;
        doc_.nodes_.insert(doc_.nodes_.end(), stack_.begin() + static_cast<std::ptrdiff_t>(mark), stack_.end());
        stack_.resize(mark);
        --depth_;
        return true;
    }

    bool object(Value& out) {
        ++p_;
        if (++depth_ > kMaxDepth) return false;
        const std::size_t mark = stack_.size();
        skip_space();
        if (p_ < end_ && *p_ == '}') {
            ++p_;
        } else {
            for (;;) {
                if (p_ == end_ || *p_ != '"') return false;
                Value name;
                if (!string(name, true)) return false;
                skip_space();
                if (p_ == end_ || *p_ != ':') return false;
                ++p_;
                skip_space();
                if (p_ == end_) return false;
                Value v;
                if (!value(v)) return false;
                stack_.push_back(name);
                stack_.push_back(v);
                skip_space();
                if (p_ == end_) return false;
                if (*p_ == ',') {
                    ++p_;
                    skip_space();
                    continue;
                }
                if (*p_ != '}') return false;
                ++p_;
                break;
            }
        }
        out.type = Type::Object;
        out.first = doc_.nodes_.size();
        out.n = close_object(mark);
        --depth_;
        return true;
    }

    // Moves the members pending on the stack since `mark` into the document in
    // ascending name order, keeping only the last of equal names. Returns the
    // member count.
    std::size_t close_object(std::size_t mark) {
        auto& nodes = doc_.nodes_;
        const std::size_t count = (stack_.size() - mark) / 2;
        bool ordered = true;
        for (std::size_t k = 1; k < count && ordered; ++k) {
            ordered = doc_.name(stack_[mark + 2 * (k - 1)]) < doc_.name(stack_[mark + 2 * k]);
        }
        if (ordered) {
            nodes.insert(nodes.end(), stack_.begin() + static_cast<std::ptrdiff_t>(mark), stack_.end());
            stack_.resize(mark);
            return count;
        }
        members_.clear();
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t at = mark + 2 * k;
            members_.push_back(Member{doc_.name(stack_[at]), at});
        }
        // Stable: equal names stay in document order, so the last of a run is
        // the last occurrence.
        std::stable_sort(members_.begin(), members_.end(),
                         [](const Member& a, const Member& b) { return a.name < b.name; });
        std::size_t kept = 0;
        for (std::size_t k = 0; k < members_.size(); ++k) {
            if (k + 1 < members_.size() && members_[k + 1].name == members_[k].name) continue;
            nodes.push_back(stack_[members_[k].index]);
            nodes.push_back(stack_[members_[k].index + 1]);
            ++kept;
        }
        stack_.resize(mark);
        return kept;
    }

    // A string value (name = false) or member name (name = true). Member
    // names with escapes are unescaped at once, since they are compared and
    // sorted; string values with escapes are decoded when converted.
    bool string(Value& out, bool name = false) {
        ++p_;  // opening quote
        const unsigned char* const start = p_;
        CountSink count;
        bool ascii = true;
        if (!string_body(p_, end_, count, ascii)) return false;
        out.type = Type::String;
        out.ascii = ascii;
        out.n = count.n;
        out.offset = static_cast<std::size_t>(start - begin_);
        out.form = count.escaped ? StrForm::Escaped : StrForm::Plain;
        if (count.escaped && name) {
            out.form = StrForm::Buffered;
            out.offset = doc_.unescaped_.size();
            const unsigned char* q = start;
            StringSink sink{doc_.unescaped_};
            string_body(q, end_, sink, ascii);
        }
        return true;
    }

    bool digits() noexcept {
        if (p_ == end_ || !is_digit(*p_)) return false;
        while (p_ < end_ && is_digit(*p_)) ++p_;
        return true;
    }

    bool number(Value& out) {
        const unsigned char* const start = p_;
        const bool negative = *p_ == '-';
        if (negative) ++p_;
        const unsigned char* const int_begin = p_;
        if (p_ == end_) return false;
        if (*p_ == '0') {
            ++p_;
        } else if (!digits()) {
            return false;
        }
        const unsigned char* const int_end = p_;
        bool integral = true;
        const unsigned char* frac_begin = nullptr;
        const unsigned char* frac_end = nullptr;
        if (p_ < end_ && *p_ == '.') {
            ++p_;
            frac_begin = p_;
            if (!digits()) return false;
            frac_end = p_;
            integral = false;
        }
        std::int64_t exponent = 0;
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            ++p_;
            bool exp_negative = false;
            if (p_ < end_ && (*p_ == '+' || *p_ == '-')) exp_negative = *p_++ == '-';
            const unsigned char* const exp_begin = p_;
            if (!digits()) return false;
            for (const unsigned char* q = exp_begin; q < p_; ++q) {
                if (exponent < 1'000'000'000) exponent = exponent * 10 + (*q - '0');
            }
            if (exp_negative) exponent = -exponent;
            integral = false;
        }
        if (integral) {
            std::uint64_t v = 0;
            bool fits = true;
            for (const unsigned char* q = int_begin; q < int_end; ++q) {
                const unsigned d = *q - '0';
                if (v > (std::numeric_limits<std::uint64_t>::max() - d) / 10) {
                    fits = false;
                    break;
                }
                v = v * 10 + d;
            }
            if (fits && (!negative || v == 0)) {
                out.type = Type::UInt;
                out.u = v;
                return true;
            }
            constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
            if (fits && v <= kMinMagnitude) {
                out.type = Type::NegInt;
                out.i = v == kMinMagnitude ? std::numeric_limits<std::int64_t>::min() : -static_cast<std::int64_t>(v);
                return true;
            }
        }
        double d = 0.0;
        const auto res = std::from_chars(reinterpret_cast<const char*>(start), reinterpret_cast<const char*>(p_), d);
        if (res.ptr != reinterpret_cast<const char*>(p_)) return false;
        if (res.ec == std::errc::result_out_of_range) {
            d = out_of_range_value(int_begin, int_end, frac_begin, frac_end, exponent);
            if (negative) d = -d;
        } else if (res.ec != std::errc{}) {
            return false;
        }
        out.type = Type::Double;
        out.d = d;
        return true;
    }

    // A decimal number that does not fit in a double either overflows
    // (infinity) or underflows (zero); its decimal order of magnitude tells.
    static double out_of_range_value(const unsigned char* int_begin, const unsigned char* int_end,
                                     const unsigned char* frac_begin, const unsigned char* frac_end,
                                     std::int64_t exponent) noexcept {
        std::int64_t order = 0;
        bool found = false;
        for (const unsigned char* q = int_begin; q < int_end; ++q) {
            if (*q != '0') {
                order = int_end - q - 1;
                found = true;
                break;
            }
        }
        if (!found) {
            for (const unsigned char* q = frac_begin; q != nullptr && q < frac_end; ++q) {
                if (*q != '0') {
                    order = -(q - frac_begin) - 1;
                    break;
                }
            }
        }
        return order + exponent >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }

    Document& doc_;
    const unsigned char* const begin_;
    const unsigned char* p_;
    const unsigned char* const end_;
    std::vector<Value> stack_;
    std::vector<Member> members_;
    int depth_ = 0;
};

bool Document::parse(std::string_view input) {
    input_ = input;
    nodes_.clear();
    unescaped_.clear();
    root_ = Value{};
    nodes_.reserve(input.size() / 64);  // about one value per 50 bytes in typical payloads
    Parser parser(*this, input);
    return parser.run();
}

const Value* Document::find(const Value& object, std::string_view name) const noexcept {
    const Value* lo = nodes_.data() + object.first;
    std::size_t count = object.n;
    while (count > 0) {
        const std::size_t half = count / 2;
        const Value* mid = lo + 2 * half;
        if (this->name(*mid) < name) {
            lo = mid + 2;
            count -= half + 1;
        } else {
            count = half;
        }
    }
    if (lo < nodes_.data() + object.first + 2 * object.n && this->name(*lo) == name) return lo + 1;
    return nullptr;
}

void Document::write_text(const Value& v, char* out) const noexcept {
    if (v.form != StrForm::Escaped) {
        std::memcpy(out, name(v).data(), v.n);
        return;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(input_.data()) + v.offset;
    const auto* end = reinterpret_cast<const unsigned char*>(input_.data() + input_.size());
    BufferSink sink{out};
    bool ascii = true;
    string_body(p, end, sink, ascii);  // checked by the parse: cannot fail
}

std::string_view Document::text(const Value& v, std::string& scratch) const {
    if (v.form != StrForm::Escaped) return name(v);
    scratch.resize(v.n);
    write_text(v, scratch.data());
    return scratch;
}

}  // namespace lvx::persist::json
