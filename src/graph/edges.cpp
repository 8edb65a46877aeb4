// build_graph_edges: flattens the entity graph and the relation graph into a
// node list and a weighted edge list.
#include "graph/host.hpp"
#include "module/core.hpp"
#include "module/records.hpp"

namespace lvx::graph {
namespace {

const Key k_target{"target"};
const Key k_weight{"weight"};

PyObject* build_graph_edges(Args args) {
    // The node list holds the entity graph's own key objects, in its order.
    Ref nodes = Ref::checked(PyDict_Keys(args[0].obj));

    // Lookups in the entries may run host code that changes the relation
    // graph, so its pairs are taken as they stand when the call begins.
    PyObject* relation_graph = args[1].obj;
    Ref sources = Ref::checked(PyDict_Keys(relation_graph));
    Ref lists = Ref::checked(PyDict_Values(relation_graph));

    Ref edges = new_list();
    const Py_ssize_t n = PyList_GET_SIZE(sources.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* source_obj = PyList_GET_ITEM(sources.get(), i);
        PyObject* entries = PyList_GET_ITEM(lists.get(), i);
        if (!is_text(source_obj) || !PyList_Check(entries)) continue;
        Ref source = exact_str(source_obj);
        walk_list(entries, [&](PyObject* entry) {
            if (!PyDict_Check(entry)) return;
            Ref target = lookup(entry, k_target);
            if (!target || !is_text(target.get()) || PyUnicode_GET_LENGTH(target.get()) == 0) return;
            const double weight = float_of_or(lookup(entry, k_weight), 1.0);
            list_append(edges.get(), make_tuple(source, exact_str(target.get()), to_py_float(weight)));
        });
    }
    return make_tuple(std::move(nodes), std::move(edges)).release();
}

constexpr Param kParams[] = {
    required("entity_graph", Kind::Dict),
    required("relation_graph", Kind::Dict),
};

const FunctionSpec fn_build_graph_edges{
    "build_graph_edges",
    "build_graph_edges(entity_graph, relation_graph)\n--\n\n"
    "Convert entity_graph and relation_graph Python dicts into flat node/edge lists\n"
    "suitable for graph algorithms (e.g., Louvain community detection).\n"
    "\n"
    "entity_graph: dict[str, any]  \u2014 keys are entity names (nodes)\n"
    "relation_graph: dict[str, list[dict]] \u2014 keys are source entities; each entry has\n"
    "  \"target\" (str) and optionally \"weight\" (float, default 1.0)\n"
    "\n"
    "Returns (nodes: list[str], edges: list[tuple[str, str, float]])",
    kParams,
    &build_graph_edges,
};
LVX_REGISTER_FUNCTION(fn_build_graph_edges);

}  // namespace
}  // namespace lvx::graph
