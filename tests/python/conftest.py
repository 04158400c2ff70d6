"""Shared helpers for the Python tests of vantrel.

Until the search drivers are built they answer every call with a "not
implemented" error. Tests that need a successful call ask the
`requires_driver` fixture, which skips them while that is so and lets them run
unchanged once the drivers exist.
"""

import functools

import numpy as np
import pytest

import vantrel


def is_driver_stub_error(error: BaseException) -> bool:
    """True for the error a driver that is not built yet reports."""
    return isinstance(error, (NotImplementedError, RuntimeError)) and "not implemented" in str(error)


@functools.lru_cache(maxsize=None)
def _missing_driver(sparse: bool) -> str | None:
    data = np.array([[0.0], [1.0]])
    try:
        vantrel.tresk(data, [0, 1], n_points=1, max_iter=5, sparse=sparse, parallel=False, seed=0,
                      batch_size=1, max_batches=1)
    except Exception as error:  # noqa: BLE001 - only the stub error is special
        if is_driver_stub_error(error):
            return f"{'sparse' if sparse else 'dense'} driver not built yet: {error}"
    return None


@pytest.fixture
def requires_driver():
    """Call with sparse=False/True; skips the test while that driver is a stub."""

    def check(*, sparse: bool) -> None:
        reason = _missing_driver(sparse)
        if reason is not None:
            pytest.skip(reason)

    return check


@pytest.fixture
def driver_built():
    """Call with sparse=False/True; says whether that driver is more than a stub."""
    return lambda *, sparse: _missing_driver(sparse) is None


@pytest.fixture
def reaches_driver():
    """Runs a call that every check before the driver must let through.

    Returns the call's result, or None while the driver is a stub (its error
    shows that binding and preparation passed). Any other error propagates
    and fails the test.
    """

    def run(call):
        try:
            return call()
        except Exception as error:  # noqa: BLE001
            if is_driver_stub_error(error):
                return None
            raise

    return run
