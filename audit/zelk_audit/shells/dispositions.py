"""What a shell hands down of signal dispositions and of the mask. In a
script, `$H` is the helper."""

import collections
import signal

from ..protocol import names
from ..registry import REPORTED
from ..verdicts import Failed, Report
from .shell import hygiene, posix, scripted

INT_QUIT = {signal.SIGINT, signal.SIGQUIT}
SIGNALS = "Signals and Error Handling"
ENVIRONMENT = "Shell Execution Environment"
REPORT = '"$H" print_ignored_signals print_pgrp'
BLOCKED = '"$H" print_blocked_signals print_pgrp'


@scripted("async-ignores-int-quit", posix(
    SIGNALS, "with job control off, the commands of an asynchronous list inherit SIGINT and "
    "SIGQUIT ignored."))
def async_ignores_int_quit(p):
    got, _ = p.signals(REPORT + " & wait")
    if not INT_QUIT <= got:
        raise Failed("an asynchronous command had %s ignored; SIGINT and SIGQUIT must be" %
                     names(got))
    return "an asynchronous command had %s ignored" % names(got)


COMPOUND = (("a brace group", "{ %s; } & wait"), ("a subshell", "( %s ) & wait"),
            ("a function call", "f() { %s; }; f & wait"), ("an AND list", "true && %s & wait"))


@scripted("async-compound-ignores-int-quit", posix(
    SIGNALS, "an asynchronous list is any AND-OR list ended by &, and its commands inherit SIGINT "
    "and SIGQUIT ignored whether it is simple, compound or a function call."))
def async_compound_ignores_int_quit(p):
    for what, form in COMPOUND:
        script = form % REPORT
        got, _ = p.signals(script)
        if not INT_QUIT <= got:
            raise Failed("in %s, %r, the command had %s ignored; SIGINT and SIGQUIT must be" %
                         (what, script, names(got)))
    return "a brace group, a subshell, a function call and an AND list, each ended by &, " \
        "handed down SIGINT and SIGQUIT ignored"


@scripted("async-trap-resets-int-quit", posix(
    SIGNALS + "; trap", "a trap inside an asynchronous list may set SIGINT and SIGQUIT back to "
    "their default for the commands it runs."))
def async_trap_resets_int_quit(p):
    got, _ = p.signals("{ trap - INT QUIT; %s; } & wait" % REPORT)
    if got & INT_QUIT:
        raise Failed("after trap - INT QUIT inside an asynchronous list, a command had %s "
                     "ignored; SIGINT and SIGQUIT must be at their default" % names(got))
    return "after trap - INT QUIT inside an asynchronous list, a command had %s ignored" % \
        names(got)


@scripted("keeps-inherited-dispositions", posix(
    SIGNALS, "commands inherit the signal actions the shell inherited, apart from the changes "
    "the section lists."))
def keeps_inherited_dispositions(p):
    handed = {signal.SIGUSR1, signal.SIGTERM}
    got, _ = p.signals(REPORT, ignored=handed)
    if got != handed:
        raise Failed("started with %s ignored, the shell handed down %s ignored" %
                     (names(handed), names(got)))
    return "started with %s ignored, the shell handed down the same" % names(handed)


@scripted("ignored-on-entry-stays-ignored", posix(
    SIGNALS + "; trap", "a signal ignored on entry to a non-interactive shell cannot be trapped "
    "or reset, so its commands inherit it ignored whatever the script's traps say."))
def ignored_on_entry_stays_ignored(p):
    for trap in ("trap true USR1", "trap - USR1"):
        got, _ = p.signals("%s; %s" % (trap, REPORT), ignored={signal.SIGUSR1})
        if signal.SIGUSR1 not in got:
            raise Failed("started with SIGUSR1 ignored, after %s a command had %s ignored; "
                         "SIGUSR1 must stay ignored" % (trap, names(got)))
    return "started with SIGUSR1 ignored, after trap true USR1 and after trap - USR1 a command " \
        "still had it ignored"


