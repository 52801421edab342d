"""The helper's text protocol, read in one place: the words the audit gives
it and what its lines mean. Every reading of the helper's output comes here
to be parsed, by the checks and the self-check alike."""

import re
import signal

from .verdicts import NoVerdict

BANNER = "zelk_test_helper: helper utility for zelk"
# The help listing's commands, in the order the helper lists them.
COMMANDS = ("become_foreground_then_print_stderr", "help", "nohup_wait", "print_blocked_signals",
            "print_fds", "print_ignored_signals", "print_pgrp", "print_pid_then_sleep",
            "print_stdout_stderr", "print_stop_cont", "report_foreground",
            "report_foreground_loop", "sigint_parent", "sigkill_self")
# Words that end a run with the helper alive and unchanged: its lines are
# flushed and its pid named, and it waits until the audit has read /proc.
HOLD = ("print_pid_then_sleep", "report_foreground_loop")
# Every report of itself, split by print_stdout_stderr's two lines, then held.
REPORT_AND_HOLD = ("print_ignored_signals", "print_stdout_stderr", "print_blocked_signals",
                   "print_fds", "print_pgrp") + HOLD


def reports(out, err):
    """What a REPORT_AND_HOLD run said of itself: pid, pgrp, fds, ignored and
    blocked, those of them that its output shows whole; {} where none."""
    out, err = out.replace("\r\n", "\n"), err.replace("\r\n", "\n")
    found = {}
    lines = out.split("\n")
    if "stdout" in lines:
        at = lines.index("stdout")
        held = lines[at + 1:at + 4]
        if len(held) == 3 and held[1].isdigit() and held[2].isdigit():
            found.update(fds=fds(held[0]), pgrp=int(held[1]), pid=int(held[2]))
    if "stderr\n" in err:
        before, _, after = err.partition("stderr\n")
        after = "".join(line for line in after.splitlines(True)
                        if line.strip() not in ("foreground", "background"))
        found.update(ignored=signal_set(before), blocked=signal_set(after))
    return found


def help_commands(text):
    """The command names of a help listing, or NoVerdict where `text` is no
    help listing of the helper's."""
    lines = text.split("\n")
    if lines[:4] != [BANNER, "", "Commands", "--------"]:
        raise NoVerdict("its help listing does not start with the helper's banner: %r" %
                        clip(text, 200))
    return [line[2:-1] for line in lines[4:] if line.startswith("  ") and line.endswith(":") and
            not line.startswith("   ")]


def groups(text, count):
    """The groups that `count` print_pgrp words printed, one a line: the proof
    that the helper ran, and ran as itself."""
    lines = text.splitlines()
    if len(lines) != count or not all(line.isdigit() for line in lines):
        raise NoVerdict("no proof that the helper ran: %d group line(s) expected, read %r" %
                        (count, clip(text)))
    return [int(line) for line in lines]


def signal_number(line):
    """The signal a report line names: "TEXT: N", or TEXT alone where the C
    library's text holds a colon itself."""
    match = re.fullmatch(r"(.*): (\d+)", line)
    if match and ":" not in match.group(1):
        return int(match.group(2))
    for n in range(1, 65):
        try:
            if signal.strsignal(n) == line:
                return n
        except ValueError:
            pass
    raise NoVerdict("unexpected line from the subject or the helper: %r" % clip(line))


def signal_set(text):
    """The signal numbers of a print_blocked_signals or print_ignored_signals
    report, a line each."""
    return {signal_number(line) for line in text.splitlines()}


def fds(line):
    """The descriptors a print_fds line lists."""
    if not re.fullmatch(r"\d+( \d+)*", line):
        raise NoVerdict("print_fds printed %r" % clip(line))
    return {int(n) for n in line.split()}


def names(numbers):
    """A set of signals as a reader knows them: {SIGINT, SIGQUIT}."""
    found = []
    for n in sorted(numbers):
        try:
            found.append(signal.Signals(n).name)
        except ValueError:
            found.append(str(n))
    return "{%s}" % ", ".join(found) if found else "no signal"


def listed(numbers):
    return " ".join(str(n) for n in sorted(numbers))


# Evidence keeps this many characters of what a subject printed, half from
# its head and half from its tail.
EVIDENCE = 2048


def clip(text, keep=EVIDENCE):
    """`text` as evidence: whole up to `keep` characters, else its head and
    tail with how much was cut between them."""
    if len(text) <= keep:
        return text
    half = keep // 2
    return "%s[... %d characters cut ...]%s" % (text[:half], len(text) - 2 * half, text[-half:])
