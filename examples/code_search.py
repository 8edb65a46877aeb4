"""Hybrid code-and-docs search over a tree of Python sources and docs, with lorvex_native.

By default the tree is the interpreter's own standard library, so it runs on any
machine with no download:

    python3 examples/code_search.py "how does json decode floats"

Ingestion cuts files into code chunks (one per function or class, with symbol
metadata from `ast`) and prose chunks (docstrings, Markdown/RST paragraphs),
digests every file and keeps the digests in a binary hash store so that a second
run re-ingests only files that changed, and persists the corpus, the knowledge
graph, the embeddings and the sentence-window index in a cache directory.

A query runs BM25, a vector channel (random-indexing embeddings of TF-IDF
vectors, computed with numpy), the symbol channel and code lexical boosts for
code-looking questions, fuses the lists (reciprocal rank by default, weighted on
--fusion weighted), keeps the best record per id, drops weak hits, reorders by
MMR and prints the best results with a sentence-window snippet.
"""
from __future__ import annotations

import argparse
import ast
import json
import os
import pathlib
import sys
import sysconfig
import time
from collections import defaultdict
from contextlib import contextmanager
from typing import Any, Iterator

import numpy as np
from tqdm import tqdm  # type: ignore[import-untyped]

import lorvex_native as ln

EMBED_DIM = 256
VOCAB_LIMIT = 40000
CACHE_FORMAT = 1

Record = dict[str, Any]
Batch = list[tuple[str, list[Record]]]


# --------------------------------------------------------------------------- timing


class Timings:
    def __init__(self) -> None:
        self.stages: list[tuple[str, float]] = []

    @contextmanager
    def stage(self, name: str) -> Iterator[None]:
        t0 = time.perf_counter()
        yield
        self.stages.append((name, time.perf_counter() - t0))

    def report(self) -> str:
        return "  ".join(f"{name} {secs * 1e3:.1f} ms" for name, secs in self.stages)


# --------------------------------------------------------------------------- ingestion


def discover(root: pathlib.Path, include_tests: bool) -> list[pathlib.Path]:
    skip = {"site-packages", "__pycache__", ".git", "node_modules"}
    if not include_tests:
        skip |= {"test", "tests", "idle_test"}
    out = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = sorted(d for d in dirnames if d not in skip and not d.startswith("."))
        for name in sorted(filenames):
            if name.endswith((".py", ".md", ".rst")):
                out.append(pathlib.Path(dirpath, name))
    return out


class ChunkVisitor(ast.NodeVisitor):
    """Code chunks, docstring chunks, entities and relations of one module."""

    def __init__(self, path: str, module: str, lines: list[str]) -> None:
        self.path = path
        self.module = module
        self.lines = lines
        self.scope: list[tuple[str, str]] = []  # (name, kind)
        self.chunks: list[Record] = []
        self.entities: list[Record] = []
        self.relations: list[Record] = []

    def qualname(self, name: str) -> str:
        return ".".join([self.module] + [n for n, _ in self.scope] + [name])

    def add_symbol(self, node: ast.ClassDef | ast.FunctionDef | ast.AsyncFunctionDef, kind: str) -> None:
        qual = self.qualname(node.name)
        start, end = node.lineno, getattr(node, "end_lineno", node.lineno) or node.lineno
        text = "\n".join(self.lines[start - 1:end])
        if len(text) > 6000:
            text = text[:6000]
        self.chunks.append({
            "id": f"{self.path}:{start}",
            "text": text,
            "metadata": {
                "source_class": "code",
                "symbol_name": node.name,
                "qualified_name": qual,
                "symbol_type": kind,
                "file_path": self.path,
                "start_line": start,
                "end_line": end,
            },
        })
        doc = ast.get_docstring(node)
        if doc:
            self.chunks.append({
                "id": f"{self.path}:{start}:doc",
                "text": doc,
                "metadata": {"source_class": "docs", "file_path": self.path, "start_line": start,
                             "documents": qual},
            })
        summary = (doc or "").strip().split("\n", 1)[0][:200]
        self.entities.append({"name": qual, "type": kind.upper(), "description": summary})
        parent = ".".join([self.module] + [n for n, _ in self.scope])
        self.relations.append({"subject": parent, "relation": "DEFINES", "object": qual, "strength": 3})

    def visit_ClassDef(self, node: ast.ClassDef) -> None:
        self.add_symbol(node, "class")
        qual = self.qualname(node.name)
        for base in node.bases:
            name = _dotted(base)
            if name:
                self.relations.append({"subject": qual, "relation": "INHERITS", "object": name, "strength": 8})
        self.scope.append((node.name, "class"))
        self.generic_visit(node)
        self.scope.pop()

    def _visit_function(self, node: ast.FunctionDef | ast.AsyncFunctionDef) -> None:
        kind = "method" if self.scope and self.scope[-1][1] == "class" else "function"
        self.add_symbol(node, kind)
        qual = self.qualname(node.name)
        for sub in ast.walk(node):
            if isinstance(sub, ast.Call):
                name = _dotted(sub.func)
                if name and len(name) >= 4:
                    self.relations.append({"subject": qual, "relation": "CALLS", "object": name, "strength": 2})
        self.scope.append((node.name, "function"))
        self.generic_visit(node)
        self.scope.pop()

    visit_FunctionDef = _visit_function
    visit_AsyncFunctionDef = _visit_function

    def visit_Import(self, node: ast.Import) -> None:
        for alias in node.names:
            self.relations.append({"subject": self.module, "relation": "IMPORTS", "object": alias.name})

    def visit_ImportFrom(self, node: ast.ImportFrom) -> None:
        if node.module:
            self.relations.append({"subject": self.module, "relation": "IMPORTS", "object": node.module})


