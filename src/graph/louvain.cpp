// run_louvain: one level of Louvain local moving on a weighted undirected
// graph given as node labels and (source, target, weight) edges.
//
// Labels are resolved to node indices once, while the input is read; the
// moving phase works on a compressed adjacency (offsets + neighbour/weight
// arrays) and a neighbour-community accumulator reused across node visits.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "graph/host.hpp"
#include "module/core.hpp"
#include "module/records.hpp"

namespace lvx::graph {
namespace {

using Node = std::uint32_t;

constexpr int kMaxPasses = 20;
constexpr double kMinGain = 1e-10;
constexpr double kMinTwiceWeight = 1e-15;

// The str hash, computed by str's own hash function so that an overriding
// __hash__ of a subclass never runs.
Py_hash_t text_hash(PyObject* s) {
    const Py_hash_t h = PyUnicode_Type.tp_hash(s);
    if (h == -1) throw PyErrorSet{};
    return h;
}

// Label text -> node index; a label inserted again takes the later index.
class LabelIndex {
public:
    explicit LabelIndex(const std::vector<Ref>& labels) : labels_(labels) {
        std::size_t cap = 16;
        while (cap < labels.size() * 2) cap *= 2;
        mask_ = cap - 1;
        slots_.assign(cap, kEmpty);
        hashes_.resize(labels.size());
        for (std::size_t i = 0; i < labels.size(); ++i) {
            hashes_[i] = text_hash(labels[i].get());
            Node& slot = find_slot(labels[i].get(), hashes_[i]);
            slot = static_cast<Node>(i);
        }
    }

    // Index of the node labelled with the text of `s`, or kEmpty.
    Node find(PyObject* s, Py_hash_t h) const {
        for (std::size_t p = static_cast<std::size_t>(h) & mask_;; p = (p + 1) & mask_) {
            const Node n = slots_[p];
            if (n == kEmpty || (hashes_[n] == h && same_text(labels_[n].get(), s))) return n;
        }
    }

    static constexpr Node kEmpty = std::numeric_limits<Node>::max();

private:
    Node& find_slot(PyObject* s, Py_hash_t h) {
        for (std::size_t p = static_cast<std::size_t>(h) & mask_;; p = (p + 1) & mask_) {
            Node& n = slots_[p];
            if (n == kEmpty || (hashes_[n] == h && same_text(labels_[n].get(), s))) return n;
        }
    }

