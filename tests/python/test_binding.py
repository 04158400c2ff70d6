"""The Python surface of vantrel: module, signature, argument binding,
conversions and their failures, element-type dispatch, warnings and results.

Most cases need no search at all: a call that gets past binding and the
parameter checks is stopped by a later, precisely known check (labels all
equal, constant data), which shows how far it got and with which values.
"""

import importlib.metadata
import importlib.util
import inspect
import itertools
import os
import shutil
import subprocess
import sys
import threading
import tomllib
import types
import warnings
from pathlib import Path

import numpy as np
import pytest

import vantrel
from processes import run_bounded

DATA = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [1.0, 1.0]])
LABELS = [0, 0, 1, 1]
SAME_LABELS = [7, 7, 7, 7]
CONSTANT = np.ones((4, 2))

LABEL_MESSAGE = "y must contain at least two different classes"
DISTINCT_MESSAGE = "data must contain at least two distinct points"
DTYPE_MESSAGE = "data must be a two-dimensional NumPy array with dtype float32 or float64"
BLAS_MESSAGE = "data dimensions exceed the supported BLAS integer range"
PYPROJECT = Path(__file__).resolve().parents[2] / "pyproject.toml"


def raises_exactly(exc_type, message, call):
    with pytest.raises(exc_type) as info:
        call()
    assert type(info.value) is exc_type
    assert str(info.value) == message
    return info.value


