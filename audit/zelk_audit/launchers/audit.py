"""The launcher audit's front end: its subjects are launchers, each a
command line given as one argument, or a catalogue's line."""

import os

from .. import cli, runner
from ..selfcheck import self_check
from ..spawn import controlled_env
from . import checks  # noqa: F401  (declares the checks)
from .launcher import CHECKS, Launcher, read_catalogue
from .observe import STATES

KIND = runner.Kind(title="zelk launcher audit", key="launchers", registry=CHECKS, open=Launcher)


def prove_states(helper, states, home):
    """The self-check in every state the launchers will be started in."""
    null = os.open(os.devnull, os.O_RDONLY)
    try:
        for state in states:
            hand = STATES[state]._replace(keep=tuple((n, null) for n, _ in STATES[state].keep))
            problem = self_check(helper, controlled_env(home), hand)
            if problem:
                return "started %s: %s" % (state, problem)
    finally:
        os.close(null)
    return None


def main(argv, entry):
    p = cli.parser(entry, "Audits what launchers (runtimes' spawn calls, build tools, wrappers, "
                   "inits) hand their children, with zelk_test_helper as the child.",
                   ("LAUNCHER", "a command line, where a word {} stands for the child's words and "
                    "{} inside a word for its command line quoted for sh; with no {}, the "
                    "child's words are appended"))
    p.add_argument("--states", default=",".join(STATES),
                   help="comma-separated states to start each launcher in: clean, inherited, pipe")
    p.add_argument("--catalogue", metavar="FILE",
                   help="launchers a line: a name, then its command line; `#` starts a comment")
    args = p.parse_args(argv)
    if args.list:
        return cli.listing(CHECKS)
    states = args.states.split(",")
    unknown = [s for s in states if s not in STATES]
    if unknown:
        p.error("unknown state %s; the states are %s" % (", ".join(unknown), ", ".join(STATES)))
    entries = []
    if args.catalogue:
        try:
            entries = read_catalogue(args.catalogue)
        except (OSError, ValueError) as e:
            p.error(str(e))
    for given in args.subjects:
        entries.append((given, given, {}))
    args.subjects = args.subjects or [name for name, _, _ in entries]
    cli.check_programs(p, "launcher", [(name, command) for name, command, _ in entries],
                       comments=True)
    if args.only is None:
        args.only = ",".join(c.id for c in CHECKS.checks if c.note in states)
    cli.finish_args(p, args, CHECKS)
    return runner.start(KIND, args, [(name, (name, command, files)) for name, command, files in
                                     entries], lambda home: prove_states(args.helper, states, home))
