"""Straightforward Python versions of the knowledge-graph functions, used as
references by the graph tests and benchmarks."""

WHITE_SPACE = "".join(
    map(chr, [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028, 0x2029, 0x202F, 0x205F, 0x3000])
)


def is_text(v):
    if not isinstance(v, str):
        return False
    try:
        v.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def text_or_empty(v):
    return str(v) if is_text(v) else ""


def graph_key(name):
    return name.lower().strip(WHITE_SPACE)


def first_two(item):
    if isinstance(item, (tuple, list)) and len(item) >= 2:
        return item[0], item[1]
    return None


def _type_is_set(t):
    return is_text(t) and t != "" and t != "UNKNOWN"


def merge_entities(graph, results):
    created = 0
    for item in list(results):
        pair = first_two(item)
        if pair is None:
            continue
        doc_id = text_or_empty(pair[0])
        entities = pair[1]
        if not isinstance(entities, list):
            continue
        for entity in list(entities):
            if not isinstance(entity, dict) or "name" not in entity:
                continue
            key = graph_key(text_or_empty(entity["name"]))
            if not key:
                continue
            record = graph.get(key)
            if record is None and key not in graph:
                graph[key] = {
                    "description": text_or_empty(entity.get("description")),
                    "type": str(entity["type"]) if is_text(entity.get("type")) else "UNKNOWN",
                    "chunk_ids": [doc_id],
                    "frequency": 1,
                    "degree": 0,
                }
                created += 1
                continue
            if not isinstance(record, dict):
                continue
            if not _type_is_set(record.get("type")) and _type_is_set(entity.get("type")):
                record["type"] = str(entity["type"])
            ids = record.get("chunk_ids")
            if "chunk_ids" not in record:
                record["chunk_ids"] = [doc_id]
            elif isinstance(ids, list):
                if not any(isinstance(x, str) and x == doc_id for x in ids):
                    ids.append(doc_id)
            ids = record.get("chunk_ids")
            record["frequency"] = len(ids) if isinstance(ids, list) else 1
    return created


def _strength(v):
    if isinstance(v, float) or v is None:
        return 5
    try:
        s = v.__index__()
    except Exception:
        return 5
    return s if 0 <= s < 2**64 else 5


def _read_triple(t):
    """(subject, relation, object, description, strength) or None."""
    if isinstance(t, dict):
        subject = t["subject"] if "subject" in t else t.get("source")
        obj = t["object"] if "object" in t else t.get("target")
        return (
            text_or_empty(subject),
            text_or_empty(t.get("relation")),
            text_or_empty(obj),
            text_or_empty(t.get("description")),
            _strength(t.get("strength")),
        )
    if isinstance(t, tuple) and len(t) >= 3:
        if not is_text(t[0]):
            return None
        return str(t[0]), text_or_empty(t[1]), text_or_empty(t[2]), "", 5
    return None


def _float_or(v, default):
    if v is None:
        return default
    try:
        return float(v)
    except Exception:
        return default


def merge_relations(graph, results):
    created = 0
    for item in list(results):
        pair = first_two(item)
        if pair is None or not is_text(pair[0]) or not isinstance(pair[1], list):
            continue
        doc_id = str(pair[0])
        for t in list(pair[1]):
            triple = _read_triple(t)
            if triple is None:
                continue
            subject, relation, obj, description, strength = triple
            source = graph_key(subject)
            if not source:
                continue
            target = graph_key(obj)
            relation = relation.strip(WHITE_SPACE)
            entries = graph.get(source)
            if not isinstance(entries, list):
                entries = graph[source] = []
            for entry in entries:
                if (
                    isinstance(entry, dict)
                    and text_or_empty(entry.get("target")) == target
                    and text_or_empty(entry.get("relation")) == relation
                ):
                    entry["weight"] = _float_or(entry.get("weight"), 1.0) + float(strength)
                    count = entry.get("support_count")
                    count = _strength_count(count)
                    entry["support_count"] = 2 if count is None else count + 1
                    if "text_unit_ids" not in entry:
                        entry["text_unit_ids"] = [doc_id]
                    elif isinstance(entry["text_unit_ids"], list):
                        ids = entry["text_unit_ids"]
                        if not any(isinstance(x, str) and x == doc_id for x in ids):
                            ids.append(doc_id)
                    break
            else:
                entries.append(
                    {
                        "target": target,
                        "relation": relation,
                        "chunk_id": doc_id,
                        "description": description.strip(WHITE_SPACE),
                        "strength": strength,
                        "weight": float(strength),
                        "support_count": 1,
                        "text_unit_ids": [doc_id],
                    }
                )
                created += 1
    return created


def _strength_count(v):
    if v is None or isinstance(v, float):
        return None
    try:
        s = v.__index__()
    except Exception:
        return None
    return s if 0 <= s < 2**64 else None


def graph_edges(entity_graph, relation_graph):
    nodes = list(entity_graph)
    edges = []
    for source, entries in relation_graph.items():
        if not is_text(source) or not isinstance(entries, list):
            continue
        for entry in list(entries):
            if not isinstance(entry, dict):
                continue
            target = entry.get("target")
            if not is_text(target) or target == "":
                continue
            edges.append((str(source), str(target), _float_or(entry.get("weight"), 1.0)))
    return nodes, edges


def louvain(nodes, edges, resolution=1.0):
    """One level of local moving; neighbour communities are tried in the order
    in which they first occur in the node's adjacency list."""
    import math

    labels = [str(x) if is_text(x) else "" for x in nodes]
    if not labels:
        return {}
    index = {}
    for i, label in enumerate(labels):
        index[label] = i
    gamma = resolution if math.isfinite(resolution) and resolution > 0 else 1.0
    records = []
    for e in list(edges):
        if not isinstance(e, (tuple, list)) or len(e) < 2:
            continue
        s = text_or_empty(e[0])
        t = text_or_empty(e[1])
        w = _float_or(e[2], 1.0) if len(e) >= 3 else 1.0
        if s in index and t in index:
            si, ti = index[s], index[t]
            if isinstance(e, tuple) and si == ti:
                continue
            records.append((si, ti, w))
    n = len(labels)
    adj = [[] for _ in range(n)]
    m = 0.0
    for s, t, w in records:
        adj[s].append((t, w))
        adj[t].append((s, w))
        m += w
    k = [0.0] * n
    for i in range(n):
        acc = 0.0
        for _, w in adj[i]:
            acc += w
        k[i] = acc
    result = {}
    if 2 * m < 1e-15:
        for i, label in enumerate(labels):
            result[label] = i
        return result
    c = list(range(n))
    tot = list(k)
    for _ in range(20):
        moved = False
        for i in range(n):
            old = c[i]
            ki = k[i]
            k_in = 0.0
            for j, w in adj[i]:
                if j != i and c[j] == old:
                    k_in += w
            tot[old] = tot[old] - ki
            links = {}
            for j, w in adj[i]:
                if c[j] != old:
                    links[c[j]] = links.get(c[j], 0.0) + w
            best = old
            if links:
                best_gain = k_in / m - (tot[old] * gamma * ki) / (2 * m * m)
                for comm, wc in links.items():
                    gain = wc / m - (tot[comm] * gamma * ki) / (2 * m * m)
                    if gain > best_gain + 1e-10:
                        best, best_gain = comm, gain
            c[i] = best
            tot[best] = tot[best] + ki
            if best != old:
                moved = True
        if not moved:
            break
    renumber = {}
    for i, label in enumerate(labels):
        result[label] = renumber.setdefault(c[i], len(renumber))
    return result
