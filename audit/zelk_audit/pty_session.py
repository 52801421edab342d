"""A shell run interactively, leading a new session on a new pty, with a
prompt the audit can match and job control asked for; and the waits on
facts that every check shares."""

import errno
import fcntl
import os
import pty
import re
import select
import shlex
import shutil
import struct
import tempfile
import termios
import time

from . import proc, reaper
from .protocol import clip
from .spawn import DEADLINE, exec_child
from .verdicts import NoVerdict, TimedOut

PROMPT = b"PROMPT> "
# Typed so that the terminal's echo of a line cannot match what it prints.
SET_PROMPT = "PS1='PR''OMPT> '; PS2=''"
ASK_JOB_CONTROL = "case $- in *m*) echo J''C-on;; *) echo J''C-off;; esac"
# What a session keeps of the terminal's output, from its end.
KEPT = 1 << 16


def wait_for(fact, what, deadline=DEADLINE):
    """Polls `fact` until it returns a true value, which it returns; a fact
    that never shows leaves the audit without a verdict."""
    end = time.monotonic() + deadline
    while True:
        value = fact()
        if value:
            return value
        if time.monotonic() > end:
            raise TimedOut("no %s within %g s" % (what, deadline))
        time.sleep(0.005)


def helper_running(helper):
    """The pid of a descendant of the audit's process that runs `helper`, or None."""
    real = os.path.realpath(helper)
    for pid in proc.descendants(os.getpid()):
        if proc.executable(pid) == real:
            return pid
    return None


class Session:
    """`job_control` says whether `set -m` turned job control on."""

    def __init__(self, shell):
        self.shell = shell
        self.argv = shell.words + ["-i"]
        self.typed = []
        self.pid, self.master = pty.fork()
        if self.pid == 0:
            exec_child(self.argv, shell.env)
        fcntl.ioctl(self.master, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 500, 0, 0))
        self.output = b""
        self.prompts = 0  # prompts seen, the kept output's and those cut before it
        self.cut_prompts = 0
        self.files = tempfile.mkdtemp(dir=shell.home)
        try:
            self.command(SET_PROMPT)
            self.command("set -m")
            self.type(ASK_JOB_CONTROL)
            answer = self.wait_output(lambda t: re.search(rb"JC-o(n|ff)", t), "answer")
            self.wait_prompt()
        except NoVerdict as e:
            self.close()
            raise type(e)("as an interactive shell on a pty: %s" % e)
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
            if len(self.output) > KEPT:
                cut = self.output[:-KEPT // 2]
                self.cut_prompts += cut.count(PROMPT)
                self.output = self.output[-KEPT // 2:]

    def prompts_seen(self):
        return self.cut_prompts + self.output.count(PROMPT)

    def tail(self):
        return clip(self.output[-300:].decode(errors="replace"))

    def wait_output(self, fact, what):
        end = time.monotonic() + DEADLINE
        while True:
            found = fact(self.output)
            if found:
                return found
            if time.monotonic() > end:
                raise TimedOut("no %s within %g s; the terminal shows %r" %
                               (what, DEADLINE, self.tail()))
            self.read(max(0.0, end - time.monotonic()))

    def wait_prompt(self):
        want = self.prompts + 1
        self.wait_output(lambda _: self.prompts_seen() >= want, "prompt")
        self.prompts = self.prompts_seen()

    def type(self, line):
        self.typed.append(line)
        os.write(self.master, line.encode() + b"\n")

    def command(self, line):
        """Types a line and waits for the prompt that follows it."""
        self.type(line)
        self.wait_prompt()

    def stat(self):
        st = proc.stat(self.pid)
        if st is None or st.state == "Z":
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
        return wait_for(lambda: helper_running(self.shell.helper), "helper under the shell")

    def close(self):
        reaper.kill_descendants()
        os.close(self.master)
        shutil.rmtree(self.files, ignore_errors=True)
