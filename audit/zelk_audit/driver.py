"""Starting shells and the helper under a controlled hand-down, on pipes or on
a pty of their own, and reading the kernel's view of what they started."""

import collections
import ctypes
import errno
import fcntl
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

from .verdicts import NoVerdict

DEADLINE = 10.0  # seconds for any one fact to show, or for one run of a shell
PROMPT = b"PROMPT> "
# Typed so that the terminal's echo of a line cannot match what it prints.
SET_PROMPT = "PS1='PR''OMPT> '; PS2=''"
ASK_JOB_CONTROL = "case $- in *m*) echo J''C-on;; *) echo J''C-off;; esac"
# Options that keep a shell from reading its start-up files; other shells read
# only $ENV and files under $HOME, and the audit gives them neither.
NO_RC = {"bash": ["--norc", "--noprofile"], "zsh": ["-f"], "yash": ["--norcfile", "--noprofile"]}
PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36
LIBC = ctypes.CDLL(None, use_errno=True) if sys.platform.startswith("linux") else None


def become_subreaper():
    # Orphans of every shell come back to the audit, which reaps them, so
    # nothing it starts lands on PID 1 while the audit runs.
    if LIBC is not None:
        LIBC.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


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
    """The live processes of the session that `sid` leads: a zombie has ended,
    and waits only for a parent to reap it."""
    pids = []
    for name in os.listdir("/proc"):
        if name.isdigit():
            st = proc_stat(int(name))
            if st is not None and st.session == sid and st.state != "Z":
                pids.append(int(name))
    return pids


def kill_sessions(sids, reaping=True):
    """Kills every process of the sessions that `sids` lead until none is
    left (or the deadline passes), reaping what comes back to the audit."""
    end = time.monotonic() + DEADLINE
    while True:
        members = [pid for sid in sids for pid in session_members(sid)]
        for pid in members:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        if reaping:
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
    """Polls `fact` until it returns a true value, which it returns; a fact
    that never shows leaves the audit without a verdict."""
    end = time.monotonic() + deadline
    while True:
        value = fact()
        if value:
            return value
        if time.monotonic() > end:
            raise NoVerdict("no %s within %g s" % (what, deadline))
        time.sleep(0.005)


class Guardian:
    """A process of the audit's own that outlives a SIGKILL of the audit:
    when the pipe from the audit closes before the audit said it was done, it
    kills every session the audit had not ended yet and removes the audit's
    folder. It knows no session that has ended: its id may belong to another
    process by then."""

    def __init__(self, folder):
        read_end, self.pipe = os.pipe()
        self.pid = os.fork()
        if self.pid == 0:
            try:
                os.close(self.pipe)
                # Holding none of the caller's streams, it keeps no reader of
                # the audit's output waiting, nor a terminal's signals.
                null = os.open(os.devnull, os.O_RDWR)
                for fd in range(3):
                    os.dup2(null, fd)
                os.setsid()
                text = b""
                while True:
                    data = os.read(read_end, 4096)
                    if not data:
                        break
                    text += data
                live = set()
                for word in text.split():
                    if word == b"done":
                        os._exit(0)
                    (live.add if word[:1] == b"+" else live.discard)(int(word[1:]))
                kill_sessions(sorted(live), reaping=False)
                shutil.rmtree(folder, ignore_errors=True)
            finally:
                os._exit(0)
        os.close(read_end)
        os.set_inheritable(self.pipe, False)

    def tell(self, word):
        os.write(self.pipe, word + b"\n")

    def close(self):
        self.tell(b"done")
        os.close(self.pipe)
        os.waitpid(self.pid, 0)


GUARDIAN = None  # set by the audit once it has its folder


def started(sid):
    if GUARDIAN is not None:
        GUARDIAN.tell(b"+%d" % sid)


def end_session(sid):
    """Kills every process of the session that `sid` leads, and reaps them."""
    kill_sessions([sid])
    if GUARDIAN is not None:
        GUARDIAN.tell(b"-%d" % sid)


def exec_child(argv, env, ignored=(), stdio=None, keep=()):
    """In a new child, never returning: with `stdio`, a session of its own
    and those descriptors on 0, 1 and 2 (pty.fork has done both otherwise);
    a SIGKILL when the audit dies; every disposition at its default but
    `ignored`, an empty mask; no descriptor above 2 but those in `keep`, each
    a (number, source) pair; then `argv`."""
    try:
        parent = os.getppid()
        if LIBC is not None:
            LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
            if os.getppid() != parent:
                os._exit(127)  # the audit died before the signal was set
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
        kept = {}
        for number, source in keep:
            kept[number] = os.dup(source)
        for fd in [int(fd) for fd in os.listdir("/proc/self/fd")]:
            if fd > 2 and fd not in kept.values():
                try:
                    os.close(fd)
                except OSError:
                    pass  # the descriptor listdir itself read
        for number, copy in kept.items():
            os.dup2(copy, number)
            os.close(copy)
        os.execve(argv[0], argv, env)
    except BaseException as e:  # never back into the audit's own code
        os.write(2, ("cannot execute %s: %s\n" % (argv[0], e)).encode())
    os._exit(127)


Ran = collections.namedtuple("Ran", "status out err pid")


