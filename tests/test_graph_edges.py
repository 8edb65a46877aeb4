import gc

import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln
from test_graph_models import graph_edges as model_graph_edges


def test_empty_graphs():
    assert ln.build_graph_edges({}, {}) == ([], [])


def test_nodes_are_the_entity_keys_themselves():
    k = (1, 2)
    nodes, _ = ln.build_graph_edges({"b": 1, k: None, 3: "x", "a": {}}, {})
    assert nodes == ["b", k, 3, "a"]
    assert nodes[1] is k


@pytest.mark.parametrize(
    "entry, edge",
    [
        ({"target": "b"}, ("a", "b", 1.0)),
        ({"target": "b", "weight": None}, ("a", "b", 1.0)),
        ({"target": "b", "weight": "2"}, ("a", "b", 1.0)),
        ({"target": "b", "weight": 3}, ("a", "b", 3.0)),
        ({"target": "b", "weight": True}, ("a", "b", 1.0)),
        ({"target": "b", "weight": float("-inf")}, ("a", "b", float("-inf"))),
        ({"target": "a", "weight": 0.5}, ("a", "a", 0.5)),
        ({"weight": 2.0}, None),
        ({"target": None}, None),
        ({"target": ""}, None),
        ({"target": 5}, None),
        ({"target": "b\udc00"}, None),
        ("not a dict", None),
    ],
)
def test_entry_reading(entry, edge):
    _, edges = ln.build_graph_edges({}, {"a": [entry]})
    assert edges == ([edge] if edge else [])
    for e in edges:
        assert type(e) is tuple and type(e[2]) is float


def test_order_duplicates_and_skipped_pairs():
    relations = {
        "x": [{"target": "y"}, {"target": "y", "weight": 2.0}],
        5: [{"target": "y"}],
        "bad\ud800": [{"target": "y"}],
        "t": ({"target": "y"},),
        "d": {"target": "y"},
        "": [{"target": "z"}],
        " Raw ": [{"target": " Not Normalised "}],
    }
    nodes, edges = ln.build_graph_edges({"x": {}}, relations)
    assert nodes == ["x"]
    assert edges == [("x", "y", 1.0), ("x", "y", 2.0), ("", "z", 1.0), (" Raw ", " Not Normalised ", 1.0)]


def test_neither_graph_is_changed_and_subclass_strs_come_out_as_str():
    class S(str):
        pass

    entities = {"a": {"x": 1}}
    relations = {S("a"): [{"target": S("b"), "weight": 2}]}
    _, edges = ln.build_graph_edges(entities, relations)
    assert [type(x) for x in edges[0]] == [str, str, float]
    assert entities == {"a": {"x": 1}} and relations == {"a": [{"target": "b", "weight": 2}]}


def test_hostile_key_that_mutates_the_relation_graph():
    class Collider:
        armed = False
        calls = 0

        def __hash__(self):
            return hash("target")

        def __eq__(self, other):
            if Collider.armed:
                Collider.calls += 1
                relations.clear()
                entries.clear()
            return False

    entries = [{}, {"target": "c"}]
    entries[0][Collider()] = 1
    entries[0]["target"] = "b"
    relations = {"a": entries, "z": [{"target": "y"}]}
    Collider.armed = True
    _, edges = ln.build_graph_edges({}, relations)
    gc.collect()
    assert Collider.calls > 0
    # The pairs of the relation graph are those present when the call began.
    assert edges == [("a", "b", 1.0), ("z", "y", 1.0)]


@pytest.mark.parametrize("args", [([], {}), ({}, [])])
def test_argument_kinds(args):
    with pytest.raises(TypeError, match="^argument '(entity_graph|relation_graph)': "):
        ln.build_graph_edges(*args)


entries = st.lists(
    st.one_of(
        st.fixed_dictionaries(
            {},
            optional={
                "target": st.one_of(st.text("ab", max_size=2), st.none()),
                "weight": st.one_of(st.floats(allow_nan=False), st.integers(-3, 3), st.none(), st.just("w")),
            },
        ),
        st.integers(),
    ),
    max_size=4,
)


@settings(max_examples=150, deadline=None)
@given(
    st.dictionaries(st.one_of(st.text("ab", max_size=2), st.integers(0, 2)), st.none(), max_size=4),
    st.dictionaries(st.one_of(st.text("abc", max_size=2), st.integers(0, 2)), st.one_of(entries, st.none()), max_size=4),
)
def test_matches_python_model(entity_graph, relation_graph):
    assert ln.build_graph_edges(entity_graph, relation_graph) == model_graph_edges(entity_graph, relation_graph)
