"""Process groups without job control, set -m without a terminal, and what
a shell does when its child interrupts it. In a script, `$H` is the helper."""

import os

from ..protocol import groups
from ..registry import REPORTED
from ..spawn import describe_status
from ..verdicts import Failed, NotApplicable, NoVerdict, Report
from .shell import hygiene, posix, scripted


@scripted("no-groups-without-job-control", hygiene(
    "without job control, every command stays in the shell's process group, so the "
    "terminal's signals reach them all."))
def no_groups_without_job_control(p):
    ran = p.run('"$H" print_pgrp; "$H" print_pgrp & wait; "$H" print_pgrp | cat')
    got = groups(ran.out, 3)
    if got != [ran.pid] * 3:
        raise Failed("foreground, asynchronous and pipeline commands ran in groups %s; the "
                     "shell's %d expected" % (" ".join(map(str, got)), ran.pid))
    return "foreground, asynchronous and pipeline commands stayed in the shell's group"


@scripted("monitor-without-terminal", posix(
    "set -m", "set -m runs every job in its own process group; a shell may refuse job control "
    "without a terminal, but one that reports m in $- must do it."))
def monitor_without_terminal(p):
    ran = p.run('set -m; echo "flags $-"; "$H" print_pgrp & wait', status=None)
    lines = ran.out.splitlines()
    flags = lines[0][len("flags "):] if lines and lines[0].startswith("flags ") else None
    if flags is None and not ran.err.strip():
        raise NoVerdict("the shell %s, printing nothing" % describe_status(ran.status))
    if flags is None or "m" not in flags:
        raise NotApplicable("the shell refused set -m without a terminal, saying %r" %
                            (ran.err.strip() or "nothing, and $- is %r" % flags))
    if os.WIFSIGNALED(ran.status) or os.WEXITSTATUS(ran.status) != 0:
        raise NoVerdict("the shell %s" % describe_status(ran.status))
    (pgrp,) = groups("\n".join(lines[1:]), 1)
    if pgrp == ran.pid:
        raise Failed("$- says m, but an asynchronous job ran in the shell's group %d" % pgrp)
    return "set -m without a terminal put an asynchronous job in group %d, not the shell's %d" % (
        pgrp, ran.pid)


# ------------------------------------------------------------------ reports


@scripted("sigint-to-shell", "what SHELL -c does when its child sends it SIGINT: POSIX leaves it "
          "to the shell.", kind=REPORTED, modes=(("-c", "with -c"),))
def sigint_to_shell(p):
    ran = p.run('"$H" print_pgrp sigint_parent; echo went on', status=None)
    if "Sent SIGINT to %d\n" % ran.pid not in ran.err:
        raise NoVerdict("the helper never said it sent the shell SIGINT: it printed %r" % ran.err)
    went_on, ended = "went on" in ran.out, describe_status(ran.status)
    return Report("sent SIGINT by its child, the shell %s and %s" % (
        "went on to the next command" if went_on else "did not run the next command", ended),
        "%s, %s" % ("went on" if went_on else "stopped", ended))
