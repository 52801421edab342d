#!/usr/bin/env python3
"""Puts POSIX shells through job-control and hand-down checks, with
zelk_test_helper as the child that reports what each shell gave it.

usage: shell_audit.py [--helper PATH] [--json] [--only ID,ID,...] SHELL...

Exit status: 0 when every shell passes every check that has a verdict, 1 when
any fails, 2 for bad usage.
"""

import argparse
import collections
import ctypes
import errno
import fcntl
import json
import os
import pty
import re
import select
import shlex
import shutil
import signal
import struct
import sys
import tempfile
import termios
import time

DEFAULT_HELPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "build",
                              "zelk_test_helper")
DEADLINE = 10.0  # seconds for any one fact to show, or for one run of a shell
PROMPT = b"PROMPT> "
# Typed so that the terminal's echo of a line cannot match what it prints.
SET_PROMPT = "PS1='PR''OMPT> '; PS2=''"
ASK_JOB_CONTROL = "case $- in *m*) echo J''C-on;; *) echo J''C-off;; esac"
# Options that keep a shell from reading its start-up files; other shells read
# only $ENV and files under $HOME, and the audit gives them neither.
NO_RC = {"bash": ["--norc", "--noprofile"], "zsh": ["-f"], "yash": ["--norcfile", "--noprofile"]}
JOB_SIGNALS = ["SIGINT", "SIGQUIT", "SIGTERM", "SIGTSTP", "SIGTTIN", "SIGTTOU"]


class Failed(Exception):
    """A check's verdict is FAIL; the text says what was seen and expected."""


class NotApplicable(Exception):
    """A check cannot be judged for this shell; the text says why."""


# ---------------------------------------------------------------- processes


def become_subreaper():
    # Orphans of every shell come back to the audit, which reaps them, so
    # nothing it starts outlives it or lands on PID 1.
    if sys.platform.startswith("linux"):
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER


Stat = collections.namedtuple("Stat", "state ppid pgrp session tpgid")


def proc_stat(pid):
    """The kernel's view of a process, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return Stat(fields[0], *(int(field) for field in fields[1:4] + fields[5:6]))


def state(pid):
    """The process's state letter, "gone" once it has been reaped."""
    st = proc_stat(pid)
    return st.state if st else "gone"


def catches(pid, signo):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("SigCgt:"):
                    return bool(int(line.split()[1], 16) >> (signo - 1) & 1)
    except OSError:
        pass
    return False


def session_members(sid):
    pids = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            st = proc_stat(int(name))
            if st is not None and st.session == sid:
                pids.append(int(name))
    return pids


def end_session(sid):
    """Kills every process of the session that `sid` leads, and reaps every
    child the audit has, its own and the orphans that came back to it."""
    end = time.monotonic() + DEADLINE
    while True:
        members = session_members(sid)
        for pid in members:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        reap()
        if not members or time.monotonic() > end:
            return
        time.sleep(0.005)


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


def wait_for(fact, what, deadline=DEADLINE):
    """Polls `fact` until it returns a true value, which it returns."""
    end = time.monotonic() + deadline
    while True:
        value = fact()
        if value:
            return value
        if time.monotonic() > end:
            raise Failed("no %s within %g s" % (what, deadline))
        time.sleep(0.005)


def exec_child(argv, env, ignored=(), stdio=None):
    """In a new child, never returning: with `stdio`, a session of its own
    and those descriptors on 0, 1 and 2 (pty.fork has done both otherwise);
    every disposition at its default but `ignored`, an empty mask, no
    descriptor above 2; then `argv`."""
    try:
        if stdio is not None:
            os.setsid()
            for fd, source in enumerate(stdio):
                os.dup2(source, fd)
        for signo in range(1, signal.NSIG):
            if signo not in (signal.SIGKILL, signal.SIGSTOP):
                try:
                    signal.signal(signo, signal.SIG_IGN if signo in ignored else signal.SIG_DFL)
                except (OSError, ValueError):
                    pass  # kept by the C library for itself
        signal.pthread_sigmask(signal.SIG_SETMASK, [])
        for fd in [int(fd) for fd in os.listdir("/proc/self/fd")]:
            if fd > 2:
                try:
                    os.close(fd)
                except OSError:
                    pass  # the descriptor listdir itself read
        os.execve(argv[0], argv, env)
    except BaseException as e:  # never back into the audit's own code
        os.write(2, ("cannot execute %s: %s\n" % (argv[0], e)).encode())
    os._exit(127)