class Index:
    """An integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class TypeErrorSubclass(TypeError):
    pass


# --------------------------------------------------------------------------
# Module surface

EXPECTED_DOC = "\n".join([
    "Tresk.",
    "",
    "Parameters",
    "----------",
    "data : np.ndarray, shape (n, d)",
    "    The dataset, float32 or float64. Computed internally in float32.",
    "y : list[int] or np.ndarray",
    "    Class labels per data point, length n.",
    "n_points : int, default 1000",
    "    Number of boundary points to request.",
    "max_iter : int, default 100",
    "    Maximum number of iterations.",
    "tol : float, default 1e-6",
    "    Per-point convergence threshold on squared displacement.",
    "sparse : bool, default True",
    "    If True, sample in batches until n_points distinct neighboring data",
    "    pairs are found or max_batches is reached.",
    "parallel : bool, default True",
    "    If True, use rayon parallelism for per-point projection.",
    "seed : int or None, default None",
    "    Random seed for reproducibility. If None, uses entropy.",
    "batch_size : int, default 256",
    "    Maximum number of query points in each sparse batch.",
    "max_batches : int, default 20",
    "    Hard limit on sparse batches.",
    "",
    "Returns",
    "-------",
    "list[list[float]]",
    "    Sampled boundary points, each of length d. With sparse=True, the",
    "    result can be shorter than n_points when max_batches is reached.",
])


def test_module_surface():
    assert vantrel.__all__ == ["tresk"]
    assert vantrel.__doc__ == ""
    assert type(vantrel.tresk) is types.BuiltinFunctionType
    assert vantrel.tresk.__name__ == "tresk"
    assert vantrel.tresk.__module__ == "vantrel"
    assert vantrel.tresk.__self__ is vantrel
    assert [name for name in dir(vantrel) if not name.startswith("__")] == ["tresk"]


def test_version_is_the_installed_package_version():
    assert type(vantrel.__version__) is str
    assert vantrel.__version__ == importlib.metadata.version("vantrel")


@pytest.mark.skipif(not PYPROJECT.is_file(), reason="needs the source checkout's pyproject.toml")
def test_version_is_the_one_in_pyproject():
    # Also holds for a module built by plain CMake (the sanitizer run's), which
    # reads the version from pyproject.toml itself.
    with PYPROJECT.open("rb") as f:
        assert vantrel.__version__ == tomllib.load(f)["project"]["version"]


def test_text_signature_and_doc():
    assert vantrel.tresk.__text_signature__ == (
        "(data, y, n_points=1000, max_iter=100, tol=1e-6, sparse=True, parallel=True, seed=None, *, "
        "batch_size=256, max_batches=20)")
    assert vantrel.tresk.__doc__ == EXPECTED_DOC
    assert not vantrel.tresk.__doc__.endswith("\n")


def test_signature_parameters():
    params = inspect.signature(vantrel.tresk).parameters
    positional = inspect.Parameter.POSITIONAL_OR_KEYWORD
    keyword = inspect.Parameter.KEYWORD_ONLY
    empty = inspect.Parameter.empty
    assert [(p.name, p.kind, p.default) for p in params.values()] == [
        ("data", positional, empty), ("y", positional, empty), ("n_points", positional, 1000),
        ("max_iter", positional, 100), ("tol", positional, 1e-6), ("sparse", positional, True),
        ("parallel", positional, True), ("seed", positional, None), ("batch_size", keyword, 256),
        ("max_batches", keyword, 20),
    ]


def test_exec_appends_to_an_existing_all():
    # A second instance of the extension, given an __all__ before its exec slot runs.
    spec = importlib.util.spec_from_file_location("vantrel", vantrel.__file__)
    module = importlib.util.module_from_spec(spec)
    assert module is not vantrel and not hasattr(module, "tresk")
    module.__all__ = ["other"]
    spec.loader.exec_module(module)
    assert module.__all__ == ["other", "tresk"]
    assert module.__version__ == vantrel.__version__
    assert module.tresk.__self__ is module
    assert vantrel.__all__ == ["tresk"]


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not available")
def test_only_the_init_function_is_exported():
    listing = subprocess.run(["nm", "-D", "--defined-only", "-C", vantrel.__file__],
                             capture_output=True, text=True, check=True).stdout
    names = [line.split(maxsplit=2)[2] for line in listing.splitlines() if len(line.split(maxsplit=2)) == 3]
    # Weak instantiations of the C++ standard library are the toolchain's, not ours.
    own = [name for name in names if "std::" not in name and "__gnu_cxx" not in name]
    assert own == ["PyInit_vantrel"]


# --------------------------------------------------------------------------
# Binding

D, Y = DATA, LABELS


@pytest.mark.parametrize(("args", "kwargs", "message"), [
    ((D, Y, 10, 5, 1e-3, True, True, 0, 64), {}, "tresk() takes from 2 to 8 positional arguments but 9 were given"),
    ((1,) * 10, {}, "tresk() takes from 2 to 8 positional arguments but 10 were given"),
    ((D, Y), {"foo": 1}, "tresk() got an unexpected keyword argument 'foo'"),
    ((D, Y), {"Data": 1}, "tresk() got an unexpected keyword argument 'Data'"),
    ((D,), {"data": D}, "tresk() got multiple values for argument 'data'"),
    ((D, Y), {"y": Y}, "tresk() got multiple values for argument 'y'"),
    ((D, Y, 1, 1, 1e-3, True, True, 0), {"seed": 3}, "tresk() got multiple values for argument 'seed'"),
    ((), {}, "tresk() missing 2 required positional arguments: 'data' and 'y'"),
    ((), {"n_points": 5}, "tresk() missing 2 required positional arguments: 'data' and 'y'"),
    ((D,), {}, "tresk() missing 1 required positional argument: 'y'"),
    ((), {"y": Y}, "tresk() missing 1 required positional argument: 'data'"),
    # Order: too many positionals, then keywords in the order given, then missing ones.
    ((1,) * 9, {"foo": 1}, "tresk() takes from 2 to 8 positional arguments but 9 were given"),
    ((D,), {"foo": 1}, "tresk() got an unexpected keyword argument 'foo'"),
    ((D,), {"data": D, "foo": 1}, "tresk() got multiple values for argument 'data'"),
    ((D,), {"foo": 1, "data": D}, "tresk() got an unexpected keyword argument 'foo'"),
    ((), {"bar": 1, "foo": 1}, "tresk() got an unexpected keyword argument 'bar'"),
    # Binding comes before any conversion.
    ((D, "str", -1), {"foo": 1}, "tresk() got an unexpected keyword argument 'foo'"),
    ((), {"y": "str", "n_points": -1}, "tresk() missing 1 required positional argument: 'data'"),
])
def test_binding_errors(args, kwargs, message):
    raises_exactly(TypeError, message, lambda: vantrel.tresk(*args, **kwargs))


def test_every_parameter_binds_by_keyword_and_position():
    # All given; the last check that can fail is the one on the labels.
    values = dict(n_points=3, max_iter=4, tol=1e-4, sparse=True, parallel=False, seed=5, batch_size=2,
                  max_batches=3)
    raises_exactly(ValueError, LABEL_MESSAGE, lambda: vantrel.tresk(data=D, y=SAME_LABELS, **values))
    raises_exactly(ValueError, LABEL_MESSAGE,
                   lambda: vantrel.tresk(D, SAME_LABELS, 3, 4, 1e-4, True, False, 5, batch_size=2, max_batches=3))


# --------------------------------------------------------------------------
# Conversion failures

WRAPPED = [
    ("y", "ab", "Can't extract `str` to `Vec`"),
    ("y", 5, "'int' object cannot be converted to 'Sequence'"),
    ("y", {0: 0, 1: 1, 2: 1, 3: 0}, "'dict' object cannot be converted to 'Sequence'"),
    ("y", (label for label in LABELS), "'generator' object cannot be converted to 'Sequence'"),
    ("y", [0, 1.5, 1, 0], "'float' object cannot be interpreted as an integer"),
    ("y", [0, "1", 1, 0], "'str' object cannot be interpreted as an integer"),
    ("y", np.array([0.0, 1.0, 1.0, 0.0]), "'numpy.float64' object cannot be interpreted as an integer"),
    ("n_points", 1.0, "'float' object cannot be interpreted as an integer"),
    ("n_points", "3", "'str' object cannot be interpreted as an integer"),
    ("max_iter", None, "'NoneType' object cannot be interpreted as an integer"),
    ("tol", "x", "must be real number, not str"),
    ("tol", None, "must be real number, not NoneType"),
    ("sparse", 1, "'int' object cannot be converted to 'PyBool'"),
    ("sparse", None, "'NoneType' object cannot be converted to 'PyBool'"),
    ("parallel", 0, "'int' object cannot be converted to 'PyBool'"),
    ("parallel", np.int64(1), "'int64' object cannot be converted to 'PyBool'"),
    ("seed", "1", "'str' object cannot be interpreted as an integer"),
    ("seed", 1.0, "'float' object cannot be interpreted as an integer"),
    ("batch_size", 2.5, "'float' object cannot be interpreted as an integer"),
    ("max_batches", "x", "'str' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize(("name", "value", "underlying"), WRAPPED)
def test_conversion_type_errors_are_wrapped(name, value, underlying):
    kwargs = {"y": LABELS, name: value}
    error = raises_exactly(TypeError, f"argument '{name}': {underlying}", lambda: vantrel.tresk(DATA, **kwargs))
    assert type(error.__cause__) is TypeError
    assert str(error.__cause__) == underlying
    assert error.__suppress_context__


@pytest.mark.parametrize(("name", "value", "message"), [
    ("y", [0, 2**63, 1, 0], "Python int too large to convert to C long"),
    ("y", [0, -2**63 - 1, 1, 0], "Python int too large to convert to C long"),
    ("y", np.array([0, 2**63, 1, 0], dtype=np.uint64), "Python int too large to convert to C long"),
    ("n_points", -1, "can't convert negative int to unsigned"),
    ("n_points", 2**64, "int too big to convert"),
    ("max_iter", Index(-5), "can't convert negative int to unsigned"),
    ("seed", -1, "can't convert negative int to unsigned"),
    ("seed", 2**64, "int too big to convert"),
    ("batch_size", -1, "can't convert negative int to unsigned"),
    ("max_batches", 2**70, "int too big to convert"),
])
def test_overflow_passes_unwrapped(name, value, message):
    kwargs = {"y": LABELS, name: value}
    error = raises_exactly(OverflowError, message, lambda: vantrel.tresk(DATA, **kwargs))
    assert error.__cause__ is None


@pytest.mark.parametrize(("kwargs", "exc_type", "message"), [
    (dict(batch_size="x"), TypeError, "argument 'batch_size': 'str' object cannot be interpreted as an integer"),
    (dict(max_batches=2.5), TypeError, "argument 'max_batches': 'float' object cannot be interpreted as an integer"),
    (dict(batch_size=-1), OverflowError, "can't convert negative int to unsigned"),
    (dict(max_batches=2**64), OverflowError, "int too big to convert"),
])
def test_dense_mode_still_converts_the_batch_parameters(kwargs, exc_type, message):
    """Dense mode neither checks nor uses their values, but binding converts every argument."""
    raises_exactly(exc_type, message, lambda: vantrel.tresk(DATA, LABELS, sparse=False, seed=0, **kwargs))


@pytest.mark.parametrize("error", [TypeErrorSubclass("sub"), ValueError("bad index"), KeyError("k")])
def test_only_exact_type_errors_are_wrapped(error):
    with pytest.raises(type(error)) as info:
        vantrel.tresk(DATA, LABELS, n_points=RaisingIndex(error))
    assert info.value is error


class BadSequence:
    """A sequence whose iteration fails with a given error."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        return 4

    def __getitem__(self, index):
        raise self.error


