// MessagePack value tree, writer, reader and host conversions.
#include "persist/msgpack.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace lvx::msgpack {

// ===========================================================================
// Value tree

Value Value::of_bool(bool b) {
    Value v;
    v.type = Type::Boolean;
    v.boolean = b;
    return v;
}
Value Value::of_uint(std::uint64_t x) {
    Value v;
    v.type = Type::Integer;
    v.u = x;
    return v;
}
Value Value::of_int(std::int64_t x) {
    if (x >= 0) return of_uint(static_cast<std::uint64_t>(x));
    Value v;
    v.type = Type::Integer;
    v.negative = true;
    v.i = x;
    return v;
}
Value Value::of_f64(double x) {
    Value v;
    v.type = Type::Float64;
    v.f64 = x;
    return v;
}
Value Value::of_str(std::string_view s) {
    Value v;
    v.type = Type::String;
    v.bytes.assign(s);
    return v;
}
Value Value::of_bin(std::string_view s) {
    Value v;
    v.type = Type::Binary;
    v.bytes.assign(s);
    return v;
}
Value Value::array() {
    Value v;
    v.type = Type::Array;
    return v;
}
Value Value::map() {
    Value v;
    v.type = Type::Map;
    return v;
}
void Value::push_entry(Value k, Value v) {
    items.push_back(std::move(k));
    items.push_back(std::move(v));
}

// ===========================================================================
// Writer

Writer::Writer() = default;
Writer::~Writer() { Py_XDECREF(bytes_); }

void Writer::grow(std::size_t n) {
    const std::size_t limit = static_cast<std::size_t>(PY_SSIZE_T_MAX) - 1;
    if (n > limit - len_) throw std::bad_alloc();
    std::size_t want = std::max<std::size_t>({std::size_t{256}, len_ + n, cap_ > limit / 2 ? limit : cap_ * 2});
    if (bytes_ == nullptr) {
        bytes_ = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(want)));
    } else if (_PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(want)) < 0) {
        bytes_ = nullptr;
        data_ = nullptr;
        len_ = cap_ = 0;
        throw PyErrorSet{};
    }
    data_ = PyBytes_AS_STRING(bytes_);
    cap_ = want;
}

void Writer::put_be(std::uint8_t marker, std::uint64_t v, int width) {
    reserve(9);
    char* out = data_ + len_;
    out[0] = static_cast<char>(marker);
    for (int k = 0; k < width; ++k) out[1 + k] = static_cast<char>(v >> (8 * (width - 1 - k)));
    len_ += static_cast<std::size_t>(1 + width);
}

void Writer::put_uint(std::uint64_t v) {
    if (v < 128) {
        put_byte(static_cast<std::uint8_t>(v));
    } else if (v <= 0xff) {
        put_be(0xcc, v, 1);
    } else if (v <= 0xffff) {
        put_be(0xcd, v, 2);
    } else if (v <= 0xffffffffu) {
        put_be(0xce, v, 4);
    } else {
        put_be(0xcf, v, 8);
    }
}

void Writer::put_int(std::int64_t v) {
    if (v >= 0) return put_uint(static_cast<std::uint64_t>(v));
    const auto bits = static_cast<std::uint64_t>(v);
    if (v >= -32) {
        put_byte(static_cast<std::uint8_t>(bits));
    } else if (v >= -128) {
        put_be(0xd0, bits, 1);
    } else if (v >= -32768) {
        put_be(0xd1, bits, 2);
    } else if (v >= std::numeric_limits<std::int32_t>::min()) {
        put_be(0xd2, bits, 4);
    } else {
        put_be(0xd3, bits, 8);
    }
}

void Writer::put_f32(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    put_be(0xca, bits, 4);
}

void Writer::put_f64(double v) {
    reserve(9);
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    bits = __builtin_bswap64(bits);
    char* out = data_ + len_;
    out[0] = static_cast<char>(0xcb);
    std::memcpy(out + 1, &bits, 8);
    len_ += 9;
}

void Writer::put_header(std::uint8_t fix_base, std::size_t fix_max, std::uint8_t m16, std::uint8_t m32, std::size_t n) {
    if (n <= fix_max) {
        put_byte(static_cast<std::uint8_t>(fix_base + n));
    } else if (n <= 0xffff) {
        put_be(m16, n, 2);
    } else if (n <= 0xffffffffu) {
        put_be(m32, n, 4);
    } else {
        failed_ = true;
    }
}

void Writer::put_array_header(std::size_t n) { put_header(0x90, 15, 0xdc, 0xdd, n); }
void Writer::put_map_header(std::size_t n) { put_header(0x80, 15, 0xde, 0xdf, n); }

