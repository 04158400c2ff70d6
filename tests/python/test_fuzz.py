"""Random inputs thrown at tresk.

Every call must either return a well-formed result (the right number of rows
of d finite floats, each exactly a float32 value for float32 data) or raise one of the
documented exception types with one of the documented messages. Where the
outcome is fully determined by the inputs (the element-type test, the
preparation checks, label conversion, the parameter checks) it is computed
here independently and compared exactly.

The groups most likely to crash the interpreter (strided and broadcast views,
extreme parameters) run in a child interpreter, so a crash shows up as a
failed test with the child's output instead of taking the test run down.
The extreme-parameter group also runs under an address-space limit there, so
a request that passes every check but cannot be satisfied fails inside the
child instead of exhausting the machine.
"""

from __future__ import annotations

import array
import math
import operator
import os
import re
import signal
import subprocess
import sys
import textwrap
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import vantrel
from processes import run_bounded

# ---------------------------------------------------------------------------
# Hypothesis profiles. The sanitizer run selects the light one through the
# environment; it also becomes the session default there so every property
# test of the run is lighter.

_quiet_health = [HealthCheck.too_slow, HealthCheck.filter_too_much, HealthCheck.data_too_large]
settings.register_profile("fuzz", max_examples=60, deadline=None, database=None,
                          suppress_health_check=_quiet_health)
settings.register_profile("sanitize", max_examples=30, deadline=None, database=None,
                          suppress_health_check=_quiet_health)
# For a long search by hand: VANTREL_HYPOTHESIS_PROFILE=deep.
settings.register_profile("deep", max_examples=2000, deadline=None, database=None,
                          suppress_health_check=_quiet_health)
PROFILE = os.environ.get("VANTREL_HYPOTHESIS_PROFILE", "fuzz")
if PROFILE == "sanitize":
    settings.load_profile("sanitize")
FUZZ = settings.get_profile(PROFILE)

# Under the sanitizers an address-space limit is unusable (the shadow memory
# alone is terabytes of address space) and an impossible allocation aborts
# the process instead of raising, so requests that only fail for lack of
# memory are left out there.
SANITIZED = bool(os.environ.get("VANTREL_SANITIZED")) or "libasan" in os.environ.get("LD_PRELOAD", "")

CHILD_ADDRESS_SPACE = 4 << 30  # 4 GiB: imports fine, any 16 GiB request fails

# ---------------------------------------------------------------------------
# The documented outcomes

PARAMETERS = ("data", "y", "n_points", "max_iter", "tol", "sparse", "parallel", "seed", "batch_size",
              "max_batches")

DATA_TYPE_MESSAGE = "data must be a two-dimensional NumPy array with dtype float32 or float64"

VALUE_ERROR_MESSAGES = frozenset({
    # parameter checks of the entry function
    "n_points must be greater than zero",
    "batch_size must be greater than zero",
    "max_batches must be greater than zero",
    # input preparation
    "data must contain at least one row",
    "data must contain at least one column",
    "max_iter must be greater than zero",
    "tol must be finite and non-negative",
    "data dimensions exceed the supported BLAS integer range",
    "y must contain at least two different classes",
    "data must contain only finite values",
    "data must contain at least two distinct points",
    "points from different classes are identical after normalization",
    # the last check, on the points in data units
    "data scale is outside the float32 range: the points would be infinite; rescale the data",
    "data scale is outside the float64 range: the points would be infinite; rescale the data",
    # the sparse driver's own checks
    "data dimensions are too large",
    "invalid data dimensions",
    "labels must match the number of data points",
    "target_points must be greater than zero",
    "max_iterations must be greater than zero",
    "tolerance must be finite and non-negative",
    "batch dimensions are too large",
    "batch_size is too large",
    "candidate pool is too large",
})
Y_LENGTH_MESSAGE = re.compile(r"y has length (0|[1-9][0-9]*) but data has (0|[1-9][0-9]*) rows")
BINDING_MESSAGES = (
    re.compile(r"tresk\(\) takes from 2 to 8 positional arguments but [1-9][0-9]* (was|were) given"),
    re.compile(r"tresk\(\) got an unexpected keyword argument '.*'", re.S),
    re.compile(r"tresk\(\) got multiple values for argument '(%s)'" % "|".join(PARAMETERS)),
    re.compile(r"tresk\(\) missing 1 required positional argument: '(data|y)'"),
    re.compile(r"tresk\(\) missing 2 required positional arguments: 'data' and 'y'"),
)
SHORTFALL_MESSAGE = re.compile(
    r"requested (0|[1-9][0-9]*) distinct boundary points, but found (0|[1-9][0-9]*) "
    r"before reaching max_batches=(0|[1-9][0-9]*)")

ARGUMENT_PREFIX = re.compile(r"argument '(%s)': " % "|".join(PARAMETERS))


