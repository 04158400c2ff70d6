import signal

import pytest

# Seconds; the slow tests build and install the package in fresh environments.
SLOW_TEST_TIMEOUT = 1800


def pytest_configure(config: pytest.Config) -> None:
    # A run started in the background by a shell without job control inherits
    # SIGINT ignored, and so would every interpreter the tests start; the
    # Ctrl-C tests need the interpreter's usual handler, here and in children
    # (a handled signal is reset to its default by exec, an ignored one is not).
    if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    for item in items:
        if item.get_closest_marker("slow") and not item.get_closest_marker("timeout"):
            item.add_marker(pytest.mark.timeout(SLOW_TEST_TIMEOUT))