def test_errors_while_iterating_labels():
    error = raises_exactly(TypeError, "argument 'y': boom",
                           lambda: vantrel.tresk(DATA, BadSequence(TypeError("boom"))))
    assert str(error.__cause__) == "boom"
    with pytest.raises(KeyError):
        vantrel.tresk(DATA, BadSequence(KeyError("k")))


BAD = {  # a TypeError-raising value for every converted parameter
    "y": "str", "n_points": "x", "max_iter": "x", "tol": "x", "sparse": 1, "parallel": 1, "seed": "x",
    "batch_size": "x", "max_batches": "x",
}


@pytest.mark.parametrize(("first", "second"), list(itertools.combinations(BAD, 2)))
def test_conversion_order(first, second):
    kwargs = {"y": LABELS, second: BAD[second], first: BAD[first]}
    with pytest.raises(TypeError, match=f"^argument '{first}': "):
        vantrel.tresk(DATA, **kwargs)


def test_conversions_come_before_checks_and_data():
    with pytest.raises(TypeError, match="^argument 'max_batches': "):
        vantrel.tresk(None, LABELS, n_points=0, max_batches="x")


def test_lying_length_is_only_a_hint():
    class Lying:
        def __len__(self):
            return 2**62

        def __getitem__(self, index):
            if index >= 4:
                raise IndexError(index)
            return SAME_LABELS[index]

    class NoLength(Lying):
        def __len__(self):
            raise RuntimeError("no length")

    for labels in (Lying(), NoLength()):
        raises_exactly(ValueError, LABEL_MESSAGE, lambda: vantrel.tresk(DATA, labels))


