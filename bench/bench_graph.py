"""Knowledge-graph benchmarks: entity and relation merges, flattening, Louvain.

Each of our functions runs on the same data as a straightforward pure-Python
version of the same contract (checked equal), and run_louvain also against
networkx's louvain_communities, python-louvain's best_partition and igraph's
community_multilevel, with the modularity of every result (one-level local
moving is compared with full multilevel methods, so the modularity column
keeps the comparison honest).

    python3 bench/bench_graph.py            # default sizes, about a minute
    python3 bench/bench_graph.py --full     # Louvain up to 1M edges (several minutes)
"""

import argparse
import copy
import gc
import random
import time

import lorvex_native as ln

WHITE_SPACE = "".join(
    map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F, 0x205F, 0x3000])
)


# --- pure-Python versions -----------------------------------------------------


def py_merge_entities(graph, results):
    created = 0
    for item in results:
        if not isinstance(item, (tuple, list)) or len(item) < 2:
            continue
        doc_id = item[0] if isinstance(item[0], str) else ""
        entities = item[1]
        if not isinstance(entities, list):
            continue
        for ent in entities:
            if not isinstance(ent, dict):
                continue
            name = ent.get("name")
            if not isinstance(name, str):
                continue
            key = name.lower().strip(WHITE_SPACE)
            if not key:
                continue
            rec = graph.get(key)
            if rec is None:
                t = ent.get("type")
                d = ent.get("description")
                graph[key] = {
                    "description": d if isinstance(d, str) else "",
                    "type": t if isinstance(t, str) else "UNKNOWN",
                    "chunk_ids": [doc_id],
                    "frequency": 1,
                    "degree": 0,
                }
                created += 1
            elif isinstance(rec, dict):
                cur = rec.get("type")
                if not isinstance(cur, str) or cur in ("", "UNKNOWN"):
                    t = ent.get("type")
                    if isinstance(t, str) and t not in ("", "UNKNOWN"):
                        rec["type"] = t
                ids = rec.get("chunk_ids")
                if ids is None:
                    rec["chunk_ids"] = ids = [doc_id]
                elif isinstance(ids, list) and doc_id not in ids:
                    ids.append(doc_id)
                rec["frequency"] = len(ids) if isinstance(ids, list) else 1
    return created


def _strength(v):
    try:
        s = v.__index__()
    except Exception:
        return 5
    return s if 0 <= s < 2**64 else 5


def py_merge_relations(graph, results):
    created = 0
    for item in results:
        if not isinstance(item, (tuple, list)) or len(item) < 2:
            continue
        doc_id, triples = item[0], item[1]
        if not isinstance(doc_id, str) or not isinstance(triples, list):
            continue
        for t in triples:
            if isinstance(t, dict):
                subj = t["subject"] if "subject" in t else t.get("source")
                obj = t["object"] if "object" in t else t.get("target")
                rel = t.get("relation")
                desc = t.get("description")
                strength = _strength(t["strength"]) if "strength" in t else 5
            elif isinstance(t, tuple) and len(t) >= 3:
                subj, rel, obj = t[0], t[1], t[2]
                if not isinstance(subj, str):
                    continue
                desc, strength = "", 5
            else:
                continue
            src = subj.lower().strip(WHITE_SPACE) if isinstance(subj, str) else ""
            if not src:
                continue
            tgt = obj.lower().strip(WHITE_SPACE) if isinstance(obj, str) else ""
            rel = rel.strip(WHITE_SPACE) if isinstance(rel, str) else ""
            entries = graph.get(src)
            if not isinstance(entries, list):
                entries = graph[src] = []
            for e in entries:
                if isinstance(e, dict) and e.get("target") == tgt and e.get("relation") == rel:
                    try:
                        w = float(e.get("weight", 1.0))
                    except (TypeError, ValueError):
                        w = 1.0
                    e["weight"] = w + float(strength)
                    c = e.get("support_count")
                    e["support_count"] = c + 1 if isinstance(c, int) and c >= 0 else 2
                    ids = e.get("text_unit_ids")
                    if ids is None:
                        e["text_unit_ids"] = [doc_id]
                    elif isinstance(ids, list) and doc_id not in ids:
                        ids.append(doc_id)
                    break
            else:
                entries.append(
                    {
                        "target": tgt,
                        "relation": rel,
                        "chunk_id": doc_id,
                        "description": desc.strip(WHITE_SPACE) if isinstance(desc, str) else "",
                        "strength": strength,
                        "weight": float(strength),
                        "support_count": 1,
                        "text_unit_ids": [doc_id],
                    }
                )
                created += 1
    return created