namespace {

// memcpy for the short strings that dominate keys and ids, without a call.
inline void copy_bytes(char* dst, const char* src, std::size_t n) noexcept {
    if (n >= 8 && n <= 16) {
        std::uint64_t a, b;
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + n - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + n - 8, &b, 8);
    } else if (n >= 4 && n < 8) {
        std::uint32_t a, b;
        std::memcpy(&a, src, 4);
        std::memcpy(&b, src + n - 4, 4);
        std::memcpy(dst, &a, 4);
        std::memcpy(dst + n - 4, &b, 4);
    } else if (n < 4) {
        for (std::size_t k = 0; k < n; ++k) dst[k] = src[k];
    } else {
        std::memcpy(dst, src, n);
    }
}

}  // namespace

void Writer::put_str(std::string_view s) {
    const std::size_t n = s.size();
    if (n <= 31) {
        reserve(1 + n);
        data_[len_] = static_cast<char>(0xa0 + n);
        copy_bytes(data_ + len_ + 1, s.data(), n);
        len_ += 1 + n;
        return;
    } else if (n <= 0xff) {
        put_be(0xd9, n, 1);
    } else if (n <= 0xffff) {
        put_be(0xda, n, 2);
    } else if (n <= 0xffffffffu) {
        put_be(0xdb, n, 4);
    } else {
        failed_ = true;
        return;
    }
    reserve(n);
    if (n != 0) std::memcpy(data_ + len_, s.data(), n);
    len_ += n;
}

void Writer::put_bin(std::string_view s) {
    const std::size_t n = s.size();
    if (n <= 0xff) {
        put_be(0xc4, n, 1);
    } else if (n <= 0xffff) {
        put_be(0xc5, n, 2);
    } else if (n <= 0xffffffffu) {
        put_be(0xc6, n, 4);
    } else {
        failed_ = true;
        return;
    }
    reserve(n);
    if (n != 0) std::memcpy(data_ + len_, s.data(), n);
    len_ += n;
}

void Writer::put_ext(std::int8_t type, std::string_view s) {
    const std::size_t n = s.size();
    switch (n) {
        case 1: put_byte(0xd4); break;
        case 2: put_byte(0xd5); break;
        case 4: put_byte(0xd6); break;
        case 8: put_byte(0xd7); break;
        case 16: put_byte(0xd8); break;
        default:
            if (n <= 0xff) {
                put_be(0xc7, n, 1);
            } else if (n <= 0xffff) {
                put_be(0xc8, n, 2);
            } else if (n <= 0xffffffffu) {
                put_be(0xc9, n, 4);
            } else {
                failed_ = true;
                return;
            }
    }
    put_byte(static_cast<std::uint8_t>(type));
    reserve(n);
    if (n != 0) std::memcpy(data_ + len_, s.data(), n);
    len_ += n;
}

namespace {
std::size_t header_size(std::size_t n) { return n <= 15 ? 1 : n <= 0xffff ? 3 : 5; }
}  // namespace

void Writer::rewrite_header(std::size_t at, std::size_t old_n, std::size_t new_n, bool map) {
    // Only ever called with new_n < old_n (a list that shrank while it was
    // written), so the new header is never longer than the old one.
    const std::size_t old_size = header_size(old_n);
    const std::size_t new_size = header_size(new_n);
    const std::size_t body = len_ - at - old_size;
    if (new_size != old_size) std::memmove(data_ + at + new_size, data_ + at + old_size, body);
    len_ = at;
    if (map) {
        put_map_header(new_n);
    } else {
        put_array_header(new_n);
    }
    len_ = at + new_size + body;
}

void Writer::put(const Value& v) {
    switch (v.type) {
        case Type::Nil: put_nil(); break;
        case Type::Boolean: put_bool(v.boolean); break;
        case Type::Integer:
            if (v.negative) {
                put_int(v.i);
            } else {
                put_uint(v.u);
            }
            break;
        case Type::Float32: put_f32(v.f32); break;
        case Type::Float64: put_f64(v.f64); break;
        case Type::String: put_str(v.bytes); break;
        case Type::Binary: put_bin(v.bytes); break;
        case Type::Extension: put_ext(v.ext_type, v.bytes); break;
        case Type::Array:
            put_array_header(v.items.size());
            for (const Value& item : v.items) put(item);
            break;
        case Type::Map:
            put_map_header(v.map_size());
            for (const Value& item : v.items) put(item);
            break;
    }
}

Ref Writer::finish() {
    if (failed_) raise_write_error();
    if (bytes_ == nullptr) return Ref::checked(PyBytes_FromStringAndSize("", 0));
    if (_PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(len_)) < 0) {
        bytes_ = nullptr;
        data_ = nullptr;
        len_ = cap_ = 0;
        throw PyErrorSet{};
    }
    Ref out = Ref::steal(bytes_);
    bytes_ = nullptr;
    data_ = nullptr;
    len_ = cap_ = 0;
    return out;
}

