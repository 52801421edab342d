"""The interactive checks: job control on a pty of the shell's own."""

import os
import signal
import termios

from ..proc import Stat, catches, state
from ..proc import stat as proc_stat
from ..protocol import groups, names, signal_set
from ..pty_session import wait_for
from ..reaper import reap
from ..registry import REPORTED
from ..spawn import describe_status
from ..verdicts import Failed, NoVerdict, Report
from .shell import interactive, posix

JOB_SIGNALS = ["SIGINT", "SIGQUIT", "SIGTERM", "SIGTSTP", "SIGTTIN", "SIGTTOU"]
JOB_CONTROL = "Job Control; set -m"


def job_group(s, out, what):
    """The group print_pgrp wrote to `out`, which must differ from the shell's."""
    text = s.line(out)
    (pgrp,) = groups(text, 1)
    if pgrp == s.stat().pgrp:
        raise Failed("%s ran in the shell's own group %d" % (what, pgrp))
    return pgrp


def job_and_terminal(s, suffix, where, wanted):
    """Runs print_pgrp and report_foreground as a job, `suffix` after it."""
    s.command(s.h("print_pgrp report_foreground", "out", "err") + suffix)
    pgrp = job_group(s, "out", where)
    report = s.line("err")
    if report != wanted:
        raise Failed("%s in group %d said %r; %r expected" % (where, pgrp, report, wanted))
    return "%s ran in group %d, not the shell's %d, and said %r" % (
        where, pgrp, s.stat().pgrp, report)


JOBS = posix(JOB_CONTROL, "with job control on, each job runs in a process group of its own; a "
             "foreground job's group owns the terminal until it ends or stops.")


@interactive("foreground-job-owns-terminal", JOBS)
def foreground_job_owns_terminal(s):
    return job_and_terminal(s, "", "a foreground job", "foreground")


@interactive("background-job-own-group", JOBS)
def background_job_own_group(s):
    return job_and_terminal(s, " & wait", "a background job", "background")


@interactive("pipeline-one-group", posix(
    JOB_CONTROL, "a job is a whole pipeline, so all of a pipeline's commands share one process "
    "group."))
def pipeline_one_group(s):
    # The braces keep the file the first command's only output: zsh's MULTIOS
    # would copy it to the pipe too, through a process that may die of SIGPIPE
    # before it writes the file.
    s.command("{ %s; } | %s" % (s.h("print_pgrp", "a"), s.h("print_pgrp", "b")))
    first = job_group(s, "a", "a pipeline's first command")
    second = job_group(s, "b", "a pipeline's second command")
    if first != second:
        raise Failed("a pipeline's commands ran in groups %d and %d; one group expected" %
                     (first, second))
    return "both commands of a pipeline ran in group %d, not the shell's %d" % (
        first, s.stat().pgrp)


@interactive("jobs-get-default-signals", posix(
    "sh, Asynchronous Events; Job Control", "an interactive shell ignores SIGQUIT and SIGTERM, "
    "and with -m SIGTSTP, SIGTTIN and SIGTTOU, for itself; its jobs get the dispositions the "
    "shell inherited."))
def jobs_get_default_signals(s):
    s.command(s.h("print_ignored_signals print_pgrp", "fg.out", "fg"))
    s.command(s.h("print_ignored_signals print_pgrp", "bg.out", "bg") + " & wait")
    job_signals = {getattr(signal, name) for name in JOB_SIGNALS}
    for where, name in (("a foreground", "fg"), ("a background", "bg")):
        groups(s.line(name + ".out"), 1)
        got = signal_set(s.contents(name))
        if got & job_signals:
            raise Failed("%s job had %s ignored; none of %s may be" %
                         (where, names(got), ", ".join(JOB_SIGNALS)))
    return "foreground and background jobs had none of %s ignored" % ", ".join(JOB_SIGNALS)


def stop_with_suspend_character(s):
    """Starts print_stop_cont in the foreground, types the terminal's suspend
    character once the helper waits for input there, and returns the helper's
    pid and group once it is stopped and the shell has the terminal back."""
    s.type(s.h("print_stop_cont", "sc"))
    pid = s.helper_pid()
    pgrp = (proc_stat(pid) or Stat("gone", 0, 0, 0, 0)).pgrp
    wait_for(lambda: catches(pid, signal.SIGTSTP) and state(pid) == "S" and
             s.stat().tpgid == pgrp, "print_stop_cont waiting for input in the foreground")
    os.write(s.master, termios.tcgetattr(s.master)[6][termios.VSUSP])
    try:
        wait_for(lambda: state(pid) == "T", "stop after the suspend character")
        s.wait_prompt()
    except NoVerdict as e:
        raise NoVerdict("%s; print_stop_cont printed %r" % (e, s.contents("sc")))
    if s.contents("sc") != "SIGTSTP\n":
        raise Failed("stopped, print_stop_cont printed %r; 'SIGTSTP\\n' expected" %
                     s.contents("sc"))
    shell_owns_terminal(s, "with the job stopped")
    return pid, pgrp


