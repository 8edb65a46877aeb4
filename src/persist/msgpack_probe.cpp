// C entry points into the MessagePack value tree for the test suite (loaded
// with ctypes; not part of the module's Python interface). They let the tests
// check the tree path against the direct host<->bytes path and write the
// value kinds no host object produces (Binary, Float32, Extension).
#include "persist/msgpack.hpp"

namespace {

template <class F>
PyObject* guarded(F&& f) noexcept {
    try {
        return f();
    } catch (const lvx::PyErrorSet&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

}  // namespace

// bytes -> (host object, bytes written back from the value tree), or None
// when the read fails.
extern "C" __attribute__((visibility("default"))) PyObject* lvx_msgpack_probe_decode(PyObject* data) {
    return guarded([&]() -> PyObject* {
        if (!PyBytes_Check(data)) lvx::raise_cannot_convert(data, "PyBytes");
        const std::string_view bytes(PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
        std::optional<lvx::msgpack::Value> value = lvx::msgpack::decode(bytes);
        if (!value) return lvx::none().release();
        lvx::Ref written = lvx::msgpack::encode(*value);
        lvx::Ref host = lvx::msgpack::to_host(*value);
        return lvx::make_tuple(std::move(host), std::move(written)).release();
    });
}

// host object -> bytes through the value tree.
extern "C" __attribute__((visibility("default"))) PyObject* lvx_msgpack_probe_encode(PyObject* obj) {
    return guarded([&]() -> PyObject* { return lvx::msgpack::encode(lvx::msgpack::from_host(obj)).release(); });
}
