"""The launcher audit's checks. Their rule is transparency: the child gets
what the launcher was handed, and nothing of the launcher's own. Each check
belongs to one state, and each FAIL names where its deviation comes from:
the first process from the launcher down to the child whose state differs
from what the launcher was handed, and what that process itself does."""

import os
import signal

from .. import proc
from ..protocol import listed, names
from ..registry import JUDGED, REPORTED
from ..verdicts import Failed, NoVerdict, Report
from .launcher import CHECKS
from .observe import INHERITED_BLOCKED, INHERITED_FD, INHERITED_IGNORED

POSIX = "POSIX.1-2024 XSH"
# The C library's own signals (glibc's 32 and 33), below the real-time ones.
C_LIBRARY = set(range(32, signal.SIGRTMIN))


def check(check_id, state, rule, kind=JUDGED):
    def register(judge):
        CHECKS.declare(check_id, kind, rule, lambda seen: corroborated(seen, judge), note=state)
        return judge
    return register


def corroborated(seen, judge):
    """The child's own reports, where the launcher passed them through, must
    agree with the kernel's view; a disagreement leaves no verdict."""
    found = proc.disagreements(seen.reports, seen.child)
    if found:
        raise NoVerdict("the helper disagrees with the kernel: %s" % "; ".join(found))
    return judge(seen)


def who(p):
    program = os.path.basename(os.path.realpath(p.exe))
    return "%s (%spid %d)" % (p.name, program + ", " if program != p.name else "", p.pid)


def chain(seen):
    line = " -> ".join(who(p) for p in seen.chain)
    if seen.chain[0].pid != seen.launcher:
        line = "the launcher had exited; " + line
    elif len(seen.chain) == 1:
        line += ", which the launcher became"
    return "the chain: " + line


def lost(seen, signo, field):
    """Where `signo`, handed to the launcher in `field`, was lost on the way."""
    for i, p in enumerate(seen.chain):
        if signo in getattr(p, field):
            continue
        name = signal.Signals(signo).name
        if p.pid == seen.child.pid and i > 0:
            parent = seen.chain[i - 1]
            return "%s still has %s %s and handed it down otherwise: a reset for the child " \
                "alone" % (who(parent), name, field)
        if p.pid != seen.launcher:
            return "lost at %s, between the launcher and the child, which does not have %s " \
                "%s" % (who(p), name, field)
        if field == "ignored" and signo in p.caught:
            return "%s catches %s: a handler installed over an inherited ignore" % (who(p), name)
        if field == "blocked":
            return "%s does not block %s itself: a mask dropped by its main thread" % (who(p), name)
        return "%s has %s at its default itself" % (who(p), name)
    return None


def added(seen, signo, field):
    """Where `signo`, which the launcher was not handed in `field`, came from."""
    for i, p in enumerate(seen.chain):
        if signo not in getattr(p, field):
            continue
        name = signal.Signals(signo).name if signo < 32 else str(signo)
        if p.pid == seen.child.pid and i > 0:
            return "%s set %s %s for the child alone" % (who(seen.chain[i - 1]), name, field)
        return "%s has %s %s itself, and handed it down" % (who(p), name, field)
    return None


def causes(seen, signos, find, field):
    return "; ".join(filter(None, (find(seen, n, field) for n in sorted(signos))))


def none_of_its_own(seen, field):
    """Started clean, the child has no signal in `field` but the C library's."""
    extra = getattr(seen.child, field) - C_LIBRARY
    if extra:
        raise Failed("started clean, the child had %s %s; cause: %s; %s" % (
            names(extra), field, causes(seen, extra, added, field), chain(seen)))
    return "started clean, the child had no signal %s; %s" % (field, chain(seen))


@check("clean-no-ignored", "clean", "hygiene: a signal the launcher ignores for itself (SIGPIPE "
       "in many runtimes) must not reach its child; the C library's own are reported apart.")
def clean_no_ignored(seen):
    return none_of_its_own(seen, "ignored")


@check("clean-no-blocked", "clean", "hygiene: a signal the launcher blocks for itself (in a "
       "worker thread, say) must not reach its child.")
def clean_no_blocked(seen):
    return none_of_its_own(seen, "blocked")


def descriptor_cause(seen, fd, target):
    for i, p in enumerate(seen.chain):
        if p.pid == seen.child.pid:
            parent = seen.chain[i - 1] if i else None
            return "opened for the child alone%s" % (" by %s" % who(parent) if parent else "")
        holding = [n for n, t in p.fds.items() if t == target]
        if holding:
            return "%s holds it too, on %s" % (who(p), listed(holding))
    return "opened for the child alone"


@check("clean-no-descriptors", "clean", "hygiene: a descriptor the launcher opened for itself (a "
       "log, a script, an event loop's pipe) must not reach its child; one passed on purpose "
       "(make's jobserver) is an expected FAIL.")
def clean_no_descriptors(seen):
    extra = sorted(set(seen.child.fds) - {0, 1, 2})
    if extra:
        raise Failed("started clean, the child had descriptors %s: %s; %s" % (
            listed(seen.child.fds), "; ".join("%d -> %s, %s" % (
                fd, seen.child.fds[fd], descriptor_cause(seen, fd, seen.child.fds[fd]))
                for fd in extra), chain(seen)))
    return "started clean, the child had descriptors 0 1 2 only; %s" % chain(seen)


