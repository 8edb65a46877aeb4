import gc
import math
import random

import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln
from test_graph_models import louvain as model_louvain

TWO_TRIANGLES = [("a", "b", 1.0), ("b", "c", 1.0), ("a", "c", 1.0), ("d", "e", 1.0), ("e", "f", 1.0), ("d", "f", 1.0)]


def test_empty_nodes_return_an_empty_dict_without_reading_edges():
    assert ln.run_louvain([], [None, 5, ("a",)]) == {}


def test_nodes_without_edges_are_singletons():
    assert ln.run_louvain(["a", "b", "c"], []) == {"a": 0, "b": 1, "c": 2}


def test_two_triangles_numbered_by_first_member():
    nodes = ["d", "a", "e", "b", "f", "c"]
    assert ln.run_louvain(nodes, TWO_TRIANGLES) == {"d": 0, "a": 1, "e": 0, "b": 1, "f": 0, "c": 1}
    assert list(ln.run_louvain(nodes, TWO_TRIANGLES)) == nodes


@pytest.mark.parametrize(
    "edges",
    [
        [("a", "zz", 1.0)],  # unknown label
        [("a", "b", -1.0)],  # weights summing to less than zero
        [("a", "b", 1.0), ("b", "c", -1.0)],
        [("a", "a", 2.0)],  # a tuple self-loop is dropped
        [("a", "b", 1e-16)],
        ["ab", ("a",), ["a"], None, 3],
    ],
)
def test_graphs_without_usable_weight_give_singletons(edges):
    assert ln.run_louvain(["a", "b", "c"], edges) == {"a": 0, "b": 1, "c": 2}


def test_list_self_loop_is_kept():
    # Node a's self-loop weighs it down enough that it stays alone; without it
    # (tuple form) a joins b.
    nodes = ["a", "b", "c"]
    base = [("a", "b", 1.0), ("b", "c", 1.0)]
    with_tuple = ln.run_louvain(nodes, base + [("a", "a", 50.0)])
    with_list = ln.run_louvain(nodes, base + [["a", "a", 50.0]])
    assert with_tuple == ln.run_louvain(nodes, base)
    assert with_list != with_tuple
    assert with_list == model_louvain(nodes, base + [["a", "a", 50.0]])


@pytest.mark.parametrize(
    "variant, same_as",
    [
        (("a", "b"), ("a", "b", 1.0)),
        (("a", "b", "heavy"), ("a", "b", 1.0)),
        (("a", "b", None), ("a", "b", 1.0)),
        (("a", "b", 3), ("a", "b", 3.0)),
        (["a", "b", 3, "extra"], ("a", "b", 3.0)),
    ],
)
def test_weight_reading(variant, same_as):
    nodes = list("abcdef")
    rest = [("b", "c", 2.0), ("c", "d", 1.0), ("d", "e", 2.5), ("e", "f", 1.0), ("f", "a", 0.5)]
    assert ln.run_louvain(nodes, [variant] + rest) == ln.run_louvain(nodes, [same_as] + rest)


def test_non_text_labels_become_the_empty_label():
    result = ln.run_louvain([1, "b", "c"], [("", "b", 1.0), (None, "b", 1.0), ("b", "c", 0.1)])
    assert list(result) == ["", "b", "c"]
    assert result == model_louvain([1, "b", "c"], [("", "b", 1.0), (None, "b", 1.0), ("b", "c", 0.1)])
    assert result[""] == result["b"]


@pytest.mark.parametrize("bad", [0.0, -1.0, math.inf, -math.inf, math.nan])
def test_bad_resolution_means_one(bad):
    rng = random.Random(3)
    nodes = [f"n{i}" for i in range(40)]
    edges = [(rng.choice(nodes), rng.choice(nodes), rng.random()) for _ in range(120)]
    assert ln.run_louvain(nodes, edges, bad) == ln.run_louvain(nodes, edges) == ln.run_louvain(nodes, edges, 1.0)


