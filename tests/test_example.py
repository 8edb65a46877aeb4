"""The example application end to end on a tiny tree, so that it cannot rot."""
import importlib.util
import pathlib
import textwrap

import pytest

import lorvex_native as ln

pytest.importorskip("numpy")
pytest.importorskip("tqdm")
if len(ln.__all__) < 42:
    pytest.skip("the example needs every function of the module", allow_module_level=True)

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "code_search.py"


@pytest.fixture(scope="module")
def example():
    found = importlib.util.spec_from_file_location("code_search_example", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def make_tree(root: pathlib.Path) -> None:
    (root / "pkg").mkdir(parents=True)
    (root / "pkg" / "__init__.py").write_text('"""A tiny package."""\n')
    (root / "pkg" / "decoder.py").write_text(textwrap.dedent('''
        """Decoding of numbers from text. The FloatParser reads floats."""
        import re


        class FloatParser:
            """Parse floating point numbers from a string."""

            def parse_float(self, text):
                """Return the float written in text. Uses float() on the match."""
                return float(re.match(r"[0-9.]+", text).group(0))


        class IntParser(FloatParser):
            def parse_int(self, text):
                return int(text)
    '''))
    (root / "README.md").write_text(
        "# Tiny\n\nThe FloatParser class decodes floats from strings. It is the entry point for parsing "
        "numbers, and parse_float handles the decimal point. Decoding integers is done by IntParser.\n")


def test_pipeline_runs_and_second_run_skips_ingestion(example, tmp_path, capsys):
    root = tmp_path / "tree"
    make_tree(root)
    cache = tmp_path / "cache"
    index = example.SearchIndex(root, cache, include_tests=False, quiet=True)
    index.ingest()
    assert index.stats["changed"] == 3
    assert index.stats["entities"] >= 5
    assert index.stats["new bridge edges"] >= 1
    results, timings = index.search("how does parse_float decode floats", 5, "rrf")
    assert results
    assert any(r["metadata"].get("symbol_name") == "parse_float" for r in results[:3])
    assert all("snippet" in r for r in results)

    again = example.SearchIndex(root, cache, include_tests=False, quiet=True)
    again.ingest()
    assert again.stats["changed"] == 0
    assert [c["id"] for c in again.corpus] == [c["id"] for c in index.corpus]
    weighted, _ = again.search("FloatParser", 5, "weighted")
    assert weighted

    (root / "pkg" / "decoder.py").write_text('"""Changed."""\n\ndef other_function():\n    return 1\n')
    third = example.SearchIndex(root, cache, include_tests=False, quiet=True)
    third.ingest()
    assert third.stats["changed"] == 1
    assert not any(c["metadata"].get("symbol_name") == "parse_float" for c in third.corpus)

    assert example.main(["FloatParser", "--root", str(root), "--cache", str(cache), "--quiet"]) == 0
    assert "query: 'FloatParser'" in capsys.readouterr().out
