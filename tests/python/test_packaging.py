"""The package as a user gets it: license and version in its metadata, the
citation and change log in step with the version, and installs from a
checkout that is read-only or from a machine without a C++ compiler.

The install tests build the package from a copy of the checkout into fresh
virtual environments (build dependencies come from the package index), so they
are slow and skip when the tests run away from a checkout.
"""

from __future__ import annotations

import importlib.metadata
import os
import re
import shutil
import stat
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest

import vantrel
from processes import run_bounded

ROOT = Path(__file__).resolve().parents[2]
IN_CHECKOUT = (ROOT / "pyproject.toml").is_file() and (ROOT / "src" / "lib.cpp").is_file()
needs_checkout = pytest.mark.skipif(not IN_CHECKOUT, reason="needs the source checkout")
LICENSE_TITLE = "BSD 3-Clause License"
COPYRIGHT = re.compile(r"^Copyright \(c\) \d{4}, The vantrel developers$", re.M)


def project() -> dict:
    with (ROOT / "pyproject.toml").open("rb") as f:
        return tomllib.load(f)["project"]


# --------------------------------------------------------------------------
# Metadata

def test_installed_metadata_carries_the_license():
    metadata = importlib.metadata.metadata("vantrel")
    assert metadata["License-Expression"] == "BSD-3-Clause"
    assert metadata.get_all("License-File") == ["LICENSE"]
    files = [f for f in importlib.metadata.files("vantrel") if f.name == "LICENSE"]
    assert len(files) == 1
    text = files[0].read_text()
    assert text.startswith(LICENSE_TITLE) and COPYRIGHT.search(text)


def test_pip_show_names_the_license():
    shown = run_bounded([sys.executable, "-m", "pip", "show", "vantrel"], timeout=120, check=True).stdout
    assert re.search(r"^License(-Expression)?: BSD-3-Clause$", shown, re.M), shown
    assert re.search(rf"^Version: {re.escape(vantrel.__version__)}$", shown, re.M), shown


def test_the_typed_companion_is_installed_beside_the_module():
    files = {str(f) for f in importlib.metadata.files("vantrel")}
    assert {"vantrel_tools/__init__.py", "vantrel_tools/py.typed"} <= files
    requires = importlib.metadata.requires("vantrel")
    assert any(r.startswith("threadpoolctl") for r in requires), requires
    assert any(r.startswith("scipy>") for r in requires), requires  # nearest_boundary's solver
    assert any(r.startswith("dask[distributed]") and 'extra == "dask"' in r for r in requires)
    assert vantrel.__all__ == ["tresk"]  # the module itself keeps its one name


@needs_checkout
def test_license_file_and_metadata_agree():
    text = (ROOT / "LICENSE").read_text()
    assert text.startswith(LICENSE_TITLE) and COPYRIGHT.search(text)
    assert project()["license"] == "BSD-3-Clause"
    assert project()["license-files"] == ["LICENSE"]


@needs_checkout
def test_citation_names_this_version_and_license():
    citation = (ROOT / "CITATION.cff").read_text()
    fields = dict(re.findall(r'^([a-z-]+): "?([^"\n]*)"?$', citation, re.M))
    assert fields["cff-version"] == "1.2.0"
    assert fields["title"] == "vantrel"
    assert fields["version"] == project()["version"]
    assert fields["license"] == "BSD-3-Clause"
    assert re.search(r"^authors:\n  - name: ", citation, re.M)


@needs_checkout
def test_change_log_starts_at_this_version():
    headings = re.findall(r"^## (\S+)", (ROOT / "CHANGELOG.md").read_text(), re.M)
    assert headings and headings[0] == project()["version"]


# --------------------------------------------------------------------------
# Installs from a checkout

def copy_checkout(destination: Path) -> Path:
    """The checkout's files without build output, environments or caches."""
    skip = {".git", ".venv", "build", "dist", "__pycache__", ".pytest_cache", ".mypy_cache",
            ".hypothesis"}
    shutil.copytree(ROOT, destination, ignore=lambda _, names: [n for n in names if n in skip])
    return destination


