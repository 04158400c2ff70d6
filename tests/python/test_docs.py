"""The Python blocks of README.md and docs/*.md run as printed.

Every block fenced as ```python is one test. The blocks of one file run in
order in one namespace, so a later block may use what an earlier one defined;
selecting a single block runs the blocks before it first. A block that cannot
run here (it needs an optional package, a long run or a cluster) is marked by
an HTML comment on the line right above its fence, which the rendered page
does not show:

    <!-- skip: needs dask.distributed -->
    ```python
    ...

Warnings are errors while a block runs: a shortfall warning would contradict
the text around the block. Blocks must be fast (a second or two each).
"""

from __future__ import annotations

import re
import warnings
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
IN_CHECKOUT = (ROOT / "pyproject.toml").is_file() and (ROOT / "src" / "lib.cpp").is_file()
FENCE = re.compile(r"^```python[ \t]*\n(.*?)^```[ \t]*$", re.M | re.S)
SKIP = re.compile(r"<!--\s*skip:\s*(.*?)\s*-->\s*$")


def documents() -> list[Path]:
    if not IN_CHECKOUT:
        return []
    return [p for p in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))] if p.is_file()]


def python_blocks(text: str) -> list[tuple[int, str, str | None]]:
    """(line of the fence, code, skip reason or None) for each ```python block."""
    blocks = []
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start()) + 1
        above = text[:match.start()].rstrip("\n").rsplit("\n", 1)[-1]
        skip = SKIP.search(above)
        blocks.append((line, match[1], skip[1] if skip else None))
    return blocks


CASES = [(doc, index, block) for doc in documents()
         for index, block in enumerate(python_blocks(doc.read_text()))]
# Per file: the shared namespace and how many of its blocks have run in it.
NAMESPACES: dict[Path, tuple[dict, list[int]]] = {}


def run_block(doc: Path, line: int, code: str, namespace: dict) -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        exec(compile(code, f"{doc.relative_to(ROOT)}:{line}", "exec"), namespace)


@pytest.mark.skipif(not IN_CHECKOUT, reason="needs the source checkout's Markdown files")
@pytest.mark.parametrize(
    "doc, index, block",
    CASES or [pytest.param(None, 0, None, marks=pytest.mark.skip("no documents found"))],
    ids=[f"{doc.relative_to(ROOT)}:{block[0]}" for doc, _, block in CASES] or ["none"])
def test_python_block_runs(doc, index, block, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)  # a block that writes a file writes it here
    namespace, done = NAMESPACES.setdefault(doc, ({"__name__": "__doc_block__"}, [0]))
    blocks = python_blocks(doc.read_text())
    for line, code, skip in blocks[done[0]:index]:
        if skip is None:
            run_block(doc, line, code, namespace)
    done[0] = index + 1
    line, code, skip = block
    if skip is not None:
        pytest.skip(skip)
    run_block(doc, line, code, namespace)


def test_collector_reads_fences_and_skip_marks():
    text = ("x\n```python\na = 1\n```\n<!-- skip: needs a cluster -->\n```python\nb = 2\n```\n"
            "```sh\nls\n```\n```python\n\nc = 3\n```\n")
    assert python_blocks(text) == [(2, "a = 1\n", None), (6, "b = 2\n", "needs a cluster"),
                                   (12, "\nc = 3\n", None)]
