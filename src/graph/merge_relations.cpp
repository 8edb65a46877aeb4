// merge_relations_into_graph: folds per-chunk relation triples into the
// caller's relation graph in place.
//
// As in the entity merge, every lookup may run host code that changes the
// graph, its lists or the batch: everything in use is held by a Ref and lists
// are re-measured at every step.
#include <cstdint>
#include <limits>
#include <optional>

#include "graph/host.hpp"
#include "module/core.hpp"
#include "module/records.hpp"

namespace lvx::graph {
namespace {

const Key k_subject{"subject"};
const Key k_source{"source"};
const Key k_relation{"relation"};
const Key k_object{"object"};
const Key k_target{"target"};
const Key k_description{"description"};
const Key k_strength{"strength"};
const Key k_chunk_id{"chunk_id"};
const Key k_weight{"weight"};
const Key k_support_count{"support_count"};
const Key k_text_unit_ids{"text_unit_ids"};

constexpr std::uint64_t kDefaultStrength = 5;

struct Triple {
    Ref subject;  // text
    Ref relation;
    Ref object;
    Ref description;
    std::uint64_t strength = kDefaultStrength;
};

Ref text_or_empty(Ref value) { return value && is_text(value.get()) ? value : empty_str(); }

// A non-negative integer that fits in 64 bits (int, bool or __index__).
std::optional<std::uint64_t> read_count(const Ref& value) noexcept {
    if (!value) return std::nullopt;
    Ref index = Ref::steal(PyNumber_Index(value.get()));
    if (!index) {
        PyErr_Clear();
        return std::nullopt;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(v);
}

// Reads a triple in dict or tuple form; false when it is to be skipped.
bool read_triple(PyObject* item, Triple& t) {
    if (PyDict_Check(item)) {
        // "subject" wins whenever present, whatever its value; likewise "object".
        Ref subject = lookup(item, k_subject);
        if (!subject) subject = lookup(item, k_source);
        t.subject = text_or_empty(std::move(subject));
        t.relation = text_or_empty(lookup(item, k_relation));
        Ref object = lookup(item, k_object);
        if (!object) object = lookup(item, k_target);
        t.object = text_or_empty(std::move(object));
        t.description = text_or_empty(lookup(item, k_description));
        t.strength = read_count(lookup(item, k_strength)).value_or(kDefaultStrength);
        return true;
    }
    if (PyTuple_Check(item) && PyTuple_GET_SIZE(item) >= 3) {
        PyObject* subject = PyTuple_GET_ITEM(item, 0);
        if (!is_text(subject)) return false;
        t.subject = Ref::borrow(subject);
        t.relation = text_or_empty(Ref::borrow(PyTuple_GET_ITEM(item, 1)));
        t.object = text_or_empty(Ref::borrow(PyTuple_GET_ITEM(item, 2)));
        t.description = empty_str();
        return true;
    }
    return false;
}

void reinforce(PyObject* entry, PyObject* doc_id, std::uint64_t strength) {
    const double weight = float_of_or(lookup(entry, k_weight), 1.0) + static_cast<double>(strength);
    dict_set(entry, k_weight.get(), to_py_float(weight));

    // An entry without a readable count counts as seen once.
    const std::optional<std::uint64_t> seen = read_count(lookup(entry, k_support_count));
    Ref count;
    if (!seen) {
        count = to_py_int(2);
    } else if (*seen == std::numeric_limits<std::uint64_t>::max()) {
        count = Ref::checked(PyNumber_Add(to_py_uint(*seen).get(), to_py_int(1).get()));  // no wrap-around
    } else {
        count = to_py_uint(*seen + 1);
    }
    dict_set(entry, k_support_count.get(), count);

    Ref ids = lookup(entry, k_text_unit_ids);
    if (!ids) {
        dict_set(entry, k_text_unit_ids.get(), single_item_list(doc_id));
    } else if (PyList_Check(ids.get())) {
        if (!list_has_text(ids.get(), doc_id)) check_status(PyList_Append(ids.get(), doc_id));
    }
}

Ref new_entry(PyObject* target, PyObject* relation, PyObject* doc_id, const Triple& t) {
    Ref entry = new_dict();
    dict_set(entry.get(), k_target.get(), Ref::borrow(target));
    dict_set(entry.get(), k_relation.get(), Ref::borrow(relation));
    dict_set(entry.get(), k_chunk_id.get(), Ref::borrow(doc_id));
    dict_set(entry.get(), k_description.get(), trimmed_str(t.description.get()));
    dict_set(entry.get(), k_strength.get(), to_py_uint(t.strength));
    dict_set(entry.get(), k_weight.get(), to_py_float(static_cast<double>(t.strength)));
    dict_set(entry.get(), k_support_count.get(), to_py_int(1));
    dict_set(entry.get(), k_text_unit_ids.get(), single_item_list(doc_id));
    return entry;
}

void merge_triple(PyObject* graph, PyObject* doc_id, PyObject* item, std::uint64_t& created) {
    Triple t;
    if (!read_triple(item, t)) return;
    Ref source = normalised_key(t.subject.get());
    if (!source) return;
    Ref target = normalised_key(t.object.get());
    if (!target) target = empty_str();
    Ref relation = trimmed_str(t.relation.get());

    // A list is stored under the source key before the scan, whatever happens next.
    Ref entries = Ref::borrow(lookup_quiet(graph, source.get()));
    if (!entries || !PyList_Check(entries.get())) {
        entries = new_list();
        dict_set(graph, source.get(), entries);
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(entries.get(), i));
        if (!PyDict_Check(entry.get())) continue;
        Ref entry_target = lookup(entry.get(), k_target);
        if (!text_or_empty_equals(entry_target.get(), target.get())) continue;
        Ref entry_relation = lookup(entry.get(), k_relation);
        if (!text_or_empty_equals(entry_relation.get(), relation.get())) continue;
        reinforce(entry.get(), doc_id, t.strength);
        return;
    }
    list_append(entries.get(), new_entry(target.get(), relation.get(), doc_id, t));
    ++created;
}

PyObject* merge_relations_into_graph(Args args) {
    Ref graph = Ref::borrow(args[0].obj);
    Ref results = Ref::borrow(args[1].obj);
    std::uint64_t created = 0;
    walk_list(results.get(), [&](PyObject* item) {
        Ref first, triples;
        if (!first_two(item, first, triples)) return;
        if (!is_text(first.get()) || !PyList_Check(triples.get())) return;
        Ref doc_id = exact_str(first.get());
        walk_list(triples.get(), [&](PyObject* triple) { merge_triple(graph.get(), doc_id.get(), triple, created); });
    });
    return to_py_uint(created).release();
}

constexpr Param kParams[] = {
    required("relation_graph", Kind::Dict),
    required("results", Kind::List),
};

const FunctionSpec fn_merge_relations_into_graph{
    "merge_relations_into_graph",
    "merge_relations_into_graph(relation_graph, results)\n--\n\n"
    "Merge per-chunk relation extraction results into the existing relation graph.\n"
    "\n"
    "relation_graph: dict[str, list[dict]] \u2014 the existing relation graph (mutated in-place)\n"
    "  Structure: {src_lower: [{target, relation, chunk_id, description, weight, support_count, ...}]}\n"
    "results: list of (doc_id: str, triples: list[dict|tuple]) \u2014 same as rel_results from executor.map\n"
    "  Each triple is either:\n"
    "    - dict with {subject/source, relation, object/target, description}\n"
    "    - tuple (subject, relation, object)\n"
    "\n"
    "For each triple:\n"
    "  - If (src, tgt, relation) already exists: increment weight + support_count\n"
    "  - Else: append new entry\n"
    "\n"
    "Returns count of new relation entries inserted.",
    kParams,
    &merge_relations_into_graph,
};
LVX_REGISTER_FUNCTION(fn_merge_relations_into_graph);

}  // namespace
}  // namespace lvx::graph
