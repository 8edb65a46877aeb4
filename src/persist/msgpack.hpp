// MessagePack value tree, writer and reader, and the conversions between host
// objects and MessagePack values shared by every MessagePack codec.
//
// Writing uses the smallest form of every value (str8 for 32..255-byte
// strings, Float64 for every float). Reading takes the first value of a byte
// string and ignores what follows; 0xc1 reads as nil, strings that are not
// valid UTF-8 are kept (marked invalid), and a nesting budget of 1024 units
// bounds the depth: every value costs 1, the payload of a string or extension
// 2 more, the bytes of a binary 1 more, the elements of an array or map 1 more
// (siblings share the budget left at their parent). Declared lengths never
// decide how much memory is reserved beyond what the input can hold.
//
// Host -> MessagePack (tested in this order): None -> nil; bool or a numpy
// boolean -> boolean; anything that converts to a signed 64-bit integer
// (int, __index__) -> integer; anything the float conversion accepts ->
// Float64; str -> string; list -> array; dict -> map; everything else -> the
// string of its str(), with each lone surrogate written as three U+FFFD.
// The conversion is recursive and bounded by the interpreter's recursion
// guard (RecursionError for self-containing or very deep input).
//
// Two ways to use it:
//   * the value tree: `from_host`, `encode`, `decode`, `to_host`;
//   * direct streaming, which produces the same bytes and host objects without
//     building a tree: `Writer::put_host` and `Reader::read_host`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "module/core.hpp"

namespace lvx::msgpack {

// ---------------------------------------------------------------------------
// Value tree

enum class Type : std::uint8_t { Nil, Boolean, Integer, Float32, Float64, String, Binary, Array, Map, Extension };

struct Value {
    Type type = Type::Nil;
    bool boolean = false;     // Boolean
    bool negative = false;    // Integer: the value is `i` (< 0); otherwise `u`
    bool valid_utf8 = true;   // String: false when read from malformed UTF-8
    std::int8_t ext_type = 0; // Extension
    std::uint64_t u = 0;      // Integer, non-negative form
    std::int64_t i = 0;       // Integer, negative form
    float f32 = 0.0f;         // Float32
    double f64 = 0.0;         // Float64
    std::string bytes;        // String, Binary, Extension payload
    // Array: the elements. Map: keys and values interleaved
    // (key 0, value 0, key 1, value 1, ...).
    std::vector<Value> items;

    static Value nil() { return Value{}; }
    static Value of_bool(bool b);
    static Value of_uint(std::uint64_t v);
    static Value of_int(std::int64_t v);
    static Value of_f64(double v);
    static Value of_str(std::string_view s);
    static Value of_bin(std::string_view s);
    static Value array();
    static Value map();

    bool is_integer() const noexcept { return type == Type::Integer; }
    std::size_t map_size() const noexcept { return items.size() / 2; }
    const Value& key(std::size_t k) const noexcept { return items[2 * k]; }
    const Value& val(std::size_t k) const noexcept { return items[2 * k + 1]; }
    void push_entry(Value k, Value v);
};

// Host object -> value. Throws PyErrorSet with the exception of a failing
// str() (or RecursionError / MemoryError).
Value from_host(PyObject* obj);

// Value -> new host object. Throws PyErrorSet (TypeError for a key that
// becomes a list or dict).
Ref to_host(const Value& v);

// Value -> bytes. RuntimeError "msgpack encode: error while writing
// multi-byte MessagePack value" when a length cannot be represented.
Ref encode(const Value& v);

// First value of `data`, or nullopt when the read fails.
std::optional<Value> decode(std::string_view data);

// ---------------------------------------------------------------------------
// Writer: appends MessagePack to a growable buffer that becomes a bytes
// object. A length that MessagePack cannot represent (2**32 or more) marks
// the writer as failed; `finish` then raises the RuntimeError above instead
// of returning partial bytes.

class Writer {
public:
    Writer();
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void put_nil() { put_byte(0xc0); }
    void put_bool(bool b) { put_byte(b ? 0xc3 : 0xc2); }
    void put_uint(std::uint64_t v);
    void put_int(std::int64_t v);
    void put_f32(float v);
    void put_f64(double v);
    void put_str(std::string_view s);
    void put_bin(std::string_view s);
    void put_ext(std::int8_t type, std::string_view s);
    void put_array_header(std::size_t n);
    void put_map_header(std::size_t n);