def run(argv, env, ignored=()):
    """Runs `argv` on stdin /dev/null to its end, returning (status, stdout,
    stderr). A run that has not ended by the deadline is killed."""
    out_r, out_w = os.pipe()
    err_r, err_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        exec_child(argv, env, ignored, (os.open(os.devnull, os.O_RDONLY), out_w, err_w))
    os.close(out_w)
    os.close(err_w)
    texts = {out_r: b"", err_r: b""}
    end = time.monotonic() + DEADLINE
    status = None
    try:
        open_fds = [out_r, err_r]
        while open_fds and time.monotonic() < end:
            ready, _, _ = select.select(open_fds, [], [], max(0.0, end - time.monotonic()))
            for fd in ready:
                data = os.read(fd, 65536)
                if data:
                    texts[fd] += data
                else:
                    open_fds.remove(fd)
        while status is None and time.monotonic() < end:
            done, st = os.waitpid(pid, os.WNOHANG)
            if done:
                status = st
            else:
                time.sleep(0.005)
    finally:
        os.close(out_r)
        os.close(err_r)
        end_session(pid)
    if status is None:
        raise Failed("%s had not ended after %g s" % (argv[0], DEADLINE))
    return status, texts[out_r].decode(errors="replace"), texts[err_r].decode(errors="replace")


class Shell:
    """A shell as given on the command line, and how the audit starts it."""

    def __init__(self, given, helper, home):
        self.given = given
        words = shlex.split(given)
        self.words = [shutil.which(words[0])] + words[1:] + NO_RC.get(
            os.path.basename(words[0]), [])
        self.helper = helper
        self.set_helper = "H=%s" % shlex.quote(helper)  # a script's first line: $H is the helper
        self.home = home
        self.env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "HOME": home, "LC_ALL": "C",
                    "TERM": "dumb"}
        self.no_session = None  # why it cannot be audited interactively, once known

    def run(self, args, ignored=()):
        return run(self.words + args, self.env, ignored)

    def version(self):
        script = ('echo "${BASH_VERSION:-${ZSH_VERSION:-${KSH_VERSION:-${YASH_VERSION:-'
                  '${POSH_VERSION:-}}}}}"')
        try:
            status, out, _ = self.run(["-c", script])
            if status == 0 and out.strip():
                return out.strip()
            # Others, busybox among them, name their version in their help.
            status, out, err = run([self.words[0], "--help"], self.env)
            first = (out or err).splitlines()[:1]
            if status == 0 and first and re.search(r"\bv?\d+\.\d+", first[0]):
                return first[0].strip()
        except Failed:
            pass
        return None


def describe_status(status):
    if os.WIFSIGNALED(status):
        return "died by %s" % signal.Signals(os.WTERMSIG(status)).name
    return "exited %d" % os.WEXITSTATUS(status)


# ---------------------------------------------------------------- reports


def signal_set(lines):
    """Signal numbers from the helper's report lines, "TEXT: N"."""
    numbers = set()
    for line in lines.splitlines():
        match = re.search(r":\s*(\d+)$", line)
        if not match:
            raise Failed("unexpected line from the shell or the helper: %r" % line)
        numbers.add(int(match.group(1)))
    return numbers


def names(numbers):
    found = []
    for n in sorted(numbers):
        try:
            found.append(signal.Signals(n).name)
        except ValueError:
            found.append(str(n))
    return "{%s}" % ", ".join(found) if found else "no signal"


def listed(fds):
    return " ".join(str(fd) for fd in sorted(fds))


def fd_set(text):
    if not re.fullmatch(r"\d+( \d+)*\n", text):
        raise Failed("print_fds printed %r" % text)
    return set(int(n) for n in text.split())


# ------------------------------------------------------ non-interactive checks
# Each is judged in `SHELL -c SCRIPT` and in `SHELL FILE` alike, through a
# probe that runs a script in one of them; `$H` in a script is the helper.


def both_modes(check):
    def judge(shell):
        seen = []
        for mode, said in (("-c", "with -c"), ("FILE", "from a file")):
            def probe(script, ignored=(), stream="err", mode=mode):
                return run_script(shell, mode, script, ignored, stream)
            try:
                seen.append(check(probe))
            except Failed as e:
                raise Failed("%s: %s" % (said, e))
        return seen[0] if seen[0] == seen[1] else "with -c: %s; from a file: %s" % tuple(seen)
    return judge


