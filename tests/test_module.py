"""The module frame: registration, signatures, argument binding and conversion, index classes."""
import inspect
import re

import pytest

import lorvex_native as ln

# Registration order and text signatures of every function the module offers.
SIGNATURES = [
    "preprocess_documents(documents, _batch_size)",
    "build_bm25_index(corpus)",
    "search_bm25(index, query, top_k)",
    "symbol_channel_search(corpora, query_tokens, top_k, filters=None)",
    "build_symbol_index(corpora)",
    "search_symbol_index(index, query_tokens, top_k)",
    "compute_doc_hash(text)",
    "extract_code_query_tokens(query)",
    "code_lexical_scores(results, query_tokens)",
    "decode_corpus_json(data)",
    "encode_corpus_msgpack(texts, docs)",
    "decode_corpus_msgpack(data)",
    "compute_sha256(text)",
    "save_hash_store_binary(path, hashes)",
    "load_hash_store_binary(path)",
    "probe_hash_store(path, hash_hex)",
    "encode_sentence_index(records, chunk_to_sentences)",
    "decode_sentence_index(data)",
    "encode_sentence_meta(ids, meta)",
    "decode_sentence_meta(data)",
    "segment_text(text, min_chars)",
    "cosine_similarity(a, b)",
    "score_fusion_weighted(vector_results, bm25_results, weight=0.7)",
    "score_fusion_rrf(vector_results, bm25_results, k=60)",
    "dedupe_best_by_id(results)",
    "filter_results_by_threshold(results, threshold, score_field=\"vector_score\")",
    "mmr_rerank(results, lambda_mult=0.5, dup_threshold=0.85)",
    "build_code_doc_bridge_edges(sym_lookup, prose_chunks, existing_edge_tuples)",
    "encode_entity_graph(graph)",
    "decode_entity_graph(data)",
    "encode_relation_graph(graph)",
    "decode_relation_graph(data)",
    "encode_entity_embeddings(embeddings)",
    "decode_entity_embeddings(data)",
    "build_dedup_corpus_payload(corpus)",
    "build_graph_edges(entity_graph, relation_graph)",
    "run_louvain(nodes, edges, resolution=1.0)",
    "merge_entities_into_graph(entity_graph, results)",
    "merge_relations_into_graph(relation_graph, results)",
    "resolve_entity_alias_groups(embeddings, threshold)",
]


def _parse(sig):
    name, rest = sig.split("(", 1)
    params = []
    for part in rest.rstrip(")").split(", "):
        pname, _, default = part.partition("=")
        params.append((pname, default or None))
    return name, params


TABLE = [_parse(s) for s in SIGNATURES]
PRESENT = [(name, params) for name, params in TABLE if hasattr(ln, name)]
ids = [name for name, _ in PRESENT]


def test_all_lists_classes_then_functions_in_table_order():
    expected = ["Bm25Index", "SymbolIndex"] + [name for name, _ in TABLE if hasattr(ln, name)]
    assert ln.__all__ == expected
    assert ln.__doc__ == ""
    for name in ln.__all__:
        assert getattr(ln, name) is not None


def test_reimport_returns_the_cached_module():
    import importlib
    import sys

    del sys.modules["lorvex_native"]
    again = importlib.import_module("lorvex_native")
    assert again.__all__ == ln.__all__
    sys.modules["lorvex_native"] = ln


@pytest.mark.parametrize("name,params", PRESENT, ids=ids)
def test_text_signature(name, params):
    fn = getattr(ln, name)
    sig = inspect.signature(fn)
    got = [(p.name, None if p.default is inspect.Parameter.empty else repr(p.default)) for p in sig.parameters.values()]
    want = [(p, None if d is None else repr(eval(d))) for p, d in params]
    assert got == want
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert fn.__doc__ is None or not fn.__doc__.startswith(name + "(")
    assert fn.__module__ == "lorvex_native"


