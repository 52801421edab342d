"""What a shell hands down of descriptors: its own must not leak, what it
inherited and what redirections open must arrive, and an asynchronous
list's stdin is /dev/null. In a script, `$H` is the helper."""

import os

from ..protocol import groups, listed
from ..pty_session import helper_running
from ..proc import state
from ..registry import REPORTED
from ..verdicts import Failed, Report
from .shell import hygiene, posix, scripted

ENVIRONMENT = "Shell Execution Environment"


FDS = '"$H" print_fds print_pgrp'


@scripted("no-leaked-descriptors", hygiene(
    "a shell's own descriptors (its script, its pipes, its saved copies) should not reach "
    "the commands it runs."))
def no_leaked_descriptors(p):
    for where, script in (("a foreground command", FDS),
                          ("an asynchronous command", FDS + " & wait"),
                          ("the first command of a pipeline", FDS + " | cat"),
                          ("the last command of a pipeline", ": | " + FDS)):
        got = p.fds(script)
        if got != {0, 1, 2}:
            raise Failed("%s saw descriptors %s; 0 1 2 expected" % (where, listed(got)))
    return "foreground, asynchronous and pipeline commands saw 0 1 2"


@scripted("inherited-descriptors-handed-down", posix(
    ENVIRONMENT, "a utility runs with the open files the shell inherited, the files exec "
    "controls, and its own redirections."))
def inherited_descriptors_handed_down(p):
    null = os.open(os.devnull, os.O_RDONLY)
    try:
        got = p.fds(FDS, keep=((7, null),))
    finally:
        os.close(null)
    if 7 not in got:
        raise Failed("started with descriptor 7 open, the shell handed down %s" % listed(got))
    return "descriptor 7, open when the shell started, reached a command"


@scripted("redirections-handed-down", posix(
    ENVIRONMENT, "a utility runs with the open files the shell inherited, the files exec "
    "controls, and its own redirections."))
def redirections_handed_down(p):
    base = p.fds(FDS)
    for script, want in ((FDS + " 3</dev/null", base | {3}), (FDS + " <&-", base - {0})):
        got = p.fds(script)
        if got != want:
            raise Failed("%r saw %s; %s expected, against %s without it" %
                         (script, listed(got), listed(want), listed(base)))
    return "3</dev/null and <&- each changed exactly their descriptor"


@scripted("exec-descriptors-kept", posix(
    "exec", "whether descriptors above 2 that exec opened stay open when the shell runs a "
    "utility is unspecified: a choice, never a failure."), kind=REPORTED)
def exec_descriptors_kept(p):
    got = p.fds("exec 5</dev/null; " + FDS)
    return Report("descriptor 5, opened by exec, %s a utility" % (
        "stayed open for" if 5 in got else "was closed before"), "kept" if 5 in got else "closed")


def stdin_of(p, script, fifo=None):
    """Runs `script`, whose helper runs print_pgrp print_stop_cont, with the
    shell's stdin a pipe that the audit holds open, and `fifo` open for
    writing. Returns what the helper read from, where it waited for input
    (it is then given a line), or None where it met end of input at once."""
    read_end, write_end = os.pipe()
    writer = os.open(fifo, os.O_RDWR | os.O_NONBLOCK) if fifo else None
    seen = []

    def release_a_reader(*_):
        pid = None if seen else helper_running(p.shell.helper)
        if pid and state(pid) == "S":
            try:
                seen.append(os.readlink("/proc/%d/fd/0" % pid))
            except OSError:
                return
            for fd in (write_end, writer):
                if fd is not None:
                    os.write(fd, b"\n")
    try:
        ran = p.run(script, stdin=read_end, during=release_a_reader)
    finally:
        for fd in (read_end, write_end, writer):
            if fd is not None:
                os.close(fd)
    groups(ran.out, 1)
    if ran.err:
        raise Failed("the helper said %r reading its standard input" % ran.err.strip())
    return seen[0] if seen else None


WAIT_FOR_INPUT = '"$H" print_pgrp print_stop_cont'


@scripted("async-stdin-devnull", posix(
    "Asynchronous Lists", "with job control off, the standard input of an asynchronous list is "
    "/dev/null or the like before its own redirections, and an explicit redirection wins."))
def async_stdin_devnull(p):
    for what, script in (("an asynchronous command", WAIT_FOR_INPUT + " & wait"),
                         ("an asynchronous pipeline", WAIT_FOR_INPUT + " | cat & wait")):
        read = stdin_of(p, script)
        if read not in (None, os.devnull):
            raise Failed("with the shell's stdin a pipe, %s read from %s; /dev/null expected" %
                         (what, read))
    fifo = os.path.join(p.shell.home, "fifo")
    os.mkfifo(fifo)
    try:
        read = stdin_of(p, '%s <"%s" & wait' % (WAIT_FOR_INPUT, fifo), fifo)
    finally:
        os.unlink(fifo)
    if read != fifo:
        raise Failed("an asynchronous command given <FILE read from %s, not FILE" %
                     (read or "an input at its end at once"))
    return "asynchronous commands and pipelines met end of input, and <FILE won"