def run(argv, env, ignored=(), stdin=None, keep=(), during=None):
    """Runs `argv` to its end in a session of its own, on `stdin` (a
    descriptor; /dev/null if None), returning a Ran. `during(pid)` is called
    while it runs. A run that has not ended by the deadline has no verdict."""
    out_r, out_w = os.pipe()
    err_r, err_w = os.pipe()
    source = stdin if stdin is not None else os.open(os.devnull, os.O_RDONLY)
    pid = os.fork()
    if pid == 0:
        exec_child(argv, env, ignored, (source, out_w, err_w), keep)
    started(pid)
    for fd in [out_w, err_w] + ([source] if stdin is None else []):
        os.close(fd)
    texts = {out_r: b"", err_r: b""}
    end = time.monotonic() + DEADLINE
    status = None
    try:
        open_fds = [out_r, err_r]
        while open_fds and time.monotonic() < end:
            wait = 0.005 if during else max(0.0, end - time.monotonic())
            ready, _, _ = select.select(open_fds, [], [], wait)
            for fd in ready:
                data = os.read(fd, 65536)
                if data:
                    texts[fd] += data
                else:
                    open_fds.remove(fd)
            if during:
                during(pid)
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
        raise NoVerdict("%s had not ended after %g s" % (argv[0], DEADLINE))
    return Ran(status, texts[out_r].decode(errors="replace"),
               texts[err_r].decode(errors="replace"), pid)


def describe_status(status):
    if os.WIFSIGNALED(status):
        return "died by %s" % signal.Signals(os.WTERMSIG(status)).name
    return "exited %d" % os.WEXITSTATUS(status)


def controlled_env(home):
    """The whole environment of every program the audit starts: no start-up
    file is read from an empty `home`."""
    return {"PATH": "/usr/local/bin:/usr/bin:/bin", "HOME": home, "LC_ALL": "C", "TERM": "dumb"}


class Shell:
    """A shell as given on the command line, and how the audit starts it: the
    options against start-up files come first, where every shell takes them,
    then the user's own words."""

    def __init__(self, given, helper, home):
        self.given = given
        words = shlex.split(given)
        self.words = ([shutil.which(words[0])] + NO_RC.get(os.path.basename(words[0]), []) +
                      words[1:])
        self.helper = helper
        self.set_helper = "H=%s" % shlex.quote(helper)  # a script's first line: $H is the helper
        self.home = home
        self.env = controlled_env(home)
        self.session_failure = None  # why no interactive session can be had, once known

    def run(self, args, **how):
        return run(self.words + args, self.env, **how)

    def command_line(self, args):
        return shlex.join(self.words + args)

    def version(self):
        script = ('echo "${BASH_VERSION:-${ZSH_VERSION:-${KSH_VERSION:-${YASH_VERSION:-'
                  '${POSH_VERSION:-}}}}}"')
        try:
            ran = self.run(["-c", script])
            if ran.status == 0 and ran.out.strip():
                return ran.out.strip()
            # Others, busybox among them, name their version in their help.
            ran = run([self.words[0], "--help"], self.env)
            first = (ran.out or ran.err).splitlines()[:1]
            if ran.status == 0 and first and re.search(r"\bv?\d+\.\d+", first[0]):
                return first[0].strip()
        except NoVerdict:
            pass
        return None


class Session:
    """The shell run interactively, leading a new session on a new pty, with a
    prompt the audit can match and job control asked for. `job_control` says
    whether `set -m` turned it on."""

    def __init__(self, shell):
        self.shell = shell
        self.argv = shell.words + ["-i"]
        self.typed = []
        self.pid, self.master = pty.fork()
        if self.pid == 0:
            exec_child(self.argv, shell.env)
        started(self.pid)
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
        except NoVerdict as e:
            self.close()
            raise NoVerdict("as an interactive shell on a pty: %s" % e)
        self.job_control = b"JC-on" in answer.group(0)

    def ran(self):
        """What the audit ran and typed, for the evidence."""
        return "ran %s; typed %s" % (shlex.join(self.argv), "; ".join(self.typed[3:]) or
                                      "nothing after set -m")

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
                raise NoVerdict("the shell hung up; it printed %r" % self.tail())
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
                raise NoVerdict("no %s within %g s; the terminal shows %r" %
                                (what, DEADLINE, self.tail()))
            self.read(max(0.0, end - time.monotonic()))

    def wait_prompt(self):
        want = self.prompts + 1
        self.wait_output(lambda t: t.count(PROMPT) >= want, "prompt")
        self.prompts = self.output.count(PROMPT)

    def type(self, line):
        self.typed.append(line)
        os.write(self.master, line.encode() + b"\n")

    def command(self, line):
        """Types a line and waits for the prompt that follows it."""
        self.type(line)
        self.wait_prompt()

    def stat(self):
        st = proc_stat(self.pid)
        if st is None:
            raise NoVerdict("the shell is gone; it printed %r" % self.tail())
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
        except NoVerdict:
            return self.contents(name).strip()

    def h(self, words, out, err=None):
        """A command line that runs the helper with its streams in files."""
        line = "%s %s >%s" % (shlex.quote(self.shell.helper), words, shlex.quote(self.path(out)))
        return line + (" 2>%s" % shlex.quote(self.path(err)) if err else "")

    def helper_pid(self):
        """The pid of the helper once it runs in this session."""
        return wait_for(lambda: helper_in(self.pid, self.shell.helper),
                        "helper in the shell's session")

    def close(self):
        end_session(self.pid)
        os.close(self.master)
        shutil.rmtree(self.files, ignore_errors=True)


def helper_in(sid, helper):
    """The pid of a process of session `sid` that runs `helper`, or None."""
    real = os.path.realpath(helper)
    for pid in session_members(sid):
        try:
            if os.readlink("/proc/%d/exe" % pid) == real:
                return pid
        except OSError:
            pass
    return None
