"""Child processes for the tests, bounded so that none outlives its test.

Each child leads a session, and so a process group, of its own, which
whatever it starts joins. On a timeout, on any exception in the waiting test
(pytest-timeout's included) and after a normal exit, the whole group gets
SIGKILL: a grandchild stuck with its signals blocked, or one still holding
the output pipe, can neither keep the run waiting nor outlive it.
"""
from __future__ import annotations

import os
import signal
import subprocess
from collections.abc import Sequence
from typing import Any


def kill_group(pgid: int) -> None:
    """SIGKILL to every process of the group `pgid`, if any is left."""
    try:
        os.killpg(pgid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def run_bounded(args: Sequence[str], *, timeout: float, check: bool = False,
                **popen_kwargs: Any) -> subprocess.CompletedProcess[str]:
    """Like ``subprocess.run(args, capture_output=True, text=True, timeout=timeout)``, but
    the timeout and any interruption kill the child's whole process group, not just the child."""
    with subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          start_new_session=True, **popen_kwargs) as proc:
        try:
            stdout, stderr = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            kill_group(proc.pid)
            stdout, stderr = proc.communicate()
            raise subprocess.TimeoutExpired(proc.args, timeout, output=stdout, stderr=stderr) from None
        except BaseException:
            kill_group(proc.pid)
            raise
        kill_group(proc.pid)  # anything the child left running
    done = subprocess.CompletedProcess(proc.args, proc.returncode, stdout, stderr)
    if check:
        done.check_returncode()
    return done