# --------------------------------------------------------------------------
# Accepted conversions, seen through the first check that then fails

@pytest.mark.parametrize(("labels", "message"), [
    (b"\x00\x01\x00", "y has length 3 but data has 4 rows"),
    (b"\x05\x05\x05\x05", LABEL_MESSAGE),
    (b"\x00\x01\x00\x01", DISTINCT_MESSAGE),
    ((3, 3, 3, 3), LABEL_MESSAGE),
    (range(4), DISTINCT_MESSAGE),
    ([True, True, 1, 1], LABEL_MESSAGE),
    ([True, False, True, False], DISTINCT_MESSAGE),
    ([np.int8(-1), np.uint16(7), 0, 1], DISTINCT_MESSAGE),
    ([Index(2), Index(2), 2, 2], LABEL_MESSAGE),
    ([-2**63, 2**63 - 1, 0, 0], DISTINCT_MESSAGE),
    ([2**63 - 1] * 4, LABEL_MESSAGE),
    (np.array([4, 4, 4, 4], dtype=np.uint64), LABEL_MESSAGE),
    (np.array([0, 1, 1, 0], dtype=np.int8), DISTINCT_MESSAGE),
    (np.array([0, 1, 1, 0], dtype=np.int32)[::-1], DISTINCT_MESSAGE),
    ([], "y has length 0 but data has 4 rows"),
])
def test_label_sources(labels, message):
    raises_exactly(ValueError, message, lambda: vantrel.tresk(CONSTANT, labels, sparse=False))


