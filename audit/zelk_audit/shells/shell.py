"""A shell under audit, and the two ways its checks run it: scripts in both
non-interactive modes (`SHELL -c SCRIPT` and `SHELL FILE`), and an
interactive session on a pty. A shell that hangs in a mode costs one
deadline there: its later checks in that mode are errors at once."""

import os
import shlex
import shutil

from .. import protocol
from ..pty_session import Session
from ..registry import JUDGED, Registry
from ..spawn import CLEAN, Hand, controlled_env, describe_status, run, version_line
from ..verdicts import Failed, NotApplicable, NoVerdict, Report, TimedOut, Verdict, extend

CHECKS = Registry()
BOTH_MODES = (("-c", "with -c"), ("file", "from a file"))
POSIX = "POSIX.1-2024 XCU"
# What each shell is, by what it says of itself, and its options against
# start-up files; the other shells read only $ENV and files under $HOME,
# and the audit gives them neither.
IDENTIFY = ('for v in "bash ${BASH_VERSION-}" "zsh ${ZSH_VERSION-}" "yash ${YASH_VERSION-}" '
            '"ksh ${KSH_VERSION-}" "posh ${POSH_VERSION-}"; do echo "$v"; done')
NO_RC = {"bash": ["--norc", "--noprofile"], "zsh": ["-f"], "yash": ["--norcfile", "--noprofile"]}


def posix(section, rule):
    return "%s, %s: %s" % (POSIX, section, rule)


def hygiene(rule):
    return "hygiene: %s" % rule


def with_options(words, options):
    """`words` with `options` where the shell takes them: right after its
    name, but after zsh's --emulate NAME, which must come first."""
    at = 1
    if words[1:2] == ["--emulate"]:
        at = 3
    elif words[1:2] and words[1].startswith("--emulate="):
        at = 2
    return words[:at] + options + words[at:]


class Shell:
    """A shell as given on the command line, and how the audit starts it: its
    options against start-up files where it takes them, then the user's words."""

    def __init__(self, given, helper, home):
        self.name = given
        self.helper = helper
        self.set_helper = "H=%s" % shlex.quote(helper)  # a script's first line: $H is the helper
        self.home = home
        self.env = controlled_env(home)
        self.hung = {}  # mode: the verdict its later checks there get at once
        words = shlex.split(given)
        self.words = [shutil.which(words[0])] + words[1:]
        self.identity, self.version = self.identify()
        self.words = with_options(self.words, NO_RC.get(self.identity, []))
        self.command = shlex.join(self.words)

    def identify(self):
        """What the shell is and its version, from what it says of itself."""
        try:
            ran = self.run(["-c", IDENTIFY], "-c")
        except NoVerdict:
            return None, None
        for line in ran.out.splitlines():
            identity, _, version = line.partition(" ")
            if version:
                return identity, version
        # Others, busybox among them, name their version in their help.
        try:
            ran = run([self.words[0], "--help"], self.env)
        except NoVerdict:
            return None, None
        return None, version_line(ran)

    def run(self, args, mode, hand=CLEAN, **how):
        """Runs the shell with `args` in `mode`; once it has hung there, it is
        not run there again."""
        if mode in self.hung:
            raise self.hung[mode]
        try:
            return run(self.words + args, self.env, hand, **how)
        except TimedOut as e:
            self.hung[mode] = NoVerdict("not run: the shell had hung before in this mode (%s)" % e)
            raise

    def command_line(self, args):
        return shlex.join(self.words + args)

    def judge(self, check):
        return check.judge(self)