void raise_write_error() { raise(PyExc_RuntimeError, std::string("msgpack encode: ") + kWriteError); }

Ref encode(const Value& v) {
    Writer w;
    w.put(v);
    return w.finish();
}

// ===========================================================================
// Host -> MessagePack
//
// One set of rules drives two sinks: the value-tree builder and the direct
// writer. A sink offers nil/boolean/integer/f64/str and begin/end for arrays
// and maps; `end_*` receives the number of elements actually written, which
// is smaller than the announced one only when a list shrank during the walk.

namespace {

class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while converting an object to MessagePack") != 0) throw PyErrorSet{};
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// UTF-8 of a str with each lone surrogate replaced by three U+FFFD (the
// result of writing surrogates in their three-byte form and decoding that
// with replacement).
std::string utf8_replacing_surrogates(PyObject* s) {
    std::string out;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        const Py_UCS4 cp = PyUnicode_READ(kind, data, k);
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xc0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        } else if (cp >= 0xd800 && cp <= 0xdfff) {
            out.append("\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xe0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        } else {
            out.push_back(static_cast<char>(0xf0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
        }
    }
    return out;
}

// UTF-8 of a str, or false (error cleared) when it holds lone surrogates.
inline bool utf8_view(PyObject* s, std::string_view& out) {
    if (PyUnicode_IS_COMPACT_ASCII(s)) {
        out = std::string_view(static_cast<const char*>(PyUnicode_DATA(s)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)));
        return true;
    }
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(s, &n);
    if (p == nullptr) {
        PyErr_Clear();
        return false;
    }
    out = std::string_view(p, static_cast<std::size_t>(n));
    return true;
}

bool is_numpy_bool(PyTypeObject* t) {
    const char* name = t->tp_name;
    const char* dot = std::strrchr(name, '.');
    const char* last = dot != nullptr ? dot + 1 : name;
    if (std::strcmp(last, "bool") != 0 && std::strcmp(last, "bool_") != 0) return false;
    auto attr_is = [t](const char* attr, std::initializer_list<const char*> wanted) {
        Ref v = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(t), attr));
        if (!v || !PyUnicode_Check(v.get())) {
            PyErr_Clear();
            return false;
        }
        for (const char* w : wanted) {
            if (PyUnicode_CompareWithASCIIString(v.get(), w) == 0) return true;
        }
        return false;
    };
    return attr_is("__name__", {"bool_", "bool"}) && attr_is("__module__", {"numpy"});
}

template <class Sink>
void convert(PyObject* o, Sink& sink);

// Rule 8: the text of str(), lone surrogates replaced.
template <class Sink>
void convert_printed(PyObject* o, Sink& sink) {
    Ref s = Ref::checked(PyObject_Str(o));
    std::string_view view;
    if (utf8_view(s.get(), view)) {
        sink.str(view);
    } else {
        sink.str(utf8_replacing_surrogates(s.get()));
    }
}

template <class Sink>
void convert_list(PyObject* list, Sink& sink) {
    RecursionGuard guard;
    const Py_ssize_t n0 = PyList_GET_SIZE(list);
    const auto token = sink.begin_array(static_cast<std::size_t>(n0));
    Py_ssize_t k = 0;
    for (; k < n0 && k < PyList_GET_SIZE(list); ++k) {
        PyObject* item = PyList_GET_ITEM(list, k);
        if (PyFloat_CheckExact(item)) {
            sink.f64(PyFloat_AS_DOUBLE(item));
            continue;
        }
        // Host callbacks run by the conversion may drop the list's reference.
        Ref hold = Ref::borrow(item);
        convert(item, sink);
    }
    sink.end_array(token, static_cast<std::size_t>(n0), static_cast<std::size_t>(k));
}

template <class Sink>
void convert_dict(PyObject* dict, Sink& sink) {
    RecursionGuard guard;
    const Py_ssize_t n0 = PyDict_GET_SIZE(dict);
    const auto token = sink.begin_map(static_cast<std::size_t>(n0));
    Py_ssize_t pos = 0;
    Py_ssize_t seen = 0;
    PyObject* key;
    PyObject* value;
    for (;;) {
        if (PyDict_GET_SIZE(dict) != n0) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
        if (!PyDict_Next(dict, &pos, &key, &value)) break;
        if (++seen > n0) raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
        Ref k = Ref::borrow(key);
        Ref v = Ref::borrow(value);
        convert(k.get(), sink);
        convert(v.get(), sink);
    }
    sink.end_map(token, static_cast<std::size_t>(n0), static_cast<std::size_t>(seen));
}

