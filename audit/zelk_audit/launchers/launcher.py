"""A launcher under audit: its command line, where `{}` stands for the
child, the files it needs, and its observations, one a state."""

import os
import shlex
import shutil

from .. import protocol
from ..registry import Registry
from ..spawn import controlled_env, run, version_line
from ..verdicts import NoVerdict, Verdict, extend
from .observe import DESCRIBED, observe

CHECKS = Registry()
# Seconds for --version: a program that knows no such option may take it for
# a file or a command, and wait.
VERSION_DEADLINE = 5.0


def child_words(helper):
    return [helper] + list(protocol.REPORT_AND_HOLD)


def expand(text, helper):
    """`text` with `{}` as the child's command line, quoted for sh, and
    `{helper-dir}` as the folder that holds the helper."""
    return text.replace("{helper-dir}", os.path.dirname(helper)).replace(
        "{}", shlex.join(child_words(helper)))


def command_words(command, helper, in_files=False):
    """The launcher's words: a word that is exactly `{}` stands for the
    child's words, `{}` inside a word for its command line; with no `{}`,
    here or in the launcher's files, the child's words are appended."""
    words = shlex.split(command, comments=True)
    out = []
    for word in words:
        out.extend(child_words(helper) if word == "{}" else [expand(word, helper)])
    if not in_files and not any("{}" in word for word in words):
        out.extend(child_words(helper))
    return out


def program(word):
    """The launcher's program as a path that still holds in its own folder."""
    return os.path.abspath(word) if "/" in word else shutil.which(word) or word


class Launcher:
    """`entry` is (name, command line, {file: text})."""

    def __init__(self, entry, helper, home):
        self.name, self.given, files = entry
        self.helper = helper
        self.home = home
        self.env = controlled_env(home)
        words = command_words(self.given, helper, any("{}" in text for text in files.values()))
        self.argv = [program(words[0])] + words[1:]
        self.command = shlex.join(self.argv)
        self.files = {name: expand(text, helper) for name, text in files.items()}
        self.version = self.identify()
        self.observed = {}

    def identify(self):
        """The launcher's version, where its program names one for --version."""
        try:
            return version_line(run([self.argv[0], "--version"], self.env, cwd=self.home,
                                    deadline=VERSION_DEADLINE))
        except NoVerdict:
            return None

    def ran(self, state):
        return "ran %s, %s%s" % (self.command, DESCRIBED[state], ", with %s written beside it" %
                                ", ".join(sorted(self.files)) if self.files else "")

    def observation(self, state):
        if state not in self.observed:
            try:
                self.observed[state] = observe(self, state)
            except NoVerdict as e:
                self.observed[state] = e
        if isinstance(self.observed[state], Verdict):
            raise self.observed[state]
        return self.observed[state]

    def judge(self, check):
        seen = self.observation(check.note)
        try:
            text = check.judge(seen)
        except Verdict as e:
            raise type(e)("%s; %s" % (e, self.context(seen)))
        return extend(text, self.context(seen))

    def context(self, seen):
        said = [self.ran(seen.state)]
        if seen.started > 1:
            said.append("it started the helper %d times, and the first is judged" % seen.started)
        if not seen.reports:
            said.append("from /proc alone: the launcher did not pass the child's output through")
        return "; ".join(said)


def read_catalogue(path):
    """[(name, command, {file: text})] from a catalogue: a launcher a line, its
    name and then its command line; an indented `FILE: TEXT` line after it
    gives it a file, with \\n, \\t and \\\\ in TEXT; `#` starts a comment."""
    launchers = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            text = line.rstrip("\n")
            if not text.strip() or text.lstrip().startswith("#"):
                continue
            if text[:1].isspace():
                name, colon, body = text.strip().partition(": ")
                if not launchers or not colon or "/" in name:
                    raise ValueError("%s:%d: FILE: TEXT belongs under a launcher" % (path, number))
                launchers[-1][2][name] = body.encode().decode("unicode_escape")
                continue
            name, _, command = text.partition(" ")
            try:
                if not shlex.split(command, comments=True):
                    raise ValueError("no command")
            except ValueError as e:
                raise ValueError("%s:%d: NAME COMMAND expected: %s" % (path, number, e))
            if any(name == other for other, _, _ in launchers):
                raise ValueError("%s:%d: the launcher %r is named twice" % (path, number, name))
            launchers.append((name, command.strip(), {}))
    return launchers
