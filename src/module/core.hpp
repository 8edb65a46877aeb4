// Shared plumbing of every module function: owned references, the error
// marker, argument kinds and function signatures, registration, and result
// conversions.
//
// A function body is a plain C++ function `PyObject* body(const Args&)` that
// returns a new reference. When it (or anything it calls) sets a Python
// exception it throws `PyErrorSet`; the function boundary turns that back into
// a NULL return, `std::bad_alloc` into MemoryError and any other C++ exception
// into the module's internal-failure exception.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lvx {

// ---------------------------------------------------------------------------
// Errors

// Thrown after a Python exception has been set.
struct PyErrorSet {};

[[noreturn]] inline void throw_error_set() { throw PyErrorSet{}; }

// Sets `type` with `message` and throws.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Raises the module's internal-failure exception (derived from BaseException).
[[noreturn]] void raise_internal(const std::string& message);
PyObject* internal_failure_type();  // borrowed; created on first use; NULL with error set on failure

inline PyObject* check(PyObject* p) {
    if (p == nullptr) throw PyErrorSet{};
    return p;
}
inline int check_status(int status) {
    if (status < 0) throw PyErrorSet{};
    return status;
}

// `__qualname__` of the object's type, or "<failed to extract type name>".
std::string type_name(PyObject* obj);

// TypeError "'{type}' object cannot be converted to '{target}'" (no prefix).
[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target);

// Keeps the cyclic garbage collector off while a function builds many new
// objects that cannot be garbage yet (its passes over the young generation
// would otherwise dominate); the collector's state at entry is restored on
// every exit.
class GcPause {
public:
    GcPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_enabled_;
};

// ---------------------------------------------------------------------------
// Owned reference

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (may be NULL).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Takes over a new reference returned by the C API; NULL throws PyErrorSet.
    static Ref checked(PyObject* p) {
        if (p == nullptr) throw PyErrorSet{};
        return Ref(p);
    }
    // Adds a reference to a borrowed pointer (may be NULL).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Argument kinds and signatures

enum class Kind : std::uint8_t {
    Text,          // str (subclasses too), read as UTF-8
    Bytes,         // bytes (subclasses too)
    Float,         // float, or anything with __float__ / __index__
    NonNegInt,     // int or __index__, 0 <= v < 2**64
    SignedInt,     // int or __index__, 64-bit signed
    List,          // list (subclasses too)
    Dict,          // dict (subclasses too)
    OptionalDict,  // None or dict (subclasses too)
    SeqText,       // any sequence except str; items as Text
    SeqFloat,      // any sequence except str; items as Float
    Bm25Index,
    SymbolIndex,
};

struct Default {
    enum class Tag : std::uint8_t { None, Float, Int, Text, Null } tag = Tag::None;
    double f = 0.0;
    std::int64_t i = 0;
    const char* s = nullptr;
};

struct Param {
    const char* name;
    Kind kind;
    Default def{};  // tag None: required

    bool required() const noexcept { return def.tag == Default::Tag::None; }
};

constexpr Param required(const char* name, Kind kind) { return Param{name, kind, {}}; }
constexpr Param with_default(const char* name, Kind kind, double v) {
    return Param{name, kind, Default{Default::Tag::Float, v, 0, nullptr}};
}
constexpr Param with_default(const char* name, Kind kind, std::int64_t v) {
    return Param{name, kind, Default{Default::Tag::Int, 0.0, v, nullptr}};
}
constexpr Param with_default(const char* name, Kind kind, const char* v) {
    return Param{name, kind, Default{Default::Tag::Text, 0.0, 0, v}};
}
// A parameter whose default is None (only OptionalDict).
constexpr Param with_none_default(const char* name, Kind kind) {
    return Param{name, kind, Default{Default::Tag::Null, 0.0, 0, nullptr}};
}