def check_documented_error(error: BaseException) -> str:
    """Asserts that `error` is one of the documented failures; returns a short tag for it."""
    message = str(error)
    kind = type(error)
    if kind is ValueError:
        assert message in VALUE_ERROR_MESSAGES or Y_LENGTH_MESSAGE.fullmatch(message), \
            f"undocumented ValueError message: {message!r}"
        return "ValueError: " + message
    if kind is TypeError:
        if message == DATA_TYPE_MESSAGE or any(p.fullmatch(message) for p in BINDING_MESSAGES):
            return "TypeError: " + message
        prefix = ARGUMENT_PREFIX.match(message)
        assert prefix, f"undocumented TypeError message: {message!r}"
        cause = error.__cause__
        assert type(cause) is TypeError, f"wrapped conversion error without its TypeError cause: {cause!r}"
        assert message == f"argument '{prefix.group(1)}': {cause}"
        return f"TypeError: argument '{prefix.group(1)}'"
    if kind is OverflowError:
        assert not ARGUMENT_PREFIX.match(message), "only TypeError is wrapped with the parameter name"
        return "OverflowError"
    if kind is MemoryError:
        return "MemoryError"
    if kind is RuntimeWarning:
        assert SHORTFALL_MESSAGE.fullmatch(message), f"undocumented RuntimeWarning: {message!r}"
        return "RuntimeWarning"
    raise AssertionError(f"undocumented exception {kind.__name__}: {message!r}") from error


def check_result(result, *, d: int, n_points: int, sparse: bool, batch_size: int, max_batches: int,
                 caught: list, float32: bool) -> None:
    """A successful call's result and warnings are well formed."""
    assert type(result) is list
    m = len(result)
    if sparse:
        assert m <= n_points
        assert m <= batch_size * max_batches, "more points than the batches could hold"
    else:
        assert m == n_points
    for row in result:
        assert type(row) is list and len(row) == d
        for value in row:
            assert type(value) is float
            assert not math.isnan(value), "NaN in a result"
            if float32:
                assert float(np.float32(value)) == value, f"{value!r} is not a float32 value"
            assert math.isfinite(value), f"non-finite result value {value!r}"
    shortfall = [w for w in caught if issubclass(w.category, RuntimeWarning)]
    others = [w for w in caught if not issubclass(w.category, RuntimeWarning)]
    assert not others, [str(w.message) for w in others]
    if sparse and m < n_points:
        assert len(shortfall) == 1, "a shortfall warns exactly once"
        expected = (f"requested {n_points} distinct boundary points, but found {m} "
                    f"before reaching max_batches={max_batches}")
        assert str(shortfall[0].message) == expected
    else:
        assert not shortfall, "no warning without a shortfall"