def py_graph_edges(entity_graph, relation_graph):
    nodes = list(entity_graph)
    edges = []
    for src, entries in relation_graph.items():
        if not isinstance(src, str) or not isinstance(entries, list):
            continue
        for e in entries:
            if not isinstance(e, dict):
                continue
            tgt = e.get("target")
            if not isinstance(tgt, str) or not tgt:
                continue
            w = e.get("weight", 1.0)
            try:
                w = float(w)
            except (TypeError, ValueError):
                w = 1.0
            edges.append((src, tgt, w))
    return nodes, edges


def py_louvain(nodes, edges, resolution=1.0):
    labels = [x if isinstance(x, str) else "" for x in nodes]
    if not labels:
        return {}
    index = {label: i for i, label in enumerate(labels)}
    n = len(labels)
    adj = [[] for _ in range(n)]
    m = 0.0
    for e in edges:
        s, t = index.get(e[0]), index.get(e[1])
        if s is None or t is None or s == t:
            continue
        w = float(e[2]) if len(e) > 2 else 1.0
        adj[s].append((t, w))
        adj[t].append((s, w))
        m += w
    k = [sum(w for _, w in a) for a in adj]
    c = list(range(n))
    if 2 * m >= 1e-15:
        tot = list(k)
        two_m_m = 2 * m * m
        for _ in range(20):
            moved = False
            for i in range(n):
                old, ki = c[i], k[i]
                k_in = 0.0
                links = {}
                for j, w in adj[i]:
                    cj = c[j]
                    if cj == old:
                        if j != i:
                            k_in += w
                    else:
                        links[cj] = links.get(cj, 0.0) + w
                tot[old] -= ki
                best = old
                if links:
                    best_gain = k_in / m - (tot[old] * resolution * ki) / two_m_m
                    for comm, wc in links.items():
                        gain = wc / m - (tot[comm] * resolution * ki) / two_m_m
                        if gain > best_gain + 1e-10:
                            best, best_gain = comm, gain
                c[i] = best
                tot[best] += ki
                moved |= best != old
            if not moved:
                break
    ids = {}
    return {label: ids.setdefault(c[i], len(ids)) for i, label in enumerate(labels)}


# --- data ------------------------------------------------------------------------


def make_names(rng, count):
    words = ["alpha", "Beta", "GAMMA", "delta", "Δέλτα", "Σίγμα", "straße", "İstanbul", "Café", "naïve", "omega"]
    names = []
    for i in range(count):
        base = f"{rng.choice(words)} {i:x}"
        style = rng.random()
        if style < 0.3:
            base = base.upper()
        elif style < 0.4:
            base = f"  {base}\t"
        names.append(base)
    return names


def fresh(s):
    """A new str object equal to s, as an extractor would produce."""
    return (s + " ")[:-1]


def entity_batches(rng, names, chunks, per_chunk):
    types = ["PERSON", "ORG", "UNKNOWN", "", "PLACE"]
    return [
        (
            f"chunk-{c}",
            [{"name": fresh(rng.choice(names)), "type": fresh(rng.choice(types)), "description": f"seen in {c}"} for _ in range(per_chunk)],
        )
        for c in range(chunks)
    ]


def relation_batches(rng, names, chunks, per_chunk):
    rels = ["works_at", "knows", "part_of", "Knows"]
    out = []
    for c in range(chunks):
        triples = []
        for _ in range(per_chunk):
            s, o, r = fresh(rng.choice(names)), fresh(rng.choice(names)), fresh(rng.choice(rels))
            if rng.random() < 0.5:
                triples.append({"subject": s, "relation": r, "object": o, "description": " d ", "strength": rng.randrange(1, 10)})
            else:
                triples.append((s, r, o))
        out.append((f"chunk-{c}", triples))
    return out


# --- timing ------------------------------------------------------------------------


def best_of(fn, repeat, setup=None):
    best = float("inf")
    result = None
    for _ in range(repeat):
        arg = setup() if setup else None
        gc.collect()
        gc.disable()
        try:
            t0 = time.process_time()
            result = fn(arg) if setup else fn()
            dt = time.process_time() - t0
        finally:
            gc.enable()
        best = min(best, dt)
    return best, result


