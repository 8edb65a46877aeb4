// Module initialisation: the two index classes, the fixed registration order
// of the functions, and the per-process internal-failure exception.
#include <array>
#include <cstring>

#include "module/core.hpp"

namespace lvx {

namespace {

// Registration order of the module's functions.
constexpr std::array<const char*, 40> kFunctionOrder = {
    "preprocess_documents",
    "build_bm25_index",
    "search_bm25",
    "symbol_channel_search",
    "build_symbol_index",
    "search_symbol_index",
    "compute_doc_hash",
    "extract_code_query_tokens",
    "code_lexical_scores",
    "decode_corpus_json",
    "encode_corpus_msgpack",
    "decode_corpus_msgpack",
    "compute_sha256",
    "save_hash_store_binary",
    "load_hash_store_binary",
    "probe_hash_store",
    "encode_sentence_index",
    "decode_sentence_index",
    "encode_sentence_meta",
    "decode_sentence_meta",
    "segment_text",
    "cosine_similarity",
    "score_fusion_weighted",
    "score_fusion_rrf",
    "dedupe_best_by_id",
    "filter_results_by_threshold",
    "mmr_rerank",
    "build_code_doc_bridge_edges",
    "encode_entity_graph",
    "decode_entity_graph",
    "encode_relation_graph",
    "decode_relation_graph",
    "encode_entity_embeddings",
    "decode_entity_embeddings",
    "build_dedup_corpus_payload",
    "build_graph_edges",
    "run_louvain",
    "merge_entities_into_graph",
    "merge_relations_into_graph",
    "resolve_entity_alias_groups",
};

std::vector<Registrar*>& registrars() {
    static std::vector<Registrar*> all;
    return all;
}

// --- index classes -------------------------------------------------------------

struct IndexObject {
    PyObject_HEAD
    IndexPayload* payload;
};

PyTypeObject* g_index_types[2] = {nullptr, nullptr};

PyObject* bm25_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for Bm25Index");
    return nullptr;
}

PyObject* symbol_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for SymbolIndex");
    return nullptr;
}

void index_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    delete reinterpret_cast<IndexObject*>(self)->payload;
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot bm25_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&bm25_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&index_dealloc)},
    {0, nullptr},
};
PyType_Slot symbol_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&symbol_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&index_dealloc)},
    {0, nullptr},
};
PyType_Spec bm25_spec = {"lorvex_native.Bm25Index", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, bm25_slots};
PyType_Spec symbol_spec = {"lorvex_native.SymbolIndex", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, symbol_slots};

// --- module ----------------------------------------------------------------------

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "lorvex_native",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;
PyInterpreterState* g_interpreter = nullptr;
PyObject* g_internal_failure = nullptr;

// Appends name to __all__ (creating it on first use), then sets the attribute.
void add_to_module(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
        PyErr_Clear();
        all = check(PyList_New(0));
        if (PyModule_AddObject(module, "__all__", all) < 0) {
            Py_DECREF(all);
            throw PyErrorSet{};
        }
        Py_INCREF(all);
    }
    Ref all_ref = Ref::steal(all);
    Ref name_obj = Ref::checked(PyUnicode_FromString(name));
    check_status(PyList_Append(all, name_obj.get()));
    check_status(PyObject_SetAttrString(module, name, value));
}

PyObject* create_module() {
    Ref module = Ref::checked(PyModule_Create(&g_module_def));
    // The classes are created with a dotted name so that they carry the
    // module as __module__; their type name itself is the bare class name.
    PyType_Spec* specs[2] = {&bm25_spec, &symbol_spec};
    const char* names[2] = {"Bm25Index", "SymbolIndex"};
    for (int i = 0; i < 2; ++i) {
        if (g_index_types[i] == nullptr) {
            g_index_types[i] = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(specs[i])));
            g_index_types[i]->tp_name = names[i];
        }
        add_to_module(module.get(), names[i], reinterpret_cast<PyObject*>(g_index_types[i]));
    }
    for (const char* name : kFunctionOrder) {
        for (Registrar* r : registrars()) {
            if (std::strcmp(r->def.ml_name, name) != 0) continue;
            Ref module_name = Ref::checked(PyModule_GetNameObject(module.get()));
            Ref fn = Ref::checked(PyCFunction_NewEx(&r->def, nullptr, module_name.get()));
            add_to_module(module.get(), name, fn.get());
            break;
        }
    }
    return module.release();
}

}  // namespace

Registrar::Registrar(const FunctionSpec* function, FastCallWithKeywords entry_point)
    : def{function->name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry_point)),
          METH_FASTCALL | METH_KEYWORDS, function->doc} {
    registrars().push_back(this);
}

std::span<Registrar* const> registered_functions() { return registrars(); }

PyObject* internal_failure_type() {
    if (g_internal_failure == nullptr) {
        g_internal_failure = PyErr_NewExceptionWithDoc("lorvex_native.InternalFailure",
                                                       "A broken invariant inside the native module.",
                                                       PyExc_BaseException, nullptr);
    }
    return g_internal_failure;
}

void raise_internal(const std::string& message) {
    PyObject* t = internal_failure_type();
    if (t != nullptr) PyErr_SetString(t, message.c_str());
    throw PyErrorSet{};
}

PyObject* new_index_object(IndexKind kind, std::unique_ptr<IndexPayload> payload) {
    PyTypeObject* tp = index_type(kind);
    auto* obj = reinterpret_cast<IndexObject*>(check(tp->tp_alloc(tp, 0)));
    obj->payload = payload.release();
    return reinterpret_cast<PyObject*>(obj);
}

const IndexPayload* index_payload(PyObject* obj) noexcept { return reinterpret_cast<IndexObject*>(obj)->payload; }

PyTypeObject* index_type(IndexKind kind) noexcept { return g_index_types[kind == IndexKind::Bm25 ? 0 : 1]; }

}  // namespace lvx

PyMODINIT_FUNC PyInit_lorvex_native(void) {
    PyInterpreterState* interp = PyInterpreterState_Get();
    if (lvx::g_module != nullptr) {
        if (interp != lvx::g_interpreter) {
            PyErr_SetString(PyExc_ImportError, "lorvex_native cannot be loaded in more than one interpreter per process");
            return nullptr;
        }
        Py_INCREF(lvx::g_module);
        return lvx::g_module;
    }
    try {
        PyObject* m = lvx::create_module();
        lvx::g_module = m;
        lvx::g_interpreter = interp;
        Py_INCREF(m);  // the cache keeps its own reference
        return m;
    } catch (const lvx::PyErrorSet&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_ImportError, "lorvex_native: initialisation failed");
        return nullptr;
    }
}