def _message(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


@pytest.mark.parametrize("name,params", PRESENT, ids=ids)
def test_binding_messages(name, params):
    fn = getattr(ln, name)
    n = len(params)
    required = [p for p, d in params if d is None]
    # Too many positional arguments.
    given = n + 1
    if len(required) == n:
        want = f"{name}() takes {n} positional arguments but {given} were given"
    else:
        want = f"{name}() takes from {len(required)} to {n} positional arguments but {given} were given"
    assert _message(fn, *([None] * given)) == want
    # Unknown keyword, reported before anything is converted.
    assert _message(fn, bogus=1) == f"{name}() got an unexpected keyword argument 'bogus'"
    # The same parameter by position and by keyword.
    first = params[0][0]
    assert _message(fn, None, **{first: None}) == f"{name}() got multiple values for argument '{first}'"
    # Every required parameter missing, listed in order.
    quoted = [f"'{p}'" for p in required]
    if len(quoted) == 1:
        listed = quoted[0]
    elif len(quoted) == 2:
        listed = f"{quoted[0]} and {quoted[1]}"
    else:
        listed = ", ".join(quoted[:-1]) + ", and " + quoted[-1]
    plural = "argument" if len(quoted) == 1 else "arguments"
    assert _message(fn) == f"{name}() missing {len(quoted)} required positional {plural}: {listed}"


def test_missing_lists_only_the_absent_parameters():
    assert _message(ln.preprocess_documents, []) == (
        "preprocess_documents() missing 1 required positional argument: '_batch_size'"
    )
    assert _message(ln.preprocess_documents, _batch_size=1) == (
        "preprocess_documents() missing 1 required positional argument: 'documents'"
    )


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


# (function, args, exception type, exact message or None, whether the cause is a TypeError)
CONVERSIONS = [
    ("preprocess_documents", ((), 1), TypeError, "argument 'documents': 'tuple' object cannot be converted to 'PyList'"),
    ("preprocess_documents", ({}, 1), TypeError, "argument 'documents': 'dict' object cannot be converted to 'PyList'"),
    ("preprocess_documents", ([], -1), OverflowError, None),
    ("preprocess_documents", ([], 2**64), OverflowError, None),
    ("preprocess_documents", ([], 2.0), TypeError,
     "argument '_batch_size': 'float' object cannot be interpreted as an integer"),
    ("preprocess_documents", ([], "1"), TypeError,
     "argument '_batch_size': 'str' object cannot be interpreted as an integer"),
    ("preprocess_documents", ([], None), TypeError,
     "argument '_batch_size': 'NoneType' object cannot be interpreted as an integer"),
    ("search_bm25", (object(), "x", 1), TypeError, "argument 'index': 'object' object cannot be converted to 'Bm25Index'"),
    ("search_symbol_index", (object(), [], 1), TypeError,
     "argument 'index': 'object' object cannot be converted to 'SymbolIndex'"),
    ("decode_corpus_json", (bytearray(b"[]"),), TypeError,
     "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    ("decode_corpus_msgpack", (memoryview(b"\x90"),), TypeError,
     "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
    ("compute_doc_hash", (b"x",), TypeError, "argument 'text': 'bytes' object cannot be converted to 'PyString'"),
    ("compute_doc_hash", ("\ud800",), UnicodeEncodeError, None),
    ("cosine_similarity", (1.0, [1.0]), TypeError, "argument 'a': 'float' object cannot be converted to 'Sequence'"),
    ("cosine_similarity", ([1.0], ["x"]), TypeError, "argument 'b': must be real number, not str"),
    ("save_hash_store_binary", ("/nonexistent/x", "abc"), TypeError, None),
    ("score_fusion_rrf", ([], [], None), TypeError, None),
    ("encode_entity_graph", ([],), TypeError, "argument 'graph': 'list' object cannot be converted to 'PyDict'"),
    ("run_louvain", ([], [], None), TypeError, "argument 'resolution': must be real number, not NoneType"),
    ("symbol_channel_search", ([], [], 1, []), TypeError,
     "argument 'filters': 'list' object cannot be converted to 'PyDict'"),
]


@pytest.mark.parametrize("name,args,exc,message", CONVERSIONS, ids=[f"{c[0]}-{i}" for i, c in enumerate(CONVERSIONS)])
def test_argument_conversion_errors(name, args, exc, message):
    if not hasattr(ln, name):
        pytest.skip(f"{name} is not built yet")
    with pytest.raises(exc) as info:
        getattr(ln, name)(*args)
    if exc is TypeError:
        assert str(info.value).startswith(f"argument '")
        assert isinstance(info.value.__cause__, TypeError)
        assert not str(info.value.__cause__).startswith("argument")
    else:
        assert not str(info.value).startswith("argument")
    if message is not None:
        assert str(info.value) == message


def test_conversions_accept_subclasses_and_index():
    class L(list):
        pass

    class D(dict):
        pass

    assert ln.preprocess_documents(L([D(text=" a  b ")]), Idx(3)) == [{"text": "a b"}]
    assert ln.preprocess_documents([], True) == []
    assert ln.preprocess_documents(documents=[], _batch_size=0) == []


def test_type_name_uses_the_qualname():
    class Outer:
        class Inner:
            pass

    msg = _message(ln.preprocess_documents, Outer.Inner(), 1)
    assert msg == "argument 'documents': 'test_type_name_uses_the_qualname.<locals>.Outer.Inner' object " \
                  "cannot be converted to 'PyList'"


@pytest.mark.parametrize("cls", [ln.Bm25Index, ln.SymbolIndex])
def test_index_classes_are_opaque(cls):
    name = cls.__name__
    assert name in ("Bm25Index", "SymbolIndex")
    assert cls.__qualname__ == name
    assert cls.__doc__ is None
    with pytest.raises(TypeError, match=re.escape(f"No constructor defined for {name}")):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)
    assert cls.__weakrefoffset__ == 0


def test_internal_failure_is_a_base_exception_not_an_exception():
    class Mutating(str):
        """A key whose hash changes the dict being copied."""

        target = None

        def __hash__(self):
            if Mutating.target is not None:
                Mutating.target["extra"] = 1
            return str.__hash__(self)

    record = {Mutating("a"): 1, "text": "x"}
    Mutating.target = record
    try:
        ln.preprocess_documents([record], 1)
    except Exception as e:  # pragma: no cover - must not be an Exception
        pytest.fail(f"internal failure caught as Exception: {e!r}")
    except BaseException as e:
        assert type(e).__bases__ == (BaseException,)
        assert "dictionary changed size during iteration" in str(e)
    finally:
        Mutating.target = None


def test_second_interpreter_is_refused():
    si = pytest.importorskip("_xxsubinterpreters")
    interp = si.create()
    try:
        with pytest.raises(si.RunFailedError, match="ImportError"):
            si.run_string(interp, "import lorvex_native")
    finally:
        si.destroy(interp)