def row(name, t, ref, extra=""):
    print(f"  {name:<34} {t * 1000:10.1f} ms  {ref / t:8.1f}x {extra}")


def bench_merges(rng, graph_size, chunks, per_chunk, repeat):
    names = make_names(rng, graph_size + graph_size // 5)
    base_entities = {}
    py_merge_entities(base_entities, entity_batches(rng, names[:graph_size], graph_size // per_chunk + 1, per_chunk))
    while len(base_entities) < graph_size:  # top up to the requested size
        py_merge_entities(base_entities, entity_batches(rng, names, 100, per_chunk))
    batch = entity_batches(rng, names, chunks, per_chunk)
    print(f"\nmerge_entities_into_graph: {chunks} chunks x {per_chunk} entities into {len(base_entities)} entities")
    t_py, (g_py, n_py) = best_of(lambda g: (g, py_merge_entities(g, batch)), repeat, lambda: copy.deepcopy(base_entities))
    t_ln, (g_ln, n_ln) = best_of(lambda g: (g, ln.merge_entities_into_graph(g, batch)), repeat, lambda: copy.deepcopy(base_entities))
    assert (g_py, n_py) == (g_ln, n_ln), "entity merge differs from the Python version"
    row("pure Python", t_py, t_py)
    row("lorvex_native", t_ln, t_py, f"({n_ln} new)")

    base_relations = {}
    py_merge_relations(base_relations, relation_batches(rng, names[:graph_size], graph_size // per_chunk + 1, per_chunk))
    rbatch = relation_batches(rng, names, chunks, per_chunk)
    sources = len(base_relations)
    print(f"\nmerge_relations_into_graph: {chunks} chunks x {per_chunk} triples into {sources} sources")
    t_py, (r_py, n_py) = best_of(lambda g: (g, py_merge_relations(g, rbatch)), repeat, lambda: copy.deepcopy(base_relations))
    t_ln, (r_ln, n_ln) = best_of(lambda g: (g, ln.merge_relations_into_graph(g, rbatch)), repeat, lambda: copy.deepcopy(base_relations))
    assert (r_py, n_py) == (r_ln, n_ln), "relation merge differs from the Python version"
    row("pure Python", t_py, t_py)
    row("lorvex_native", t_ln, t_py, f"({n_ln} new)")

    print(f"\nbuild_graph_edges: {len(g_ln)} entities, {sum(len(v) for v in r_ln.values())} relation entries")
    t_py, ref = best_of(lambda: py_graph_edges(g_ln, r_ln), repeat)
    t_ln, got = best_of(lambda: ln.build_graph_edges(g_ln, r_ln), repeat)
    assert list(got) == list(ref), "flattening differs from the Python version"
    row("pure Python", t_py, t_py)
    row("lorvex_native", t_ln, t_py)
    return got


def bench_merges_in_cache(rng, distinct, chunks, per_chunk, repeat):
    """Merges whose graph and batch fit in the CPU caches: what each version
    costs per item once memory stalls are out of the way."""
    names = make_names(rng, distinct)
    batch = entity_batches(rng, names, chunks, per_chunk)
    rbatch = relation_batches(rng, names[:30], chunks, per_chunk)
    for title, py_fn, ln_fn, b in [
        ("merge_entities_into_graph", py_merge_entities, ln.merge_entities_into_graph, batch),
        ("merge_relations_into_graph", py_merge_relations, ln.merge_relations_into_graph, rbatch),
    ]:
        g_py, g_ln = {}, {}
        py_fn(g_py, b)
        ln_fn(g_ln, b)  # graphs are warm; the timed runs are updates
        print(f"\n{title}, in cache: {chunks} chunks x {per_chunk} items, {len(g_ln)} keys, merged again")
        t_py, n_py = best_of(lambda: py_fn(g_py, b), repeat)
        t_ln, n_ln = best_of(lambda: ln_fn(g_ln, b), repeat)
        assert (g_py, n_py) == (g_ln, n_ln)
        row("pure Python", t_py, t_py)
        row("lorvex_native", t_ln, t_py)


def summed_graph(nodes, edges):
    """Undirected weighted edges with duplicates summed and self-loops dropped,
    the graph run_louvain sees for tuple edges."""
    index = {label: i for i, label in enumerate(nodes)}
    acc = {}
    for s, t, w in edges:
        a, b = index.get(s), index.get(t)
        if a is None or b is None or a == b:
            continue
        key = (a, b) if a < b else (b, a)
        acc[key] = acc.get(key, 0.0) + w
    return acc


def bench_louvain(title, nodes, edges, repeat, with_python=True, slow_peers=True):
    import community as community_louvain
    import igraph
    import networkx as nx

    acc = summed_graph(nodes, edges)
    print(f"\nrun_louvain on {title}: {len(nodes)} nodes, {len(edges)} edges ({len(acc)} distinct)")
    ig = igraph.Graph(n=len(nodes), edges=list(acc), edge_attrs={"weight": list(acc.values())})
    G = nx.Graph()
    G.add_nodes_from(range(len(nodes)))
    G.add_weighted_edges_from((a, b, w) for (a, b), w in acc.items())

    def modularity(membership):
        return ig.modularity(membership, weights="weight")

    index = {label: i for i, label in enumerate(nodes)}

    def membership_of_labels(result):
        out = [0] * len(nodes)
        for label, cid in result.items():
            out[index[label]] = cid
        return out

    def membership_of_sets(communities):
        out = [0] * len(nodes)
        for cid, members in enumerate(communities):
            for v in members:
                out[v] = cid
        return out

    t_ln, ours = best_of(lambda: ln.run_louvain(nodes, edges), repeat)
    rows = [("lorvex_native (one level)", t_ln, modularity(membership_of_labels(ours)), len(set(ours.values())))]
    if with_python:
        t, ref = best_of(lambda: py_louvain(nodes, edges), 1)
        assert ref == ours, "Louvain differs from the Python version"
        rows.append(("pure Python (same algorithm)", t, modularity(membership_of_labels(ref)), len(set(ref.values()))))
    if slow_peers:
        t, comms = best_of(lambda: nx.community.louvain_communities(G, weight="weight", seed=1), 1)
        rows.append(("networkx louvain_communities", t, modularity(membership_of_sets(comms)), len(comms)))
        t, part = best_of(lambda: community_louvain.best_partition(G, weight="weight", random_state=1), 1)
        rows.append(("python-louvain best_partition", t, modularity([part[v] for v in range(len(nodes))]), len(set(part.values()))))
    else:
        print("  (networkx and python-louvain take minutes on this graph: run with --full)")
    t, cl = best_of(lambda: ig.community_multilevel(weights="weight"), repeat)
    rows.append(("igraph community_multilevel", t, modularity(cl.membership), len(cl)))
    print(f"  {'':<34} {'time':>13}  {'vs ours':>8}  {'modularity':>10}  {'communities':>11}")
    for name, t, q, k in rows:
        print(f"  {name:<34} {t * 1000:10.1f} ms  {t / t_ln:7.1f}x  {q:10.4f}  {k:11d}")


def sbm(rng, blocks, size, p_in, p_out, seed):
    import networkx as nx

    G = nx.stochastic_block_model([size] * blocks, [[p_in if i == j else p_out for j in range(blocks)] for i in range(blocks)], seed=seed)
    nodes = [f"node-{v}" for v in G.nodes]
    edges = [(nodes[a], nodes[b], rng.choice([1.0, 2.0, 0.5])) for a, b in G.edges]
    return nodes, edges


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--full", action="store_true", help="Louvain on graphs up to 1M edges")
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()
    rng = random.Random(7)

    print("time: best of runs, CPU time of this process; ratio: pure-Python time / this time (merges), peer time / our time (Louvain)")
    merged_nodes_edges = bench_merges(rng, graph_size=100_000, chunks=10_000, per_chunk=10, repeat=args.repeat)

    bench_merges_in_cache(rng, distinct=1000, chunks=2000, per_chunk=10, repeat=args.repeat)

    nodes, edges = merged_nodes_edges
    bench_louvain("the graph built by the merges", nodes, edges, args.repeat, slow_peers=args.full)
    nodes, edges = sbm(rng, 20, 250, 0.08, 0.002, seed=1)
    bench_louvain("a stochastic block model", nodes, edges, args.repeat)
    if args.full:
        nodes, edges = sbm(rng, 50, 400, 0.12, 0.0015, seed=2)
        bench_louvain("a stochastic block model", nodes, edges, 1)
        nodes, edges = sbm(rng, 100, 500, 0.07, 0.00015, seed=3)
        bench_louvain("a stochastic block model (1M edges)", nodes, edges, 1, with_python=False)


if __name__ == "__main__":
    main()
