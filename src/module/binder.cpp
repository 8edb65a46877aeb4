// Argument binding and conversion for every module function, and the
// function boundary that turns C++ exceptions into Python exceptions.
#include <exception>
#include <stdexcept>

#include "module/core.hpp"

namespace lvx {

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PyErrorSet{};
}

std::string type_name(PyObject* obj) {
    PyObject* exc_type;
    PyObject* exc_value;
    PyObject* exc_tb;
    PyErr_Fetch(&exc_type, &exc_value, &exc_tb);
    std::string out = "<failed to extract type name>";
    PyObject* q = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__");
    if (q != nullptr && PyUnicode_Check(q)) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(q, &n);
        if (s != nullptr) out.assign(s, static_cast<std::size_t>(n));
    }
    Py_XDECREF(q);
    PyErr_Clear();
    PyErr_Restore(exc_type, exc_value, exc_tb);
    return out;
}

void raise_cannot_convert(PyObject* obj, const char* target) {
    raise(PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to '" + target + "'");
}

std::string_view utf8_of(PyObject* str) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(str, &n);
    if (s == nullptr) throw PyErrorSet{};
    return {s, static_cast<std::size_t>(n)};
}

PyObject* Key::get() const {
    if (obj_ == nullptr) {
        PyObject* o = PyUnicode_InternFromString(text_);
        if (o == nullptr) throw PyErrorSet{};
        obj_ = o;  // kept for the life of the process
    }
    return obj_;
}

namespace {

// --- binding messages -------------------------------------------------------

std::string fname(const FunctionSpec& fn) { return std::string(fn.name) + "()"; }

[[noreturn]] void too_many_positional(const FunctionSpec& fn, Py_ssize_t given) {
    std::size_t required = 0;
    for (const Param& p : fn.params) required += p.required() ? 1 : 0;
    const std::size_t n = fn.params.size();
    std::string msg = fname(fn) + " takes ";
    if (required == n) {
        msg += std::to_string(n);
    } else {
        msg += "from " + std::to_string(required) + " to " + std::to_string(n);
    }
    msg += " positional arguments but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
    raise(PyExc_TypeError, msg);
}

[[noreturn]] void missing_arguments(const FunctionSpec& fn, const std::vector<const char*>& names) {
    std::string msg = fname(fn) + " missing " + std::to_string(names.size()) + " required positional argument";
    msg += names.size() == 1 ? ": " : "s: ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                msg += " and ";
            } else {
                msg += i + 1 == names.size() ? ", and " : ", ";
            }
        }
        msg += "'";
        msg += names[i];
        msg += "'";
    }
    raise(PyExc_TypeError, msg);
}

// --- conversions --------------------------------------------------------------

double convert_float(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
    return d;
}

std::string_view convert_text(PyObject* o) {
    if (!PyUnicode_Check(o)) raise_cannot_convert(o, "PyString");
    return utf8_of(o);
}

template <class F>
void for_each_sequence_item(PyObject* o, F&& f) {
    if (PyUnicode_Check(o)) {
        raise(PyExc_TypeError, "'" + type_name(o) + "' object is a string, not a sequence of items");
    }
    if (!PySequence_Check(o)) raise_cannot_convert(o, "Sequence");
    // The size is read again at every step: converting an item may run code
    // that changes the sequence.
    for (Py_ssize_t i = 0;; ++i) {
        const Py_ssize_t n = PySequence_Size(o);
        if (n < 0) throw PyErrorSet{};
        if (i >= n) break;
        Ref item = Ref::checked(PySequence_GetItem(o, i));
        f(item.get());
    }
}

void convert(const Param& p, PyObject* o, Arg& a) {
    a.obj = o;
    switch (p.kind) {
        case Kind::Text:
            a.text = convert_text(o);
            break;
        case Kind::Bytes:
            if (!PyBytes_Check(o)) raise_cannot_convert(o, "PyBytes");
            a.bytes = std::string_view(PyBytes_AS_STRING(o), static_cast<std::size_t>(PyBytes_GET_SIZE(o)));
            break;
        case Kind::Float:
            a.f = convert_float(o);
            break;
        case Kind::NonNegInt: {
            Ref idx = Ref::checked(PyNumber_Index(o));
            const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
            if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorSet{};
            a.u = v;
            break;
        }
        case Kind::SignedInt: {
            Ref idx = Ref::checked(PyNumber_Index(o));
            const long long v = PyLong_AsLongLong(idx.get());
            if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
            a.i = v;
            break;
        }
        case Kind::List:
            if (!PyList_Check(o)) raise_cannot_convert(o, "PyList");
            break;
        case Kind::Dict:
            if (!PyDict_Check(o)) raise_cannot_convert(o, "PyDict");
            break;
        case Kind::OptionalDict:
            if (o == Py_None) {
                a.obj = nullptr;
            } else if (!PyDict_Check(o)) {
                raise_cannot_convert(o, "PyDict");
            }
            break;
        case Kind::SeqText:
            for_each_sequence_item(o, [&](PyObject* item) { a.texts.emplace_back(convert_text(item)); });
            break;
        case Kind::SeqFloat:
            for_each_sequence_item(o, [&](PyObject* item) { a.floats.push_back(convert_float(item)); });
            break;
        case Kind::Bm25Index:
            if (!PyObject_TypeCheck(o, index_type(IndexKind::Bm25))) raise_cannot_convert(o, "Bm25Index");
            break;
        case Kind::SymbolIndex:
            if (!PyObject_TypeCheck(o, index_type(IndexKind::Symbol))) raise_cannot_convert(o, "SymbolIndex");
            break;
    }
}

