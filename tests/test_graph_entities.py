import copy
import gc

import pytest
from hypothesis import given, settings, strategies as st

import lorvex_native as ln
from test_graph_models import merge_entities as model_merge_entities


def merge(graph, results):
    return ln.merge_entities_into_graph(graph, results)


def record(description="", type_="UNKNOWN", chunk_ids=("d1",), frequency=1):
    return {"description": description, "type": type_, "chunk_ids": list(chunk_ids), "frequency": frequency, "degree": 0}


def test_empty_batch_changes_nothing():
    g = {"a": record()}
    before = copy.deepcopy(g)
    assert merge(g, []) == 0
    assert g == before


def test_case_and_blank_variants_share_one_key():
    g = {}
    n = merge(g, [("d1", [{"name": " Apple ", "description": "fruit", "type": "FOOD"}, {"name": "APPLE"}, {"name": "apple\u3000"}])])
    assert n == 1
    assert g == {"apple": record("fruit", "FOOD", ["d1"], 1)}
    assert list(g["apple"]) == ["description", "type", "chunk_ids", "frequency", "degree"]


@pytest.mark.parametrize(
    "entity",
    [{"name": " \t\u2003 "}, {"name": ""}, {"name": 7}, {"name": None}, {"description": "x"}, {"name": "a\udc80"}],
)
def test_unusable_names_are_skipped(entity):
    g = {}
    assert merge(g, [("d1", [entity])]) == 0
    assert g == {}


def test_inner_white_space_is_kept_and_only_white_space_is_trimmed():
    g = {}
    # U+200B and U+001F are not White_Space; U+0085 and U+00A0 are.
    merge(g, [("d", [{"name": "\x85New  York\xa0"}, {"name": "\u200bX\x1f"}])])
    assert list(g) == ["new  york", "\u200bx\x1f"]


def test_creation_defaults_and_type_upgrades():
    g = {}
    merge(g, [("d1", [{"name": "a"}, {"name": "b", "type": ""}, {"name": "c", "type": "Person", "description": 3}])])
    assert g["a"]["type"] == "UNKNOWN"
    assert g["b"]["type"] == ""
    assert g["c"]["description"] == ""
    merge(g, [("d2", [{"name": "a", "type": "Org"}, {"name": "b", "type": "Org"}, {"name": "c", "type": "Org"}])])
    assert (g["a"]["type"], g["b"]["type"], g["c"]["type"]) == ("Org", "Org", "Person")


@pytest.mark.parametrize(
    "current, incoming, expected",
    [
        ("UNKNOWN", "Organization", "Organization"),
        ("unknown", "Organization", "unknown"),  # only the exact "UNKNOWN" counts as unset
        ("Person", "Organization", "Person"),
        ("", "UNKNOWN", ""),
        ("UNKNOWN", "", "UNKNOWN"),
        (None, "Org", "Org"),
        ("bad\ud800", "Org", "Org"),
        ("UNKNOWN", 5, "UNKNOWN"),
    ],
)
def test_type_upgrade_rule(current, incoming, expected):
    g = {"x": {"type": current, "chunk_ids": ["d1"]}}
    merge(g, [("d1", [{"name": "X", "type": incoming}])])
    assert g["x"]["type"] == expected


def test_missing_type_is_set_by_update():
    g = {"x": {"chunk_ids": []}}
    merge(g, [("d1", [{"name": "x", "type": "T"}])])
    assert g["x"] == {"chunk_ids": ["d1"], "type": "T", "frequency": 1}


def test_chunk_ids_and_frequency():
    g = {}
    merge(g, [("d1", [{"name": "a"}]), ("d1", [{"name": "a"}])])
    assert g["a"]["chunk_ids"] == ["d1"] and g["a"]["frequency"] == 1
    merge(g, [("d2", [{"name": "a"}])])
    assert g["a"]["chunk_ids"] == ["d1", "d2"] and g["a"]["frequency"] == 2