// Objects that are not of an exact built-in type: the rules in order.
template <class Sink>
void convert_general(PyObject* o, Sink& sink) {
    PyTypeObject* t = Py_TYPE(o);
    if (is_numpy_bool(t)) {
        const int truth = PyObject_IsTrue(o);
        if (truth >= 0) return sink.boolean(truth != 0);
        PyErr_Clear();
    }
    PyNumberMethods* nb = t->tp_as_number;
    if (PyLong_Check(o) || (nb != nullptr && nb->nb_index != nullptr)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (v == -1 && PyErr_Occurred()) {
            PyErr_Clear();
        } else if (overflow == 0) {
            return sink.integer(v);
        }
    }
    if (PyFloat_Check(o) || (nb != nullptr && (nb->nb_float != nullptr || nb->nb_index != nullptr))) {
        const double d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
        } else {
            return sink.f64(d);
        }
    }
    if (PyUnicode_Check(o)) {
        std::string_view view;
        if (utf8_view(o, view)) return sink.str(view);
    }
    if (PyList_Check(o)) return convert_list(o, sink);
    if (PyDict_Check(o)) return convert_dict(o, sink);
    convert_printed(o, sink);
}

template <class Sink>
void convert(PyObject* o, Sink& sink) {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyUnicode_Type) {
        std::string_view view;
        if (utf8_view(o, view)) return sink.str(view);
        return sink.str(utf8_replacing_surrogates(o));
    }
    if (t == &PyFloat_Type) return sink.f64(PyFloat_AS_DOUBLE(o));
    if (t == &PyLong_Type) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow == 0) return sink.integer(v);
        const double d = PyLong_AsDouble(o);
        if (!(d == -1.0 && PyErr_Occurred())) return sink.f64(d);
        PyErr_Clear();
        return convert_printed(o, sink);
    }
    if (o == Py_None) return sink.nil();
    if (t == &PyBool_Type) return sink.boolean(o == Py_True);
    if (t == &PyDict_Type) return convert_dict(o, sink);
    if (t == &PyList_Type) return convert_list(o, sink);
    convert_general(o, sink);
}

struct TreeSink {
    Value root;
    std::vector<Value*> open;  // containers being filled, innermost last

    Value& slot() {
        if (open.empty()) return root;
        return open.back()->items.emplace_back();
    }
    void nil() { slot() = Value::nil(); }
    void boolean(bool b) { slot() = Value::of_bool(b); }
    void integer(long long v) { slot() = Value::of_int(v); }
    void f64(double d) { slot() = Value::of_f64(d); }
    void str(std::string_view s) {
        Value& v = slot();
        v.type = Type::String;
        v.bytes.assign(s);
    }
    int begin_array(std::size_t) {
        Value& v = slot();
        v.type = Type::Array;
        open.push_back(&v);
        return 0;
    }
    void end_array(int, std::size_t, std::size_t) { open.pop_back(); }
    int begin_map(std::size_t) {
        Value& v = slot();
        v.type = Type::Map;
        open.push_back(&v);
        return 0;
    }
    void end_map(int, std::size_t, std::size_t) { open.pop_back(); }
};

}  // namespace

struct HostWriter {
    Writer& w;
    void nil() { w.put_nil(); }
    void boolean(bool b) { w.put_bool(b); }
    void integer(long long v) { w.put_int(v); }
    void f64(double d) { w.put_f64(d); }
    void str(std::string_view s) { w.put_str(s); }
    std::size_t begin_array(std::size_t n) {
        const std::size_t at = w.size();
        w.put_array_header(n);
        return at;
    }
    void end_array(std::size_t at, std::size_t announced, std::size_t written) {
        if (written != announced) w.rewrite_header(at, announced, written, false);
    }
    std::size_t begin_map(std::size_t n) {
        const std::size_t at = w.size();
        w.put_map_header(n);
        return at;
    }
    void end_map(std::size_t at, std::size_t announced, std::size_t written) {
        if (written != announced) w.rewrite_header(at, announced, written, true);
    }
};

Value from_host(PyObject* obj) {
    TreeSink sink;
    convert(obj, sink);
    return std::move(sink.root);
}

void Writer::put_host(PyObject* obj) {
    HostWriter sink{*this};
    convert(obj, sink);
}

Ref encode_host(PyObject* obj) {
    Writer w;
    w.put_host(obj);
    return w.finish();
}

// ===========================================================================
// UTF-8 validation