def _dotted(node: ast.expr) -> str:
    parts = []
    while isinstance(node, ast.Attribute):
        parts.append(node.attr)
        node = node.value
    if isinstance(node, ast.Name):
        parts.append(node.id)
        return ".".join(reversed(parts))
    return ""


def ingest_file(path: pathlib.Path, root: pathlib.Path, text: str) -> tuple[list[Record], Batch, Batch]:
    """Chunks, entity batch item and relation batch item of one file."""
    rel = str(path.relative_to(root))
    if path.suffix == ".py":
        module = rel[:-3].replace(os.sep, ".").removesuffix(".__init__")
        try:
            tree = ast.parse(text)
        except (SyntaxError, ValueError):
            return [], [], []
        visitor = ChunkVisitor(rel, module, text.splitlines())
        doc = ast.get_docstring(tree)
        if doc:
            visitor.chunks.append({"id": f"{rel}:1:doc", "text": doc,
                                   "metadata": {"source_class": "docs", "file_path": rel, "start_line": 1,
                                                "documents": module}})
        visitor.entities.append({"name": module, "type": "MODULE", "description": (doc or "").split("\n", 1)[0]})
        visitor.visit(tree)
        return visitor.chunks, [(rel, visitor.entities)], [(rel, visitor.relations)]
    # Markdown / reStructuredText: one prose chunk per paragraph group.
    chunks: list[Record] = []
    buf: list[str] = []
    start = 1
    for i, line in enumerate(text.splitlines() + [""], 1):
        if line.strip():
            if not buf:
                start = i
            buf.append(line)
        elif buf and sum(len(b) for b in buf) > 200:
            chunks.append({"id": f"{rel}:{start}", "text": "\n".join(buf),
                           "metadata": {"source_class": "docs", "file_path": rel, "start_line": start}})
            buf = []
    if buf:
        chunks.append({"id": f"{rel}:{start}", "text": "\n".join(buf),
                       "metadata": {"source_class": "docs", "file_path": rel, "start_line": start}})
    return chunks, [], []


# --------------------------------------------------------------------------- embeddings


def terms_of(text: str) -> list[str]:
    return ln.extract_code_query_tokens(text[:4000]) or text.lower().split()


