# Progress of long calls: one record that every function advances as it goes.
#
# progress_of(flag, ...) is a context manager yielding a Progress. Off (the
# default), the record holds no bar and advance() only adds to a counter: no
# import, no clock, no output. On, it drives a tqdm bar (terminal or notebook)
# when tqdm imports, else it writes a plain line to stderr every INTERVAL
# seconds. Either way the output goes to stderr, never stdout, and leaving
# the block closes the bar, whether by a result, an exception or Ctrl-C.
from __future__ import annotations

import contextlib
import importlib
import sys
import time
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np

# Seconds between plain lines; tqdm redraws at most every 0.1 s itself. One
# advance() costs 0.08 us off, 0.24 us with tqdm and 0.13 us plain; in the
# calls of benchmarks/bench_progress.py (2-core EPYC at load 3.0 to 3.8,
# median of 5 best-of-3, on and off alternating) the steps took 0.23% of
# boundary_pairs (553 blocks, 0.73 s), 0.09% of nearest_boundary (300
# queries, 0.33 s) and 0.16% of tresk_distributed (34 tasks, 0.06 s), while
# the calls' times on and off differed by -9% to +0.6%, the load's noise.
INTERVAL = 5.0


@dataclass
class Progress:
    """Counts what a call is made of: `done` of `total` `unit`, and how it shows them."""

    label: str
    total: int
    unit: str
    done: int = 0
    bar: Any = None  # a tqdm bar, when one shows the count
    plain: bool = False  # plain lines on stderr instead
    start: float = 0.0
    next_line: float = 0.0
    lines: int = 0
    note: str = ""

    @property
    def on(self) -> bool:
        return self.bar is not None or self.plain

    def advance(self, count: int = 1) -> None:
        self.reach(self.done + count)

    def reach(self, done: int) -> None:
        """Sets the count (it never goes back)."""
        if done <= self.done:
            return
        step, self.done = done - self.done, done
        if self.bar is not None:
            self.bar.update(step)
        elif self.plain and time.monotonic() >= self.next_line:
            self._line()

    def grow(self, total: int) -> None:
        """Sets the total, for counts only known as the call goes (rounds, open cells)."""
        self.total = total
        if self.bar is not None:
            self.bar.total = total
            self.bar.refresh()

    def describe(self, note: str) -> None:
        """A short note after the count, such as the round."""
        self.note = note
        if self.bar is not None:
            self.bar.set_postfix_str(note)

    def _line(self) -> None:
        now = time.monotonic()
        elapsed = now - self.start
        text = f"{self.label}: {self.done}/{self.total} {self.unit}, {elapsed:.1f} s"
        if 0 < self.done < self.total:
            text += f", about {elapsed * (self.total - self.done) / self.done:.0f} s left"
        if self.note:
            text += f" ({self.note})"
        print(text, file=sys.stderr, flush=True)
        self.lines += 1
        self.next_line = now + INTERVAL


def checked_flag(progress: Any) -> bool:
    if not isinstance(progress, (bool, np.bool_)):
        raise TypeError(f"progress must be a bool, not {type(progress).__name__}")
    return bool(progress)


def _tqdm() -> Any:
    """tqdm's bar for terminals and notebooks, or None without tqdm."""
    try:
        module = importlib.import_module("tqdm.auto")  # not at package import: it is optional
    except ImportError:
        return None
    return module.tqdm


@contextlib.contextmanager
def progress_of(progress: bool, label: str, total: int, unit: str) -> Iterator[Progress]:
    """A Progress for one call, shown when `progress` is on and closed on every way out."""
    record = Progress(label, total, unit)
    if progress:
        bar = _tqdm()
        if bar is not None:
            record.bar = bar(total=total, desc=label, unit=f" {unit}", file=sys.stderr,
                             dynamic_ncols=True, leave=True)
        else:
            record.plain = True
            record.start = time.monotonic()
            record.next_line = record.start + INTERVAL
    try:
        yield record
    finally:
        if record.bar is not None:
            record.bar.close()
        elif record.lines:  # a call long enough to report ends with its last count
            record._line()
