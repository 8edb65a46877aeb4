// merge_entities_into_graph: folds per-chunk entity extraction results into
// the caller's entity graph in place.
//
// Every lookup may run host code (a stored key's __eq__), which can change or
// free anything reachable from the graph or the batch; everything in use is
// therefore held by a Ref, and lists are re-measured at every step.
#include <cstdint>

#include "graph/host.hpp"
#include "module/core.hpp"
#include "module/records.hpp"

namespace lvx::graph {
namespace {

const Key k_name{"name"};
const Key k_description{"description"};
const Key k_type{"type"};
const Key k_chunk_ids{"chunk_ids"};
const Key k_frequency{"frequency"};
const Key k_degree{"degree"};
const Key k_unknown{"UNKNOWN"};

// A type counts as set when it is non-empty text other than "UNKNOWN".
bool is_set_type(PyObject* type) {
    return type != nullptr && is_text(type) && PyUnicode_GET_LENGTH(type) > 0 && !same_text(type, k_unknown.get());
}

void create_record(PyObject* graph, PyObject* key, PyObject* doc_id, PyObject* entity) {
    Ref description = lookup(entity, k_description);
    description = description && is_text(description.get()) ? exact_str(description.get()) : empty_str();
    Ref type = lookup(entity, k_type);
    type = type && is_text(type.get()) ? exact_str(type.get()) : Ref::borrow(k_unknown.get());
    Ref record = new_dict();
    dict_set(record.get(), k_description.get(), description);
    dict_set(record.get(), k_type.get(), type);
    dict_set(record.get(), k_chunk_ids.get(), single_item_list(doc_id));
    dict_set(record.get(), k_frequency.get(), to_py_int(1));
    dict_set(record.get(), k_degree.get(), to_py_int(0));
    dict_set(graph, key, record);
}

void update_record(PyObject* record, PyObject* doc_id, PyObject* entity) {
    // Type upgrade: only an unset type is replaced, and only by a set one.
    Ref current = lookup(record, k_type);
    if (!is_set_type(current.get())) {
        Ref incoming = lookup(entity, k_type);
        if (is_set_type(incoming.get())) dict_set(record, k_type.get(), exact_str(incoming.get()));
    }

    Ref ids = lookup(record, k_chunk_ids);
    Py_ssize_t frequency = 1;
    if (ids && PyList_Check(ids.get())) {
        if (!list_has_text(ids.get(), doc_id)) check_status(PyList_Append(ids.get(), doc_id));
        // No host code has run since the lookup: the list is still the record's
        // "chunk_ids", and the frequency is its length.
        frequency = PyList_GET_SIZE(ids.get());
    } else {
        if (!ids) dict_set(record, k_chunk_ids.get(), single_item_list(doc_id));
        // Storing may run host code (a colliding key's __eq__): read the value again.
        ids = lookup(record, k_chunk_ids);
        if (ids && PyList_Check(ids.get())) frequency = PyList_GET_SIZE(ids.get());
    }
    dict_set(record, k_frequency.get(), to_py_int(frequency));
}

void merge_entity(PyObject* graph, PyObject* doc_id, PyObject* entity, std::uint64_t& created) {
    if (!PyDict_Check(entity)) return;
    Ref name = lookup(entity, k_name);
    if (!name) return;
    Ref key = normalised_key(name.get());
    if (!key) return;
    Ref record = Ref::borrow(lookup_quiet(graph, key.get()));
    if (!record) {
        create_record(graph, key.get(), doc_id, entity);
        ++created;
    } else if (PyDict_Check(record.get())) {
        update_record(record.get(), doc_id, entity);
    }
}

PyObject* merge_entities_into_graph(Args args) {
    Ref graph = Ref::borrow(args[0].obj);
    Ref results = Ref::borrow(args[1].obj);
    std::uint64_t created = 0;
    walk_list(results.get(), [&](PyObject* item) {
        Ref first, entities;
        if (!first_two(item, first, entities)) return;
        Ref doc_id = is_text(first.get()) ? exact_str(first.get()) : empty_str();
        if (!PyList_Check(entities.get())) return;
        walk_list(entities.get(), [&](PyObject* entity) { merge_entity(graph.get(), doc_id.get(), entity, created); });
    });
    return to_py_uint(created).release();
}

constexpr Param kParams[] = {
    required("entity_graph", Kind::Dict),
    required("results", Kind::List),
};

const FunctionSpec fn_merge_entities_into_graph{
    "merge_entities_into_graph",
    "merge_entities_into_graph(entity_graph, results)\n--\n\n"
    "Merge a batch of per-chunk entity extraction results into the existing entity graph.\n"
    "\n"
    "entity_graph: dict[str, dict] \u2014 the existing entity graph (mutated in-place)\n"
    "results: list of (doc_id: str, entities: list[dict]) \u2014 same as what executor.map returns\n"
    "\n"
    "For each entity dict (must have \"name\" key):\n"
    "  - Normalised key = name.lower().strip()\n"
    "  - If new: insert {description, type, chunk_ids=[doc_id], frequency=1, degree=0}\n"
    "  - If exists: append doc_id to chunk_ids (if not already present), update type if UNKNOWN\n"
    "\n"
    "Returns count of new entity keys inserted.",
    kParams,
    &merge_entities_into_graph,
};
LVX_REGISTER_FUNCTION(fn_merge_entities_into_graph);

}  // namespace
}  // namespace lvx::graph
