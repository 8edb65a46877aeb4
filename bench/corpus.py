"""Real text available offline on every machine: the standard library's sources and docstrings."""
from __future__ import annotations

import ast
import pathlib
import sysconfig


def stdlib_files(limit: int | None = None) -> list[pathlib.Path]:
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    files = sorted(p for p in root.rglob("*.py") if "site-packages" not in p.parts)
    return files[:limit] if limit else files


def stdlib_chunks(n_docs: int, chunk_lines: int = 20) -> list[dict]:
    """Documents cut from the standard library: docstrings first, then source chunks."""
    docs: list[dict] = []
    sources: list[tuple[str, str]] = []
    for path in stdlib_files():
        try:
            src = path.read_text(encoding="utf-8")
        except (UnicodeDecodeError, OSError):
            continue
        sources.append((str(path), src))
        try:
            tree = ast.parse(src)
        except (SyntaxError, ValueError):
            continue
        for node in ast.walk(tree):
            if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
                doc = ast.get_docstring(node)
                if doc:
                    docs.append({"id": f"{path}:{getattr(node, 'lineno', 0)}", "text": doc,
                                 "metadata": {"file_path": str(path)}})
                    if len(docs) >= n_docs:
                        return docs
    for name, src in sources:
        lines = src.splitlines()
        for i in range(0, len(lines), chunk_lines):
            docs.append({"id": f"{name}#{i}", "text": "\n".join(lines[i:i + chunk_lines]),
                         "metadata": {"file_path": name}})
            if len(docs) >= n_docs:
                return docs
    return docs