    // Writes a value tree.
    void put(const Value& v);
    // Writes a host object exactly as `put(from_host(obj))` would.
    // Throws PyErrorSet as `from_host` does.
    void put_host(PyObject* obj);

    std::size_t size() const noexcept { return len_; }
    bool failed() const noexcept { return failed_; }

    // The bytes written, as a new bytes object (the writer is left empty).
    Ref finish();

    // Internal: header patching used when a list shrinks while it is written.
    void rewrite_header(std::size_t at, std::size_t old_n, std::size_t new_n, bool map);

private:
    friend struct HostWriter;
    void put_byte(std::uint8_t b) {
        reserve(1);
        data_[len_++] = static_cast<char>(b);
    }
    void reserve(std::size_t n) {
        if (cap_ - len_ < n) grow(n);
    }
    void grow(std::size_t n);
    void put_be(std::uint8_t marker, std::uint64_t v, int width);
    void put_header(std::uint8_t fix_base, std::size_t fix_max, std::uint8_t m16, std::uint8_t m32, std::size_t n);

    PyObject* bytes_ = nullptr;  // owned; capacity `cap_`
    char* data_ = nullptr;
    std::size_t len_ = 0;
    std::size_t cap_ = 0;
    bool failed_ = false;
};

// The encoders' failure message (after "msgpack encode: ").
inline constexpr const char* kWriteError = "error while writing multi-byte MessagePack value";
[[noreturn]] void raise_write_error();

// ---------------------------------------------------------------------------
// Reader over borrowed bytes.
//
// Each read consumes one value from the current position and takes the
// budget that value may use (kBudget for a top-level value). Reads return
// false (or a null Ref with no exception set) when the value is malformed:
// truncated, over budget, or of another type than asked for; the position is
// then unspecified and the whole read should be treated as failed.
//
// `read_host` converts straight to host objects; it throws PyErrorSet when a
// well-formed value cannot become a host object. A codec that wants the
// "read the whole value first, then convert" order should, when a conversion
// throws, check `well_formed(data)` and return None instead of raising if the
// data as a whole does not read (see the codecs in this directory).

inline constexpr int kBudget = 1024;

struct Integer {
    bool negative = false;
    std::uint64_t u = 0;  // when !negative
    std::int64_t i = 0;   // when negative
};

class Reader {
public:
    explicit Reader(std::string_view data) noexcept
        : p_(reinterpret_cast<const std::uint8_t*>(data.data())), end_(p_ + data.size()) {}
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Type of the next value; nullopt at the end of the input.
    std::optional<Type> peek() const noexcept;

    // Array / map header: charges 2 units; on success `budget` becomes the
    // budget of each element.
    bool read_array_header(std::uint32_t& n, int& budget) noexcept;
    bool read_map_header(std::uint32_t& n, int& budget) noexcept;
    // A String value (bytes borrowed from the input); `valid` tells whether
    // they are valid UTF-8.
    bool read_str(std::string_view& out, bool& valid, int budget) noexcept;
    // An Integer value (any integer encoding).
    bool read_int(Integer& out, int budget) noexcept;
    // Any value, skipped.
    bool skip(int budget) noexcept;
    // Any value, as a value tree.
    bool read_value(Value& out, int budget);
    // Any value, as a new host object. Null Ref (no exception) when malformed.
    Ref read_host(int budget);

    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - p_); }

private:
    struct KeyCache;
    PyObject* host_key(std::string_view bytes);
    bool take(std::size_t n, const std::uint8_t*& out) noexcept;

    const std::uint8_t* p_;
    const std::uint8_t* end_;
    KeyCache* keys_ = nullptr;  // owned; created on the first map key
};

// True when the first value of `data` reads within the budget.
bool well_formed(std::string_view data) noexcept;

// True when `s` is valid UTF-8.
bool is_valid_utf8(std::string_view s) noexcept;

// Reads the first value of `data` straight into host objects, in the order
// "read the whole value, then convert": null Ref with no exception for
// malformed data, PyErrorSet when a well-formed value cannot be converted.
Ref decode_to_host(std::string_view data);

// Writes a host object (as put_host) into a new bytes object.
Ref encode_host(PyObject* obj);

}  // namespace lvx::msgpack