class Probe:
    """Runs scripts in one mode of one shell after a first line that makes
    `$H` the helper. Each reading proves that the helper ran: a helper run
    ends its words with print_pgrp, whose line is never empty."""

    def __init__(self, shell, mode):
        self.shell = shell
        self.mode = mode
        self.runs = []  # the command line of each run, for the evidence

    def run(self, script, status=0, hand=CLEAN, **how):
        """Runs `script`; a shell that does not end with `status` (None: any)
        leaves the check without a verdict."""
        if self.mode == "-c":
            args = ["-c", "%s; %s" % (self.shell.set_helper, script)]
            self.runs.append(self.shell.command_line(args))
        else:
            path = os.path.join(self.shell.home, "script-%d.sh" % (len(self.runs) + 1))
            with open(path, "w") as f:
                f.write("%s\n%s\n" % (self.shell.set_helper, script))
            args = [path]
            self.runs.append("%s, the file holding %r" % (self.shell.command_line(args), script))
        ran = self.shell.run(args, self.mode, hand, **how)
        if status is not None and ran.status != status:
            raise NoVerdict("the shell %s, saying %r" %
                            (describe_status(ran.status), protocol.clip(ran.out + ran.err)))
        return ran

    def signals(self, script, ignored=(), blocked=()):
        """The signals a helper run's report (print_blocked_signals or
        print_ignored_signals, then print_pgrp) names, and the group."""
        ran = self.run(script, hand=Hand(frozenset(ignored), frozenset(blocked), ()))
        return protocol.signal_set(ran.err), protocol.groups(ran.out, 1)[0]

    def fds(self, script, keep=()):
        """The descriptors a helper run's print_fds lists, then print_pgrp."""
        ran = self.run(script, hand=Hand(frozenset(), frozenset(), keep))
        lines = ran.out.splitlines()
        protocol.groups("\n".join(lines[1:]), 1)
        return protocol.fds(lines[0] if lines else "")


def scripted(check_id, rule, kind=JUDGED, modes=BOTH_MODES):
    """Declares a check that `check(probe)` judges in each of `modes`; the
    verdict names the mode where they differ. A pass names every run that
    made it, any other verdict the run that decided it."""
    def register(check):
        def judge(shell):
            outcomes = []
            for mode, said in modes:
                probe = Probe(shell, mode)
                try:
                    outcomes.append((said, "pass", check(probe), " and ".join(probe.runs)))
                except Verdict as e:
                    decided = probe.runs[-1] if probe.runs else None
                    outcomes.append((said, e.verdict, str(e), decided))
            return combine(outcomes)
        CHECKS.declare(check_id, kind, rule, judge)
        return check
    return register


def combine(outcomes):
    """One verdict from each mode's (mode, verdict, text, command line): an
    error in either mode first, then a FAIL, then n/a, each mode's text
    with its command lines; a report's brief says where the modes differ."""
    verdicts = [verdict for _, verdict, _, _ in outcomes]
    verdict = next(v for v in ("error", "fail", "n/a", "pass") if v in verdicts)
    ran = " and ".join(last for _, _, _, last in outcomes if last)
    if len(set(text for _, _, text, _ in outcomes)) == 1 and len(set(verdicts)) == 1:
        text = outcomes[0][2] + ("; ran " + ran if ran else "")
    else:
        text = "; ".join("%s%s: %s" % (said, "" if len(set(verdicts)) == 1 else
                                       ", " + ("FAIL" if v == "fail" else v),
                                       text + ("; ran " + last if last else ""))
                         for said, v, text, last in outcomes)
    if verdict == "pass":
        briefs = [(said, getattr(text, "brief", None)) for said, _, text, _ in outcomes]
        if len(set(brief for _, brief in briefs)) > 1:
            return Report(text, "; ".join("%s: %s" % pair for pair in briefs))
        return Report(text, briefs[0][1]) if briefs[0][1] else text
    raise {"fail": Failed, "error": NoVerdict, "n/a": NotApplicable}[verdict](text)


def interactive(check_id, rule, kind=JUDGED):
    """Declares a check that `check(session)` judges in a new interactive
    session with job control on. Once a shell has shown that it cannot be
    audited so, or has hung so, its other interactive checks say why at once."""
    def register(check):
        def judge(shell):
            if "interactive" in shell.hung:
                raise shell.hung["interactive"]
            try:
                session = Session(shell)
            except NoVerdict as e:
                shell.hung["interactive"] = e
                raise
            if not session.job_control:
                session.close()
                shell.hung["interactive"] = NotApplicable("set -m did not turn on job control")
                raise shell.hung["interactive"]
            try:
                return extend(check(session), session.ran())
            except TimedOut as e:
                shell.hung["interactive"] = NoVerdict(
                    "not run: the shell had hung before as an interactive shell (%s)" % e)
                raise TimedOut("%s; %s" % (e, session.ran()))
            except Verdict as e:
                raise type(e)("%s; %s" % (e, session.ran()))
            finally:
                session.close()
        CHECKS.declare(check_id, kind, rule, judge, note="interactive")
        return check
    return register