def run_script(shell, mode, script, ignored, stream):
    """What the shell and the helper print to `stream` for `script`."""
    setup = shell.set_helper
    if mode == "-c":
        status, out, err = shell.run(["-c", "%s; %s" % (setup, script)], ignored)
    else:
        with tempfile.NamedTemporaryFile("w", suffix=".sh", dir=shell.home) as f:
            f.write("%s\n%s\n" % (setup, script))
            f.flush()
            status, out, err = shell.run([f.name], ignored)
    if status != 0:
        raise Failed("%r: the shell %s, saying %r" %
                     (script, describe_status(status), (out + err).strip()))
    return out if stream == "out" else err


@both_modes
def async_ignores_int_quit(probe):
    got = signal_set(probe('"$H" print_ignored_signals & wait'))
    need = {signal.SIGINT, signal.SIGQUIT}
    if not need <= got:
        raise Failed("an asynchronous command had %s ignored; SIGINT and SIGQUIT must be" %
                     names(got))
    return "an asynchronous command had %s ignored" % names(got)


@both_modes
def keeps_inherited_dispositions(probe):
    handed = {signal.SIGUSR1, signal.SIGTERM}
    got = signal_set(probe('"$H" print_ignored_signals', ignored=handed))
    if got != handed:
        raise Failed("started with %s ignored, the shell handed down %s ignored" %
                     (names(handed), names(got)))
    return "started with %s ignored, the shell handed down the same" % names(handed)


@both_modes
def trap_ignore_handed_down(probe):
    got = signal_set(probe("trap '' USR2; \"$H\" print_ignored_signals"))
    if signal.SIGUSR2 not in got:
        raise Failed("after trap '' USR2 a command had %s ignored, without SIGUSR2" % names(got))
    return "after trap '' USR2 a command had %s ignored" % names(got)


@both_modes
def trap_action_reset(probe):
    ignored = signal_set(probe("trap true USR2; \"$H\" print_ignored_signals"))
    blocked = signal_set(probe("trap true USR2; \"$H\" print_blocked_signals"))
    if signal.SIGUSR2 in ignored | blocked:
        raise Failed("after trap true USR2 a command had %s ignored and %s blocked; SIGUSR2 "
                     "must be neither" % (names(ignored), names(blocked)))
    return "after trap true USR2 a command had SIGUSR2 neither ignored nor blocked"


@both_modes
def empty_mask_handed_down(probe):
    for where, script in (("a foreground", '"$H" print_blocked_signals'),
                          ("an asynchronous", '"$H" print_blocked_signals & wait')):
        got = signal_set(probe(script))
        if got:
            raise Failed("%s command had %s blocked; none must be" % (where, names(got)))
    return "foreground and asynchronous commands had no signal blocked"


@both_modes
def no_leaked_descriptors(probe):
    for where, script in (("a foreground command", '"$H" print_fds'),
                          ("an asynchronous command", '"$H" print_fds & wait'),
                          ("the first command of a pipeline", '"$H" print_fds | cat'),
                          ("the last command of a pipeline", ': | "$H" print_fds')):
        got = fd_set(probe(script, stream="out"))
        if got != {0, 1, 2}:
            raise Failed("%s saw descriptors %s; 0 1 2 expected (hygiene, not a POSIX rule)" %
                         (where, listed(got)))
    return "foreground, asynchronous and pipeline commands saw 0 1 2 (hygiene, not a POSIX rule)"


@both_modes
def redirections_handed_down(probe):
    base = fd_set(probe('"$H" print_fds', stream="out"))
    for script, want in (('"$H" print_fds 3</dev/null', base | {3}),
                         ('"$H" print_fds <&-', base - {0}),
                         ('exec 5</dev/null; "$H" print_fds', base | {5})):
        got = fd_set(probe(script, stream="out"))
        if got != want:
            # POSIX leaves open whether exec's descriptors above 2 stay open
            # for utilities; ksh-family shells close them.
            note = " (a choice POSIX leaves open)" if "exec" in script else ""
            raise Failed("%r saw %s; %s expected, against %s without it%s" %
                         (script, listed(got), listed(want), listed(base), note))
    return "3</dev/null, <&- and exec 5</dev/null each changed exactly their descriptor"