bool is_valid_utf8(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        if (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if ((word & 0x8080808080808080ull) == 0) {
                p += 8;
                continue;
            }
        }
        const std::uint8_t c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t need;
        std::uint8_t lo = 0x80, hi = 0xbf;
        if (c >= 0xc2 && c <= 0xdf) {
            need = 1;
        } else if (c >= 0xe0 && c <= 0xef) {
            need = 2;
            if (c == 0xe0) lo = 0xa0;
            if (c == 0xed) hi = 0x9f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            need = 3;
            if (c == 0xf0) lo = 0x90;
            if (c == 0xf4) hi = 0x8f;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= need) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (std::size_t k = 2; k <= need; ++k) {
            if ((p[k] & 0xc0) != 0x80) return false;
        }
        p += need + 1;
    }
    return true;
}

// ===========================================================================
// Reader

namespace {

// The head of a value: its marker and fixed-size fields, not its payload.
struct Head {
    Type type = Type::Nil;
    bool boolean = false;
    Integer integer;
    float f32 = 0.0f;
    double f64 = 0.0;
    std::uint32_t n = 0;  // payload length or element count
    std::int8_t ext = 0;
};

inline std::uint64_t load_be(const std::uint8_t* p, int width) noexcept {
    std::uint64_t v = 0;
    for (int k = 0; k < width; ++k) v = (v << 8) | p[k];
    return v;
}

// Units a value of this type costs (itself plus its payload or elements).
inline int cost_of(Type t) noexcept {
    switch (t) {
        case Type::String:
        case Type::Extension: return 3;
        case Type::Binary:
        case Type::Array:
        case Type::Map: return 2;
        default: return 1;
    }
}

}  // namespace

struct Reader::KeyCache {
    static constexpr std::size_t kSlots = 512;
    static constexpr std::size_t kMaxLen = 64;
    struct Slot {
        const std::uint8_t* p = nullptr;
        std::size_t n = 0;
        PyObject* str = nullptr;  // owned
    };
    Slot slots[kSlots];
    ~KeyCache() {
        for (Slot& s : slots) Py_XDECREF(s.str);
    }
    // Cheap hash of a short key: its length and its first and last bytes.
    static std::size_t hash(const std::uint8_t* p, std::size_t n) noexcept {
        std::uint64_t a = 0, b = 0;
        if (n >= 8) {
            std::memcpy(&a, p, 8);
            std::memcpy(&b, p + n - 8, 8);
        } else if (n >= 4) {
            std::uint32_t x, y;
            std::memcpy(&x, p, 4);
            std::memcpy(&y, p + n - 4, 4);
            a = x;
            b = y;
        } else if (n > 0) {
            a = p[0] | (std::uint64_t{p[n / 2]} << 8) | (std::uint64_t{p[n - 1]} << 16);
        }
        std::uint64_t h = (a * 0x9e3779b97f4a7c15ull) ^ ((b + n) * 0xc2b2ae3d27d4eb4full);
        h ^= h >> 31;
        return static_cast<std::size_t>(h) & (kSlots - 1);
    }
};

Reader::~Reader() { delete keys_; }

bool Reader::take(std::size_t n, const std::uint8_t*& out) noexcept {
    if (remaining() < n) return false;
    out = p_;
    p_ += n;
    return true;
}