def test_tiny_resolutions_merge_components_but_never_across_them():
    path = [("a", "b", 1.0), ("b", "c", 1.0), ("c", "d", 1.0), ("d", "e", 1.0), ("e", "f", 1.0)]
    assert set(ln.run_louvain(list("abcdef"), path, 5e-324).values()) == {0}
    assert len(set(ln.run_louvain(list("abcdef"), path, 1.0).values())) > 1
    nodes = list("abcdef")
    result = ln.run_louvain(nodes, TWO_TRIANGLES, 5e-324)
    assert result == {"a": 0, "b": 0, "c": 0, "d": 1, "e": 1, "f": 1}


def test_resolution_argument_kind():
    with pytest.raises(TypeError, match="^argument 'resolution': "):
        ln.run_louvain(["a"], [], None)
    assert ln.run_louvain(["a", "b"], [("a", "b")], 1) == {"a": 0, "b": 0}


def test_duplicate_labels_attach_to_the_last_occurrence():
    nodes = ["a", "x", "b", "a"]
    result = ln.run_louvain(nodes, [("a", "b", 1.0)])
    # The first "a" (index 0) has no edges and still uses id 0.
    assert result == {"a": 2, "x": 1, "b": 2}
    assert list(result) == ["a", "x", "b"]


def test_str_subclass_labels():
    class S(str):
        def __hash__(self):
            raise AssertionError("host __hash__ must not be used")

        def __eq__(self, other):
            raise AssertionError("host __eq__ must not be used")

    result = ln.run_louvain([S("a"), "b"], [(S("a"), S("b"), 1.0)])
    assert result == {"a": 0, "b": 0}
    assert all(type(k) is str for k in result)


def test_hostile_weight_that_empties_the_inputs():
    nodes = ["a", "b", "c"]

    class W:
        def __float__(self):
            nodes.clear()
            edges.clear()
            gc.collect()
            return 2.0

    edges = [("a", "b", W()), ("b", "c", 1.0)]
    assert ln.run_louvain(nodes, edges) == {"a": 0, "b": 0, "c": 1}


def test_argument_kinds():
    with pytest.raises(TypeError, match="^argument 'nodes': "):
        ln.run_louvain(("a",), [])
    with pytest.raises(TypeError, match="^argument 'edges': "):
        ln.run_louvain(["a"], ())


def components(nodes, edges):
    parent = {n: n for n in nodes}

    def find(x):
        while parent[x] != x:
            parent[x] = parent[parent[x]]
            x = parent[x]
        return x

    for s, t, *_ in edges:
        if s in parent and t in parent:
            parent[find(s)] = find(t)
    return {n: find(n) for n in nodes}


labels = st.sampled_from([f"n{i}" for i in range(12)] + ["", "zz"])
weight = st.one_of(st.floats(-1, 10), st.integers(0, 4), st.none())
edge = st.one_of(
    st.tuples(labels, labels, weight),
    st.tuples(labels, labels),
    st.lists(st.one_of(labels, weight), min_size=2, max_size=3).map(lambda x: [x[0] if isinstance(x[0], str) else "n0", *x[1:]]),
    st.lists(labels, min_size=2, max_size=2),
)


@settings(max_examples=200, deadline=None)
@given(
    st.lists(st.one_of(labels, st.none()), max_size=14),
    st.lists(edge, max_size=30),
    st.sampled_from([1.0, 0.5, 2.0, 0.0, math.nan]),
)
def test_matches_python_model(nodes, edges, resolution):
    assert ln.run_louvain(nodes, edges, resolution) == model_louvain(nodes, edges, resolution)


@pytest.mark.parametrize("seed", range(4))
def test_random_weighted_graphs_match_python_model_and_respect_components(seed):
    rng = random.Random(seed)
    nodes = [f"v{i}" for i in range(300)]
    edges = []
    for _ in range(900):
        block = rng.randrange(6) * 50  # six blocks, no edges between blocks
        edges.append((nodes[block + rng.randrange(50)], nodes[block + rng.randrange(50)], rng.choice([1.0, rng.random() * 3])))
    gamma = rng.choice([0.5, 1.0, 1.5])
    result = ln.run_louvain(nodes, edges, gamma)
    assert result == model_louvain(nodes, edges, gamma)
    comp = components(nodes, edges)
    for a in nodes:
        for b in nodes[:: 7]:
            if result[a] == result[b]:
                assert comp[a] == comp[b]