def outcome(call, *, d: int, n_points: int, sparse: bool, batch_size: int = 256, max_batches: int = 20,
            warnings_as_errors: bool = False, float32: bool = False):
    """Runs one call; returns ("ok", result) or ("error", tag), having checked either."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("error" if warnings_as_errors else "always")
        try:
            result = call()
        except Exception as error:  # noqa: BLE001 - every exception is classified
            tag = check_documented_error(error)
            if tag == "RuntimeWarning":
                assert warnings_as_errors and sparse, "the shortfall warning raised without an error filter"
                m = int(SHORTFALL_MESSAGE.fullmatch(str(error)).group(2))
                assert str(error) == (f"requested {n_points} distinct boundary points, but found {m} "
                                      f"before reaching max_batches={max_batches}")
                assert m < n_points
            return ("error", tag)
    check_result(result, d=d, n_points=n_points, sparse=sparse, batch_size=batch_size,
                 max_batches=max_batches, caught=caught, float32=float32)
    return ("ok", result)


# ---------------------------------------------------------------------------
# Child interpreter

TESTS_DIR = Path(__file__).resolve().parent


def run_python(code: str, *, address_space: int | None = None, timeout: float = 600,
               env: dict | None = None) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter that imports the same vantrel; fails on a crash.

    The address-space limit, when given, is set before anything is imported.
    """
    module_dir = str(Path(vantrel.__file__).resolve().parent)
    child_env = dict(os.environ)
    child_env.update(env or {})
    child_env["PYTHONPATH"] = os.pathsep.join(
        [module_dir, str(TESTS_DIR)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
    prelude = "import resource, sys\n"
    if address_space is not None:
        prelude += f"resource.setrlimit(resource.RLIMIT_AS, ({address_space}, {address_space}))\n"
    prelude += f"sys.path[:0] = [{module_dir!r}, {str(TESTS_DIR)!r}]\n"
    try:
        proc = run_bounded([sys.executable, "-c", prelude + textwrap.dedent(code)], timeout=timeout,
                           env=child_env, cwd=str(TESTS_DIR))
    except subprocess.TimeoutExpired as overrun:
        pytest.fail(f"child interpreter still running after {timeout:g} s; killed with its process group\n"
                    f"--- stdout\n{(overrun.stdout or '')[-6000:]}\n--- stderr\n{(overrun.stderr or '')[-12000:]}",
                    pytrace=False)
    if proc.returncode != 0:
        how = (f"killed by {signal.Signals(-proc.returncode).name}" if proc.returncode < 0
               else f"exit code {proc.returncode}")
        pytest.fail(f"child interpreter failed ({how})\n--- stdout\n{proc.stdout[-6000:]}\n"
                    f"--- stderr\n{proc.stderr[-12000:]}", pytrace=False)
    return proc


def run_group_in_child(name: str, **kwargs) -> None:
    run_python(f"import test_fuzz\ntest_fuzz.{name}()\nprint('done')\n", **kwargs)


# ---------------------------------------------------------------------------
# Independent expectation of the preparation checks

def expected_prepare_error(x: np.ndarray, y: list[int]) -> str | None:
    """The ValueError tag prepare gives float data `x` (any layout) with labels `y`, or None.

    Assumes max_iter >= 1, a valid tol and a query count within range.
    """
    x = np.asarray(x, dtype=np.float64)
    n, d = x.shape
    if n == 0:
        return "ValueError: data must contain at least one row"
    if d == 0:
        return "ValueError: data must contain at least one column"
    if len(y) != n:
        return f"ValueError: y has length {len(y)} but data has {n} rows"
    if len(set(y)) < 2:
        return "ValueError: y must contain at least two different classes"
    if not np.isfinite(x).all():
        return "ValueError: data must contain only finite values"
    lo, hi = x.min(axis=0), x.max(axis=0)
    with np.errstate(over="ignore", invalid="ignore"):
        s = max(0.0, float(np.max(hi - lo)))
        if s == 0.0 or not math.isfinite(s):
            return "ValueError: data must contain at least two distinct points"
        z = ((x - (0.5 * lo + 0.5 * hi)) / s).astype(np.float32)
    for i in range(n):
        for j in range(i + 1, n):
            if y[i] != y[j] and np.array_equal(z[i], z[j]):
                return "ValueError: points from different classes are identical after normalization"
    return None


def assert_on_boundary(x: np.ndarray, y: list[int], result: list, tol: float) -> None:
    """Sparse-mode points converged: each is about as far from its nearest row as from the
    nearest row of another class (float64 brute force, relative to the data's scale)."""
    x = np.asarray(x, dtype=np.float64)
    labels = np.asarray(y)
    s = float(np.max(x.max(axis=0) - x.min(axis=0)))
    if not result or not (1e-30 < s < 1e30):
        return
    allowed = 1e-4 + 2 * math.sqrt(tol) / s
    for point in result:
        dist = np.sqrt(((x - np.asarray(point)) ** 2).sum(axis=1))
        nearest = int(np.argmin(dist))
        other = float(dist[labels != labels[nearest]].min())
        assert (other - dist[nearest]) / s <= allowed, f"{point} is not on the boundary"


# ---------------------------------------------------------------------------
# Strategies

FINITE_SPECIALS = [0.0, -0.0, 1.0, -1.0, 0.5, 3.0, 1e-3, 1e30, -1e30, 1e38, -3.4e38, 3.4e38, 1e300,
                   -1e300, 1.7e308, -1.7e308, 5e-324, -5e-324, 1e-310, 1.4e-45, 1e-40, 2.0 ** -126]
NON_FINITE = [math.nan, math.inf, -math.inf]

plain_values = st.one_of(st.integers(-4, 4).map(float), st.floats(-8, 8, width=32))


@st.composite
def float_matrix(draw, *, min_rows=0, max_rows=6, min_cols=0, max_cols=3, dtype=None):
    """A small float32/float64 matrix; its flavour decides how wild its values are."""
    rows = draw(st.integers(min_rows, max_rows))
    cols = draw(st.integers(min_cols, max_cols))
    dtype = dtype or draw(st.sampled_from([np.float32, np.float64]))
    flavour = draw(st.sampled_from(["plain", "plain", "extreme", "non-finite"]))
    if flavour == "plain":
        values = plain_values
    elif flavour == "extreme":
        values = st.one_of(plain_values, st.sampled_from(FINITE_SPECIALS))
    else:
        values = st.one_of(plain_values, st.sampled_from(FINITE_SPECIALS + NON_FINITE))
    flat = draw(st.lists(values, min_size=rows * cols, max_size=rows * cols))
    with np.errstate(over="ignore", under="ignore"):
        return np.array(flat, dtype=np.float64).reshape(rows, cols).astype(dtype)


@st.composite
def labels_for(draw, n: int):
    """Labels 0..2; mostly with two classes at least, so calls get past the class check."""
    y = draw(st.lists(st.integers(0, 2), min_size=n, max_size=n))
    if n >= 2 and len(set(y)) < 2 and draw(st.integers(0, 4)) > 0:
        y[draw(st.integers(0, n - 1))] = (y[0] + 1) % 3
    return y


small_settings = st.fixed_dictionaries({
    "n_points": st.integers(1, 6),
    "max_iter": st.integers(1, 25),
    "tol": st.sampled_from([0.0, 1e-8, 1e-6, 1e-3]),
    "sparse": st.booleans(),
    "parallel": st.booleans(),
    "seed": st.one_of(st.none(), st.integers(0, 2 ** 64 - 1)),
    "batch_size": st.integers(1, 6),
    "max_batches": st.integers(1, 6),  # later batches come from the novelty model
})


def call_tresk(data, y, params):
    return lambda: vantrel.tresk(data, y, **params)


def range_tag(x: np.ndarray) -> tuple:
    """The refusal of points that overflow the data's element type."""
    return ("error", f"ValueError: data scale is outside the {x.dtype.name} range: the points would be infinite; "
                     "rescale the data")


def range_may_refuse(x: np.ndarray) -> bool:
    """Points in data units, in the data's element type, can overflow only for data near that
    type's largest value: a point lies within a few box widths of the box."""
    largest = float(np.max(np.abs(np.asarray(x, dtype=np.float64))))
    return largest > float(np.finfo(x.dtype).max) / 32


# ---------------------------------------------------------------------------
# Group 1: what `data` may be

OTHER_DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
                np.float16, np.longdouble, np.complex64, np.complex128, np.clongdouble, object, "U4", "S4",
                "M8[s]", "m8[s]", "V8", [("a", "f8")], ">f4", ">f8", "<f2"]
if hasattr(np, "dtypes") and hasattr(np.dtypes, "StringDType"):
    OTHER_DTYPES.append(np.dtypes.StringDType())
# Same kind and size as a native float type, but a different byte order: read
# as their values, exactly as the native array.
SWAPPED = {">f4", ">f8"} if sys.byteorder == "little" else {"<f4", "<f8"}

NON_ARRAYS = [None, 3, 1.5, "abc", b"ab", [[0.0, 1.0], [1.0, 0.0]], ((0.0,), (1.0,)), {"a": 1}, object(),
              np.float64(1.0), np.float32(2.0), memoryview(np.zeros((2, 2))), range(4)]


@st.composite
def data_objects(draw):
    """(object, kind): arrays of any dtype and rank, and objects that are not arrays at all."""
    kind = draw(st.sampled_from(["matrix"] * 6 + ["rank", "dtype", "dtype", "metadata", "subclass",
                                                   "non-array"]))
    if kind == "non-array":
        # By index: some of these objects cannot be hashed, which sampled_from wants.
        return NON_ARRAYS[draw(st.integers(0, len(NON_ARRAYS) - 1))], kind
    if kind == "rank":
        ndim = draw(st.sampled_from([0, 1, 3]))
        shape = tuple(draw(st.lists(st.integers(0, 3), min_size=ndim, max_size=ndim)))
        return np.zeros(shape, dtype=draw(st.sampled_from([np.float32, np.float64]))) + 0.5, kind
    x = draw(float_matrix())
    if kind == "dtype":
        dtype = np.dtype(draw(st.sampled_from(OTHER_DTYPES)))
        with np.errstate(all="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                converted = x.astype(dtype)
            except (TypeError, ValueError):
                converted = np.zeros(x.shape, dtype=dtype)
        return converted, "dtype:" + dtype.str
    if kind == "metadata":
        # An equivalent dtype carrying metadata is still float32/float64.
        return x.astype(np.dtype(x.dtype, metadata={"unit": "m"})), kind
    if kind == "subclass":
        return x.view(draw(st.sampled_from([np.matrix, np.ma.MaskedArray, np.memmap]))), kind
    return x, kind


@given(obj_kind=data_objects(), settings_=small_settings, data=st.data())
def fuzz_data_objects(obj_kind, settings_, data):
    obj, kind = obj_kind
    rows = obj.shape[0] if isinstance(obj, np.ndarray) and obj.ndim >= 1 else 2
    wrong_length = data.draw(st.integers(0, 7), label="wrong length") == 0
    y = data.draw(labels_for(rows + (1 if wrong_length else 0)), label="y")
    float_kind = isinstance(obj, np.ndarray) and obj.dtype.kind == "f" and obj.dtype.itemsize in (4, 8)
    accepted = float_kind and obj.ndim == 2
    float32 = accepted and obj.dtype.itemsize == 4
    cols = obj.shape[1] if accepted else 1
    got = outcome(call_tresk(obj, y, settings_), d=cols, n_points=settings_["n_points"],
                  sparse=settings_["sparse"], batch_size=settings_["batch_size"],
                  max_batches=settings_["max_batches"], float32=float32)
    if kind.startswith("dtype:") and kind[len("dtype:"):] in SWAPPED:
        native = np.ascontiguousarray(obj, dtype=obj.dtype.newbyteorder("="))
        assert got == outcome(call_tresk(native, y, settings_), d=cols, n_points=settings_["n_points"],
                              sparse=settings_["sparse"], batch_size=settings_["batch_size"],
                              max_batches=settings_["max_batches"], float32=float32)
        return
    if not accepted:
        assert got == ("error", "TypeError: " + DATA_TYPE_MESSAGE), kind
        return
    expected = expected_prepare_error(np.asarray(obj), y)
    if expected is not None:
        assert got == ("error", expected)
    elif got == range_tag(obj):
        assert range_may_refuse(obj)
    else:
        assert got[0] == "ok", got


def test_data_objects():
    run_group_in_child("fuzz_data_objects")


# ---------------------------------------------------------------------------
# Group 2: memory layouts. A view is read through its strides; it must give
# exactly what the same values laid out contiguously give.

LAYOUTS = ["fortran", "transposed", "reversed rows", "reversed columns", "reversed both", "every other row",
           "column slice", "broadcast row", "broadcast column", "broadcast scalar", "unaligned", "read-only",
           "zero-stride rows", "strided columns"]


def make_layout(x: np.ndarray, layout: str, rows: int) -> np.ndarray:
    """A view with the given layout whose logical values are derived from `x`."""
    if layout == "fortran":
        return np.asfortranarray(x)
    if layout == "transposed":
        return np.ascontiguousarray(x.T).T
    if layout == "reversed rows":
        return np.ascontiguousarray(x[::-1])[::-1]
    if layout == "reversed columns":
        return np.ascontiguousarray(x[:, ::-1])[:, ::-1]
    if layout == "reversed both":
        return np.ascontiguousarray(x[::-1, ::-1])[::-1, ::-1]
    if layout == "every other row":
        wide = np.repeat(x, 2, axis=0)
        wide[1::2] = 12345.0  # never read
        return wide[::2]
    if layout == "column slice":
        padded = np.concatenate([x, np.full((x.shape[0], 2), np.nan, dtype=x.dtype)], axis=1)
        return padded[:, : x.shape[1]]
    if layout == "broadcast row":
        return np.broadcast_to(x[:1], (rows, x.shape[1]))
    if layout == "broadcast column":
        return np.broadcast_to(x[:, :1], (x.shape[0], 3))
    if layout == "broadcast scalar":
        return np.broadcast_to(x.reshape(-1)[:1].reshape(1, 1), (rows, 2))
    if layout == "unaligned":
        raw = np.zeros(x.size * x.itemsize + 1, dtype=np.uint8)
        view = raw[1:].view(x.dtype).reshape(x.shape)
        view[...] = x
        return view
    if layout == "read-only":
        ro = x.copy()
        ro.setflags(write=False)
        return ro
    if layout == "zero-stride rows":
        return np.lib.stride_tricks.as_strided(x[:1], shape=(rows, x.shape[1]), strides=(0, x.strides[1]))
    if layout == "strided columns":
        wide = np.repeat(x, 3, axis=1)
        return wide[:, ::3]
    raise AssertionError(layout)


@given(x=float_matrix(min_rows=1, min_cols=1), layout=st.sampled_from(LAYOUTS), settings_=small_settings,
       data=st.data())
def fuzz_layouts(x, layout, settings_, data):
    rows = data.draw(st.integers(1, 6), label="broadcast rows")
    view = make_layout(x, layout, rows)
    y = data.draw(labels_for(view.shape[0]), label="y")
    before = view.tobytes()
    settings_ = dict(settings_, seed=data.draw(st.integers(0, 2 ** 64 - 1), label="seed"))
    d = view.shape[1]
    kw = dict(d=d, n_points=settings_["n_points"], sparse=settings_["sparse"],
              batch_size=settings_["batch_size"], max_batches=settings_["max_batches"],
              float32=view.dtype == np.float32)
    got = outcome(call_tresk(view, y, settings_), **kw)
    assert view.tobytes() == before, "the caller's array was modified"
    assert got == outcome(call_tresk(np.ascontiguousarray(view), y, settings_), **kw), layout
    expected = expected_prepare_error(view, y)
    if expected is not None:
        assert got == ("error", expected)
    elif got == range_tag(view):
        assert range_may_refuse(view)
    else:
        assert got[0] == "ok", got
        if settings_["sparse"]:
            assert_on_boundary(view, y, got[1], settings_["tol"])


def test_layouts():
    run_group_in_child("fuzz_layouts")


# ---------------------------------------------------------------------------
# Group 3: label objects of every kind, each with its expected conversion.

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class LyingLength(list):
    """A sequence whose length is no use as a capacity hint."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, type):
            raise self.length("no length")
        return self.length


class FailingSequence:
    """A sequence whose items run out with an error of its own."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items) + 1

    def __getitem__(self, i):
        if i < len(self.items):
            return self.items[i]
        if i == len(self.items):
            raise ValueError("label source failed")
        raise IndexError(i)


INT_DTYPES = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64]
I64_MIN, I64_MAX = -(2 ** 63), 2 ** 63 - 1


@st.composite
def label_objects(draw, n: int):
    """(object, expected): expected is the list of labels, or the exception type (and message) due."""
    base = draw(st.lists(st.integers(0, 2), min_size=n, max_size=n))
    kind = draw(st.sampled_from([
        "list", "tuple", "numpy int", "numpy bool", "bytes", "bytearray", "range", "array", "huge ints",
        "too large", "uint64 too large", "index objects", "index too large", "bools", "str", "floats",
        "numpy float", "numpy 2-D", "None", "int", "generator", "dict", "set", "with None", "lying length",
        "length fails", "failing sequence", "numpy object",
    ]))
    wrapped = TypeError  # a TypeError naming y
    if kind == "list":
        return base, base
    if kind == "tuple":
        return tuple(base), base
    if kind == "numpy int":
        return np.array(base, dtype=draw(st.sampled_from(INT_DTYPES))), base
    if kind == "numpy bool":
        return np.array(base, dtype=bool) if base else np.array([], dtype=bool), wrapped if base else []
    if kind == "bytes":
        return bytes(base), base
    if kind == "bytearray":
        return bytearray(base), base
    if kind == "range":
        return range(n), list(range(n))
    if kind == "array":
        return array.array(draw(st.sampled_from("bBhHiIlLqQ")), base), base
    if kind == "huge ints":
        values = [draw(st.sampled_from([I64_MIN, I64_MAX, I64_MIN + 1, 0])) for _ in range(n)]
        return values, values
    if kind == "too large":
        if n == 0:
            return [], []
        values = list(base)
        values[draw(st.integers(0, n - 1))] = draw(st.sampled_from([I64_MAX + 1, I64_MIN - 1, 2 ** 64, -(2 ** 100)]))
        return values, OverflowError
    if kind == "uint64 too large":
        if n == 0:
            return np.array([], dtype=np.uint64), []
        values = np.array(base, dtype=np.uint64)
        values[-1] = np.uint64(2 ** 64 - 1)
        return values, OverflowError
    if kind == "index objects":
        return [Index(v) for v in base], base
    if kind == "index too large":
        return [Index(v) for v in base] + [Index(2 ** 63)], OverflowError
    if kind == "bools":
        return [bool(v % 2) for v in base], [v % 2 for v in base]
    if kind == "str":
        return "".join(str(v) for v in base), (TypeError, "Can't extract `str` to `Vec`")
    if kind == "floats":
        return [float(v) for v in base], wrapped if base else []
    if kind == "numpy float":
        return np.array(base, dtype=np.float64), wrapped if base else []
    if kind == "numpy 2-D":
        return np.array(base, dtype=np.int64).reshape(-1, 1), wrapped if base else []
    if kind == "numpy object":
        return np.array(base, dtype=object), base
    if kind == "None":
        return None, wrapped
    if kind == "int":
        return n, wrapped
    if kind == "generator":
        return (v for v in base), wrapped
    if kind == "dict":
        return dict(enumerate(base)), wrapped
    if kind == "set":
        return set(base), wrapped
    if kind == "with None":
        return base + [None], wrapped
    if kind == "lying length":
        return LyingLength(base, draw(st.sampled_from([0, 2 ** 62, sys.maxsize]))), base
    if kind == "length fails":
        return LyingLength(base, draw(st.sampled_from([ValueError, OverflowError, TypeError]))), base
    if kind == "failing sequence":
        return FailingSequence(base), (ValueError, "label source failed")
    raise AssertionError(kind)


@st.composite
def distinct_matrix(draw):
    """Finite data with pairwise distinct rows, so only the labels decide the outcome."""
    n = draw(st.integers(1, 6))
    d = draw(st.integers(1, 3))
    rows = draw(st.lists(st.tuples(*[st.integers(-5, 5)] * d), min_size=n, max_size=n, unique=True))
    return np.array(rows, dtype=draw(st.sampled_from([np.float32, np.float64])))


@given(x=distinct_matrix(), settings_=small_settings, data=st.data())
def fuzz_labels(x, settings_, data):
    obj, expected = data.draw(label_objects(x.shape[0]), label="labels")
    if isinstance(expected, tuple):
        kind, message = expected
        with pytest.raises(kind) as caught:
            vantrel.tresk(x, obj, **settings_)
        assert type(caught.value) is kind
        assert str(caught.value) == (f"argument 'y': {message}" if kind is TypeError else message)
        return
    got = outcome(call_tresk(x, obj, settings_), d=x.shape[1], n_points=settings_["n_points"],
                  sparse=settings_["sparse"], batch_size=settings_["batch_size"],
                  max_batches=settings_["max_batches"])
    if expected is TypeError:
        assert got == ("error", "TypeError: argument 'y'")
    elif expected is OverflowError:
        assert got == ("error", "OverflowError")
    else:
        want = expected_prepare_error(x, list(expected))
        assert got == (("error", want) if want else ("ok", got[1])), (got, want)
        if got[0] == "ok" and settings_["sparse"]:
            assert_on_boundary(x, list(expected), got[1], settings_["tol"])


def test_labels():
    fuzz_labels()


# ---------------------------------------------------------------------------
# Group 4: extreme parameter values, each converted and checked as documented.

U64_LIMIT = 2 ** 64
BLAS_LIMIT = 2 ** 31 - 1

COUNT_VALUES = [0, 1, 2, 3, 5, BLAS_LIMIT, 2 ** 31, 2 ** 40, 2 ** 63, U64_LIMIT - 1, U64_LIMIT, -1, -(2 ** 70),
                True, False, 1.0, 2.5, "3", None, np.int64(3), np.uint64(U64_LIMIT - 1), np.int8(-1),
                np.bool_(True), np.float64(2.0), Index(4), Index(-2), Index(U64_LIMIT)]
TOL_VALUES = [0.0, -0.0, 1e-6, 1.0, 1e300, 5e-324, -5e-324, -1.0, math.nan, math.inf, -math.inf, 3, True,
              10 ** 400, np.float32(1e-3), np.float64(math.nan), np.int64(2), "1e-3", None, Index(1),
              Index(10 ** 400)]
FLAG_VALUES = [True, False, np.bool_(True), np.bool_(False), 0, 1, None, "True", 1.0, np.int64(1)]
SEED_VALUES = [None, 0, 1, 7, U64_LIMIT - 1, U64_LIMIT, -1, True, np.uint64(U64_LIMIT - 1), np.int64(-1),
               1.0, "1", Index(9)]


def convert_count(value):
    """The native value an integer parameter takes, or the exception type its conversion raises."""
    if isinstance(value, int):
        number = int(value)
    else:
        try:
            number = operator.index(value)
        except TypeError:
            return TypeError
        except OverflowError:
            return OverflowError
    if number < 0 or number >= U64_LIMIT:
        return OverflowError
    return number


def convert_tol(value):
    """Anything with __float__ or __index__ converts; str and None do not."""
    if not (hasattr(type(value), "__float__") or hasattr(type(value), "__index__")):
        return TypeError
    try:
        return float(value) if hasattr(type(value), "__float__") else float(operator.index(value))
    except OverflowError:
        return OverflowError


def convert_flag(value):
    kind = type(value)
    if kind is bool or (kind.__module__ == "numpy" and kind.__name__ in ("bool_", "bool")):
        return bool(value)
    return TypeError


def convert_seed(value):
    return None if value is None else convert_count(value)


CONVERSIONS = (("n_points", convert_count), ("max_iter", convert_count), ("tol", convert_tol),
               ("sparse", convert_flag), ("parallel", convert_flag), ("seed", convert_seed),
               ("batch_size", convert_count), ("max_batches", convert_count))


def expected_parameter_outcome(given: dict, n: int, d: int):
    """("error", tag), ("run", values) for a call expected to go to its driver."""
    values = {"n_points": 1000, "max_iter": 100, "tol": 1e-6, "sparse": True, "parallel": True,
              "seed": None, "batch_size": 256, "max_batches": 20}
    for name, convert in CONVERSIONS:
        if name not in given:
            continue
        value = convert(given[name])
        if value is TypeError:
            return ("error", f"TypeError: argument '{name}'")
        if value is OverflowError:
            return ("error", "OverflowError")
        values[name] = value
    if values["n_points"] == 0:
        return ("error", "ValueError: n_points must be greater than zero")
    if values["sparse"]:
        if values["batch_size"] == 0:
            return ("error", "ValueError: batch_size must be greater than zero")
        if values["max_batches"] == 0:
            return ("error", "ValueError: max_batches must be greater than zero")
    if values["max_iter"] == 0:
        return ("error", "ValueError: max_iter must be greater than zero")
    tol = values["tol"]
    if not math.isfinite(tol) or tol < 0:
        return ("error", "ValueError: tol must be finite and non-negative")
    query_count = values["batch_size"] if values["sparse"] else values["n_points"]
    if query_count > BLAS_LIMIT:
        return ("error", "ValueError: data dimensions exceed the supported BLAS integer range")
    if values["sparse"] and values["n_points"] * d >= U64_LIMIT:
        return ("error", "ValueError: batch dimensions are too large")
    return ("run", values)


PARAMETER_DATA = np.array([[0.0, 0.0], [1.0, 0.2], [0.1, 1.0], [1.2, 1.1]])
PARAMETER_LABELS = [0, 1, 1, 0]
RESULT_BYTES_LIMIT = 1 << 26  # results this large are fine to build for real


def run_cost_ok(values: dict, d: int) -> bool:
    """Whether a call that passes every check is small enough to run, or certain to fail for memory."""
    if values["max_iter"] > 1000:
        return False
    result_bytes = values["n_points"] * d * 4
    if not values["sparse"]:
        return values["n_points"] <= 64 or (not SANITIZED and result_bytes > 2 * CHILD_ADDRESS_SPACE)
    work = min(values["n_points"], values["batch_size"]) * values["max_batches"]
    if SANITIZED and result_bytes > RESULT_BYTES_LIMIT:
        return False
    return work <= 512


VALID_VALUES = {
    "n_points": st.integers(1, 6), "max_iter": st.integers(1, 30), "tol": st.sampled_from([0.0, 1e-6, 1e-3]),
    "sparse": st.booleans(), "parallel": st.booleans(),
    "seed": st.one_of(st.none(), st.integers(0, U64_LIMIT - 1)),
    "batch_size": st.integers(1, 6), "max_batches": st.integers(1, 3),
}
EXTREME_VALUES = {"n_points": COUNT_VALUES, "max_iter": COUNT_VALUES, "tol": TOL_VALUES, "sparse": FLAG_VALUES,
                  "parallel": FLAG_VALUES, "seed": SEED_VALUES, "batch_size": COUNT_VALUES,
                  "max_batches": COUNT_VALUES}
OMITTABLE = {"tol", "sparse", "parallel", "seed"}  # their defaults are cheap


@st.composite
def parameter_sets(draw):
    """One or two parameters at extreme values, the others small and valid or left out."""
    focus = draw(st.sets(st.sampled_from(sorted(EXTREME_VALUES)), min_size=1, max_size=2))
    chosen = {}
    for name, pool in EXTREME_VALUES.items():
        if name in focus:
            chosen[name] = pool[draw(st.integers(0, len(pool) - 1))]
        elif name not in OMITTABLE or draw(st.booleans()):
            chosen[name] = draw(VALID_VALUES[name])
    return chosen


@given(given_=parameter_sets(), warnings_as_errors=st.booleans())
def fuzz_parameters(given_, warnings_as_errors):
    n, d = PARAMETER_DATA.shape
    expected = expected_parameter_outcome(given_, n, d)
    if expected[0] == "run":
        assume(run_cost_ok(expected[1], d))
    values = expected[1] if expected[0] == "run" else {}
    got = outcome(lambda: vantrel.tresk(PARAMETER_DATA, PARAMETER_LABELS, **given_), d=d,
                  n_points=values.get("n_points", 0), sparse=values.get("sparse", True),
                  batch_size=values.get("batch_size", 0), max_batches=values.get("max_batches", 0),
                  warnings_as_errors=warnings_as_errors)
    if expected[0] == "error":
        assert got == expected, given_
        return
    if values["n_points"] * d * 4 > CHILD_ADDRESS_SPACE:
        # Passes every check but cannot be held; the one acceptable failure is MemoryError
        # (a sparse run that never needs the room may also succeed).
        assert got == ("error", "MemoryError") or (values["sparse"] and completed(got, warnings_as_errors)), got
        return
    assert completed(got, warnings_as_errors), (given_, got)


def completed(got, warnings_as_errors: bool) -> bool:
    """A result, or the shortfall warning raised in its place by an error filter."""
    return got[0] == "ok" or (warnings_as_errors and got == ("error", "RuntimeWarning"))


def test_extreme_parameters():
    run_group_in_child("fuzz_parameters", address_space=None if SANITIZED else CHILD_ADDRESS_SPACE,
                       env={"OPENBLAS_NUM_THREADS": "1"} if not SANITIZED else None)


# ---------------------------------------------------------------------------
# Group 5: argument binding with random positional and keyword mixes.

VALID_ARGUMENTS = {"data": PARAMETER_DATA, "y": PARAMETER_LABELS, "n_points": 2, "max_iter": 5, "tol": 1e-6,
                   "sparse": False, "parallel": False, "seed": 3, "batch_size": 2, "max_batches": 1}


@given(positional=st.integers(0, 10),
       keywords=st.lists(st.sampled_from(list(PARAMETERS) + ["bogus", "Data", "n_point", "self", "args"]),
                         unique=True, max_size=6))
def test_binding(positional, keywords):
    args = [VALID_ARGUMENTS[PARAMETERS[i]] if i < len(PARAMETERS) else 0 for i in range(positional)]
    kwargs = {k: VALID_ARGUMENTS.get(k, 1) for k in keywords}
    present = set(PARAMETERS[:positional]) | set(keywords)
    effective = {"n_points": 1000, "sparse": True, "batch_size": 256, "max_batches": 20}
    effective.update({k: VALID_ARGUMENTS[k] for k in effective if k in present})
    got = outcome(lambda: vantrel.tresk(*args, **kwargs), d=2, **effective)
    if positional > 8:
        assert got == ("error", f"TypeError: tresk() takes from 2 to 8 positional arguments but {positional} "
                                f"were given")
        return
    bound = set(PARAMETERS[:positional])
    offending = {f"TypeError: tresk() got an unexpected keyword argument '{k}'" for k in keywords
                 if k not in PARAMETERS}
    offending |= {f"TypeError: tresk() got multiple values for argument '{k}'" for k in keywords if k in bound}
    if offending:
        assert got[0] == "error" and got[1] in offending, got
        return
    missing = [name for name in ("data", "y") if name not in present]
    if len(missing) == 2:
        assert got == ("error", "TypeError: tresk() missing 2 required positional arguments: 'data' and 'y'")
    elif missing:
        assert got == ("error", f"TypeError: tresk() missing 1 required positional argument: '{missing[0]}'")
    else:
        assert got[0] == "ok", got


test_binding = FUZZ(test_binding)
fuzz_data_objects = FUZZ(fuzz_data_objects)
fuzz_layouts = FUZZ(fuzz_layouts)
fuzz_labels = FUZZ(fuzz_labels)
fuzz_parameters = FUZZ(fuzz_parameters)
