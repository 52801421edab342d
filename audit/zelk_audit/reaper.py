"""Nothing the audit starts outlives it. The audit and each of its workers
is a child subreaper, so every orphan of what they start, daemons that left
their session included, comes back to them; they follow descendants, not
sessions, and kill them all when a run ends. A worker whose parent dies gets
SIGTERM from the kernel and cleans up the same way."""

import ctypes
import os
import signal
import sys
import time

from . import proc

PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36
LIBC = ctypes.CDLL(None, use_errno=True) if sys.platform.startswith("linux") else None
DEADLINE = 10.0


def become_subreaper():
    if LIBC is not None:
        LIBC.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def die_with_parent(signo, parent):
    """Asks the kernel for `signo` when the parent dies; False where it had
    already died before the request."""
    if LIBC is not None:
        LIBC.prctl(PR_SET_PDEATHSIG, signo, 0, 0, 0)
    return os.getppid() == parent


def reap():
    """Reaps the children that have ended, returning their statuses by pid."""
    statuses = {}
    while True:
        try:
            pid, status = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return statuses
        if pid == 0:
            return statuses
        statuses[pid] = status


def kill_descendants(spare=(), reaping=True):
    """Kills every live descendant of this process but those in `spare` (and
    theirs) until none is left or the deadline passes, reaping what ends."""
    end = time.monotonic() + DEADLINE
    statuses = {}
    while True:
        found = proc.descendants(os.getpid(), spare)
        for pid in found:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        if reaping:
            statuses.update(reap())
        if not found or time.monotonic() > end:
            return statuses
        time.sleep(0.002)