@pytest.mark.parametrize(
    "ids, expected_ids, expected_frequency",
    [
        (("d1", "d2"), ("d1", "d2"), 1),  # a tuple stays unchanged
        ("d9", "d9", 1),
        ([1, b"d2", None], [1, b"d2", None, "d2"], 4),  # non-str elements never match
        (["d1", "d2", "d3"], ["d1", "d2", "d3"], 3),
        (["x\udc00"], ["x\udc00", "d2"], 2),
    ],
)
def test_existing_chunk_ids_forms(ids, expected_ids, expected_frequency):
    g = {"a": {"description": "keep", "type": "T", "chunk_ids": ids, "frequency": 99, "degree": 7, "extra": 1}}
    assert merge(g, [("d2", [{"name": "A", "description": "other"}])]) == 0
    assert g["a"]["chunk_ids"] == expected_ids
    assert g["a"]["frequency"] == expected_frequency
    assert (g["a"]["description"], g["a"]["degree"], g["a"]["extra"]) == ("keep", 7, 1)


def test_missing_chunk_ids_gets_a_new_list():
    g = {"a": {"type": "T"}}
    merge(g, [("d2", [{"name": "a"}])])
    assert g["a"] == {"type": "T", "chunk_ids": ["d2"], "frequency": 1}


def test_batch_item_shapes():
    g = {}
    results = [
        ("d1", [{"name": "three"}], "ignored"),
        ["d2", [{"name": "listitem"}]],
        ("d3",),
        {"name": "bare"},
        (42, [{"name": "intdoc"}]),
        ("d4", ({"name": "tuple-of-entities"},)),
        ("d5", [1, "x", None, {"name": "ok"}]),
    ]
    assert merge(g, results) == 4
    assert list(g) == ["three", "listitem", "intdoc", "ok"]
    assert g["intdoc"]["chunk_ids"] == [""]
    assert g["listitem"]["chunk_ids"] == ["d2"]


def test_non_dict_graph_value_is_left_alone():
    g = {"a": "not a record", "b": None}
    assert merge(g, [("d1", [{"name": "A"}, {"name": "B"}])]) == 0
    assert g == {"a": "not a record", "b": None}


def test_description_of_existing_record_never_changes():
    g = {"a": record("", "T")}
    merge(g, [("d2", [{"name": "a", "description": "new"}])])
    assert g["a"]["description"] == ""


def test_str_subclasses_are_read_as_text_and_stored_as_str():
    class S(str):
        def lower(self):
            raise AssertionError("host lower() must not be used")

        def __eq__(self, other):
            raise AssertionError("host __eq__ must not be used")

        __hash__ = str.__hash__

    g = {}
    merge(g, [(S("doc"), [{"name": S("Name"), "type": S("T"), "description": S("D")}])])
    rec = g["name"]
    assert [type(v) for v in (rec["type"], rec["description"], rec["chunk_ids"][0])] == [str, str, str]
    assert type(next(iter(g))) is str
    merge(g, [(S("doc"), [{"name": "name"}])])
    assert g["name"]["chunk_ids"] == ["doc"]


def test_walk_bound_ignores_items_appended_during_the_walk():
    entities = [{"name": "a"}]
    key = _KeyLike("name", lambda: entities.append({"name": "late"}))
    entities.append({key: "x", "name": "b"})
    armed(key)
    g = {}
    merge(g, [("d1", entities)])
    assert list(g) == ["a", "b"] and key.calls > 0


class _KeyLike:
    """A dict key that collides with `text` and runs `action` when compared."""

    def __init__(self, text, action):
        self.text = text
        self.action = action
        self.armed = False
        self.calls = 0

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        if self.armed:
            self.calls += 1
            self.action()
        return False


def armed(*keys):
    for k in keys:
        k.armed = True


