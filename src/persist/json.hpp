// Strict JSON reader producing a compact value tree.
//
// Accepted input: one JSON text in UTF-8 (every string checked, no byte-order
// mark), surrounded only by space, tab, line feed and carriage return. Arrays
// and objects may nest at most 127 levels deep. Object members are kept in
// ascending order of the UTF-8 bytes of their names; when a name repeats, the
// last occurrence wins.
//
// Numbers are classified as the corpus readers need them:
//   - an integer in 0 .. 2^64-1 (also "-0")       -> UInt
//   - an integer in -2^63 .. -1                    -> NegInt
//   - anything else (fraction, exponent, or an integer outside both ranges)
//                                                  -> Double, correctly rounded;
//     magnitudes beyond the double range read as infinity, tiny ones as zero.
// A \u escape of a lone surrogate rejects the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace lvx::persist::json {

enum class Type : std::uint8_t { Null, False, True, UInt, NegInt, Double, String, Array, Object };

// Where the text of a String lives.
enum class StrForm : std::uint8_t {
    Plain,     // in the input, no escapes: the bytes between the quotes
    Buffered,  // unescaped into the document's buffer (member names)
    Escaped,   // in the input with escapes; decoded on demand
};

struct Value {
    Type type = Type::Null;
    bool ascii = false;               // String: every byte of the text < 0x80
    StrForm form = StrForm::Plain;    // String
    union {
        std::uint64_t u;
        std::int64_t i;
        double d;
        std::size_t offset;  // String: into the input (Plain, Escaped) or the buffer (Buffered)
        std::size_t first;   // Array, Object: index of the first child node
    };
    // String: byte length of the text (after unescaping); Array: element
    // count; Object: member count (each member is two child nodes, name then
    // value).
    std::size_t n = 0;

    Value() : u(0) {}
};

class Document {
public:
    // Parses `input`; false when it is not acceptable JSON. The document
    // keeps a view of `input`, which must outlive it.
    bool parse(std::string_view input);

    const Value& root() const noexcept { return root_; }

    // Text of a member name (never Escaped).
    std::string_view name(const Value& v) const noexcept {
        const char* base = v.form == StrForm::Buffered ? unescaped_.data() : input_.data();
        return {base + v.offset, v.n};
    }
    // Text of any String; Escaped text is decoded into `scratch`.
    std::string_view text(const Value& v, std::string& scratch) const;
    // Writes the v.n bytes of a String's text to out.
    void write_text(const Value& v, char* out) const noexcept;

    std::span<const Value> elements(const Value& array) const noexcept { return {nodes_.data() + array.first, array.n}; }
    // Alternating name and value nodes, names in ascending byte order.
    std::span<const Value> members(const Value& object) const noexcept {
        return {nodes_.data() + object.first, 2 * object.n};
    }
    // Value of the member named `name`, or nullptr.
    const Value* find(const Value& object, std::string_view name) const noexcept;

private:
    friend class Parser;
    std::string_view input_;
    std::vector<Value> nodes_;
    std::string unescaped_;
    Value root_;
};

}  // namespace lvx::persist::json
