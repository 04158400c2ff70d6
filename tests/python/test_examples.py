"""The example scripts run, write what they say and print figures that hold up.

The scripts are run as a user would (a subprocess), with small budgets. Their
printed figures are checked against geometry computed here independently: a
point on the decision boundary sits on a Voronoi edge between rows of
different classes, so every neighbouring pair the demo counts must be one of
the data's cross-class Voronoi neighbours.
"""

import importlib.util
import re
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
if not (EXAMPLES / "demo.py").is_file():
    # Tests run against an installed wheel, away from the checkout.
    pytest.skip("needs the source checkout's examples/ and README.md", allow_module_level=True)

pytest.importorskip("matplotlib")
spatial = pytest.importorskip("scipy.spatial")
pytest.importorskip("sklearn")

import vantrel  # noqa: E402
from processes import run_bounded  # noqa: E402
from vantrel_tools import boundary_pairs  # noqa: E402

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
SUMMARY_ROW = re.compile(r"^(sparse|dense)\s+(\d+)\s+(\d+)\s+(\S+)\s+([\d.]+)$", re.M)
SHARE_ROW = re.compile(
    r"^\s*(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+([\d.]+)\s+(?:[+-][\d.]+\s+)?[\d.]+s", re.M)


def run(script: str, *args: str, cwd: Path | None = None) -> str:
    result = run_bounded([sys.executable, str(EXAMPLES / script), *args], timeout=300, cwd=cwd)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def load(script: str):
    spec = importlib.util.spec_from_file_location(script.removesuffix(".py"),
                                                  EXAMPLES / script)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def summary(stdout: str) -> dict[str, tuple[int, int, float]]:
    rows = {m[1]: (int(m[2]), int(m[3]), float(m[4])) for m in SUMMARY_ROW.finditer(stdout)}
    assert set(rows) == {"sparse", "dense"}, stdout
    return rows


def cross_class_neighbours(data: np.ndarray, y: np.ndarray) -> set[tuple[int, int]]:
    ridges = spatial.Voronoi(data).ridge_points
    return {(int(min(p, q)), int(max(p, q))) for p, q in ridges if y[p] != y[q]}


@pytest.mark.parametrize("seed", [1, 5])
def test_demo_summary_matches_the_geometry(tmp_path, seed):
    n_points = 40
    picture = tmp_path / "demo.png"
    stdout = run("demo.py", "--seed", str(seed), "--n-points", str(n_points),
                 "--output", str(picture))
    assert str(picture) in stdout

    demo = load("demo.py")
    data, y = demo.make_spirals(seed)
    neighbours = cross_class_neighbours(data, y)
    extent = float(np.ptp(data, axis=0).max())
    rows = summary(stdout)
    for mode, sparse in (("sparse", True), ("dense", False)):
        points = np.array(vantrel.tresk(data, y, n_points=n_points, sparse=sparse, seed=seed))
        pairs = {tuple(p) for p in boundary_pairs(data, y, points)[0].tolist()}
        assert pairs <= neighbours, f"{mode}: pairs that are not Voronoi neighbours"
        printed_points, printed_pairs, printed_gap = rows[mode]
        assert (printed_points, printed_pairs) == (len(points), len(pairs))
        assert 1 <= printed_pairs <= printed_points <= n_points
        # A point stops once its last move was at most sqrt(tol) = 1e-3 long, and
        # a move of length t changes the distance gap by at most 2t per row.
        assert printed_gap * extent <= 4e-3, f"{mode}: points are not on the boundary"
    assert rows["dense"][0] == n_points
    # Sparse mode keeps one point per new pair of rows; recomputed in float64,
    # a point that stopped within the tolerance near a Voronoi vertex may name
    # a neighbouring pair instead, so allow a few repeats.
    assert rows["sparse"][1] >= 0.9 * rows["sparse"][0]
    assert f"most distinct pairs possible): {len(neighbours)}" in stdout