def sigint_to_shell(shell):
    status, out, _ = shell.run(["-c", shell.set_helper + '; "$H" sigint_parent; echo went on'])
    went_on = "went on" in out
    return "sent SIGINT by its child, the shell %s and %s" % (
        "went on to the next command" if went_on else "did not run the next command",
        describe_status(status))


# ---------------------------------------------------------- interactive checks


class Session:
    """The shell run interactively, leading a new session on a new pty, with a
    prompt the audit can match and job control asked for."""

    def __init__(self, shell):
        self.shell = shell
        self.pid, self.master = pty.fork()
        if self.pid == 0:
            exec_child(shell.words + ["-i"], shell.env)
        fcntl.ioctl(self.master, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 500, 0, 0))
        self.output = b""
        self.prompts = 0
        self.files = tempfile.mkdtemp(dir=shell.home)
        try:
            self.command(SET_PROMPT)
            self.command("set -m")
            self.type(ASK_JOB_CONTROL)
            answer = self.wait_output(lambda t: re.search(rb"JC-o(n|ff)", t), "answer")
            self.wait_prompt()
        except Failed as e:
            self.close()
            raise NotApplicable("as an interactive shell on a pty: %s" % e)
        if b"JC-on" not in answer.group(0):
            self.close()
            raise NotApplicable("set -m did not turn on job control")

    def read(self, timeout):
        ready, _, _ = select.select([self.master], [], [], timeout)
        if ready:
            try:
                data = os.read(self.master, 65536)
            except OSError as e:
                if e.errno != errno.EIO:
                    raise
                data = b""
            if not data:
                raise Failed("the shell hung up; it printed %r" % self.tail())
            # Escape sequences from line editors that redraw the line.
            self.output += re.sub(rb"\x1b(\[[0-9;?]*[A-Za-z]|\][^\x07]*\x07|[=>])", b"", data)

    def tail(self):
        return self.output[-300:].decode(errors="replace")

    def wait_output(self, fact, what):
        end = time.monotonic() + DEADLINE
        while True:
            found = fact(self.output)
            if found:
                return found
            if time.monotonic() > end:
                raise Failed("no %s within %g s; the terminal shows %r" %
                             (what, DEADLINE, self.tail()))
            self.read(max(0.0, end - time.monotonic()))

    def wait_prompt(self):
        want = self.prompts + 1
        self.wait_output(lambda t: t.count(PROMPT) >= want, "prompt")
        self.prompts = self.output.count(PROMPT)

    def type(self, line):
        os.write(self.master, line.encode() + b"\n")

    def command(self, line):
        """Types a line and waits for the prompt that follows it."""
        self.type(line)
        self.wait_prompt()

    def stat(self):
        st = proc_stat(self.pid)
        if st is None:
            raise Failed("the shell is gone; it printed %r" % self.tail())
        return st

    def path(self, name):
        return os.path.join(self.files, name)

    def contents(self, name):
        try:
            with open(self.path(name)) as f:
                return f.read()
        except OSError:
            return ""

    def line(self, name):
        """The line the helper wrote to a file, waited for: a shell may write a
        job's output through a process of its own that ends after the prompt."""
        try:
            return wait_for(lambda: self.contents(name).endswith("\n") and self.contents(name),
                            "line in " + name).strip()
        except Failed:
            return self.contents(name).strip()

    def h(self, words, out, err=None):
        """A command line that runs the helper with its streams in files."""
        line = "%s %s >%s" % (shlex.quote(self.shell.helper), words, shlex.quote(self.path(out)))
        return line + (" 2>%s" % shlex.quote(self.path(err)) if err else "")

    def helper_pid(self):
        """The pid of the helper once it runs in this session."""
        real = os.path.realpath(self.shell.helper)

        def find():
            for pid in session_members(self.pid):
                try:
                    if os.readlink("/proc/%d/exe" % pid) == real:
                        return pid
                except OSError:
                    pass
            return None
        return wait_for(find, "helper in the shell's session")

    def close(self):
        end_session(self.pid)
        os.close(self.master)
        shutil.rmtree(self.files, ignore_errors=True)