def embed_texts(token_lists: list[list[str]], vocab: dict[str, int], idf: np.ndarray,
                proj: np.ndarray) -> np.ndarray:
    """Random-indexing embeddings: the sum of the random vectors of a text's terms, weighted by TF-IDF."""
    out = np.zeros((len(token_lists), proj.shape[1]), dtype=np.float32)
    batch = 512
    for start in range(0, len(token_lists), batch):
        rows: list[int] = []
        cols: list[int] = []
        vals: list[int] = []
        for r, tokens in enumerate(token_lists[start:start + batch]):
            counts: dict[int, int] = defaultdict(int)
            for tok in tokens:
                j = vocab.get(tok)
                if j is not None:
                    counts[j] += 1
            rows += [r] * len(counts)
            cols += counts.keys()
            vals += counts.values()
        if not cols:
            continue
        cols_a = np.asarray(cols, dtype=np.int64)
        rows_a = np.asarray(rows, dtype=np.int64)
        weighted = proj[cols_a] * (np.log1p(np.asarray(vals, dtype=np.float32)) * idf[cols_a])[:, None]
        # Rows come in order, so each text's terms are one contiguous run.
        starts = np.flatnonzero(np.r_[True, rows_a[1:] != rows_a[:-1]])
        out[start + rows_a[starts]] = np.add.reduceat(weighted, starts, axis=0)
    norms = np.linalg.norm(out, axis=1, keepdims=True)
    np.divide(out, norms, out=out, where=norms > 0)
    return out


def projection(n_terms: int) -> np.ndarray:
    rng = np.random.default_rng(7)
    proj: np.ndarray = rng.standard_normal((n_terms, EMBED_DIM)).astype(np.float32) / np.sqrt(EMBED_DIM)
    return proj


def build_embedder(token_lists: list[list[str]]) -> tuple[dict[str, int], np.ndarray, np.ndarray]:
    df: dict[str, int] = defaultdict(int)
    for tokens in token_lists:
        for tok in set(tokens):
            df[tok] += 1
    terms = sorted(df, key=lambda t: (-df[t], t))[:VOCAB_LIMIT]
    vocab = {t: i for i, t in enumerate(terms)}
    n = max(len(token_lists), 1)
    idf = np.array([np.log((n + 1) / (df[t] + 1)) + 1.0 for t in terms], dtype=np.float32)
    return vocab, idf, projection(len(terms))


# --------------------------------------------------------------------------- the index


