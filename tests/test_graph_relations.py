import copy
import gc

import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln
from test_graph_models import merge_relations as model_merge_relations

KEYS = ["target", "relation", "chunk_id", "description", "strength", "weight", "support_count", "text_unit_ids"]


def merge(graph, results):
    return ln.merge_relations_into_graph(graph, results)


def test_empty_batch_changes_nothing():
    g = {"a": [{"target": "b"}]}
    assert merge(g, []) == 0
    assert g == {"a": [{"target": "b"}]}


def test_repeated_triple_is_reinforced():
    g = {}
    t = {"subject": "Alice", "relation": "knows", "object": "Bob", "description": "  met at work "}
    assert merge(g, [("c1", [t]), ("c2", [dict(t)])]) == 1
    assert g == {
        "alice": [
            {
                "target": "bob",
                "relation": "knows",
                "chunk_id": "c1",
                "description": "met at work",
                "strength": 5,
                "weight": 10.0,
                "support_count": 2,
                "text_unit_ids": ["c1", "c2"],
            }
        ]
    }
    assert list(g["alice"][0]) == KEYS
    assert type(g["alice"][0]["weight"]) is float


def test_strength_sets_and_grows_the_weight():
    g = {}
    merge(g, [("c1", [{"subject": "a", "relation": "r", "object": "b", "strength": 3}])])
    assert (g["a"][0]["strength"], g["a"][0]["weight"]) == (3, 3.0)
    merge(g, [("c1", [{"subject": "a", "relation": "r", "object": "b", "strength": 2}])])
    assert (g["a"][0]["strength"], g["a"][0]["weight"], g["a"][0]["support_count"]) == (3, 5.0, 2)
    assert g["a"][0]["text_unit_ids"] == ["c1"]


class Idx:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "strength, expected",
    [(True, 1), (0, 0), (Idx(), 7), (2**64 - 1, 2**64 - 1), (-1, 5), (2**64, 5), (2.0, 5), ("3", 5), (None, 5)],
)
def test_strength_reading(strength, expected):
    g = {}
    merge(g, [("c", [{"subject": "a", "relation": "r", "object": "b", "strength": strength}])])
    assert g["a"][0]["strength"] == expected
    assert g["a"][0]["weight"] == float(expected)


@pytest.mark.parametrize(
    "triple, source, target",
    [
        ({"subject": "S", "source": "X", "relation": "r", "object": "o"}, "s", "o"),
        ({"source": " X ", "relation": "r", "target": "T"}, "x", "t"),
        ({"subject": "S", "relation": "r", "object": None, "target": "T"}, "s", ""),
        ({"subject": "S", "relation": "r"}, "s", ""),
        (("S", "r", "O", "ignored"), "s", "o"),
        (("S", 5, None), "s", ""),
    ],
)
def test_subject_and_object_reading(triple, source, target):
    g = {}
    assert merge(g, [("c", [triple])]) == 1
    assert list(g) == [source]
    assert g[source][0]["target"] == target


@pytest.mark.parametrize(
    "triple",
    [
        {"subject": None, "source": "X", "relation": "r", "object": "o"},
        {"subject": " \t", "relation": "r", "object": "o"},
        {"relation": "r", "object": "o"},
        ("S", "r"),
        ["S", "r", "o"],
        (5, "r", "o"),
        ("\ud800", "r", "o"),
        "S r o",
        None,
    ],
)
def test_unusable_triples_are_skipped(triple):
    g = {}
    assert merge(g, [("c", [triple])]) == 0
    assert g == {}


@pytest.mark.parametrize(
    "item",
    [(5, [("a", "r", "b")]), ("c",), ("c", ("a", "r", "b")), ("c", [("a", "r", "b")], "x"), ["c", [("a", "r", "b")]], {}],
)
def test_batch_items(item):
    g = {}
    n = merge(g, [item])
    assert n == (1 if item in (("c", [("a", "r", "b")], "x"), ["c", [("a", "r", "b")]]) else 0)


def test_identity_is_source_target_and_label():
    g = {}
    triples = [
        ("Alice", "knows", "Bob"),
        (" ALICE\u00a0", " knows\t", "bob"),  # same triple
        ("alice", "Knows", "bob"),  # a different label
        ("alice", "knows", "carol"),
    ]
    assert merge(g, [("c", triples)]) == 3
    assert [(e["target"], e["relation"], e["support_count"]) for e in g["alice"]] == [
        ("bob", "knows", 2),
        ("bob", "Knows", 1),
        ("carol", "knows", 1),
    ]


def test_non_list_graph_value_is_replaced():
    g = {"a": "junk", "b": ({"target": "x", "relation": "r"},)}
    assert merge(g, [("c", [("a", "r", "x"), ("b", "r", "x")])]) == 2
    assert [len(g["a"]), len(g["b"])] == [1, 1]