def interactive(check):
    """Runs `check` on a new session of the shell; once a shell has shown it
    cannot be audited so, its other interactive checks say why at once."""
    def judge(shell):
        if shell.no_session:
            raise NotApplicable(shell.no_session)
        try:
            session = Session(shell)
        except NotApplicable as e:
            shell.no_session = str(e)
            raise
        try:
            return check(session)
        finally:
            session.close()
    judge.interactive = True
    return judge


def job_group(s, out, what):
    """The group print_pgrp wrote to `out`, which must differ from the shell's."""
    text = s.line(out)
    if not text.isdigit():
        raise Failed("print_pgrp in %s printed %r" % (what, text))
    if int(text) == s.stat().pgrp:
        raise Failed("%s ran in the shell's own group %s" % (what, text))
    return int(text)


def job_and_terminal(s, suffix, where, wanted):
    """Runs print_pgrp and report_foreground as a job, `suffix` after it."""
    s.command(s.h("print_pgrp report_foreground", "out", "err") + suffix)
    pgrp = job_group(s, "out", where)
    report = s.line("err")
    if report != wanted:
        raise Failed("%s in group %d said %r; %r expected" % (where, pgrp, report, wanted))
    return "%s ran in group %d, not the shell's %d, and said %r" % (
        where, pgrp, s.stat().pgrp, report)


@interactive
def foreground_job_owns_terminal(s):
    return job_and_terminal(s, "", "a foreground job", "foreground")


@interactive
def background_job_own_group(s):
    return job_and_terminal(s, " & wait", "a background job", "background")


@interactive
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


@interactive
def jobs_get_default_signals(s):
    s.command(s.h("print_ignored_signals", "fg.out", "fg"))
    s.command(s.h("print_ignored_signals", "bg.out", "bg") + " & wait")
    job_signals = {getattr(signal, name) for name in JOB_SIGNALS}
    for where, name in (("a foreground", "fg"), ("a background", "bg")):
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
    except Failed as e:
        raise Failed("%s; print_stop_cont printed %r" % (e, s.contents("sc")))
    if s.contents("sc") != "SIGTSTP\n":
        raise Failed("stopped, print_stop_cont printed %r; 'SIGTSTP\\n' expected" %
                     s.contents("sc"))
    shell = s.stat()
    if shell.tpgid != shell.pgrp:
        raise Failed("with the job stopped the terminal's group is %d, not the shell's %d" %
                     (shell.tpgid, shell.pgrp))
    return pid, pgrp


def wait_for_sigcont(s, after):
    try:
        wait_for(lambda: s.contents("sc") == "SIGTSTP\nSIGCONT\n", "SIGCONT after " + after)
    except Failed as e:
        raise Failed("%s; print_stop_cont printed %r" % (e, s.contents("sc")))


@interactive
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


@interactive
def bg_resumes_in_background(s):
    stop_with_suspend_character(s)
    s.type("bg")
    wait_for_sigcont(s, "bg")
    s.wait_prompt()
    shell = s.stat()
    if shell.tpgid != shell.pgrp:
        raise Failed("after bg the terminal's group is %d, not the shell's %d" %
                     (shell.tpgid, shell.pgrp))
    return "bg continued the stopped job while the shell kept the terminal"


@interactive
def nohup_outlives_shell(s):
    s.command(s.h("nohup_wait", "out") + " &")
    pid = s.helper_pid()
    wait_for(lambda: not os.path.exists("/proc/%d/fd/1" % pid), "nohup_wait closing its streams")
    s.type("exit")
    ended = {}

    def shell_gone():
        try:
            s.read(0.01)
        except Failed:
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
    except Failed:
        return ("a background nohup_wait job outlived the shell's exit, and so did its parent, "
                "pid %d, which is not the shell: it still waits" % proc_stat(pid).ppid)
    return "a background nohup_wait job outlived the shell's exit and, given a new parent, %s" % (
        describe_status(ended[pid]))


# ---------------------------------------------------------------- the audit

