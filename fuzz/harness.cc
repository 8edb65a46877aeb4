// libFuzzer entry point for the module's decoders. It embeds the interpreter,
// imports fuzz_targets.py and feeds every input to the target function named
// by LORVEX_FUZZ_TARGET. The target function returns normally for accepted
// outcomes and raises for anything else; an uncaught exception aborts, so
// libFuzzer keeps the input as a crash artifact.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

PyObject* g_target = nullptr;

[[noreturn]] void die(const char* what) {
    if (PyErr_Occurred()) PyErr_Print();
    std::fprintf(stderr, "fuzz harness: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* name = std::getenv("LORVEX_FUZZ_TARGET");
    if (name == nullptr) die("set LORVEX_FUZZ_TARGET to a target of fuzz_targets.py");
    Py_Initialize();
    PyObject* mod = PyImport_ImportModule("fuzz_targets");
    if (mod == nullptr) die("cannot import fuzz_targets (PYTHONPATH must hold fuzz/ and the module build)");
    g_target = PyObject_CallMethod(mod, "target", "s", name);
    Py_DECREF(mod);
    if (g_target == nullptr) die("unknown target");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PyObject* bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size));
    if (bytes == nullptr) die("out of memory");
    PyObject* result = PyObject_CallOneArg(g_target, bytes);
    Py_DECREF(bytes);
    if (result == nullptr) die("target raised");
    Py_DECREF(result);
    return 0;
}
