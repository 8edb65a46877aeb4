// segment_text: split a text into sentences after ".", "!" or "?" followed by
// white space, and fold pieces shorter than min_chars (UTF-8 bytes) into the
// sentence before them.
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "module/core.hpp"
#include "text/unicode.hpp"

namespace lvx::sentence {
namespace {

inline bool is_sentence_mark(char c) noexcept { return c == '.' || c == '!' || c == '?'; }

// The first sentence mark in [p, end), or end.
inline const char* next_mark(const char* p, const char* end) noexcept {
#if defined(__SSE2__)
    const __m128i dot = _mm_set1_epi8('.');
    const __m128i bang = _mm_set1_epi8('!');
    const __m128i question = _mm_set1_epi8('?');
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i hit =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, dot), _mm_cmpeq_epi8(v, bang)), _mm_cmpeq_epi8(v, question));
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (mask != 0) return p + __builtin_ctz(mask);
    }
#endif
    while (p < end && !is_sentence_mark(*p)) ++p;
    return p;
}

// Collects the sentences: the last one stays pending (as a view into the
// text, or in `merged` once something was folded into it) until the next
// sentence starts, so that merges append in place.
class Sentences {
public:
    explicit Sentences(std::uint64_t min_chars) : min_chars_(min_chars), out_(new_list()) {}

    void add_piece(std::string_view piece) {
        piece = text::trim_white_space(piece);
        if (piece.empty()) return;
        if (piece.size() < min_chars_ && has_pending_) {
            if (!merging_) {
                merged_.assign(pending_);
                merging_ = true;
            }
            merged_.push_back(' ');
            merged_.append(piece);
            return;
        }
        flush();
        pending_ = piece;
        has_pending_ = true;
    }

    Ref finish() {
        flush();
        return std::move(out_);
    }

private:
    void flush() {
        if (!has_pending_) return;
        list_append(out_.get(), to_py(merging_ ? std::string_view(merged_) : pending_));
        has_pending_ = false;
        merging_ = false;
    }

    std::uint64_t min_chars_;
    Ref out_;
    std::string_view pending_;
    std::string merged_;
    bool has_pending_ = false;
    bool merging_ = false;
};

PyObject* segment_text(Args args) {
    const std::string_view text = args[0].text;
    Sentences sentences(args[1].u);
    if (text::trim_white_space(text).empty()) return sentences.finish().release();

    const char* const begin = text.data();
    const char* const end = begin + text.size();
    const char* start = begin;
    // A split falls at white space right after a mark. The marks are ASCII,
    // so the byte before the white space is the whole previous character.
    for (const char* p = next_mark(begin, end); p + 1 < end; p = next_mark(p + 1, end)) {
        if (text::white_space_at(p + 1, end) != 0) {
            sentences.add_piece(std::string_view(start, static_cast<std::size_t>(p + 1 - start)));
            start = p + 1;
        }
    }
    sentences.add_piece(std::string_view(start, static_cast<std::size_t>(end - start)));
    return sentences.finish().release();
}

constexpr Param kParams[] = {
    required("text", Kind::Text),
    required("min_chars", Kind::NonNegInt),
};

const FunctionSpec fn_segment_text{
    "segment_text",
    "segment_text(text, min_chars)\n--\n\n"
    "Split text into sentences, merging fragments shorter than `min_chars` into\n"
    "the preceding sentence.\n"
    "\n"
    "Mirrors `sentence_window.segment_text()` exactly.\n"
    "The Python version uses `re.split(r\"(?<=[.!?])\\s+\", text)`.\n"
    "The native regular-expression engine has no look-behind, so the split is done by hand:\n"
    "scan for [.!?] followed by whitespace and split at the whitespace boundary.",
    kParams,
    &segment_text,
};
LVX_REGISTER_FUNCTION(fn_segment_text);

}  // namespace
}  // namespace lvx::sentence