@pytest.mark.parametrize("kwargs", [
    dict(sparse=False, n_points=2**31),
    dict(sparse=False, n_points=Index(2**31)),
    dict(sparse=False, n_points=np.uint64(2**63)),
    dict(sparse=False, n_points=2**64 - 1),
    dict(sparse=True, batch_size=2**31),
    dict(sparse=np.True_, batch_size=np.int64(2**31)),
])
def test_integer_values_arrive_intact(kwargs):
    raises_exactly(ValueError, BLAS_MESSAGE, lambda: vantrel.tresk(DATA, SAME_LABELS, **kwargs))


@pytest.mark.parametrize(("kwargs", "message"), [
    (dict(max_iter=False), "max_iter must be greater than zero"),
    (dict(max_iter=True), LABEL_MESSAGE),
    (dict(max_iter=np.uint8(0)), "max_iter must be greater than zero"),
    (dict(tol=float("nan")), "tol must be finite and non-negative"),
    (dict(tol=np.float32("inf")), "tol must be finite and non-negative"),
    (dict(tol=Index(-1)), "tol must be finite and non-negative"),
    (dict(tol=0), LABEL_MESSAGE),
    (dict(tol=np.float64(1e-3)), LABEL_MESSAGE),
    (dict(seed=True), LABEL_MESSAGE),
    (dict(seed=None), LABEL_MESSAGE),
    (dict(seed=2**64 - 1), LABEL_MESSAGE),
    (dict(seed=np.uint64(5)), LABEL_MESSAGE),
    (dict(parallel=np.False_), LABEL_MESSAGE),
    (dict(sparse=np.bool_(False), batch_size=0, max_batches=0), LABEL_MESSAGE),
])
def test_other_conversions(kwargs, message):
    raises_exactly(ValueError, message, lambda: vantrel.tresk(DATA, SAME_LABELS, **kwargs))


# --------------------------------------------------------------------------
# Parameter checks, then the element type

@pytest.mark.parametrize(("kwargs", "exc_type", "message"), [
    (dict(n_points=0), ValueError, "n_points must be greater than zero"),
    (dict(n_points=0, sparse=False), ValueError, "n_points must be greater than zero"),
    (dict(n_points=0, batch_size=0, max_batches=0), ValueError, "n_points must be greater than zero"),
    (dict(batch_size=0, max_batches=0), ValueError, "batch_size must be greater than zero"),
    (dict(sparse=np.True_, batch_size=0), ValueError, "batch_size must be greater than zero"),
    (dict(max_batches=0), ValueError, "max_batches must be greater than zero"),
    # Dense mode neither tests nor uses them: the next check is the element type.
    (dict(sparse=False, batch_size=0, max_batches=0), TypeError, DTYPE_MESSAGE),
    (dict(sparse=np.False_, max_batches=0), TypeError, DTYPE_MESSAGE),
])
@pytest.mark.parametrize("data", [None, "not an array", [[0.0, 1.0]]])
def test_parameter_checks_precede_the_type_test(data, kwargs, exc_type, message):
    raises_exactly(exc_type, message, lambda: vantrel.tresk(data, LABELS, **kwargs))


class ArraySubclass(np.ndarray):
    pass