@pytest.mark.parametrize("output", ["nested/boundary.png", None], ids=["--output", "default"])
def test_demo_writes_a_readable_png(tmp_path, output):
    import matplotlib.pyplot as plt

    # By default the picture goes to the current folder, never beside the script.
    picture = tmp_path / (output or "vantrel-demo.png")
    run("demo.py", "--n-points", "20", *(["--output", str(picture)] if output else []), cwd=tmp_path)
    assert picture.read_bytes()[:8] == PNG_SIGNATURE
    pixels = plt.imread(picture)
    assert pixels.shape[0] >= 300 and pixels.shape[1] >= 600 and pixels.shape[2] in (3, 4)
    # Not a blank canvas: several distinct colours are drawn.
    assert len(np.unique(pixels[..., :3].reshape(-1, 3), axis=0)) > 50


def test_demo_help_lists_the_options():
    stdout = run("demo.py", "--help")
    for option in ("--seed", "--n-points", "--output"):
        assert option in stdout


def test_boundary_share_quick_prints_shares_in_range():
    stdout = run("boundary_share.py", "--quick")
    rows = SHARE_ROW.findall(stdout)
    assert len(rows) == 2, stdout  # the two quick budgets
    for n_points, _, points, pairs, boundary_rows, share in rows:
        points, pairs, boundary_rows = int(points), int(pairs), int(boundary_rows)
        assert 0 < float(share) <= 1
        assert float(share) == pytest.approx(boundary_rows / 150, abs=5e-4)
        assert 1 <= pairs <= points <= int(n_points)
        # Each pair brings at most two new rows.
        assert 2 <= boundary_rows <= 2 * pairs
    exact = re.search(r"^exact share \(a linear program per row, a random sample of 40 rows\): ([\d.]+)",
                      stdout, re.M)
    assert exact and 0 < float(exact[1]) <= 1, stdout


@pytest.mark.parametrize("dim", [2, 3])
def test_boundary_share_exact_rows_agree_with_delaunay(dim):
    share = load("boundary_share.py")
    rng = np.random.default_rng(dim)
    data = rng.uniform(size=(60, dim))
    y = (data.sum(axis=1) > dim / 2).astype(int)
    simplices = spatial.Delaunay(data).simplices
    touching = np.zeros(len(data), dtype=bool)
    for simplex in simplices:
        for p in simplex:
            for q in simplex:
                if y[p] != y[q]:
                    touching[p] = True
    assert touching.any() and not touching.all()
    found = np.array([share.touches_other_class(data, y, i) for i in range(len(data))])
    assert np.array_equal(found, touching)


def test_boundary_share_removes_rows_that_clash_across_classes(capsys):
    share = load("boundary_share.py")
    rng = np.random.default_rng(3)
    data = rng.normal(size=(30, 3))
    y = np.arange(30) % 3
    data[8] = data[4]          # rows 4 and 8: same point, different classes
    data[12] = data[9]         # rows 9 and 12: same point, same class (allowed)
    with pytest.raises(ValueError, match="identical after normalization"):
        vantrel.tresk(data, y, n_points=1, sparse=False)
    kept, kept_y = share.usable("clash", data, y)
    expected = np.delete(np.arange(30), [4, 8])
    assert np.array_equal(kept, data[expected]) and np.array_equal(kept_y, y[expected])
    assert "2 rows coincide" in capsys.readouterr().out
    assert vantrel.tresk(kept, kept_y, n_points=5, sparse=False, seed=0)


def test_scale_out_quick_gives_the_same_points_on_both_engines():
    pytest.importorskip("distributed")
    stdout = run("scale_out.py", "--quick")
    assert re.search(r"^cluster: 300 points on 300 distinct pairs", stdout, re.M), stdout
    assert "same points on both: yes" in stdout


def test_readme_blocks_do_what_their_comments_say():
    readme = (EXAMPLES.parent / "README.md").read_text()
    scope: dict = {}
    for title in ("## Quick start", "## From points to answers, and more machines"):
        section = readme.split(title, 1)[1].split("\n## ", 1)[0]
        code = re.search(r"```python\n(.*?)```", section, re.S)[1]
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # a shortfall warning would contradict the comments
            exec(compile(code, f"README {title}", "exec"), scope)
    assert len(scope["dense"]) == 500
    for points in (scope["points"], scope["points"].tolist()):
        assert len(points) == 50 and all(len(p) == 2 for p in points)
    assert len(set(map(tuple, scope["pairs"].tolist()))) == 50 and scope["gaps"].max() < 1e-3