def shell_owns_terminal(s, when):
    shell = s.stat()
    if shell.tpgid != shell.pgrp:
        raise Failed("%s the terminal's group is %d, not the shell's %d" %
                     (when, shell.tpgid, shell.pgrp))


def wait_for_sigcont(s, after):
    try:
        wait_for(lambda: s.contents("sc") == "SIGTSTP\nSIGCONT\n", "SIGCONT after " + after)
    except NoVerdict as e:
        raise NoVerdict("%s; print_stop_cont printed %r" % (e, s.contents("sc")))


STOPS = posix("Job Control; fg; bg", "a stopped job is reported and the shell takes the terminal "
              "back; fg gives the job the terminal and then sends SIGCONT; bg sends SIGCONT and "
              "leaves the terminal with the shell.")


@interactive("ctrl-z-stops-and-fg-resumes", STOPS)
def ctrl_z_stops_and_fg_resumes(s):
    pid, pgrp = stop_with_suspend_character(s)
    s.type("fg")
    wait_for_sigcont(s, "fg")
    wait_for(lambda: s.stat().tpgid == pgrp, "terminal given back to the job by fg")
    s.type("")
    wait_for(lambda: state(pid) in ("Z", "gone"), "end of print_stop_cont at a line of input")
    s.wait_prompt()
    return ("the suspend character stopped the job and the shell took the terminal back; fg "
            "continued it with the terminal, and a line of input ended it")


@interactive("bg-resumes-in-background", STOPS)
def bg_resumes_in_background(s):
    pid, pgrp = stop_with_suspend_character(s)
    s.type("bg")
    wait_for_sigcont(s, "bg")
    # The kernel decides, not the prompt: the SIGCHLD of the job's continue,
    # and of its stop, reaches the shell as it writes the prompt, and a shell
    # whose write that interrupts may drop the prompt (busybox does, under
    # load). Continued in the background, the helper's read of the terminal
    # stops it again; given the terminal, the helper waits in that read.
    wait_for(lambda: state(pid) == "T" or s.stat().tpgid == pgrp,
             "stop at the terminal's read, or the terminal given to the job, after bg")
    shell_owns_terminal(s, "after bg")
    return ("bg continued the stopped job, whose read of the terminal then stopped it, while "
            "the shell kept the terminal")


@interactive("bg-stop-keeps-terminal", posix(
    "Job Control", "a background job that reads the terminal is stopped by SIGTTIN, and the "
    "terminal stays with the foreground."))
def bg_stop_keeps_terminal(s):
    s.command(s.h("print_stop_cont", "sc") + " &")
    pid = s.helper_pid()
    try:
        wait_for(lambda: state(pid) == "T", "stop of a background job that reads the terminal")
    except NoVerdict:
        raise Failed("a background job that reads the terminal was not stopped: it is %s and "
                     "printed %r" % (state(pid), s.contents("sc")))
    shell_owns_terminal(s, "with the background job stopped")
    report = job_and_terminal(s, "", "the next foreground job", "foreground")
    return "a background job that read the terminal was stopped; %s" % report


@interactive("nohup-outlives-shell", "whether a background nohup_wait job outlives the "
             "interactive shell's exit, and what it then sees: POSIX leaves it to the shell.",
             kind=REPORTED)
def nohup_outlives_shell(s):
    s.command(s.h("nohup_wait", "out") + " &")
    pid = s.helper_pid()
    wait_for(lambda: not os.path.exists("/proc/%d/fd/1" % pid), "nohup_wait closing its streams")
    s.type("exit")
    ended = {}

    def shell_gone():
        try:
            s.read(0.01)
        except NoVerdict:
            pass  # the shell hung up as it exited
        if s.prompts_seen() > s.prompts:
            s.prompts = s.prompts_seen()
            s.type("exit")  # a shell that warns of running jobs exits at the second
        ended.update(reap())
        return s.pid in ended
    wait_for(shell_gone, "exit of the shell")
    if pid in ended or state(pid) in ("Z", "gone"):
        return Report("a background nohup_wait job ended with the shell's exit", "ended with it")
    try:
        # Given a new parent, nohup_wait goes on within a quarter second.
        wait_for(lambda: ended.update(reap()) or pid in ended, "end", deadline=1.0)
    except NoVerdict:
        return Report("a background nohup_wait job outlived the shell's exit, and so did its "
                      "parent, pid %d, which is not the shell: it still waits" %
                      proc_stat(pid).ppid, "outlived it, still waits")
    ending = describe_status(ended[pid])
    return Report("a background nohup_wait job outlived the shell's exit and, given a new parent, "
                  "%s" % ending, "outlived it, " + ending)