@pytest.mark.parametrize("data", [
    DATA.astype(np.int64),
    DATA.astype(np.float16),
    DATA.astype(np.complex64),
    DATA.astype(object),
    DATA[:, 0].copy(),
    DATA.reshape(4, 2, 1),
    DATA.tolist(),
    None,
    np.float64(1.0),
])
def test_element_type_refusals(data):
    raises_exactly(TypeError, DTYPE_MESSAGE, lambda: vantrel.tresk(data, LABELS))


@pytest.mark.parametrize("data", [
    DATA.astype(np.float32),
    DATA,
    DATA.view(ArraySubclass),
    DATA.astype(np.float32).view(ArraySubclass),
    DATA.astype(np.dtype(np.float64).newbyteorder("=")),
    DATA.astype(">f8"),  # big-endian, whatever the machine's order
    DATA.astype("<f4"),
])
def test_element_type_accepted(data):
    raises_exactly(ValueError, LABEL_MESSAGE, lambda: vantrel.tresk(data, SAME_LABELS))


# --------------------------------------------------------------------------
# Layouts: the array is read through its strides

def misaligned(a):
    buffer = bytearray(a.nbytes + 1)
    out = np.frombuffer(buffer, dtype=a.dtype, offset=1).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


DUPLICATED = np.array([[0.0, 1.0], [2.0, 3.0], [0.0, 1.0], [5.0, 4.0]])
DUPLICATED_LABELS = [0, 1, 1, 0]  # rows 0 and 2 coincide across classes


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize(("make", "reorder"), [
    (lambda a: a, False),
    (np.asfortranarray, False),
    (lambda a: np.ascontiguousarray(a.T).T, False),
    (lambda a: a[::-1], True),
    (lambda a: np.ascontiguousarray(a[:, ::-1])[:, ::-1], False),
    (lambda a: np.repeat(a, 3, axis=1)[:, ::3], False),
    (lambda a: np.repeat(a, 2, axis=0)[::-2][::-1], False),
    (misaligned, False),
])
def test_layouts_are_read_logically(make, reorder, dtype):
    data = make(DUPLICATED.astype(dtype))
    assert np.array_equal(data, DUPLICATED if not reorder else DUPLICATED[::-1])
    labels = DUPLICATED_LABELS[::-1] if reorder else DUPLICATED_LABELS
    raises_exactly(ValueError, "points from different classes are identical after normalization",
                   lambda: vantrel.tresk(data, labels))


def test_zero_strides():
    row = np.array([[1.0, 2.0]])
    raises_exactly(ValueError, DISTINCT_MESSAGE, lambda: vantrel.tresk(np.broadcast_to(row, (3, 2)), [0, 1, 1]))
    # Many columns described by one stored value: refused on size before any pass over it.
    wide = np.broadcast_to(np.zeros((1, 1), np.float32), (2, 2**31))
    raises_exactly(ValueError, BLAS_MESSAGE, lambda: vantrel.tresk(wide, [0, 1]))


MEMORY_SCRIPT = r"""
import resource, sys
import numpy as np
import vantrel

def vm_size():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))

limit = vm_size() + (256 << 20)  # far below the 1 GiB each call below asks for
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

def outcome(call):
    try:
        call()
    except Exception as error:
        return type(error).__name__
    return "ok"

# 8192 x 32768 values described by one column: the normalised copy needs 1 GiB.
column = np.arange(8192, dtype=np.float32).reshape(8192, 1)
wide = np.broadcast_to(column, (8192, 32768))
print(outcome(lambda: vantrel.tresk(wide, [i % 2 for i in range(8192)], n_points=1, sparse=False)))
# 2**27 start points of 2 values: the driver's buffers need 1 GiB.
print(outcome(lambda: vantrel.tresk(np.array([[0.0, 0.0], [1.0, 1.0]]), [0, 1], n_points=2**27,
                                    max_iter=1, sparse=False, parallel=False, seed=0)))
"""