def snapshot(tree: Path) -> dict[str, tuple[int, int]]:
    return {str(p.relative_to(tree)): (p.stat().st_size, p.stat().st_mtime_ns)
            for p in sorted(tree.rglob("*"))}


def set_writable(tree: Path, writable: bool) -> None:
    for path in [tree, *tree.rglob("*")]:
        mode = path.stat().st_mode
        write = stat.S_IWUSR | stat.S_IWGRP | stat.S_IWOTH
        os.chmod(path, (mode | stat.S_IWUSR) if writable else (mode & ~write))


def read_only_mount_prefix(tree: Path) -> list[str]:
    """A command prefix that runs a command with `tree` mounted read-only.

    Root ignores permission bits, so there a read-only bind mount in a private
    mount namespace does the job; other users are stopped by the bits alone.
    """
    if os.geteuid() != 0:
        return []
    prefix = ["unshare", "--mount", "sh", "-c", 'mount --bind -o ro "$0" "$0" && exec "$@"', str(tree)]
    probe = subprocess.run(prefix + ["touch", str(tree / "probe")], capture_output=True, text=True)
    if probe.returncode == 0 or "Read-only file system" not in probe.stderr:
        (tree / "probe").unlink(missing_ok=True)
        pytest.skip(f"running as root without a read-only mount: {probe.stderr.strip()}")
    return prefix


@pytest.fixture
def read_only_checkout(tmp_path: Path):
    tree = copy_checkout(tmp_path / "checkout")
    set_writable(tree, False)
    yield tree
    set_writable(tree, True)


def fresh_venv(path: Path) -> Path:
    run_bounded([sys.executable, "-m", "venv", str(path)], check=True, timeout=300)
    return path / "bin" / "python"


def pip_install(python: Path, source: Path, prefix: list[str], env: dict | None = None):
    child_env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    child_env.update(env or {})
    return run_bounded(prefix + [str(python), "-m", "pip", "install", "--no-cache-dir", str(source)],
                       timeout=1200, env=child_env, cwd=source.parent)


@pytest.mark.slow
@needs_checkout
def test_install_from_a_read_only_checkout(read_only_checkout: Path, tmp_path: Path):
    prefix = read_only_mount_prefix(read_only_checkout)
    before = snapshot(read_only_checkout)
    python = fresh_venv(tmp_path / "venv")
    result = pip_install(python, read_only_checkout, prefix)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-8000:]
    assert snapshot(read_only_checkout) == before  # nothing written into the checkout
    check = run_bounded(
        [str(python), "-c", "import vantrel, vantrel_tools, numpy as np; "
         "print(vantrel.__version__, len(vantrel.tresk(np.eye(3), [0, 1, 1], n_points=4, "
         "sparse=False, seed=0)))"],
        timeout=120, cwd=tmp_path)
    assert check.stdout.split() == [project()["version"], "4"], check.stderr


@pytest.mark.slow
@needs_checkout
def test_install_without_a_compiler_fails_cleanly(read_only_checkout: Path, tmp_path: Path):
    # pip's own failure, and no half-installed package left behind.
    python = fresh_venv(tmp_path / "venv")
    result = pip_install(python, read_only_checkout, read_only_mount_prefix(read_only_checkout),
                         env={"CXX": "/nonexistent/c++", "CC": "/nonexistent/cc"})
    assert result.returncode != 0
    assert "Failed to build" in result.stderr or "subprocess-exited-with-error" in result.stderr, \
        result.stderr[-8000:]
    assert "CMAKE_CXX_COMPILER" in result.stdout + result.stderr
    show = run_bounded([str(python), "-m", "pip", "show", "vantrel"], timeout=120)
    assert show.returncode == 1 and "not found" in show.stderr.lower()
