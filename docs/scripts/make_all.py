"""Regenerate every figure and table the guide quotes.

    python docs/scripts/make_all.py            # all of them, a few minutes
    python docs/scripts/make_all.py cost       # only the scripts whose name holds "cost"

Writes docs/figures/*.png and docs/results/*.md (each headed by date, CPU,
load and vantrel version), prints the tables, and copies each table into
docs/guide.md between its markers

    <!-- begin results/NAME.md -->
    <!-- end results/NAME.md -->

so the guide shows what the last run measured. Running it again overwrites
all of these and nothing else. Timings depend on the machine and on what else runs on it: compare the
load average in each result's heading.
"""

from __future__ import annotations

import importlib
import re
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

DOCS = Path(__file__).resolve().parents[1]
SCRIPTS = ["fig_method", "table_offset", "table_margin", "fig_coverage", "table_preparation",
           "table_cost", "fig_nearest", "fig_slice"]


def splice_results(guide: Path) -> None:
    """Replace the text between each pair of result markers by that result file."""
    def body(match: re.Match) -> str:
        result = (DOCS / match[1]).read_text().rstrip("\n")
        return f"<!-- begin {match[1]} -->\n{result}\n<!-- end {match[1]} -->"

    text = guide.read_text()
    guide.write_text(re.sub(r"<!-- begin (results/[\w-]+\.md) -->\n.*?<!-- end \1 -->", body,
                            text, flags=re.S))


def main(argv: list[str]) -> int:
    chosen = [s for s in SCRIPTS if not argv or any(word in s for word in argv)]
    began = time.perf_counter()
    for name in chosen:
        start = time.perf_counter()
        print(f"== {name}", flush=True)
        importlib.import_module(name).main()
        print(f"== {name}: {time.perf_counter() - start:.0f} s\n", flush=True)
    splice_results(DOCS / "guide.md")
    print(f"all done in {time.perf_counter() - began:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