class SearchIndex:
    def __init__(self, root: pathlib.Path, cache: pathlib.Path, include_tests: bool, quiet: bool = False) -> None:
        self.root = root
        self.cache = cache
        self.include_tests = include_tests
        self.quiet = quiet
        self.timings = Timings()
        self.stats: dict[str, object] = {}

    # -- persistence helpers
    def path(self, name: str) -> pathlib.Path:
        return self.cache / name

    def read(self, name: str) -> bytes | None:
        try:
            return self.path(name).read_bytes()
        except OSError:
            return None

    def write(self, name: str, data: bytes) -> None:
        tmp = self.path(name + ".tmp")
        tmp.write_bytes(data)
        os.replace(tmp, self.path(name))

    # -- ingestion
    def ingest(self) -> None:
        self.cache.mkdir(parents=True, exist_ok=True)
        store = str(self.path("digests.lvh"))
        with self.timings.stage("discover"):
            files = discover(self.root, self.include_tests)
        with self.timings.stage("load cache"):
            cached = self._load_cached_chunks()
            manifest = json.loads(self.read("manifest.json") or b"{}")
            if manifest.get("format") != CACHE_FORMAT or manifest.get("root") != str(self.root):
                cached, manifest = None, {}
        by_file: dict[str, list[Record]] = defaultdict(list)
        for chunk in cached or []:
            by_file[chunk["metadata"].get("file_path", "")].append(chunk)
        entity_batches: Batch = []
        relation_batches: Batch = []
        digests: list[str] = []
        changed = 0
        file_digest: dict[str, str] = dict(manifest.get("files", {}))
        with self.timings.stage("ingest"):
            for path in tqdm(files, desc="ingest", unit="file", disable=self.quiet, leave=False):
                try:
                    text = path.read_text(encoding="utf-8")
                except (UnicodeDecodeError, OSError):
                    continue
                rel = str(path.relative_to(self.root))
                digest = ln.compute_doc_hash(text)
                digests.append(digest)
                known = cached is not None and file_digest.get(rel) == digest
                if known and ln.probe_hash_store(store, digest):
                    continue
                changed += 1
                chunks, ents, rels = ingest_file(path, self.root, text)
                by_file[rel] = chunks
                file_digest[rel] = digest
                entity_batches += ents
                relation_batches += rels
            present = {str(p.relative_to(self.root)) for p in files}
            for rel in list(by_file):
                if rel not in present:
                    del by_file[rel]
                    file_digest.pop(rel, None)
        self.stats["files"] = len(files)
        self.stats["changed"] = changed
        self.corpus = [c for rel in sorted(by_file) for c in by_file[rel]]
        with self.timings.stage("persist corpus"):
            if changed or cached is None:
                corpus = ln.preprocess_documents(self.corpus, 256)
                texts, docs = ln.build_dedup_corpus_payload(corpus)
                self.write("corpus.msgpack", ln.encode_corpus_msgpack(texts, docs))
                self.write("corpus.json", json.dumps({"format": "dedup_v1", "texts": texts, "docs": docs}).encode())
                ln.save_hash_store_binary(store, digests)
                self.write("manifest.json", json.dumps(
                    {"format": CACHE_FORMAT, "root": str(self.root), "files": file_digest}).encode())
                self.corpus = corpus
        self.stats["stored digests"] = len(ln.load_hash_store_binary(store))
        self._build_graph(entity_batches, relation_batches, rebuild=cached is None)
        self._build_vectors(rebuild=bool(changed) or cached is None)
        self._build_sentences(rebuild=bool(changed) or cached is None)
        with self.timings.stage("lexical indexes"):
            self.bm25 = ln.build_bm25_index(self.corpus)
            self.code_positions = [i for i, c in enumerate(self.corpus)
                                   if c["metadata"].get("source_class") == "code"]
            self.symbols = ln.build_symbol_index([self.corpus])

    def _load_cached_chunks(self) -> list[Record] | None:
        data = self.read("corpus.msgpack")
        corpus = ln.decode_corpus_msgpack(data) if data is not None else None
        if corpus is None:
            # Fall back to the JSON form, as the pure-Python path writes it.
            data = self.read("corpus.json")
            corpus = ln.decode_corpus_json(data) if data is not None else None
        return corpus

    def _build_graph(self, entity_batches: Batch, relation_batches: Batch, rebuild: bool) -> None:
        with self.timings.stage("graph"):
            entities = None if rebuild else ln.decode_entity_graph(self.read("entities.msgpack") or b"")
            relations = None if rebuild else ln.decode_relation_graph(self.read("relations.msgpack") or b"")
            if entities is None or relations is None:
                entities, relations = {}, {}
                if not rebuild:  # the cache was unreadable: rebuild the graph from every file
                    entity_batches, relation_batches = self._all_graph_batches()
            bridges: list[dict[str, str]] = []
            if entity_batches or relation_batches or not entities:
                for i in range(0, len(entity_batches), 64):
                    ln.merge_entities_into_graph(entities, entity_batches[i:i + 64])
                for i in range(0, len(relation_batches), 64):
                    ln.merge_relations_into_graph(relations, relation_batches[i:i + 64])
                bridges = self._bridge_edges(relations)
                if bridges:
                    ln.merge_relations_into_graph(relations, [
                        (b["chunk_id"], [{"subject": b["source"], "relation": b["edge_type"], "object": b["target"]}])
                        for b in bridges])
                self.write("entities.msgpack", ln.encode_entity_graph(entities))
                self.write("relations.msgpack", ln.encode_relation_graph(relations))
            nodes, edges = ln.build_graph_edges(entities, relations)
            self.communities = ln.run_louvain(nodes, edges, 1.0)
            self.entities = entities
        self.stats["entities"] = len(entities)
        self.stats["relations"] = sum(len(v) for v in relations.values() if isinstance(v, list))
        self.stats["new bridge edges"] = len(bridges)
        self.stats["communities"] = len(set(self.communities.values()))

    def _bridge_edges(self, relations: dict[str, Any]) -> list[dict[str, str]]:
        """MENTIONED_IN edges from code symbols to the prose chunks that name them."""
        sym_lookup: dict[str, str] = {}
        for c in self.corpus:
            meta = c["metadata"]
            name = meta.get("symbol_name", "")
            if meta.get("source_class") == "code" and len(name) >= 4 and not name.startswith("_"):
                sym_lookup.setdefault(name, meta["qualified_name"].lower())
        prose = [c for c in self.corpus if c["metadata"].get("source_class") == "docs"]
        existing = [(src, e.get("target", ""), e.get("relation", ""))
                    for src, lst in relations.items() if isinstance(lst, list) for e in lst if isinstance(e, dict)]
        return ln.build_code_doc_bridge_edges(sym_lookup, prose, existing)

    def _all_graph_batches(self) -> tuple[Batch, Batch]:
        ents: Batch = []
        rels: Batch = []
        for path in discover(self.root, self.include_tests):
            if path.suffix != ".py":
                continue
            try:
                text = path.read_text(encoding="utf-8")
            except (UnicodeDecodeError, OSError):
                continue
            _, e, r = ingest_file(path, self.root, text)
            ents += e
            rels += r
        return ents, rels

    def _build_vectors(self, rebuild: bool) -> None:
        with self.timings.stage("vectors"):
            cached = None
            if not rebuild:
                try:
                    with np.load(self.path("vectors.npz")) as z:
                        cached = (z["vectors"], list(z["terms"]), z["idf"])
                except (OSError, ValueError, KeyError):
                    cached = None
            if cached is not None and cached[0].shape[0] == len(self.corpus):
                vecs, terms, self.idf = cached
                self.vocab = {t: i for i, t in enumerate(terms)}
                self.proj = projection(len(terms))
            else:
                token_lists = [terms_of(c["text"]) for c in self.corpus]
                self.vocab, self.idf, self.proj = build_embedder(token_lists)
                vecs = embed_texts(token_lists, self.vocab, self.idf, self.proj)
                with open(self.path("vectors.npz"), "wb") as f:
                    np.savez(f, vectors=vecs, terms=np.array(list(self.vocab), dtype=str), idf=self.idf)
            self.vectors = vecs
            # Entity embeddings: the vector of each symbol's code chunk; alias groups among them.
            emb = {}
            for c, v in zip(self.corpus, vecs):
                meta = c["metadata"]
                if meta.get("source_class") == "code" and meta.get("symbol_type") == "class":
                    emb[meta["qualified_name"].lower()] = v[:64].tolist()
            self.write("entity_embeddings.msgpack", ln.encode_entity_embeddings(emb))
            emb = ln.decode_entity_embeddings(self.read("entity_embeddings.msgpack") or b"") or {}
            names = list(emb)[:3000]
            groups = ln.resolve_entity_alias_groups([emb[n] for n in names], 0.97)
            self.alias_groups = [[names[i] for i in g] for g in groups]
        self.stats["alias groups"] = len(self.alias_groups)

    def _build_sentences(self, rebuild: bool) -> None:
        with self.timings.stage("sentences"):
            decoded = None if rebuild else ln.decode_sentence_index(self.read("sentences.msgpack") or b"")
            if decoded is None:
                records: dict[str, Record] = {}
                chunk_to_sentences: dict[str, list[str]] = {}
                for c in self.corpus:
                    if c["metadata"].get("source_class") != "docs":
                        continue
                    ids = []
                    for j, sentence in enumerate(ln.segment_text(c["text"], 20)):
                        sid = f"{c['id']}#{j}"
                        records[sid] = {"text": sentence, "chunk_id": c["id"], "position": j}
                        ids.append(sid)
                    chunk_to_sentences[c["id"]] = ids
                self.write("sentences.msgpack", ln.encode_sentence_index(records, chunk_to_sentences))
                ids = list(records)
                self.write("sentence_meta.msgpack", ln.encode_sentence_meta(ids, [records[i] for i in ids]))
                decoded = (records, chunk_to_sentences)
            self.sentences: dict[str, Record] = decoded[0]
            self.chunk_sentences: dict[str, list[str]] = decoded[1]
        self.stats["sentences"] = len(self.sentences)

    # -- query
    def search(self, question: str, top: int, fusion: str) -> tuple[list[Record], Timings]:
        t = Timings()
        with t.stage("tokens"):
            tokens = ln.extract_code_query_tokens(question)
        with t.stage("bm25"):
            hits = ln.search_bm25(self.bm25, question, 50)
            bm25_results = [dict(self.corpus[i], score=s) for i, s in hits]
        with t.stage("symbols"):
            sym_hits = ln.search_symbol_index(self.symbols, tokens, 10) if tokens else []
            channel = ln.symbol_channel_search([self.corpus], tokens, 10, {"source_class": "code"}) if tokens else []
            seen = {r["id"] for r in bm25_results}
            for pos, score, _field in sym_hits:
                if self.corpus[pos]["id"] not in seen:
                    bm25_results.append(dict(self.corpus[pos], score=score))
                    seen.add(self.corpus[pos]["id"])
        with t.stage("vector"):
            qvec = embed_texts([terms_of(question)], self.vocab, self.idf, self.proj)[0]
            sims = self.vectors @ qvec
            best = np.argsort(-sims, kind="stable")[:50]
            vector_results = []
            for i in best:
                exact = ln.cosine_similarity(self.vectors[i].tolist(), qvec.tolist())
                vector_results.append(dict(self.corpus[int(i)], score=exact, vector_score=exact))
        with t.stage("fusion"):
            if fusion == "weighted":
                fused = ln.score_fusion_weighted(vector_results, bm25_results, 0.5)
            else:
                fused = ln.score_fusion_rrf(vector_results, bm25_results, 60)
            if tokens:
                lex, max_lex = ln.code_lexical_scores(fused, tokens)
                for r, boost in zip(fused, lex):
                    r["lex"] = boost
                    if max_lex > 0:
                        r["score"] = r["score"] + 0.02 * boost / max_lex
                fused.sort(key=lambda r: -r["score"])
            fused = ln.dedupe_best_by_id(fused)
            if fusion == "weighted":
                fused = ln.filter_results_by_threshold(fused, 0.05, "vector_score")
            else:
                fused = ln.filter_results_by_threshold(fused, 0.0, "score")
            ranked = ln.mmr_rerank(fused[:60], 0.9, 0.9)[:top]
        with t.stage("snippets"):
            for r in ranked:
                r["snippet"] = self.snippet(r, question)
        self.last_channels = {"bm25": len(hits), "vector": len(vector_results), "symbol index": len(sym_hits),
                              "symbol channel": len(channel)}
        return ranked, t

    def snippet(self, record: Record, question: str) -> str:
        words = set(question.lower().split())
        ids = self.chunk_sentences.get(record["id"]) or self.chunk_sentences.get(record["id"] + ":doc") or []
        best, best_score = "", -1
        for sid in ids:
            text = self.sentences.get(sid, {}).get("text", "")
            score = len(words & set(text.lower().split()))
            if score > best_score:
                best, best_score = text, score
        if not best:
            best = " ".join(record["text"].split())
        return best[:160]


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("question", nargs="*", default=["how does json decode floats"])
    ap.add_argument("--root", type=pathlib.Path, default=pathlib.Path(sysconfig.get_paths()["stdlib"]))
    ap.add_argument("--cache", type=pathlib.Path, default=pathlib.Path(".lorvex_cache"))
    ap.add_argument("--fusion", choices=["rrf", "weighted"], default="rrf")
    ap.add_argument("--top", type=int, default=8)
    ap.add_argument("--include-tests", action="store_true")
    ap.add_argument("--quiet", action="store_true")
    args = ap.parse_args(argv)
    root = args.root.resolve()
    cache = args.cache / ln.compute_sha256(str(root))[:16]

    t0 = time.perf_counter()
    index = SearchIndex(root, cache, args.include_tests, args.quiet)
    index.ingest()
    print(f"indexed {root} in {time.perf_counter() - t0:.1f} s: "
          + ", ".join(f"{k} {v}" for k, v in index.stats.items()))
    print("  " + index.timings.report())
    question = " ".join(args.question)
    results, timings = index.search(question, args.top, args.fusion)
    print(f"\nquery: {question!r}  ({args.fusion} fusion)")
    print("  " + timings.report())
    print("  channels: " + ", ".join(f"{k} {v}" for k, v in index.last_channels.items()))
    for rank, r in enumerate(results, 1):
        meta = r["metadata"]
        where = f"{meta.get('file_path', '?')}:{meta.get('start_line', 1)}"
        name = meta.get("qualified_name") or meta.get("documents") or ""
        parts = f"score {r['score']:.4f}  vector {r.get('vector_score', 0.0):.3f}  lex {r.get('lex', 0.0):.2f}"
        kind = meta.get("source_class", "")
        print(f"{rank:>2}. {where}  [{kind}] {name}\n    {parts}\n    {r['snippet']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