namespace {

// Reads the head at p (p < end guaranteed by the caller's check) and
// advances p past it. False when the head runs past the end.
inline bool read_head(const std::uint8_t*& p, const std::uint8_t* end, Head& h) noexcept {
    if (p >= end) return false;
    const std::uint8_t m = *p++;
    auto fixed = [&](int width, std::uint64_t& v) {
        if (static_cast<std::size_t>(end - p) < static_cast<std::size_t>(width)) return false;
        v = load_be(p, width);
        p += width;
        return true;
    };
    std::uint64_t v = 0;
    if (m <= 0x7f) {
        h.type = Type::Integer;
        h.integer = Integer{false, m, 0};
        return true;
    }
    if (m >= 0xe0) {
        h.type = Type::Integer;
        h.integer = Integer{true, 0, static_cast<std::int8_t>(m)};
        return true;
    }
    if (m <= 0x8f) {
        h.type = Type::Map;
        h.n = m & 0x0f;
        return true;
    }
    if (m <= 0x9f) {
        h.type = Type::Array;
        h.n = m & 0x0f;
        return true;
    }
    if (m <= 0xbf) {
        h.type = Type::String;
        h.n = m & 0x1f;
        return true;
    }
    switch (m) {
        case 0xc0:
        case 0xc1:
            h.type = Type::Nil;
            return true;
        case 0xc2:
        case 0xc3:
            h.type = Type::Boolean;
            h.boolean = m == 0xc3;
            return true;
        case 0xc4:
        case 0xc5:
        case 0xc6: {
            const int w = m == 0xc4 ? 1 : m == 0xc5 ? 2 : 4;
            if (!fixed(w, v)) return false;
            h.type = Type::Binary;
            h.n = static_cast<std::uint32_t>(v);
            return true;
        }
        case 0xc7:
        case 0xc8:
        case 0xc9: {
            const int w = m == 0xc7 ? 1 : m == 0xc8 ? 2 : 4;
            if (!fixed(w, v)) return false;
            h.n = static_cast<std::uint32_t>(v);
            std::uint64_t type_byte;
            if (!fixed(1, type_byte)) return false;
            h.type = Type::Extension;
            h.ext = static_cast<std::int8_t>(static_cast<std::uint8_t>(type_byte));
            return true;
        }
        case 0xca: {
            if (!fixed(4, v)) return false;
            const auto bits = static_cast<std::uint32_t>(v);
            std::memcpy(&h.f32, &bits, 4);
            h.type = Type::Float32;
            return true;
        }
        case 0xcb: {
            if (!fixed(8, v)) return false;
            std::memcpy(&h.f64, &v, 8);
            h.type = Type::Float64;
            return true;
        }
        case 0xcc:
        case 0xcd:
        case 0xce:
        case 0xcf: {
            const int w = 1 << (m - 0xcc);
            if (!fixed(w, v)) return false;
            h.type = Type::Integer;
            h.integer = Integer{false, v, 0};
            return true;
        }
        case 0xd0:
        case 0xd1:
        case 0xd2:
        case 0xd3: {
            const int w = 1 << (m - 0xd0);
            if (!fixed(w, v)) return false;
            // Sign-extend the w-byte two's complement value.
            const int shift = 64 - 8 * w;
            const auto s = static_cast<std::int64_t>(v << shift) >> shift;
            h.type = Type::Integer;
            h.integer = s < 0 ? Integer{true, 0, s} : Integer{false, static_cast<std::uint64_t>(s), 0};
            return true;
        }
        case 0xd4:
        case 0xd5:
        case 0xd6:
        case 0xd7:
        case 0xd8: {
            std::uint64_t type_byte;
            if (!fixed(1, type_byte)) return false;
            h.type = Type::Extension;
            h.n = 1u << (m - 0xd4);
            h.ext = static_cast<std::int8_t>(static_cast<std::uint8_t>(type_byte));
            return true;
        }
        case 0xd9:
        case 0xda:
        case 0xdb: {
            const int w = m == 0xd9 ? 1 : m == 0xda ? 2 : 4;
            if (!fixed(w, v)) return false;
            h.type = Type::String;
            h.n = static_cast<std::uint32_t>(v);
            return true;
        }
        case 0xdc:
        case 0xdd:
            if (!fixed(m == 0xdc ? 2 : 4, v)) return false;
            h.type = Type::Array;
            h.n = static_cast<std::uint32_t>(v);
            return true;
        case 0xde:
        case 0xdf:
            if (!fixed(m == 0xde ? 2 : 4, v)) return false;
            h.type = Type::Map;
            h.n = static_cast<std::uint32_t>(v);
            return true;
        default:
            return false;  // unreachable: every byte is handled above
    }
}

// Reads a head and charges its cost; `budget` becomes the budget of the
// elements of an array or map.
inline bool read_charged(const std::uint8_t*& p, const std::uint8_t* end, Head& h, int& budget) noexcept {
    if (!read_head(p, end, h)) return false;
    budget -= cost_of(h.type);
    return budget >= 0;
}

// Skips one value (used by well_formed and Reader::skip).
bool skip_value(const std::uint8_t*& p, const std::uint8_t* end, int budget) noexcept {
    Head h;
    if (!read_charged(p, end, h, budget)) return false;
    switch (h.type) {
        case Type::String:
        case Type::Binary:
        case Type::Extension:
            if (static_cast<std::size_t>(end - p) < h.n) return false;
            p += h.n;
            return true;
        case Type::Array:
            for (std::uint32_t k = 0; k < h.n; ++k) {
                if (!skip_value(p, end, budget)) return false;
            }
            return true;
        case Type::Map:
            for (std::uint32_t k = 0; k < h.n; ++k) {
                if (!skip_value(p, end, budget) || !skip_value(p, end, budget)) return false;
            }
            return true;
        default:
            return true;
    }
}

Ref host_integer(const Integer& v) {
    return v.negative ? to_py_int(v.i) : to_py_uint(v.u);
}

inline bool is_ascii(const std::uint8_t* p, std::size_t n) noexcept {
    std::size_t k = 0;
    std::uint64_t acc = 0;
    for (; k + 8 <= n; k += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + k, 8);
        acc |= w;
    }
    for (; k < n; ++k) acc |= p[k];
    return (acc & 0x8080808080808080ull) == 0;
}

