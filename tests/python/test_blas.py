"""The BLAS the module links: what threadpoolctl sees and limits, a clear
ImportError when the library is missing, and forks while other threads are
inside products."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vantrel
from processes import run_bounded
from test_fuzz import SANITIZED, run_python

threadpoolctl = pytest.importorskip("threadpoolctl")


def module_blas_entries() -> list[dict]:
    """threadpoolctl's entries for the OpenBLAS mapped from the module's own dependency."""
    with open("/proc/self/maps") as maps:
        mapped = {line.split()[-1] for line in maps if "libscipy_openblas.so" in line}
    return [lib for lib in threadpoolctl.threadpool_info()
            if lib["internal_api"] == "openblas" and lib["filepath"] in mapped]


@pytest.mark.skipif(SANITIZED, reason="the sanitizer run may load the module from a build folder")
def test_threadpoolctl_sees_and_limits_the_modules_blas():
    entries = module_blas_entries()
    assert len(entries) == 1, threadpoolctl.threadpool_info()
    blas = entries[0]
    assert blas["filepath"].endswith(os.path.join("scipy_openblas32", "lib", "libscipy_openblas.so"))
    assert blas["version"] and blas["architecture"]
    with threadpoolctl.threadpool_limits(1, user_api="blas"):
        assert module_blas_entries()[0]["num_threads"] == 1
    assert module_blas_entries()[0]["num_threads"] == blas["num_threads"]


def installed_module() -> Path:
    module = Path(vantrel.__file__).resolve()
    if module.parent.name not in ("site-packages", "dist-packages"):
        pytest.skip(f"the module is not installed but loaded from {module.parent}")
    return module


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf not available")
def test_installed_module_finds_the_library_beside_itself():
    # pip, auditwheel and patchelf may each rewrite the search path; the
    # installed module must still look only next to itself in site-packages.
    module = installed_module()
    dynamic = subprocess.run(["readelf", "-d", str(module)], capture_output=True, text=True,
                             check=True).stdout
    paths = [line.split("[", 1)[1].rstrip("]") for line in dynamic.splitlines()
             if "(RUNPATH)" in line or "(RPATH)" in line]
    assert paths == ["$ORIGIN/scipy_openblas32/lib"], dynamic
    with open("/proc/self/maps") as maps:
        mapped = {line.split()[-1] for line in maps if "libscipy_openblas.so" in line}
    assert mapped == {str(module.parent / "scipy_openblas32" / "lib" / "libscipy_openblas.so")}


@pytest.mark.skipif(SANITIZED, reason="a module in a build folder finds the library by an absolute path")
def test_missing_blas_is_an_import_error_naming_it(tmp_path: Path):
    # A copy of the module away from site-packages cannot find the library
    # through its relative search path.
    module = Path(vantrel.__file__)
    shutil.copy(module, tmp_path / module.name)
    env = {k: v for k, v in os.environ.items() if k not in ("LD_LIBRARY_PATH", "LD_PRELOAD")}
    env["PYTHONPATH"] = str(tmp_path)
    proc = run_bounded([sys.executable, "-c", "import vantrel"], env=env, cwd=tmp_path, timeout=60)
    assert proc.returncode == 1, proc.stderr
    assert "ImportError" in proc.stderr and "libscipy_openblas.so" in proc.stderr, proc.stderr


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator is not fork-safe")
@pytest.mark.parametrize("threads", [2, 8])
def test_fork_while_threads_make_products(threads):
    # Children forked while other threads are inside products (two BLAS
    # threads each) make a seeded call of their own and must get the parent's
    # points; a hang is killed with the child interpreter's process group.
    run_python(f"""
        import os, threading, time, warnings
        import numpy as np, vantrel
        from threadpoolctl import threadpool_limits
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads running
        rng = np.random.default_rng(0)
        X = rng.standard_normal((3000, 16)); y = [0, 1, 2] * 1000
        small = dict(n_points=50, sparse=False, seed=3)
        with threadpool_limits(2, user_api="blas"):
            expected = vantrel.tresk(X, y, **small)
            stop = threading.Event()
            def busy(k):
                while not stop.is_set():
                    vantrel.tresk(X, y, n_points=300, sparse=k % 2 == 0, seed=k, parallel=k % 3 != 0)
            workers = [threading.Thread(target=busy, args=(k,)) for k in range({threads})]
            for w in workers: w.start()
            time.sleep(0.2)
            for i in range(15):
                pid = os.fork()
                if pid == 0:
                    os._exit(0 if vantrel.tresk(X, y, **small) == expected else 3)
                _, status = os.waitpid(pid, 0)
                assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, f"child {{i}}: status {{status}}"
                time.sleep(0.01)
            stop.set()
            for w in workers: w.join()
    """, timeout=300)
