"""The checks: each one's declaration gives its id, its kind and its rule, and
its body reads what the helper reported. In a script, `$H` is the helper."""

import os
import signal
import termios

from .driver import (PROMPT, Stat, catches, describe_status, helper_in, proc_stat, reap, state,
                     wait_for)
from .registry import (REPORTED, groups, hygiene, interactive, names, posix, scripted,
                       signal_set)
from .verdicts import Failed, NotApplicable, NoVerdict

INT_QUIT = {signal.SIGINT, signal.SIGQUIT}
JOB_SIGNALS = ["SIGINT", "SIGQUIT", "SIGTERM", "SIGTSTP", "SIGTTIN", "SIGTTOU"]
SIGNALS = "Signals and Error Handling"
ENVIRONMENT = "Shell Execution Environment"
JOB_CONTROL = "Job Control; set -m"
REPORT = '"$H" print_ignored_signals print_pgrp'

# ------------------------------------------------------ dispositions handed down


@scripted("async-ignores-int-quit", posix(
    SIGNALS, "with job control off, the commands of an asynchronous list inherit SIGINT and "
    "SIGQUIT ignored."))
def async_ignores_int_quit(p):
    got, _ = p.signals(REPORT + " & wait")
    if not INT_QUIT <= got:
        raise Failed("an asynchronous command had %s ignored; SIGINT and SIGQUIT must be" %
                     names(got))
    return "an asynchronous command had %s ignored" % names(got)


COMPOUND = (("a brace group", "{ %s; } & wait"), ("a subshell", "( %s ) & wait"),
            ("a function call", "f() { %s; }; f & wait"), ("an AND list", "true && %s & wait"))


@scripted("async-compound-ignores-int-quit", posix(
    SIGNALS, "an asynchronous list is any AND-OR list ended by &, and its commands inherit SIGINT "
    "and SIGQUIT ignored whether it is simple, compound or a function call."))
def async_compound_ignores_int_quit(p):
    for what, form in COMPOUND:
        script = form % REPORT
        got, _ = p.signals(script)
        if not INT_QUIT <= got:
            raise Failed("in %s, %r, the command had %s ignored; SIGINT and SIGQUIT must be" %
                         (what, script, names(got)))
    return "a brace group, a subshell, a function call and an AND list, each ended by &, " \
        "handed down SIGINT and SIGQUIT ignored"


@scripted("async-trap-resets-int-quit", posix(
    SIGNALS + "; trap", "a trap inside an asynchronous list may set SIGINT and SIGQUIT back to "
    "their default for the commands it runs."))
def async_trap_resets_int_quit(p):
    got, _ = p.signals("{ trap - INT QUIT; %s; } & wait" % REPORT)
    if got & INT_QUIT:
        raise Failed("after trap - INT QUIT inside an asynchronous list, a command had %s "
                     "ignored; SIGINT and SIGQUIT must be at their default" % names(got))
    return "after trap - INT QUIT inside an asynchronous list, a command had %s ignored" % \
        names(got)


@scripted("keeps-inherited-dispositions", posix(
    SIGNALS, "commands inherit the signal actions the shell inherited, apart from the changes "
    "the section lists."))
def keeps_inherited_dispositions(p):
    handed = {signal.SIGUSR1, signal.SIGTERM}
    got, _ = p.signals(REPORT, ignored=handed)
    if got != handed:
        raise Failed("started with %s ignored, the shell handed down %s ignored" %
                     (names(handed), names(got)))
    return "started with %s ignored, the shell handed down the same" % names(handed)


@scripted("ignored-on-entry-stays-ignored", posix(
    SIGNALS + "; trap", "a signal ignored on entry to a non-interactive shell cannot be trapped "
    "or reset, so its commands inherit it ignored whatever the script's traps say."))
def ignored_on_entry_stays_ignored(p):
    for trap in ("trap true USR1", "trap - USR1"):
        got, _ = p.signals("%s; %s" % (trap, REPORT), ignored={signal.SIGUSR1})
        if signal.SIGUSR1 not in got:
            raise Failed("started with SIGUSR1 ignored, after %s a command had %s ignored; "
                         "SIGUSR1 must stay ignored" % (trap, names(got)))
    return "started with SIGUSR1 ignored, after trap true USR1 and after trap - USR1 a command " \
        "still had it ignored"


@scripted("trap-ignore-handed-down", posix(
    SIGNALS + "; " + ENVIRONMENT, "a signal trapped to '' stays ignored for the commands the "
    "shell runs."))