def test_hostile_graph_key_that_clears_the_graph():
    g = {}
    key = _KeyLike("apple", lambda: g.clear())
    g[key] = record()
    armed(key)
    # Must not crash; the result depends on when the graph is cleared.
    merge(g, [("d1", [{"name": "apple"}, {"name": "apple"}, {"name": "pear"}])])
    gc.collect()
    assert "pear" in g and key.calls > 0


def test_hostile_record_key_that_drops_the_record_and_its_lists():
    g = {}

    def drop():
        g.clear()
        rec.clear()

    keys = _KeyLike("chunk_ids", drop), _KeyLike("type", drop)
    rec = {keys[0]: 1, keys[1]: 2, "type": "UNKNOWN", "chunk_ids": ["d0"]}
    g["a"] = rec
    armed(*keys)
    merge(g, [("d1", [{"name": "a", "type": "T"}, {"name": "a"}])])
    gc.collect()
    assert keys[0].calls + keys[1].calls > 0


def test_hostile_entity_key_that_empties_the_batch():
    results = []

    def wipe():
        results.clear()
        entities.clear()

    key = _KeyLike("name", wipe)
    entities = [{key: 0, "name": "x"}, {"name": "y"}]
    results += [("d1", entities), ("d2", [{"name": "z"}])]
    armed(key)
    g = {}
    merge(g, results)
    gc.collect()
    assert "y" not in g and "z" not in g and key.calls > 0


def test_failure_midway_keeps_earlier_merges_and_stores_no_partial_record():
    class Boom:
        def __hash__(self):
            return hash("b")

        def __eq__(self, other):
            raise KeyError("boom")

    g = {Boom(): 1}
    with pytest.raises(KeyError):
        merge(g, [("d1", [{"name": "a"}, {"name": "b"}, {"name": "c"}])])
    assert "a" in g and "c" not in g
    assert len(g) == 2


@pytest.mark.parametrize("args", [([], []), ({}, ()), ({}, None)])
def test_argument_kinds(args):
    with pytest.raises(TypeError, match="^argument '(entity_graph|results)': "):
        ln.merge_entities_into_graph(*args)


# --- differential test against the Python model ------------------------------

ALPHABET = "aAbBΣσς İß \t\u00a0\u2028\u0345."
names = st.one_of(st.text(ALPHABET, max_size=5), st.integers(0, 3), st.none())
types = st.one_of(st.sampled_from(["UNKNOWN", "", "Person", "Org", "unknown"]), st.none(), st.integers(0, 2))
entity = st.one_of(
    st.fixed_dictionaries({"name": names}, optional={"type": types, "description": st.sampled_from(["", "d", 5])}),
    st.just({"type": "x"}),
    st.integers(),
)
item = st.one_of(
    st.tuples(st.sampled_from(["d1", "d2", "d3", 4]), st.lists(entity, max_size=5)),
    st.lists(st.sampled_from(["d1", "d2"]), max_size=1),
    st.tuples(st.just("d1"), st.just({"name": "a"})),
)
existing = st.dictionaries(
    st.text("abσς ", max_size=3),
    st.one_of(
        st.fixed_dictionaries(
            {},
            optional={
                "type": types,
                "chunk_ids": st.one_of(st.lists(st.sampled_from(["d1", "d2", 3]), max_size=3), st.just(("d1",))),
                "description": st.just("keep"),
            },
        ),
        st.none(),
    ),
    max_size=4,
)


@settings(max_examples=150, deadline=None)
@given(existing, st.lists(item, max_size=6))
def test_matches_python_model(graph, results):
    expected_graph = copy.deepcopy(graph)
    expected = model_merge_entities(expected_graph, copy.deepcopy(results))
    assert merge(graph, results) == expected
    assert graph == expected_graph
    assert [list(v) if isinstance(v, dict) else v for v in graph.values()] == [
        list(v) if isinstance(v, dict) else v for v in expected_graph.values()
    ]
    assert list(graph) == list(expected_graph)
