"""The self-check: the helper, started alone exactly as each subject will be,
must prove that it is the helper (its help listing, and reports of itself
that equal the kernel's view of it while it runs) and that it was handed
what the audit meant to hand it."""

import os

from . import proc, protocol
from .spawn import CLEAN, describe_status, run
from .verdicts import NoVerdict

# Reports of every kind, split by print_stdout_stderr's two lines, then held.
WORDS = ["print_ignored_signals", "print_stdout_stderr", "print_blocked_signals", "print_fds",
         "print_pgrp"] + list(protocol.HOLD)
LOW = set(range(1, 32))  # the signals every C library lets a parent set


def held(helper, env, hand):
    """The helper's reports and the kernel's view of it, read while it holds."""
    seen = {}

    def look(pid, out, _):
        lines = out.text().split("\n")
        if len(lines) < 5 or "pid" in seen:
            return False
        seen.update(pid=pid, exe=proc.executable(pid), stat=proc.stat(pid),
                    signals=proc.signal_fields(pid), fds=proc.descriptors(pid))
        return True
    ran = run([helper] + WORDS, env, hand, during=look)
    out = ran.out.split("\n")
    before, _, after = ran.err.partition("stderr\n")
    if "pid" not in seen or out[0] != "stdout" or not seen["signals"]:
        raise NoVerdict("it %s, printing %r" % (describe_status(ran.status),
                                                 protocol.clip(ran.out + ran.err, 300)))
    reports = {"pid": protocol.groups(out[3], 1)[0], "pgrp": protocol.groups(out[2], 1)[0],
               "fds": protocol.fds(out[1]), "ignored": protocol.signal_set(before),
               "blocked": protocol.signal_set(after.replace("background\n", ""))}
    return reports, seen


def differences(helper, reports, seen):
    """Where the helper's reports of itself differ from the kernel's view."""
    kernel = {"pid": seen["pid"], "pgrp": seen["stat"].pgrp, "fds": set(seen["fds"]),
              "ignored": seen["signals"]["SigIgn"] & LOW,
              "blocked": seen["signals"]["SigBlk"] & LOW}
    found = [] if seen["exe"] == os.path.realpath(helper) else ["it runs as %s" % seen["exe"]]
    for key, value in kernel.items():
        mine = reports[key] & LOW if key in ("ignored", "blocked") else reports[key]
        if mine != value:
            found.append("it reports %s %r where the kernel shows %r" % (key, mine, value))
    return found


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
        got = reports[key] & LOW if key != "fds" else reports[key]
        if got != value:
            shown = protocol.listed if key == "fds" else protocol.names
            problems.append("had %s %s; %s expected" % (shown(got), key, shown(value)))
    if problems:
        return ("the helper %s, started alone as each subject is, %s. Run the audit with the "
                "helper itself, where it inherits nothing else, such as outside a sandbox or "
                "wrapper that changes it" % (helper, "; ".join(problems)))
    return None