// A converted argument. Which members are meaningful depends on the kind:
//   Text: text (valid for the duration of the call; `obj` owns it)
//   Bytes: bytes
//   Float: f        NonNegInt: u        SignedInt: i
//   List, Dict, Bm25Index, SymbolIndex: obj (borrowed from the caller)
//   OptionalDict: obj, NULL for None
//   SeqText: texts  SeqFloat: floats
// `obj` is NULL when the default was used.
struct Arg {
    PyObject* obj = nullptr;
    std::string_view text;
    std::string_view bytes;
    double f = 0.0;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    std::vector<std::string> texts;
    std::vector<double> floats;
};

using Args = std::span<const Arg>;
using Body = PyObject* (*)(Args args);

struct FunctionSpec {
    const char* name;
    const char* doc;  // begins with the text signature line, "--" and an empty line
    std::span<const Param> params;
    Body body;
};

// Binds and converts the arguments of a fast-call-with-keywords call, runs the
// body and translates C++ exceptions. Never throws.
PyObject* call_function(const FunctionSpec& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <const FunctionSpec* S>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_function(*S, args, nargs, kwnames);
}

// Self-registration of a function; the module registers the functions it
// finds in its fixed order.
struct Registrar {
    Registrar(const FunctionSpec* function, FastCallWithKeywords entry_point);
    PyMethodDef def;
};
std::span<Registrar* const> registered_functions();

#define LVX_REGISTER_FUNCTION(function) \
    [[maybe_unused]] static ::lvx::Registrar lvx_registrar_##function{&function, &::lvx::entry<&function>}

// ---------------------------------------------------------------------------
// Index objects (Bm25Index, SymbolIndex): opaque holders of a native payload.

enum class IndexKind { Bm25, Symbol };

struct IndexPayload {
    virtual ~IndexPayload() = default;
};

// Wraps the payload in a new index object of the given class.
PyObject* new_index_object(IndexKind kind, std::unique_ptr<IndexPayload> payload);
// The payload of an index object that has passed its argument check.
const IndexPayload* index_payload(PyObject* obj) noexcept;
PyTypeObject* index_type(IndexKind kind) noexcept;

// ---------------------------------------------------------------------------
// Result conversions (each returns a new reference or throws PyErrorSet)

inline Ref to_py(std::string_view s) {
    return Ref::checked(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
}
inline Ref to_py_float(double v) { return Ref::checked(PyFloat_FromDouble(v)); }
inline Ref to_py_int(std::int64_t v) { return Ref::checked(PyLong_FromLongLong(v)); }
inline Ref to_py_uint(std::uint64_t v) { return Ref::checked(PyLong_FromUnsignedLongLong(v)); }
inline Ref to_py_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref to_py_bytes(std::string_view s) {
    return Ref::checked(PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref none() { return Ref::borrow(Py_None); }

inline Ref new_list(Py_ssize_t n = 0) { return Ref::checked(PyList_New(n)); }
inline Ref new_dict() { return Ref::checked(PyDict_New()); }
// Appends (the list takes its own reference).
inline void list_append(PyObject* list, const Ref& item) { check_status(PyList_Append(list, item.get())); }
// Stores item at i of a new list (steals the Ref).
inline void list_set(PyObject* list, Py_ssize_t i, Ref item) { PyList_SET_ITEM(list, i, item.release()); }
inline void dict_set(PyObject* dict, PyObject* key, const Ref& value) {
    check_status(PyDict_SetItem(dict, key, value.get()));
}
inline void dict_set(PyObject* dict, const char* key, const Ref& value) {
    check_status(PyDict_SetItemString(dict, key, value.get()));
}
// Builds a tuple from references.
template <class... R>
Ref make_tuple(R... items) {
    Ref t = Ref::checked(PyTuple_New(sizeof...(R)));
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(t.get(), i++, items.release())), ...);
    return t;
}

// Text of a str as UTF-8 (valid while the str lives), or throws PyErrorSet
// (UnicodeEncodeError for lone surrogates).
std::string_view utf8_of(PyObject* str);

// Interned key object for a fixed key text, created once per process.
class Key {
public:
    explicit constexpr Key(const char* text) : text_(text) {}
    PyObject* get() const;  // borrowed; throws PyErrorSet on failure
    const char* text() const noexcept { return text_; }

private:
    const char* text_;
    mutable PyObject* obj_ = nullptr;
};

}  // namespace lvx