// A str from bytes; "" when they are not valid UTF-8.
Ref host_str(const std::uint8_t* p, std::size_t n) {
    if (is_ascii(p, n)) {
        PyObject* a = check(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
        if (n != 0) std::memcpy(PyUnicode_DATA(a), p, n);
        return Ref::steal(a);
    }
    PyObject* s = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(n), nullptr);
    if (s == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw PyErrorSet{};
        PyErr_Clear();
        s = check(PyUnicode_FromStringAndSize("", 0));
    }
    return Ref::steal(s);
}

}  // namespace

bool well_formed(std::string_view data) noexcept {
    const auto* p = reinterpret_cast<const std::uint8_t*>(data.data());
    return skip_value(p, p + data.size(), kBudget);
}

std::optional<Type> Reader::peek() const noexcept {
    if (p_ >= end_) return std::nullopt;
    const std::uint8_t m = *p_;
    if (m <= 0x7f || m >= 0xe0) return Type::Integer;
    if (m <= 0x8f) return Type::Map;
    if (m <= 0x9f) return Type::Array;
    if (m <= 0xbf) return Type::String;
    if (m <= 0xc1) return Type::Nil;
    if (m <= 0xc3) return Type::Boolean;
    if (m <= 0xc6) return Type::Binary;
    if (m <= 0xc9) return Type::Extension;
    if (m == 0xca) return Type::Float32;
    if (m == 0xcb) return Type::Float64;
    if (m <= 0xd3) return Type::Integer;
    if (m <= 0xd8) return Type::Extension;
    if (m <= 0xdb) return Type::String;
    if (m <= 0xdd) return Type::Array;
    return Type::Map;
}

bool Reader::read_array_header(std::uint32_t& n, int& budget) noexcept {
    Head h;
    if (!read_charged(p_, end_, h, budget) || h.type != Type::Array) return false;
    n = h.n;
    return true;
}

bool Reader::read_map_header(std::uint32_t& n, int& budget) noexcept {
    Head h;
    if (!read_charged(p_, end_, h, budget) || h.type != Type::Map) return false;
    n = h.n;
    return true;
}

bool Reader::read_str(std::string_view& out, bool& valid, int budget) noexcept {
    Head h;
    const std::uint8_t* payload;
    if (!read_charged(p_, end_, h, budget) || h.type != Type::String || !take(h.n, payload)) return false;
    out = std::string_view(reinterpret_cast<const char*>(payload), h.n);
    valid = is_valid_utf8(out);
    return true;
}

bool Reader::read_int(Integer& out, int budget) noexcept {
    Head h;
    if (!read_charged(p_, end_, h, budget) || h.type != Type::Integer) return false;
    out = h.integer;
    return true;
}

bool Reader::skip(int budget) noexcept { return skip_value(p_, end_, budget); }

bool Reader::read_value(Value& out, int budget) {
    Head h;
    if (!read_charged(p_, end_, h, budget)) return false;
    out.type = h.type;
    const std::uint8_t* payload;
    switch (h.type) {
        case Type::Nil: return true;
        case Type::Boolean: out.boolean = h.boolean; return true;
        case Type::Integer:
            out.negative = h.integer.negative;
            out.u = h.integer.u;
            out.i = h.integer.i;
            return true;
        case Type::Float32: out.f32 = h.f32; return true;
        case Type::Float64: out.f64 = h.f64; return true;
        case Type::String:
        case Type::Binary:
        case Type::Extension:
            if (!take(h.n, payload)) return false;
            out.bytes.assign(reinterpret_cast<const char*>(payload), h.n);
            if (h.type == Type::String) out.valid_utf8 = is_valid_utf8(out.bytes);
            out.ext_type = h.ext;
            return true;
        case Type::Array:
        case Type::Map: {
            const std::size_t count = h.type == Type::Map ? std::size_t{2} * h.n : h.n;
            // Every element takes at least one byte of input.
            if (count > remaining()) return false;
            out.items.reserve(count);
            for (std::size_t k = 0; k < count; ++k) {
                if (!read_value(out.items.emplace_back(), budget)) return false;
            }
            return true;
        }
    }
    return false;
}