@pytest.mark.skipif(bool(os.environ.get("VANTREL_SANITIZED")), reason="needs a hard address-space limit")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
def test_memory_exhaustion_raises_memory_error():
    run = run_bounded([sys.executable, "-c", MEMORY_SCRIPT], timeout=300)
    assert run.returncode == 0, run.stderr
    prepare_outcome, driver_outcome = run.stdout.split()
    assert prepare_outcome == "MemoryError"
    assert driver_outcome == "MemoryError"


def test_caller_objects_untouched_and_not_leaked():
    data = DUPLICATED.copy()
    labels = list(DUPLICATED_LABELS)
    before = (sys.getrefcount(data), sys.getrefcount(labels), data.copy(), list(labels))
    calls = [
        lambda: vantrel.tresk(data, labels),
        lambda: vantrel.tresk(data, labels, n_points=0),
        lambda: vantrel.tresk(data, labels, sparse=1),
        lambda: vantrel.tresk(data, labels, seed=-1),
        lambda: vantrel.tresk(data, labels, foo=1),
        lambda: vantrel.tresk(data, labels[:3]),
        lambda: vantrel.tresk(data, labels, 1, 1, 1, True, True, 1, 1),
    ]
    for _ in range(50):
        for call in calls:
            with pytest.raises(Exception):
                call()
    assert sys.getrefcount(data) == before[0]
    assert sys.getrefcount(labels) == before[1]
    assert np.array_equal(data, before[2]) and labels == before[3]


# --------------------------------------------------------------------------
# Successful calls (need the drivers)

TWO_ROWS = np.array([[0.0, 0.0], [2.0, 1.0]])


def nearest_pair_gap(points, data, labels):
    """|distance to the nearest row - distance to the nearest other-class row|, float64 brute force."""
    points = np.asarray(points, dtype=np.float64)
    labels = np.asarray(labels)
    dist = np.sqrt(((points[:, None, :] - data[None, :, :].astype(np.float64)) ** 2).sum(axis=2))
    nearest = dist.argmin(axis=1)
    other = np.where(labels[None, :] != labels[nearest][:, None], dist, np.inf).min(axis=1)
    return np.abs(other - dist[np.arange(len(points)), nearest])


def clusters(seed=3, per_class=30):
    rng = np.random.default_rng(seed)
    data = np.vstack([rng.normal(0.0, 1.0, (per_class, 3)), rng.normal(3.0, 1.0, (per_class, 3))])
    data = data.astype(np.float32).astype(np.float64)  # same values in both element types
    return data, [0] * per_class + [1] * per_class


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_dense_result_lies_on_the_boundary(dtype):
    data, labels = clusters()
    data = data.astype(dtype)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        points = vantrel.tresk(data, labels, n_points=40, max_iter=200, tol=1e-10, sparse=False, seed=11)
    assert type(points) is list and len(points) == 40
    assert all(type(p) is list and len(p) == 3 and all(type(v) is float for v in p) for p in points)
    values = np.array(points)
    # Points come back in the data's precision.
    assert np.array_equal(values.astype(np.float32).astype(np.float64), values) == (dtype == np.float32)
    span = np.ptp(data.astype(np.float64), axis=0).max()
    assert nearest_pair_gap(points, data, labels).max() <= 1e-3 * span


@pytest.mark.parametrize("offset", [0.0, 1e6, 1e8, 1.7e9])
def test_float64_points_stay_on_the_boundary_far_from_the_origin(offset):
    # Time stamps and map coordinates: float32 spacing is 128 at 1.7e9, yet the
    # points must stay as close to the boundary as at the origin.
    rng = np.random.default_rng(5)
    base = rng.normal(0.0, 100.0, (400, 2))
    labels = (base[:, 0] > base[:, 1]).astype(int)
    data = base + offset
    points = vantrel.tresk(data, labels, n_points=200, tol=0.0, sparse=False, seed=1)
    distance = np.sqrt(((np.asarray(points)[:, None, :] - data[None]) ** 2).sum(axis=2)).min(axis=1)
    close = nearest_pair_gap(points, data, labels) <= 1e-4 * distance + 1e-6 * np.ptp(data, axis=0).max()
    assert close.mean() >= 0.9


