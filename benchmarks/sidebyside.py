"""Helpers for timing this build against a baseline build, side by side.

A baseline is a build folder holding another build of the module (made by
benchmarks/build_baseline.sh: the last commit on Debian's OpenBLAS 0.3.21).
Each timing runs in a child process with that folder first on PYTHONPATH, so
the two builds never share a process, and the benchmarks alternate between
them round by round so that drift of the machine hits both alike.
"""

from __future__ import annotations

import contextlib
import json
import os
import pathlib
import subprocess
import sys
import time
from collections.abc import Iterator

ROOT = pathlib.Path(__file__).resolve().parent.parent
DEFAULT_BASELINE = ROOT / "build" / "baseline"


def baseline_dir(arg: str | None) -> pathlib.Path | None:
    """The baseline folder asked for, or the default one when it was built; None for none."""
    if arg == "none":
        return None
    path = pathlib.Path(arg) if arg else DEFAULT_BASELINE
    if not list(path.glob("vantrel*.so")):
        if arg:
            sys.exit(f"no vantrel module in {path}; build one with: bash benchmarks/build_baseline.sh")
        return None
    return path


def parse_env(pairs: list[str] | None) -> dict[str, str]:
    """KEY=VALUE settings for the baseline's processes (for example
    OPENBLAS_CORETYPE=Prescott, to run its library on the kernels it falls back
    to on CPUs it does not know)."""
    return dict(pair.split("=", 1) for pair in pairs or [])


def run_child(argv: list[str], module_dir: pathlib.Path | None, extra_env: dict[str, str] | None = None) -> dict:
    """Runs a benchmark worker in a child process; module_dir, when given, is
    searched for the vantrel module before the installed one."""
    env = dict(os.environ)
    env.update(extra_env or {})
    if module_dir is not None:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(module_dir), env.get("PYTHONPATH", "")]))
    proc = subprocess.run([sys.executable, *argv], check=True, capture_output=True, text=True, env=env)
    return json.loads(proc.stdout.strip().splitlines()[-1])


@contextlib.contextmanager
def one_core_busy(busy: bool = True) -> Iterator[None]:
    """Keeps one core busy with a spinning process for the length of the block."""
    if not busy:
        yield
        return
    spinner = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    try:
        time.sleep(0.3)
        yield
    finally:
        spinner.kill()
        spinner.wait()


def machine_line() -> str:
    """CPU model, load and the BLAS each build runs, for the report's header."""
    model = "unknown CPU"
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    load = os.getloadavg()[0]
    return f"{model}, {os.cpu_count()} CPUs, load average {load:.2f} at start"