namespace {

// Equality of two short byte strings of length n, without a call for n <= 16.
inline bool same_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
    if (n >= 8 && n <= 16) {
        std::uint64_t a0, a1, b0, b1;
        std::memcpy(&a0, a, 8);
        std::memcpy(&b0, b, 8);
        std::memcpy(&a1, a + n - 8, 8);
        std::memcpy(&b1, b + n - 8, 8);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
    if (n >= 4 && n < 8) {
        std::uint32_t a0, a1, b0, b1;
        std::memcpy(&a0, a, 4);
        std::memcpy(&b0, b, 4);
        std::memcpy(&a1, a + n - 4, 4);
        std::memcpy(&b1, b + n - 4, 4);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
    if (n < 4) {
        for (std::size_t k = 0; k < n; ++k) {
            if (a[k] != b[k]) return false;
        }
        return true;
    }
    return std::memcmp(a, b, n) == 0;
}

}  // namespace

PyObject* Reader::host_key(std::string_view bytes) {
    if (keys_ == nullptr) keys_ = new KeyCache();
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    KeyCache::Slot& slot = keys_->slots[KeyCache::hash(p, bytes.size())];
    if (slot.str != nullptr && slot.n == bytes.size() && same_bytes(slot.p, p, bytes.size())) return slot.str;
    Ref s = host_str(p, bytes.size());
    Py_XDECREF(slot.str);
    slot.p = p;
    slot.n = bytes.size();
    slot.str = s.release();
    return slot.str;
}

Ref Reader::read_host(int budget) {
    Head h;
    if (!read_charged(p_, end_, h, budget)) return {};
    const std::uint8_t* payload;
    switch (h.type) {
        case Type::Nil: return none();
        case Type::Boolean: return to_py_bool(h.boolean);
        case Type::Integer: return host_integer(h.integer);
        case Type::Float32: return to_py_float(static_cast<double>(h.f32));
        case Type::Float64: return to_py_float(h.f64);
        case Type::String:
            if (!take(h.n, payload)) return {};
            return host_str(payload, h.n);
        case Type::Binary:
            if (!take(h.n, payload)) return {};
            return to_py_bytes(std::string_view(reinterpret_cast<const char*>(payload), h.n));
        case Type::Extension:
            if (!take(h.n, payload)) return {};
            return none();
        case Type::Array: {
            if (h.n > remaining()) return {};
            Ref list = new_list(static_cast<Py_ssize_t>(h.n));
            for (std::uint32_t k = 0; k < h.n; ++k) {
                Ref item = read_host(budget);
                if (!item) return {};
                list_set(list.get(), k, std::move(item));
            }
            return list;
        }
        case Type::Map: {
            if (h.n > remaining() / 2) return {};
            Ref dict = new_dict();
            for (std::uint32_t k = 0; k < h.n; ++k) {
                Ref key;
                // Short string keys repeat across records: share one str per
                // distinct key within this read.
                const std::uint8_t* q = p_;
                Head kh;
                int key_budget = budget;
                if (read_charged(q, end_, kh, key_budget) && kh.type == Type::String && kh.n <= KeyCache::kMaxLen) {
                    if (static_cast<std::size_t>(end_ - q) < kh.n) return {};
                    p_ = q + kh.n;
                    key = Ref::borrow(host_key(std::string_view(reinterpret_cast<const char*>(q), kh.n)));
                } else {
                    key = read_host(budget);
                    if (!key) return {};
                }
                Ref value = read_host(budget);
                if (!value) return {};
                check_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
            }
            return dict;
        }
    }
    return {};
}

std::optional<Value> decode(std::string_view data) {
    Reader r(data);
    Value v;
    if (!r.read_value(v, kBudget)) return std::nullopt;
    return v;
}

Ref decode_to_host(std::string_view data) {
    const GcPause pause;
    Reader r(data);
    try {
        return r.read_host(kBudget);
    } catch (PyErrorSet&) {
        if (!well_formed(data)) {
            PyErr_Clear();
            return {};
        }
        throw;
    }
}

// ===========================================================================
// Value -> host

Ref to_host(const Value& v) {
    switch (v.type) {
        case Type::Nil:
        case Type::Extension: return none();
        case Type::Boolean: return to_py_bool(v.boolean);
        case Type::Integer: return v.negative ? to_py_int(v.i) : to_py_uint(v.u);
        case Type::Float32: return to_py_float(static_cast<double>(v.f32));
        case Type::Float64: return to_py_float(v.f64);
        case Type::String:
            if (!v.valid_utf8) return Ref::checked(PyUnicode_FromStringAndSize("", 0));
            return host_str(reinterpret_cast<const std::uint8_t*>(v.bytes.data()), v.bytes.size());
        case Type::Binary: return to_py_bytes(v.bytes);
        case Type::Array: {
            Ref list = new_list(static_cast<Py_ssize_t>(v.items.size()));
            for (std::size_t k = 0; k < v.items.size(); ++k) list_set(list.get(), static_cast<Py_ssize_t>(k), to_host(v.items[k]));
            return list;
        }
        case Type::Map: {
            Ref dict = new_dict();
            for (std::size_t k = 0; k < v.map_size(); ++k) {
                Ref key = to_host(v.key(k));
                Ref value = to_host(v.val(k));
                check_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
            }
            return dict;
        }
    }
    return none();
}

}  // namespace lvx::msgpack