# (id, how it is run, what it checks, or None for a report without a verdict)
CHECKS = [
    ("async-ignores-int-quit", async_ignores_int_quit, True),
    ("keeps-inherited-dispositions", keeps_inherited_dispositions, True),
    ("trap-ignore-handed-down", trap_ignore_handed_down, True),
    ("trap-action-reset", trap_action_reset, True),
    ("empty-mask-handed-down", empty_mask_handed_down, True),
    ("no-leaked-descriptors", no_leaked_descriptors, True),
    ("redirections-handed-down", redirections_handed_down, True),
    ("foreground-job-owns-terminal", foreground_job_owns_terminal, True),
    ("background-job-own-group", background_job_own_group, True),
    ("pipeline-one-group", pipeline_one_group, True),
    ("jobs-get-default-signals", jobs_get_default_signals, True),
    ("ctrl-z-stops-and-fg-resumes", ctrl_z_stops_and_fg_resumes, True),
    ("bg-resumes-in-background", bg_resumes_in_background, True),
    ("sigint-to-shell", sigint_to_shell, False),
    ("nohup-outlives-shell", nohup_outlives_shell, False),
]


def audit_shell(shell, ids):
    checks, reports = {}, {}
    for check_id, check, judged in CHECKS:
        if check_id not in ids:
            continue
        try:
            verdict, evidence = "pass", check(shell)
        except Failed as e:
            verdict, evidence = "fail", str(e)
        except NotApplicable as e:
            verdict, evidence = "n/a", str(e)
        if judged:
            checks[check_id] = {"verdict": verdict, "evidence": evidence}
        else:
            reports[check_id] = evidence
    return {"shell": shell.given, "version": shell.version(), "checks": checks,
            "reports": reports}


def print_table(results):
    ids = [check_id for check_id, _, judged in CHECKS if judged and check_id in
           results[0]["checks"]]
    cells = {"pass": "pass", "fail": "FAIL", "n/a": "n/a"}
    widths = [max(len(r["shell"]), 4) for r in results]
    first = max([len(i) for i in ids] + [5])
    print(" ".join(["check".ljust(first)] + [r["shell"].ljust(w) for r, w in
                                              zip(results, widths)]).rstrip())
    for check_id in ids:
        row = [cells[r["checks"][check_id]["verdict"]].ljust(w) for r, w in zip(results, widths)]
        print(" ".join([check_id.ljust(first)] + row).rstrip())
    for r in results:
        for check_id in ids:
            if r["checks"][check_id]["verdict"] == "fail":
                print("FAIL %s, %s: %s" % (r["shell"], check_id, r["checks"][check_id]["evidence"]))
    for r in results:
        for report_id, text in r["reports"].items():
            print("report %s, %s: %s" % (r["shell"], report_id, text))


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="shell_audit.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--helper", default=DEFAULT_HELPER, help="the helper to run as the child")
    parser.add_argument("--json", action="store_true", help="print one JSON object")
    parser.add_argument("--only", help="comma-separated check ids to run")
    parser.add_argument("shells", nargs="+", metavar="SHELL",
                        help='a shell command, with optional arguments, such as "busybox sh"')
    args = parser.parse_args(argv)
    all_ids = [check_id for check_id, _, _ in CHECKS]
    args.ids = all_ids if args.only is None else args.only.split(",")
    unknown = [i for i in args.ids if i not in all_ids]
    if unknown:
        parser.error("unknown check id %s; the ids are %s" % (", ".join(unknown),
                                                               ", ".join(all_ids)))
    if not (os.path.isfile(args.helper) and os.access(args.helper, os.X_OK)):
        parser.error("no helper at %s; build it, or name it with --helper" % args.helper)
    for given in args.shells:
        try:
            words = shlex.split(given)
        except ValueError as e:
            parser.error("cannot read the shell %r: %s" % (given, e))
        if not words or shutil.which(words[0]) is None:
            parser.error("shell not found: %s" % given)
    args.helper = os.path.abspath(args.helper)
    return args


def main(argv):
    args = parse_args(argv)
    # Descriptors 0 to 2 held open, so no pipe of the audit's takes their place.
    for fd in range(3):
        try:
            os.fstat(fd)
        except OSError:
            os.open(os.devnull, os.O_RDWR)
    become_subreaper()
    # Ended by a signal, the audit still ends every shell it started.
    for signo in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signo, lambda signo, _: sys.exit(128 + signo))
    home = tempfile.mkdtemp(prefix="zelk-audit-")
    try:
        results = [audit_shell(Shell(given, args.helper, home), args.ids)
                   for given in args.shells]
    finally:
        shutil.rmtree(home, ignore_errors=True)
        reap()
    if args.json:
        print(json.dumps({"helper": args.helper, "shells": results}, indent=2))
    else:
        print_table(results)
    failed = any(c["verdict"] == "fail" for r in results for c in r["checks"].values())
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
