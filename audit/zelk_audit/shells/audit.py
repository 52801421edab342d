"""The shell audit's front end: its subjects are shells, each given as a
command name or path with optional arguments."""

from .. import cli, runner
from ..selfcheck import self_check
from ..spawn import controlled_env
# Each declares its checks, in the order they run and are shown.
from . import dispositions, descriptors, groups, jobs  # noqa: F401,I001  isort:skip
from .shell import CHECKS, Shell

KIND = runner.Kind(title="zelk shell audit", key="shells", registry=CHECKS,
                   open=lambda given, helper, home: Shell(given, helper, home))


def main(argv, entry):
    p = cli.parser(entry, "Puts POSIX shells through job-control and hand-down checks, with "
                   "zelk_test_helper as the child that reports what each shell gave it.",
                   ("SHELL", 'a shell command, with optional arguments, such as "busybox sh"'))
    p.add_argument("--json", action="store_const", const="json", dest="format",
                   help="the same as --format json")
    args = p.parse_args(argv)
    if args.list:
        return cli.listing(CHECKS)
    cli.check_programs(p, "shell", [(given, given) for given in args.subjects])
    cli.finish_args(p, args, CHECKS)
    return runner.start(KIND, args, [(given, given) for given in args.subjects],
                        lambda home: self_check(args.helper, controlled_env(home)))
