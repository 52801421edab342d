"""Starting a program under a chosen hand-down (its session, mask,
dispositions, descriptors and environment) and reading what comes back."""

import collections
import os
import re
import select
import signal
import time

from . import reaper
from .verdicts import TimedOut

DEADLINE = 10.0  # seconds for any one fact to show, or for one run
# After its main process has ended, a run's output is read this long more:
# what is still writing then has left it behind, and is killed.
GRACE = 0.5
# What a run keeps of each stream beyond this is cut from its middle.
KEPT = 1 << 20

Ran = collections.namedtuple("Ran", "status out err pid")
Hand = collections.namedtuple("Hand", "ignored blocked keep")
CLEAN = Hand(ignored=frozenset(), blocked=frozenset(), keep=())


def version_line(ran):
    """The first line a program printed of itself, where it ended well and
    that line names a version ("BusyBox v1.35.0 ..."), else None."""
    lines = [line.strip() for line in (ran.out or ran.err).splitlines() if line.strip()]
    if ran.status == 0 and lines and re.search(r"\bv?\d+\.\d+", lines[0]):
        return lines[0] if len(lines[0]) <= 80 else lines[0][:80].rsplit(" ", 1)[0] + " ..."
    return None


def controlled_env(home):
    """The whole environment of every program the audit starts: no start-up
    file is read from an empty `home`."""
    return {"PATH": "/usr/local/bin:/usr/bin:/bin", "HOME": home, "LC_ALL": "C", "TERM": "dumb"}


def exec_child(argv, env, hand=CLEAN, stdio=None, cwd=None):
    """In a new child, never returning: with `stdio`, a session of its own
    and those descriptors on 0, 1 and 2 (pty.fork has done both otherwise);
    a SIGKILL when its parent dies; every disposition at its default but
    `hand.ignored`, `hand.blocked` as the mask; no descriptor above 2 but
    those in `hand.keep`, each a (number, source) pair; then `argv`."""
    try:
        if not reaper.die_with_parent(signal.SIGKILL, os.getppid()):
            os._exit(127)
        if stdio is not None:
            os.setsid()
            for fd, source in enumerate(stdio):
                os.dup2(source, fd)
        for signo in range(1, signal.NSIG):
            if signo not in (signal.SIGKILL, signal.SIGSTOP):
                try:
                    signal.signal(signo, signal.SIG_IGN if signo in hand.ignored else signal.SIG_DFL)
                except (OSError, ValueError):
                    pass  # kept by the C library for itself
        kept = {number: os.dup(source) for number, source in hand.keep}
        for fd in [int(fd) for fd in os.listdir("/proc/self/fd")]:
            if fd > 2 and fd not in kept.values():
                try:
                    os.close(fd)
                except OSError:
                    pass  # the descriptor listdir itself read
        for number, copy in kept.items():
            os.dup2(copy, number)
            os.close(copy)
        if cwd:
            os.chdir(cwd)
        # Last, so that nothing above runs with the mask it hands down.
        signal.pthread_sigmask(signal.SIG_SETMASK, hand.blocked)
        os.execve(argv[0], argv, env)
    except BaseException as e:  # never back into the audit's own code
        os.write(2, ("cannot execute %s: %s\n" % (argv[0], e)).encode())
    os._exit(127)


class Stream:
    """What a run printed on one stream, whole up to KEPT bytes and beyond
    that its head and its tail, with the count of what was cut."""

    def __init__(self):
        self.head = b""
        self.tail = b""
        self.cut = 0

    def add(self, data):
        if len(self.head) < KEPT // 2:
            room = KEPT // 2 - len(self.head)
            self.head += data[:room]
            data = data[room:]
        self.tail += data
        if len(self.tail) > KEPT // 2:
            self.cut += len(self.tail) - KEPT // 2
            self.tail = self.tail[-(KEPT // 2):]

    def text(self):
        middle = b"[... %d bytes cut ...]" % self.cut if self.cut else b""
        return (self.head + middle + self.tail).decode(errors="replace")


def run(argv, env, hand=CLEAN, stdin=None, during=None, cwd=None, deadline=DEADLINE,
        follow=False):
    """Runs `argv` in a session of its own, on `stdin` (a descriptor;
    /dev/null if None), until it has ended and its output has been read,
    then kills what it left behind. `during(pid, out, err)` is called while
    it runs, with its Streams so far, and may end the run early by
    returning True. Returns a Ran, whose
    status is None where `during` ended it; a run that has not ended by the
    deadline raises TimedOut. With `follow`, the run goes on after its main
    process has ended, until `during` ends it."""
    out_r, out_w = os.pipe()
    err_r, err_w = os.pipe()
    source = stdin if stdin is not None else os.open(os.devnull, os.O_RDONLY)
    pid = os.fork()
    if pid == 0:
        exec_child(argv, env, hand, (source, out_w, err_w), cwd)
    for fd in [out_w, err_w] + ([source] if stdin is None else []):
        os.close(fd)
    streams = {out_r: Stream(), err_r: Stream()}
    end = time.monotonic() + deadline
    status, stopped = None, False
    try:
        open_fds = [out_r, err_r]
        while time.monotonic() < end and (follow or open_fds or status is None):
            wait = 0.005 if during or status is not None or not open_fds else 0.05
            if not open_fds:
                time.sleep(wait)  # output all read: only the end is awaited
            for fd in select.select(open_fds, [], [], wait)[0] if open_fds else []:
                data = os.read(fd, 65536)
                if data:
                    streams[fd].add(data)
                else:
                    open_fds.remove(fd)
            if during and during(pid, streams[out_r], streams[err_r]):
                stopped = True
                break
            if status is None:
                done, st = os.waitpid(pid, os.WNOHANG)
                if done:
                    status = st
                    end = end if follow else min(end, time.monotonic() + GRACE)
    finally:
        reaper.kill_descendants()
        for fd in (out_r, err_r):
            drain(fd, streams[fd])
    if not stopped and (follow or status is None):
        raise TimedOut("%s had not ended after %g s" % (argv[0], deadline))
    return Ran(status, streams[out_r].text(), streams[err_r].text(), pid)


def drain(fd, stream):
    """Reads what is left in a pipe whose writers are gone, and closes it."""
    os.set_blocking(fd, False)
    try:
        while True:
            data = os.read(fd, 65536)
            if not data:
                break
            stream.add(data)
    except OSError:
        pass
    os.close(fd)


def describe_status(status):
    if status is None:
        return "was ended by the audit"
    if os.WIFSIGNALED(status):
        return "died by %s" % signal.Signals(os.WTERMSIG(status)).name
    return "exited %d" % os.WEXITSTATUS(status)