    const std::vector<Ref>& labels_;
    std::vector<Node> slots_;
    std::vector<Py_hash_t> hashes_;
    std::size_t mask_ = 0;
};

struct EdgeRecords {
    std::vector<Node> source;
    std::vector<Node> target;
    std::vector<double> weight;
};

// Node index of an edge endpoint: its text, or the empty label when it is not text.
Node endpoint(const LabelIndex& index, PyObject* label, PyObject* empty) {
    PyObject* s = is_text(label) ? label : empty;
    return index.find(s, text_hash(s));
}

EdgeRecords read_edges(PyObject* edges, const LabelIndex& index) {
    EdgeRecords out;
    Ref empty = empty_str();
    walk_list(edges, [&](PyObject* item) {
        const bool is_tuple = PyTuple_Check(item);
        Ref a, b, w;
        if (is_tuple) {
            const Py_ssize_t size = PyTuple_GET_SIZE(item);
            if (size < 2) return;
            a = Ref::borrow(PyTuple_GET_ITEM(item, 0));
            b = Ref::borrow(PyTuple_GET_ITEM(item, 1));
            if (size >= 3) w = Ref::borrow(PyTuple_GET_ITEM(item, 2));
        } else if (PyList_Check(item)) {
            if (PyList_GET_SIZE(item) < 2) return;
            a = Ref::borrow(PyList_GET_ITEM(item, 0));
            b = Ref::borrow(PyList_GET_ITEM(item, 1));
            if (PyList_GET_SIZE(item) >= 3) w = Ref::borrow(PyList_GET_ITEM(item, 2));
        } else {
            return;
        }
        const Node s = endpoint(index, a.get(), empty.get());
        const Node t = endpoint(index, b.get(), empty.get());
        const double weight = float_of_or(w, 1.0);  // may run host code; s and t are already resolved
        if (s == LabelIndex::kEmpty || t == LabelIndex::kEmpty) return;
        if (is_tuple && s == t) return;  // a tuple self-loop is dropped, a list one kept
        out.source.push_back(s);
        out.target.push_back(t);
        out.weight.push_back(weight);
    });
    return out;
}

// Adjacency in compressed form: the pairs of node i are at [offset[i], offset[i + 1]).
struct Adjacency {
    std::vector<std::size_t> offset;
    std::vector<Node> neighbour;
    std::vector<double> weight;
};

Adjacency build_adjacency(std::size_t n, const EdgeRecords& e) {
    Adjacency adj;
    adj.offset.assign(n + 1, 0);
    const std::size_t m = e.source.size();
    for (std::size_t x = 0; x < m; ++x) {
        ++adj.offset[e.source[x] + 1];
        ++adj.offset[e.target[x] + 1];
    }
    for (std::size_t i = 0; i < n; ++i) adj.offset[i + 1] += adj.offset[i];
    adj.neighbour.resize(2 * m);
    adj.weight.resize(2 * m);
    std::vector<std::size_t> next(adj.offset.begin(), adj.offset.end() - 1);
    // Each record adds (t, w) to s's list, then (s, w) to t's list.
    for (std::size_t x = 0; x < m; ++x) {
        const Node s = e.source[x], t = e.target[x];
        const double w = e.weight[x];
        std::size_t p = next[s]++;
        adj.neighbour[p] = t;
        adj.weight[p] = w;
        p = next[t]++;
        adj.neighbour[p] = s;
        adj.weight[p] = w;
    }
    return adj;
}

// Local moving; returns the community (a node index) of every node.
std::vector<Node> local_moving(const Adjacency& adj, double m, double gamma) {
    const std::size_t n = adj.offset.size() - 1;
    std::vector<double> k(n);
    for (std::size_t i = 0; i < n; ++i) {
        double sum = 0.0;
        for (std::size_t p = adj.offset[i]; p < adj.offset[i + 1]; ++p) sum += adj.weight[p];
        k[i] = sum;
    }
    std::vector<Node> c(n);
    for (std::size_t i = 0; i < n; ++i) c[i] = static_cast<Node>(i);
    std::vector<double> tot(k);

    // Neighbour-community weights: links[C] for the communities in `touched`,
    // in the order they are first met.
    std::vector<double> links(n, 0.0);
    std::vector<unsigned char> present(n, 0);
    std::vector<Node> touched;

    const double two_m_m = 2 * m * m;
    for (int pass = 0; pass < kMaxPasses; ++pass) {
        bool moved = false;
        for (std::size_t i = 0; i < n; ++i) {
            const Node old = c[i];
            const double ki = k[i];
            double k_in = 0.0;
            touched.clear();
            for (std::size_t p = adj.offset[i]; p < adj.offset[i + 1]; ++p) {
                const Node j = adj.neighbour[p];
                const Node cj = c[j];
                if (cj == old) {
                    if (j != i) k_in += adj.weight[p];
                } else {
                    if (!present[cj]) {
                        present[cj] = 1;
                        links[cj] = 0.0;
                        touched.push_back(cj);
                    }
                    links[cj] += adj.weight[p];
                }
            }
            tot[old] = tot[old] - ki;
            Node best = old;
            if (!touched.empty()) {
                double best_gain = k_in / m - (tot[old] * gamma * ki) / two_m_m;
                for (const Node comm : touched) {
                    const double gain = links[comm] / m - (tot[comm] * gamma * ki) / two_m_m;
                    if (gain > best_gain + kMinGain) {
                        best = comm;
                        best_gain = gain;
                    }
                    present[comm] = 0;
                }
            }
            c[i] = best;
            tot[best] = tot[best] + ki;
            if (best != old) moved = true;
        }
        if (!moved) break;
    }
    return c;
}

PyObject* run_louvain(Args args) {
    Ref nodes = Ref::borrow(args[0].obj);
    Ref edges = Ref::borrow(args[1].obj);
    const double resolution = args[2].f;
    const double gamma = std::isfinite(resolution) && resolution > 0 ? resolution : 1.0;

    // Labels are exact strs held here: host code run while reading the edges
    // cannot take them away, and no subclass behaviour reaches the result.
    const Py_ssize_t n_nodes = PyList_GET_SIZE(nodes.get());
    if (n_nodes == 0) return new_dict().release();
    if (static_cast<std::uint64_t>(n_nodes) >= LabelIndex::kEmpty) raise(PyExc_MemoryError, "too many nodes");
    const std::size_t n = static_cast<std::size_t>(n_nodes);
    std::vector<Ref> labels;
    labels.reserve(n);
    {
        Ref empty = empty_str();
        for (std::size_t i = 0; i < n; ++i) {
            PyObject* node = PyList_GET_ITEM(nodes.get(), static_cast<Py_ssize_t>(i));
            labels.push_back(is_text(node) ? exact_str(node) : empty);
        }
    }
    const LabelIndex index(labels);
    const EdgeRecords records = read_edges(edges.get(), index);

    double m = 0.0;
    for (const double w : records.weight) m += w;
    std::vector<Node> community;
    if (2 * m < kMinTwiceWeight) {
        community.resize(n);
        for (std::size_t i = 0; i < n; ++i) community[i] = static_cast<Node>(i);
    } else {
        community = local_moving(build_adjacency(n, records), m, gamma);
    }

    // Ids in the order in which each community's first member occurs.
    std::vector<Node> renumbered(n, LabelIndex::kEmpty);
    std::vector<Ref> ids;
    Ref result = new_dict();
    for (std::size_t i = 0; i < n; ++i) {
        Node& id = renumbered[community[i]];
        if (id == LabelIndex::kEmpty) {
            id = static_cast<Node>(ids.size());
            ids.push_back(to_py_uint(id));
        }
        dict_set(result.get(), labels[i].get(), ids[id]);
    }
    return result.release();
}

constexpr Param kParams[] = {
    required("nodes", Kind::List),
    required("edges", Kind::List),
    with_default("resolution", Kind::Float, 1.0),
};

const FunctionSpec fn_run_louvain{
    "run_louvain",
    "run_louvain(nodes, edges, resolution=1.0)\n--\n\n"
    "Run Louvain community detection on a weighted undirected graph.\n"
    "\n"
    "nodes: list[str]  \u2014 node labels\n"
    "edges: list[tuple[str, str, float]]  \u2014 (source, target, weight)\n"
    "resolution: modularity resolution parameter (1.0 = standard Louvain)\n"
    "\n"
    "Returns dict[str, int] mapping node label \u2192 community ID.\n"
    "Isolated nodes each get their own community.\n"
    "Returns empty dict for an empty graph.",
    kParams,
    &run_louvain,
};
LVX_REGISTER_FUNCTION(fn_run_louvain);

}  // namespace
}  // namespace lvx::graph
