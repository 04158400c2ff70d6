"""The type stub and vantrel_tools' hints, checked by running mypy on small callers.

In a source checkout mypy reads src/vantrel.pyi (MYPYPATH), whether or not
the module is installed. Without the checkout (tests run against an installed
wheel) mypy has to find the installed stub package, vantrel-stubs, by itself.
"""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest
from processes import run_bounded

pytest.importorskip("mypy")

SOURCE_STUB = Path(__file__).resolve().parents[2] / "src" / "vantrel.pyi"


def stub_path() -> Path:
    if SOURCE_STUB.is_file():
        return SOURCE_STUB
    # A stub-only package has no __init__.py, so it imports as a namespace package.
    spec = importlib.util.find_spec("vantrel-stubs")
    locations = list(spec.submodule_search_locations or []) if spec else []
    stubs = [Path(p) / "__init__.pyi" for p in locations if (Path(p) / "__init__.pyi").is_file()]
    assert stubs, "no source checkout and no installed vantrel-stubs package"
    return stubs[0]

GOOD_CALLER = """\
from typing import Any
import numpy as np
import numpy.typing as npt
import vantrel
from vantrel import tresk

data64: npt.NDArray[np.float64] = np.zeros((4, 2))
data32: npt.NDArray[np.float32] = np.zeros((4, 2), dtype=np.float32)
labels: npt.NDArray[np.int32] = np.array([0, 0, 1, 1], dtype=np.int32)

points: list[list[float]] = tresk(data64, [0, 0, 1, 1])
first: float = tresk(data32, labels, 10, 50, 1e-4, False, True, 3)[0][0]
tresk(data64, (0, 1, 0, 1), n_points=5, max_iter=10, tol=0, sparse=np.bool_(True),
      parallel=False, seed=None, batch_size=8, max_batches=2)
tresk(data64, b"\\x00\\x01\\x00\\x01", seed=2**63)
names: list[str] = vantrel.__all__
version: str = vantrel.__version__

from vantrel_tools import boundary_pairs, tresk_distributed
pairs: npt.NDArray[np.int64]
gaps: npt.NDArray[np.float64]
pairs, gaps = boundary_pairs(data64, [0, 0, 1, 1], points)
pairs, gaps = boundary_pairs(data32, b"\\x00\\x01\\x00\\x01", np.zeros((0, 2)))
spread: npt.NDArray[np.float64] = tresk_distributed(data32, labels, 10, tasks=2, seed=1,
                                                    sparse=False)
"""

# Each wrong line carries the marker "# wrong", so the lines mypy must report
# are found from the text itself.
BAD_CALLER = """\
import numpy as np
from vantrel import tresk

d = np.zeros((4, 2))
tresk(d, [0, 1, 0, 1], batch_size="x")  # wrong
tresk(d, [0, 1, 0, 1], 10, 5, 1e-3, True, True, 0, 64)  # wrong
tresk(np.zeros((4, 2), dtype=np.float16), [0, 1, 0, 1])  # wrong
tresk(np.zeros((4, 2), dtype=np.int64), [0, 1, 0, 1])  # wrong
tresk([[0.0, 1.0], [1.0, 0.0]], [0, 1])  # wrong
tresk(d, "ab")  # wrong
tresk(d, np.zeros(4))  # wrong
tresk(d, [0, 1, 0, 1], seed="7")  # wrong
tresk(d, [0, 1, 0, 1], tol="small")  # wrong
tresk(d, [0, 1, 0, 1], colour=1)  # wrong
tresk(d)  # wrong
count: int = tresk(d, [0, 1, 0, 1])  # wrong
import vantrel
release: int = vantrel.__version__  # wrong
from vantrel_tools import boundary_pairs, tresk_distributed
boundary_pairs(d, [0, 1, 0, 1])  # wrong
tresk_distributed(d, [0, 1, 0, 1], 10, 2)  # wrong
"""


def run_mypy(tmp_path: Path, source: str) -> subprocess.CompletedProcess[str]:
    caller = tmp_path / "caller.py"
    caller.write_text(source)
    env = dict(os.environ)
    if SOURCE_STUB.is_file():
        env["MYPYPATH"] = str(SOURCE_STUB.parent)
    return run_bounded(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(tmp_path / "mypy-cache"), str(caller)],
        env=env, cwd=tmp_path, timeout=300)


def test_correct_calls_type_check(tmp_path: Path) -> None:
    result = run_mypy(tmp_path, GOOD_CALLER)
    assert result.returncode == 0, result.stdout + result.stderr


def test_every_wrong_call_is_reported(tmp_path: Path) -> None:
    result = run_mypy(tmp_path, BAD_CALLER)
    assert result.returncode == 1, result.stdout + result.stderr
    reported = {int(line.split(":")[1]) for line in result.stdout.splitlines()
                if ": error:" in line}
    expected = {number for number, line in enumerate(BAD_CALLER.splitlines(), start=1)
                if line.endswith("# wrong")}
    assert reported == expected, result.stdout


def test_stub_signature_matches_the_module() -> None:
    """Names, kinds and defaults in the stub agree with the compiled function."""
    import ast
    import inspect

    vantrel = pytest.importorskip("vantrel")
    tree = ast.parse(stub_path().read_text())
    stub = next(node for node in tree.body
                if isinstance(node, ast.FunctionDef) and node.name == "tresk")
    args = stub.args
    positional = [(a.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD) for a in args.args]
    keyword = [(a.arg, inspect.Parameter.KEYWORD_ONLY) for a in args.kwonlyargs]
    required = object()
    defaults = [None] * (len(args.args) - len(args.defaults)) + list(args.defaults)
    stub_params = [(name, kind, required if default is None else ast.literal_eval(default))
                   for (name, kind), default in zip(positional + keyword,
                                                    defaults + list(args.kw_defaults))]
    empty = inspect.Parameter.empty
    runtime = [(p.name, p.kind, required if p.default is empty else p.default)
               for p in inspect.signature(vantrel.tresk).parameters.values()]
    assert stub_params == runtime
    all_names = next(ast.literal_eval(node.value) for node in tree.body
                     if isinstance(node, ast.Assign) and node.targets[0].id == "__all__")
    assert all_names == vantrel.__all__
