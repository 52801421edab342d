"""The self-check: the helper, started alone exactly as each subject will be,
must prove that it is the helper (its help listing, and reports of itself
that equal the kernel's view of it while it runs) and that it was handed
what the audit meant to hand it."""

import os

from . import proc, protocol
from .spawn import CLEAN, describe_status, run
from .verdicts import NoVerdict



def held(helper, env, hand):
    """The helper's reports and the kernel's view of it, read while it holds."""
    seen = {}

    def look(pid, out, _):
        lines = out.text().split("\n")
        if len(lines) < 5 or "pid" in seen:
            return False
        seen["process"] = proc.process(pid)
        return True
    ran = run([helper] + list(protocol.REPORT_AND_HOLD), env, hand, during=look)
    reports = protocol.reports(ran.out, ran.err)
    if not seen.get("process") or len(reports) != 5:
        raise NoVerdict("it %s, printing %r" % (describe_status(ran.status),
                                                 protocol.clip(ran.out + ran.err, 300)))
    return reports, seen["process"]


def differences(helper, reports, seen):
    """Where the helper, as `seen` by the kernel, is not what it claims."""
    found = [] if seen.exe == os.path.realpath(helper) else ["it runs as %s" % seen.exe]
    return found + proc.disagreements(reports, seen)


def self_check(helper, env, hand=CLEAN):
    """What differs where the helper is started alone under `hand`, or None."""
    try:
        listing = run([helper, "help"], env)
        commands = protocol.help_commands(listing.out)
        problems = [] if commands == list(protocol.COMMANDS) else [
            "its help listing names %s, not the helper's fourteen commands" % ", ".join(commands)]
        reports, seen = held(helper, env, hand)
    except NoVerdict as e:
        return "the helper %s, started alone, did not run as the helper: %s" % (helper, e)
    problems += differences(helper, reports, seen)
    wanted = {"ignored": set(hand.ignored), "blocked": set(hand.blocked),
              "fds": {0, 1, 2} | {n for n, _ in hand.keep}}
    for key, value in wanted.items():
        got = reports[key] & proc.LOW if key != "fds" else reports[key]
        if got != value:
            shown = protocol.listed if key == "fds" else protocol.names
            problems.append("had %s %s; %s expected" % (shown(got), key, shown(value)))
    if problems:
        return ("the helper %s, started alone as each subject is, %s. Run the audit with the "
                "helper itself, where it inherits nothing else, such as outside a sandbox or "
                "wrapper that changes it" % (helper, "; ".join(problems)))
    return None