@scripted("trap-ignore-handed-down", posix(
    SIGNALS + "; " + ENVIRONMENT, "a signal trapped to '' stays ignored for the commands the "
    "shell runs."))
def trap_ignore_handed_down(p):
    got, _ = p.signals("trap '' USR2; " + REPORT)
    if signal.SIGUSR2 not in got:
        raise Failed("after trap '' USR2 a command had %s ignored, without SIGUSR2" % names(got))
    return "after trap '' USR2 a command had %s ignored" % names(got)


@scripted("trap-action-reset", posix(
    SIGNALS + "; " + ENVIRONMENT, "a signal trapped to an action is at its default in the "
    "commands the shell runs; that it is not left blocked either is hygiene."))
def trap_action_reset(p):
    ignored, _ = p.signals("trap true USR2; " + REPORT)
    blocked, _ = p.signals('trap true USR2; "$H" print_blocked_signals print_pgrp')
    if signal.SIGUSR2 in ignored | blocked:
        raise Failed("after trap true USR2 a command had %s ignored and %s blocked; SIGUSR2 "
                     "must be neither" % (names(ignored), names(blocked)))
    return "after trap true USR2 a command had SIGUSR2 neither ignored nor blocked"


@scripted("exec-hands-down", posix(
    "exec; " + SIGNALS, "exec utility replaces the shell with the utility, which inherits the "
    "same signal actions: ignored stays ignored, trapped becomes default."))
def exec_hands_down(p):
    got, _ = p.signals("trap true USR1; trap '' USR2; exec " + REPORT)
    if signal.SIGUSR2 not in got or signal.SIGUSR1 in got:
        raise Failed("after trap true USR1 and trap '' USR2, exec handed down %s ignored; "
                     "SIGUSR2 ignored and SIGUSR1 at its default expected" % names(got))
    return "after trap true USR1 and trap '' USR2, exec handed down %s ignored" % names(got)


@scripted("empty-mask-handed-down", hygiene(
    "the signal mask a command starts with should be the one the shell inherited, empty here; "
    "POSIX specifies dispositions, not the mask."))
def empty_mask_handed_down(p):
    for where, script in (("a foreground", BLOCKED), ("an asynchronous", BLOCKED + " & wait"),
                          ("an exec'd", "exec " + BLOCKED)):
        got, _ = p.signals(script)
        if got:
            raise Failed("%s command had %s blocked; none must be" % (where, names(got)))
    return "foreground, asynchronous and exec'd commands had no signal blocked"


# The forms of command that inherited-mask-kept reports on; the trailing
# true keeps a shell from running the foreground command in its own place.
FORMS = (("a foreground command", BLOCKED + "; true"), ("exec", "exec " + BLOCKED),
         ("a subshell", "( %s ); true" % BLOCKED), ("an asynchronous list", BLOCKED + " & wait"),
         ("a pipeline", BLOCKED + " | cat"))


@scripted("inherited-mask-kept", "which commands start with the mask the shell inherited: POSIX "
          "does not say, and keeping it and emptying it are both defended.", kind=REPORTED)
def inherited_mask_kept(p):
    handed = frozenset({signal.SIGUSR2, signal.SIGWINCH})
    kept = {}
    for what, script in FORMS:
        got, _ = p.signals(script, blocked=handed)
        kept[what] = got & handed
    return Report("started with %s blocked, the shell handed down blocked: %s" % (
        names(handed), "; ".join("%s %s" % (what, names(got) if got else "no signal")
                                 for what, got in kept.items())), mask_brief(kept, handed))


def mask_brief(kept, handed):
    """What became of the mask, in a few words: "kept in every form", or
    "emptied for a foreground command; else kept"."""
    def said(got):
        return "kept" if got == handed else "emptied" if not got else names(got) + " kept"
    usual = collections.Counter(said(got) for got in kept.values()).most_common(1)[0][0]
    odd = ["%s for %s" % (said(got), what) for what, got in kept.items() if said(got) != usual]
    return "; ".join(odd + ["else " + usual]) if odd else usual + " in every form"