def trap_ignore_handed_down(p):
    got, _ = p.signals("trap '' USR2; " + REPORT)
    if signal.SIGUSR2 not in got:
        raise Failed("after trap '' USR2 a command had %s ignored, without SIGUSR2" % names(got))
    return "after trap '' USR2 a command had %s ignored" % names(got)


@scripted("trap-action-reset", posix(
    SIGNALS + "; " + ENVIRONMENT, "a signal trapped to an action is at its default in the "
    "commands the shell runs; that it is not left blocked either is hygiene."))
def trap_action_reset(p):
    ignored, _ = p.signals("trap true USR2; " + REPORT)
    blocked, _ = p.signals('trap true USR2; "$H" print_blocked_signals print_pgrp')
    if signal.SIGUSR2 in ignored | blocked:
        raise Failed("after trap true USR2 a command had %s ignored and %s blocked; SIGUSR2 "
                     "must be neither" % (names(ignored), names(blocked)))
    return "after trap true USR2 a command had SIGUSR2 neither ignored nor blocked"


@scripted("exec-hands-down", posix(
    "exec; " + SIGNALS, "exec utility replaces the shell with the utility, which inherits the "
    "same signal actions: ignored stays ignored, trapped becomes default."))
def exec_hands_down(p):
    got, _ = p.signals("trap true USR1; trap '' USR2; exec " + REPORT)
    if signal.SIGUSR2 not in got or signal.SIGUSR1 in got:
        raise Failed("after trap true USR1 and trap '' USR2, exec handed down %s ignored; "
                     "SIGUSR2 ignored and SIGUSR1 at its default expected" % names(got))
    return "after trap true USR1 and trap '' USR2, exec handed down %s ignored" % names(got)


@scripted("empty-mask-handed-down", hygiene(
    "the signal mask a command starts with should be the one the shell inherited, empty here; "
    "POSIX specifies dispositions, not the mask."))
def empty_mask_handed_down(p):
    blocked = '"$H" print_blocked_signals print_pgrp'
    for where, script in (("a foreground", blocked), ("an asynchronous", blocked + " & wait"),
                          ("an exec'd", "exec " + blocked)):
        got, _ = p.signals(script)
        if got:
            raise Failed("%s command had %s blocked; none must be" % (where, names(got)))
    return "foreground, asynchronous and exec'd commands had no signal blocked"


# ---------------------------------------------------------------- descriptors

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


def listed(fds):
    return " ".join(str(fd) for fd in sorted(fds))


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
    return "descriptor 5, opened by exec, %s a utility" % (
        "stayed open for" if 5 in got else "was closed before")


def stdin_of(p, script, fifo=None):
    """Runs `script`, whose helper runs print_pgrp print_stop_cont, with the
    shell's stdin a pipe that the audit holds open, and `fifo` open for
    writing. Returns what the helper read from, where it waited for input
    (it is then given a line), or None where it met end of input at once."""
    read_end, write_end = os.pipe()
    writer = os.open(fifo, os.O_RDWR | os.O_NONBLOCK) if fifo else None
    seen = []

    def release_a_reader(sid):
        pid = None if seen else helper_in(sid, p.shell.helper)
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


# --------------------------------------------------------------- process groups


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
    return "sent SIGINT by its child, the shell %s and %s" % (
        "went on to the next command" if "went on" in ran.out else "did not run the next command",
        describe_status(ran.status))


# ---------------------------------------------------------- interactive checks


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
    stop_with_suspend_character(s)
    s.type("bg")
    wait_for_sigcont(s, "bg")
    s.wait_prompt()
    shell_owns_terminal(s, "after bg")
    return "bg continued the stopped job while the shell kept the terminal"


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
        if s.output.count(PROMPT) > s.prompts:
            s.prompts = s.output.count(PROMPT)
            s.type("exit")  # a shell that warns of running jobs exits at the second
        ended.update(reap())
        return s.pid in ended
    wait_for(shell_gone, "exit of the shell")
    if pid in ended or state(pid) in ("Z", "gone"):
        return "a background nohup_wait job ended with the shell's exit"
    try:
        # Given a new parent, nohup_wait goes on within a quarter second.
        wait_for(lambda: ended.update(reap()) or pid in ended, "end", deadline=1.0)
    except NoVerdict:
        return ("a background nohup_wait job outlived the shell's exit, and so did its parent, "
                "pid %d, which is not the shell: it still waits" % proc_stat(pid).ppid)
    return "a background nohup_wait job outlived the shell's exit and, given a new parent, %s" % (
        describe_status(ended[pid]))

