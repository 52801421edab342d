"""The command line: which shells and checks, the helper's self-check, the
expectations and the output format."""

import argparse
import os
import shlex
import shutil
import signal
import sys
import tempfile

from . import checks  # noqa: F401  (declares every check)
from . import driver
from .expect import read_expectations, surprise
from .formats import FORMATS
from .registry import CHECKS, names, signal_set
from .verdicts import NoVerdict, Verdict

USAGE_EXIT = 2


def default_helper(entry):
    """The installed helper beside the entry script, else the build's."""
    beside = os.path.join(os.path.dirname(entry), "zelk_test_helper")
    if os.path.isfile(beside):
        return beside
    return os.path.join(os.path.dirname(os.path.realpath(entry)), os.pardir, "build",
                        "zelk_test_helper")


def parse_args(argv, entry):
    parser = argparse.ArgumentParser(
        prog=os.path.basename(entry),
        description="Puts POSIX shells through job-control and hand-down checks, with "
        "zelk_test_helper as the child that reports what each shell gave it. Exits 0 when "
        "every verdict is as expected, 1 when one is not, 2 for bad usage or a helper that "
        "fails its self-check.")
    parser.add_argument("--helper", default=default_helper(entry),
                        help="the helper to run as the child")
    parser.add_argument("--format", choices=sorted(FORMATS), default="table")
    parser.add_argument("--json", action="store_const", const="json", dest="format",
                        help="the same as --format json")
    parser.add_argument("--only", help="comma-separated check ids to run")
    parser.add_argument("--expect", metavar="FILE",
                        help="the verdicts other than pass that are expected, a line each: "
                        "SHELL CHECK VERDICT")
    parser.add_argument("--list", action="store_true",
                        help="print every check's id, kind and rule, and exit")
    parser.add_argument("shells", nargs="*", metavar="SHELL",
                        help='a shell command, with optional arguments, such as "busybox sh"')
    args = parser.parse_args(argv)
    if args.list:
        return args
    all_ids = [check.id for check in CHECKS]
    args.ids = all_ids if args.only is None else args.only.split(",")
    unknown = [i for i in args.ids if i not in all_ids]
    if unknown:
        parser.error("unknown check id %s; --list names them" % ", ".join(unknown))
    if not args.shells:
        parser.error("name at least one shell")
    if not (os.path.isfile(args.helper) and os.access(args.helper, os.X_OK)):
        parser.error("no helper at %s; build it, or name it with --helper" % args.helper)
    for given in args.shells:
        try:
            words = shlex.split(given)
        except ValueError as e:
            parser.error("cannot read the shell %r: %s" % (given, e))
        if not words or shutil.which(words[0]) is None:
            parser.error("shell not found: %s" % given)
    args.expected = {}
    if args.expect:
        try:
            args.expected = read_expectations(args.expect, all_ids)
        except (OSError, ValueError) as e:
            parser.error(str(e))
    args.helper = os.path.abspath(args.helper)
    return args


def listing():
    return "".join("%s (%s%s): %s\n" % (c.id, c.kind, ", interactive" if c.interactive else "",
                                         c.rule) for c in CHECKS)


def self_check(helper, home):
    """What differs where the helper is started alone exactly as each shell
    is: it must see an empty mask, no signal ignored and descriptors 0 1 2."""
    env = driver.controlled_env(home)
    problems = []
    for words, what in ((["print_ignored_signals", "print_fds", "print_pgrp"], "ignored"),
                        (["print_blocked_signals", "print_pgrp"], "blocked")):
        ran = driver.run([helper] + words, env)
        lines = ran.out.splitlines()
        try:
            signal_set(ran.err)
        except NoVerdict:
            lines = []
        if ran.status != 0 or not lines or not lines[-1].isdigit():
            return ("the helper %s, started alone as each shell is, did not run as the helper: "
                    "%s, printing %r" % (helper, driver.describe_status(ran.status),
                                         (ran.out + ran.err).strip()))
        if ran.err:
            problems.append("had %s %s; none expected" % (names(signal_set(ran.err)), what))
        if what == "ignored" and lines[0] != "0 1 2":
            problems.append("saw descriptors %s; 0 1 2 expected" % lines[0])
    if problems:
        return ("the helper %s, started alone as each shell is, %s. Run the audit where the "
                "helper inherits nothing else, such as outside a sandbox or wrapper that "
                "changes it" % (helper, "; ".join(problems)))
    return None


def audit_shell(shell, ids, expected):
    entries = []
    for check in CHECKS:
        if check.id not in ids:
            continue
        try:
            verdict, evidence = "pass", check.judge(shell)
        except Verdict as e:
            verdict, evidence = e.verdict, str(e)
        if check.kind == "reported" and verdict == "pass":
            verdict = "report"
        wanted = expected.get((shell.given, check.id))
        entries.append({"id": check.id, "kind": check.kind, "rule": check.rule,
                        "verdict": verdict, "evidence": evidence, "expected": wanted,
                        "surprise": surprise(verdict, wanted)})
    return {"shell": shell.given, "command": shlex.join(shell.words), "version": shell.version(),
            "entries": entries}


def hold_standard_descriptors():
    # Descriptors 0 to 2 held open, so no pipe of the audit's takes their place.
    for fd in range(3):
        try:
            os.fstat(fd)
        except OSError:
            os.open(os.devnull, os.O_RDWR)


def main(argv, entry):
    args = parse_args(argv, entry)
    if args.list:
        sys.stdout.write(listing())
        return 0
    hold_standard_descriptors()
    driver.become_subreaper()
    # Ended by a signal, the audit still ends every shell it started.
    for signo in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signo, lambda signo, _: sys.exit(128 + signo))
    home = tempfile.mkdtemp(prefix="zelk-audit-")
    driver.GUARDIAN = driver.Guardian(home)
    try:
        problem = self_check(args.helper, home)
        if problem:
            print("%s: %s" % (os.path.basename(entry), problem), file=sys.stderr)
            return USAGE_EXIT
        results = [audit_shell(driver.Shell(given, args.helper, home), args.ids, args.expected)
                   for given in args.shells]
    finally:
        shutil.rmtree(home, ignore_errors=True)
        driver.reap()
        driver.GUARDIAN.close()
        driver.GUARDIAN = None
    audit = {"helper": args.helper, "expectations": args.expect, "shells": results}
    sys.stdout.write(FORMATS[args.format](audit))
    return 1 if any(e["surprise"] for r in results for e in r["entries"]) else 0
