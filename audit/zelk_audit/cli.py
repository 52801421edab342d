"""What every audit's command line shares: the helper, the checks, the
expectations, the format; usage errors exit 2."""

import argparse
import os
import shlex
import shutil
import sys

from .expect import read_expectations
from .formats import FORMATS
from .registry import Registry

USAGE_EXIT = 2
WORKERS = 4  # subjects audited at once: each mostly waits on its children


def default_helper(entry):
    """The installed helper beside the entry script, also through a symlink
    to it, else the build's."""
    for script in (entry, os.path.realpath(entry)):
        beside = os.path.join(os.path.dirname(script), "zelk_test_helper")
        if os.path.isfile(beside):
            return beside
    return os.path.join(os.path.dirname(os.path.realpath(entry)), os.pardir, "build",
                        "zelk_test_helper")


def parser(entry, description, subjects_help):
    p = argparse.ArgumentParser(
        prog=os.path.basename(entry), description=description + " Exits 0 when every verdict "
        "is as expected, 1 when one is not, 2 for bad usage or a helper that fails its "
        "self-check, 130 or 143 when interrupted by SIGINT or SIGTERM, 141 when its output "
        "is closed.")
    p.add_argument("--helper", default=default_helper(entry),
                   help="the helper to run as the child")
    p.add_argument("--format", choices=sorted(FORMATS), default="table")
    p.add_argument("--only", help="comma-separated check ids to run")
    p.add_argument("--expect", metavar="FILE",
                   help="every verdict other than pass that is expected, n/a included, a line "
                   "each: SUBJECT CHECK VERDICT")
    p.add_argument("--list", action="store_true",
                   help="print every check's id, kind and rule, and exit")
    p.add_argument("--workers", type=int, default=WORKERS, help=argparse.SUPPRESS)
    p.add_argument("subjects", nargs="*", metavar=subjects_help[0], help=subjects_help[1])
    p.subject = subjects_help[0].lower()
    return p


def finish_args(p, args, registry: Registry):
    """Checks what every audit's arguments share, after the audit's own."""
    all_ids = registry.ids()
    args.ids = all_ids if args.only is None else args.only.split(",")
    unknown = [i for i in args.ids if i not in all_ids]
    if unknown:
        p.error("unknown check id %s; --list names them" % ", ".join(unknown))
    if not args.subjects:
        p.error("name at least one %s" % p.subject)
    if not (os.path.isfile(args.helper) and os.access(args.helper, os.X_OK)):
        p.error("no helper at %s; build it, or name it with --helper" % args.helper)
    args.expected = {}
    if args.expect:
        try:
            args.expected = read_expectations(args.expect, all_ids)
        except (OSError, ValueError) as e:
            p.error(str(e))
    args.helper = os.path.abspath(args.helper)
    args.workers = max(1, args.workers)
    args.prog = p.prog


def check_programs(p, what, commands, comments=False):
    """A usage error where a subject's command line cannot be read, or its
    first word names no program to run; `what` is "shell" or "launcher"."""
    for name, command in commands:
        try:
            words = shlex.split(command, comments=comments)
        except ValueError as e:
            p.error("cannot read the %s %r: %s" % (what, name, e))
        problem = program_problem(words[0]) if words else "an empty %s" % what
        if problem and not (words and "{" in words[0]):  # {helper-dir}/… is known only later
            p.error("%s %s" % (what, problem) if problem.startswith("not found") else problem)


def program_problem(word):
    """Why `word` names no program to run, or None."""
    if "/" not in word:
        return None if shutil.which(word) else "not found: %s" % word
    if os.path.isdir(word):
        return "%s is a directory, not a program" % word
    if not os.path.exists(word):
        return "not found: %s" % word
    if not os.access(word, os.X_OK):
        return "%s is not executable" % word
    return None


def listing(registry):
    sys.stdout.write(registry.listing())
    return 0