EXEC = POSIX + ", exec: signals ignored by the calling process image stay ignored in the new one"


@check("keeps-ignored", "inherited", EXEC + "; a launcher that catches or resets an inherited "
       "ignore breaks what its caller set up (a child of nohup timeout ... dies of SIGHUP).")
def keeps_ignored(seen):
    missing = INHERITED_IGNORED - seen.child.ignored
    if missing:
        raise Failed("started with %s ignored, the child had %s at its default; cause: %s; %s" % (
            names(INHERITED_IGNORED), names(missing), causes(seen, missing, lost, "ignored"),
            chain(seen)))
    return "started with %s ignored, the child had them ignored; %s" % (
        names(INHERITED_IGNORED), chain(seen))


@check("keeps-sigpipe-ignored", "pipe", EXEC + "; SIGPIPE, which runtimes set for themselves, "
       "is the one most often reset.")
def keeps_sigpipe_ignored(seen):
    if signal.SIGPIPE not in seen.child.ignored:
        raise Failed("started with SIGPIPE ignored, the child had it at its default; cause: %s; "
                     "%s" % (lost(seen, signal.SIGPIPE, "ignored"), chain(seen)))
    return "started with SIGPIPE ignored, the child had it ignored; %s" % chain(seen)


@check("inherited-mask", "inherited", "defended either way, POSIX.1-2024 XSH, exec and "
       "posix_spawn: the new image inherits the calling thread's mask; some launchers keep the "
       "mask they inherited (Rust, for nohup's sake), others empty it on purpose (the JDK, "
       "libuv).", kind=REPORTED)
def inherited_mask(seen):
    kept = INHERITED_BLOCKED & seen.child.blocked
    missing = INHERITED_BLOCKED - kept
    text = "started with %s blocked, the child had %s blocked" % (names(INHERITED_BLOCKED),
                                                                   names(kept))
    if missing:
        text += "; %s" % causes(seen, missing, lost, "blocked")
    brief = "kept" if not missing else "emptied" if not kept else names(missing) + " unblocked"
    return Report("%s; %s" % (text, chain(seen)), brief)


@check("inherited-descriptor", "inherited", "defended either way: closing descriptors the "
       "caller did not pass is sound hygiene (Python's close_fds); keeping them is POSIX's "
       "default.", kind=REPORTED)
def inherited_descriptor(seen):
    target = seen.child.fds.get(INHERITED_FD)
    if target is None:
        where = next((who(p) for p in seen.chain if INHERITED_FD not in p.fds), "the child")
        return Report("descriptor 7, open on /dev/null when the launcher started, did not reach "
                      "the child; the first without it: %s; %s" % (where, chain(seen)), "closed")
    return Report("descriptor 7, open on /dev/null when the launcher started, reached the child, "
                  "leading to %s; %s" % (target, chain(seen)), "kept")


@check("group-and-session", "clean", "a fact a reader needs: the child's process group and "
       "session against the launcher's, which leads a session of its own.", kind=REPORTED)
def group_and_session(seen):
    child = seen.child
    if child.session != seen.launcher:
        brief, where = "new session", "a new session (%d)" % child.session
    elif child.pgrp != seen.launcher:
        brief = "new group"
        where = "a new process group (%d) in the launcher's session" % child.pgrp
    else:
        brief, where = "the launcher's", "the launcher's own process group and session"
    return Report("the child ran in %s; %s" % (where, chain(seen)), brief)


@check("c-library-signals", "clean", "a fact a reader needs: the C library's own signals "
       "(glibc's 32 and 33), which its posix_spawn leaves ignored in the child.", kind=REPORTED)
def c_library_signals(seen):
    said, brief = [], []
    for field in ("ignored", "blocked"):
        found = getattr(seen.child, field) & C_LIBRARY
        if found:
            said.append("%s %s (%s)" % (field, listed(found), causes(seen, found, added, field)))
            brief.append("%s %s" % (listed(found), field))
    return Report("the C library's signals %s in the child: %s" % (
        listed(C_LIBRARY), "; ".join(said) if said else "neither ignored nor blocked"),
        "; ".join(brief) or "none")


@check("standard-streams", "clean", "a fact a reader needs: where descriptors 0, 1 and 2 lead "
       "in the child, against where they led for the launcher (/dev/null and two pipes).",
       kind=REPORTED)
def standard_streams(seen):
    first = seen.chain[0] if seen.chain[0].pid == seen.launcher else None
    said, other = [], []
    for fd in (0, 1, 2):
        target = seen.child.fds.get(fd)
        same = first is not None and first.pid != seen.child.pid and first.fds.get(fd) == target
        said.append("%d %s%s" % (fd, target or "closed", ", as for the launcher" if same else ""))
        if not same:
            other.append("%d %s" % (fd, stream_kind(seen.child.fds, fd)))
    return Report("in the child, %s" % "; ".join(said),
                  "; ".join(other) if other else "as for the launcher")


def stream_kind(fds, fd):
    """What descriptor `fd` leads to, in a word or two: "a pipe", "same as 1"."""
    target = fds.get(fd)
    earlier = [n for n in range(fd) if target is not None and fds.get(n) == target]
    if earlier:
        return "same as %d" % earlier[0]
    if target is None:
        return "closed"
    if target.startswith("pipe:"):
        return "a pipe"
    return "a terminal" if target.startswith("/dev/pts/") else target