void apply_default(const Param& p, Arg& a) {
    switch (p.def.tag) {
        case Default::Tag::Float:
            a.f = p.def.f;
            break;
        case Default::Tag::Int:
            a.i = p.def.i;
            a.u = static_cast<std::uint64_t>(p.def.i);
            a.f = static_cast<double>(p.def.i);
            break;
        case Default::Tag::Text:
            a.text = p.def.s;
            break;
        case Default::Tag::Null:
        case Default::Tag::None:
            break;
    }
}

// Replaces a pending TypeError by "argument '{name}': {message}" with the
// original as its cause; other exceptions pass through.
void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject* type;
    PyObject* value;
    PyObject* tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyObject* text = value ? PyObject_Str(value) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        text = PyUnicode_FromString("");
    }
    PyObject* outer = text ? PyUnicode_FromFormat("argument '%s': %U", name, text) : nullptr;
    Py_XDECREF(text);
    PyObject* exc = outer ? PyObject_CallOneArg(PyExc_TypeError, outer) : nullptr;
    Py_XDECREF(outer);
    if (exc == nullptr) {
        Py_XDECREF(value);
        return;  // the failure to build the new exception is what is reported
    }
    if (value != nullptr) {
        Py_INCREF(value);
        PyException_SetContext(exc, value);
        PyException_SetCause(exc, value);  // steals
    }
    PyErr_SetObject(PyExc_TypeError, exc);
    Py_DECREF(exc);
}

PyObject* run(const FunctionSpec& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const std::size_t n = fn.params.size();
    if (nargs < 0 || static_cast<std::size_t>(nargs) > n) too_many_positional(fn, nargs);

    PyObject* bound[16] = {};
    if (n > 16) raise_internal("too many parameters");
    for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];

    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
            std::string_view name = utf8_of(kw);
            std::size_t j = 0;
            while (j < n && name != fn.params[j].name) ++j;
            if (j == n) {
                raise(PyExc_TypeError, fname(fn) + " got an unexpected keyword argument '" + std::string(name) + "'");
            }
            if (bound[j] != nullptr) {
                raise(PyExc_TypeError, fname(fn) + " got multiple values for argument '" + std::string(name) + "'");
            }
            bound[j] = args[nargs + k];
        }
    }

    std::vector<const char*> missing;
    for (std::size_t j = 0; j < n; ++j) {
        if (bound[j] == nullptr && fn.params[j].required()) missing.push_back(fn.params[j].name);
    }
    if (!missing.empty()) missing_arguments(fn, missing);

    Arg converted[16];
    for (std::size_t j = 0; j < n; ++j) {
        const Param& p = fn.params[j];
        if (bound[j] == nullptr) {
            apply_default(p, converted[j]);
            continue;
        }
        try {
            convert(p, bound[j], converted[j]);
        } catch (const PyErrorSet&) {
            prefix_type_error(p.name);
            throw;
        }
    }
    return fn.body(Args(converted, n));
}

}  // namespace

PyObject* call_function(const FunctionSpec& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* result = nullptr;
    try {
        result = run(fn, args, PyVectorcall_NARGS(nargs), kwnames);
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(internal_failure_type() ? internal_failure_type() : PyExc_SystemError,
                            "error signalled without an exception set");
        }
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (const std::exception& e) {
        PyObject* t = internal_failure_type();
        if (t != nullptr) PyErr_SetString(t, e.what());
        return nullptr;
    } catch (...) {
        PyObject* t = internal_failure_type();
        if (t != nullptr) PyErr_SetString(t, "unknown native failure");
        return nullptr;
    }
    if (result == nullptr && !PyErr_Occurred()) {
        PyObject* t = internal_failure_type();
        if (t != nullptr) PyErr_SetString(t, "function returned no result");
    } else if (result != nullptr && PyErr_Occurred()) {
        // An error left set on success would surface somewhere unrelated.
        Py_DECREF(result);
        result = nullptr;
        PyObject* type;
        PyObject* value;
        PyObject* tb;
        PyErr_Fetch(&type, &value, &tb);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        PyObject* t = internal_failure_type();
        if (t != nullptr) PyErr_SetString(t, "function returned a result with an exception set");
    }
    return result;
}

}  // namespace lvx