@pytest.mark.parametrize(
    "entry, expected",
    [
        ({"target": "b", "relation": "r"}, {"weight": 6.0, "support_count": 2, "text_unit_ids": ["c"]}),
        ({"target": "b", "relation": "r", "weight": "x", "support_count": -3}, {"weight": 6.0, "support_count": 2}),
        ({"target": "b", "relation": "r", "weight": 2, "support_count": True}, {"weight": 7.0, "support_count": 2}),
        (
            {"target": "b", "relation": "r", "support_count": 2**64 - 1, "text_unit_ids": ("z",)},
            {"support_count": 2**64, "text_unit_ids": ("z",)},
        ),
        ({"target": "b", "relation": "r", "text_unit_ids": [1, "c"]}, {"text_unit_ids": [1, "c"]}),
        ({"target": "b", "relation": "r", "text_unit_ids": ["x"]}, {"text_unit_ids": ["x", "c"]}),
    ],
)
def test_update_of_existing_entries(entry, expected):
    g = {"a": ["not a dict", entry]}
    assert merge(g, [("c", [("a", "r", "b")])]) == 0
    for key, value in expected.items():
        assert g["a"][1][key] == value
        assert type(g["a"][1][key]) is type(value)


def test_entry_with_non_text_target_matches_empty_target():
    g = {"a": [{"target": None, "relation": 3}]}
    assert merge(g, [("c", [("a", "", None)])]) == 0
    assert g["a"][0]["support_count"] == 2


def test_str_subclass_values_are_stored_as_str():
    class S(str):
        def strip(self, *a):
            raise AssertionError("host strip() must not be used")

    g = {}
    merge(g, [(S("c"), [{"subject": S("A"), "relation": S("r"), "object": S("B"), "description": S("d")}])])
    entry = g["a"][0]
    assert all(type(entry[k]) is str for k in ("target", "relation", "chunk_id", "description"))
    assert type(entry["text_unit_ids"][0]) is str


class Collider:
    def __init__(self, text, action):
        self.text, self.action, self.armed, self.calls = text, action, False, 0

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        if self.armed:
            self.calls += 1
            self.action()
        return False


def test_hostile_entry_key_that_empties_the_entry_list():
    g = {}
    key = Collider("target", lambda: (entries.clear(), g.clear()))
    entries = [{key: 0, "target": "x", "relation": "r"}, {"target": "b", "relation": "r"}]
    g["a"] = entries
    key.armed = True
    merge(g, [("c", [("a", "r", "b"), ("a", "r", "b")])])
    gc.collect()
    assert key.calls > 0


def test_hostile_graph_key_that_clears_the_graph():
    g = {}
    key = Collider("a", lambda: g.clear())
    g[key] = []
    key.armed = True
    merge(g, [("c", [("a", "r", "b"), ("a", "r", "b")])])
    gc.collect()
    assert key.calls > 0


def test_hostile_strength_that_clears_the_batch():
    results = []

    class Strength:
        def __index__(self):
            results.clear()
            triples.clear()
            return 1

    triples = [{"subject": "a", "relation": "r", "object": "b", "strength": Strength()}, ("a", "r", "c")]
    results += [("c1", triples), ("c2", [("x", "r", "y")])]
    g = {}
    assert merge(g, results) == 1
    assert list(g) == ["a"] and g["a"][0]["strength"] == 1


@pytest.mark.parametrize("args", [([], []), ({}, ())])
def test_argument_kinds(args):
    with pytest.raises(TypeError, match="^argument '(relation_graph|results)': "):
        ln.merge_relations_into_graph(*args)


# --- differential test against the Python model ------------------------------

text = st.text("aAΣ \u00a0r.", max_size=4)
value = st.one_of(text, st.none(), st.integers(-1, 3))
dict_triple = st.fixed_dictionaries(
    {},
    optional={
        "subject": value,
        "source": value,
        "relation": st.sampled_from(["r", " r", "R", ""]),
        "object": value,
        "target": value,
        "description": st.one_of(text, st.none()),
        "strength": st.one_of(st.integers(-2, 9), st.booleans(), st.floats(0, 3), st.none()),
    },
)
tuple_triple = st.tuples(value, st.sampled_from(["r", "R ", 1]), value)
triple = st.one_of(dict_triple, tuple_triple, st.lists(text, min_size=3, max_size=3), st.tuples(text, text))
item = st.one_of(
    st.tuples(st.sampled_from(["c1", "c2", 7]), st.lists(triple, max_size=5)),
    st.lists(st.just("c1"), max_size=1),
)
entry = st.fixed_dictionaries(
    {},
    optional={
        "target": st.one_of(text, st.none()),
        "relation": st.sampled_from(["r", "R", ""]),
        "weight": st.one_of(st.floats(-2, 2), st.integers(0, 3), st.just("w")),
        "support_count": st.one_of(st.integers(-1, 4), st.just(2.5)),
        "text_unit_ids": st.one_of(st.lists(st.sampled_from(["c1", "c2", 1]), max_size=2), st.just(("c1",))),
    },
)
existing = st.dictionaries(text, st.one_of(st.lists(st.one_of(entry, st.integers()), max_size=3), st.none()), max_size=3)


@settings(max_examples=150, deadline=None)
@given(existing, st.lists(item, max_size=5))
def test_matches_python_model(graph, results):
    expected_graph = copy.deepcopy(graph)
    expected = model_merge_relations(expected_graph, copy.deepcopy(results))
    assert merge(graph, results) == expected
    assert graph == expected_graph
    assert repr(graph) == repr(expected_graph)  # key order and value types too
