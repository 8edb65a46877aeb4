"""Minimal end-to-end run of lorvex_native over the standard library's docstrings."""
from __future__ import annotations

import ast
import pathlib
import sysconfig

import lorvex_native as ln


def main() -> None:
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    docs = []
    for path in sorted(root.glob("*.py"))[:200]:
        try:
            tree = ast.parse(path.read_text(encoding="utf-8"))
        except (SyntaxError, UnicodeDecodeError):
            continue
        text = ast.get_docstring(tree)
        if text:
            docs.append({"id": path.name, "text": text, "metadata": {"file_path": str(path)}})
    cleaned = ln.preprocess_documents(docs, 64)
    print(f"{len(cleaned)} documents preprocessed")
    for doc in cleaned[:5]:
        print(f"{doc['id']}: {doc['text'][:100]}")


if __name__ == "__main__":
    main()