def test_two_rows_give_their_bisector():
    points = np.array(vantrel.tresk(TWO_ROWS, [0, 1], n_points=16, sparse=False, seed=2))
    # The bisector of (0, 0) and (2, 1): 2x + y = 2.5.
    assert np.abs(2 * points[:, 0] + points[:, 1] - 2.5).max() <= 1e-5


def test_seeded_results_are_reproducible():
    data, labels = clusters()
    for sparse in (False, True):
        base = vantrel.tresk(data, labels, 10, 50, 1e-6, sparse, True, 1, batch_size=8, max_batches=10)
        assert len(base) == 10
        assert vantrel.tresk(data, labels, 10, 50, 1e-6, sparse, False, True, batch_size=8, max_batches=10) == base
        # float32 data: the same points, rounded to float32 on the way back.
        assert vantrel.tresk(data.astype(np.float32), bytes(labels), n_points=10, max_iter=50, sparse=sparse,
                             seed=np.uint64(1), batch_size=8, max_batches=10) == np.float32(base).tolist()
        assert vantrel.tresk(np.asfortranarray(data[::-1])[::-1], np.array(labels), n_points=10, max_iter=50,
                             sparse=sparse, seed=1, batch_size=8, max_batches=10) == base


def test_defaults_match_explicit_values():
    data, labels = clusters(per_class=10)
    with pytest.warns(RuntimeWarning) as implicit:
        omitted = vantrel.tresk(data, labels, seed=4)
    with pytest.warns(RuntimeWarning) as explicit:
        given = vantrel.tresk(data, labels, 1000, 100, 1e-6, True, True, 4, batch_size=256, max_batches=20)
    assert omitted == given
    assert [str(w.message) for w in implicit] == [str(w.message) for w in explicit] == [
        f"requested 1000 distinct boundary points, but found {len(given)} before reaching max_batches=20"]


def shortfall_call():
    # Two rows have one neighbouring pair, so at most one distinct point exists.
    return vantrel.tresk(TWO_ROWS, [0, 1], n_points=5, sparse=True, seed=8, batch_size=4, max_batches=2)


def test_shortfall_warning():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        points = shortfall_call()
    assert len(points) < 5
    assert [(w.category, str(w.message)) for w in caught] == [
        (RuntimeWarning,
         f"requested 5 distinct boundary points, but found {len(points)} before reaching max_batches=2")]
    assert caught[0].filename == __file__  # stack level 1: the caller's line


def test_shortfall_warning_as_error():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        found = len(shortfall_call())
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning) as info:
            shortfall_call()
    assert str(info.value) == (
        f"requested 5 distinct boundary points, but found {found} before reaching max_batches=2")
    assert len(caught) == 1


def test_no_warning_when_enough_points():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        points = vantrel.tresk(TWO_ROWS, [0, 1], n_points=1, seed=8, batch_size=4, max_batches=2)
    assert len(points) == 1
    assert nearest_pair_gap(points, TWO_ROWS, [0, 1]).max() <= 1e-5


def test_concurrent_calls_match_serial_ones():
    data, labels = clusters()
    jobs = [dict(sparse=False, seed=s, n_points=30) for s in range(3)]
    jobs += [dict(sparse=True, seed=s, n_points=10) for s in range(3)]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        expected = [vantrel.tresk(data, labels, batch_size=16, **job) for job in jobs]
    got = [None] * len(jobs)

    def work(i):
        got[i] = vantrel.tresk(data, labels, batch_size=16, **jobs[i])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == expected


def test_results_hold_no_extra_references():
    data, labels = clusters(per_class=5)
    before = (sys.getrefcount(data), sys.getrefcount(labels))
    points = vantrel.tresk(data, labels, n_points=5, sparse=False, seed=0)
    assert sys.getrefcount(points) == 2
    assert all(sys.getrefcount(points[i]) == 2 for i in range(len(points)))
    assert (sys.getrefcount(data), sys.getrefcount(labels)) == before
