"""The checks, each declared once with its id, its kind and its rule, and how
each kind of check is run: a scripted one in both modes of a non-interactive
shell, an interactive one in a session on a pty of its own."""

import collections
import os
import re
import signal

from .driver import Session, describe_status
from .verdicts import Failed, NotApplicable, NoVerdict, Verdict

JUDGED, REPORTED = "judged", "reported"
Check = collections.namedtuple("Check", "id kind rule interactive judge")
CHECKS = []  # in the order they run and are shown
BOTH_MODES = (("-c", "with -c"), ("file", "from a file"))
POSIX = "POSIX.1-2024 XCU"


def posix(section, rule):
    return "%s, %s: %s" % (POSIX, section, rule)


def hygiene(rule):
    return "hygiene: %s" % rule


def declare(check_id, kind, rule, interactive, judge):
    CHECKS.append(Check(check_id, kind, rule, interactive, judge))


# ------------------------------------------------------------- scripted checks


class Probe:
    """Runs scripts in one mode of one shell, `SHELL -c SCRIPT` or `SHELL
    FILE`, after a first line that makes `$H` the helper. Each reading proves
    that the helper ran: a helper run ends its words with print_pgrp, whose
    line is never empty."""

    def __init__(self, shell, mode):
        self.shell = shell
        self.mode = mode
        self.last = None  # the command line of the last run, for the evidence
        self.count = 0

    def run(self, script, status=0, **how):
        """Runs `script`; a shell that does not end with `status` (None: any)
        leaves the check without a verdict."""
        if self.mode == "-c":
            args = ["-c", "%s; %s" % (self.shell.set_helper, script)]
            self.last = self.shell.command_line(args)
        else:
            self.count += 1
            path = os.path.join(self.shell.home, "script-%d.sh" % self.count)
            with open(path, "w") as f:
                f.write("%s\n%s\n" % (self.shell.set_helper, script))
            args = [path]
            self.last = "%s, the file holding %r" % (self.shell.command_line(args), script)
        ran = self.shell.run(args, **how)
        if status is not None and ran.status != status:
            raise NoVerdict("the shell %s, saying %r" %
                            (describe_status(ran.status), (ran.out + ran.err).strip()))
        return ran

    def signals(self, script, **how):
        """The signals a helper run's report (print_blocked_signals or
        print_ignored_signals, then print_pgrp) names, and the group."""
        ran = self.run(script, **how)
        return signal_set(ran.err), groups(ran.out, 1)[0]

    def fds(self, script, **how):
        """The descriptors a helper run's print_fds lists, then print_pgrp."""
        ran = self.run(script, **how)
        lines = ran.out.splitlines()
        groups("\n".join(lines[1:]), 1)
        if not lines or not re.fullmatch(r"\d+( \d+)*", lines[0]):
            raise NoVerdict("print_fds printed %r" % ran.out)
        return set(int(n) for n in lines[0].split())


def groups(text, count):
    """The groups that `count` print_pgrp words printed, one a line: the proof
    that the helper ran, and ran as itself."""
    lines = text.splitlines()
    if len(lines) != count or not all(line.isdigit() for line in lines):
        raise NoVerdict("no proof that the helper ran: %d group line(s) expected, read %r" %
                        (count, text))
    return [int(line) for line in lines]


def signal_set(lines):
    """Signal numbers from the helper's report lines, "TEXT: N"."""
    numbers = set()
    for line in lines.splitlines():
        match = re.search(r":\s*(\d+)$", line)
        if not match:
            raise NoVerdict("unexpected line from the shell or the helper: %r" % line)
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


def scripted(check_id, rule, kind=JUDGED, modes=BOTH_MODES):
    """Declares a check that `check(probe)` judges in each of `modes`; the
    verdict names the mode where they differ."""
    def register(check):
        def judge(shell):
            outcomes = []
            for mode, said in modes:
                probe = Probe(shell, mode)
                try:
                    outcomes.append((said, "pass", check(probe), None))
                except Verdict as e:
                    outcomes.append((said, e.verdict, str(e), probe.last))
            return combine(outcomes)
        declare(check_id, kind, rule, False, judge)
        return check
    return register


def combine(outcomes):
    """One verdict from each mode's (mode, verdict, text, command line): the
    worst of them, with the command line of each mode that did not pass."""
    verdicts = [verdict for _, verdict, _, _ in outcomes]
    verdict = next(v for v in ("fail", "error", "n/a", "pass") if v in verdicts)
    ran = " and ".join(last for _, _, _, last in outcomes if last)
    if len(set(text for _, _, text, _ in outcomes)) == 1 and len(set(verdicts)) == 1:
        text = outcomes[0][2] + ("; ran " + ran if ran else "")
    else:
        text = "; ".join("%s%s: %s" % (said, "" if len(set(verdicts)) == 1 else
                                       ", " + ("FAIL" if v == "fail" else v),
                                       text + ("; ran " + last if last else ""))
                         for said, v, text, last in outcomes)
    if verdict == "pass":
        return text
    raise {"fail": Failed, "error": NoVerdict, "n/a": NotApplicable}[verdict](text)


# ---------------------------------------------------------- interactive checks


def interactive(check_id, rule, kind=JUDGED):
    """Declares a check that `check(session)` judges in a new interactive
    session with job control on. Once a shell has shown that it cannot be
    audited so, its other interactive checks say why at once."""
    def register(check):
        def judge(shell):
            if shell.session_failure:
                raise shell.session_failure
            try:
                session = Session(shell)
            except NoVerdict as e:
                shell.session_failure = e
                raise
            if not session.job_control:
                session.close()
                shell.session_failure = NotApplicable("set -m did not turn on job control")
                raise shell.session_failure
            try:
                return check(session)
            except Verdict as e:
                raise type(e)("%s; %s" % (e, session.ran()))
            finally:
                session.close()
        declare(check_id, kind, rule, True, judge)
        return check
    return register
