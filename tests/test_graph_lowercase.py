"""Entity keys against the interpreter's own lower-casing.

The key of a name is its full lower-case mapping (final sigma included) with
leading and trailing White_Space removed. Here every code point the
interpreter's Unicode database knows is merged as a one-character name, and
the keys are compared with `name.lower()` stripped of White_Space. Code points
that database leaves unassigned (category Cn) are skipped, as are surrogates:
the module's tables may be newer, and a surrogate is not text.
"""

import unicodedata

import pytest

import lorvex_native as ln
from test_graph_models import WHITE_SPACE

BATCH = 65536


def comparable_code_points():
    kept, skipped = [], 0
    for cp in range(0x110000):
        if 0xD800 <= cp <= 0xDFFF or unicodedata.category(chr(cp)) == "Cn":
            skipped += 1
        else:
            kept.append(cp)
    return kept, skipped


def keys_by_doc(names):
    """Merges each name under its own doc id; returns {doc index: key}."""
    graph = {}
    for start in range(0, len(names), BATCH):
        batch = [(str(i), [{"name": names[i]}]) for i in range(start, min(start + BATCH, len(names)))]
        ln.merge_entities_into_graph(graph, batch)
    found = {}
    for key, rec in graph.items():
        for doc in rec["chunk_ids"]:
            found[int(doc)] = key
    return found


def test_single_code_point_names_match_python_lower():
    cps, skipped = comparable_code_points()
    print(f"\ncompared {len(cps)} code points; skipped {skipped} (unassigned in Unicode {unicodedata.unidata_version} or surrogate)")
    names = [chr(cp) for cp in cps]
    found = keys_by_doc(names)
    mismatches = [
        (f"U+{cps[i]:04X}", found.get(i, ""), name.lower().strip(WHITE_SPACE))
        for i, name in enumerate(names)
        if found.get(i, "") != name.lower().strip(WHITE_SPACE)
    ]
    assert mismatches == []


SIGMA_CASES = [
    "ΟΔΟΣ",
    "AΣ",
    "Σ",
    "AΣB",
    "A.Σ",
    "AΣ.",
    "A\u0345Σ",
    "Σ\u0345",
    "ΑΣΣ",
    "AΣ'B",
    "AΣ\u00ad",
    "AΣ\u0301B",
    "AΣ ",
    " ΣA",
    "AΣ\u00a0",
    "\u1fbcΣ",
    "İΣ",
    "1Σ",
    "ΣΣ",
    "A Σ",
    "ǅΣ",
    "ΑΣ\u2028Β",
]


@pytest.mark.parametrize("name", SIGMA_CASES)
def test_final_sigma_and_multi_character_mappings(name):
    assert keys_by_doc([name]) == {0: name.lower().strip(WHITE_SPACE)}
