"""A launcher run in one state, as the leader of a new session, and what the
kernel shows of the child it started, the helper, while the helper holds:
its signals and descriptors, and those of every process between them."""

import collections
import os
import shutil
import signal
import tempfile
import time

from .. import proc, protocol
from ..spawn import Hand, describe_status, run
from ..verdicts import NoVerdict

INHERITED_IGNORED = frozenset({signal.SIGHUP, signal.SIGUSR1})
INHERITED_BLOCKED = frozenset({signal.SIGUSR2, signal.SIGWINCH})
INHERITED_FD = 7
STATES = {
    "clean": Hand(frozenset(), frozenset(), ()),
    "inherited": Hand(INHERITED_IGNORED, INHERITED_BLOCKED, ((INHERITED_FD, None),)),
    "pipe": Hand(frozenset({signal.SIGPIPE}), frozenset(), ()),
}
DESCRIBED = {"clean": "started clean",
             "inherited": "started with SIGHUP and SIGUSR1 ignored, SIGUSR2 and SIGWINCH blocked "
             "and descriptor 7 open on /dev/null",
             "pipe": "started with SIGPIPE ignored"}
PASS_THROUGH = 1.0  # seconds the child's output has to come through, once it holds
SETTLE = 0.2  # seconds with nothing left below the audit before a launcher counts as ended
AT_REST = 2.0  # seconds the processes above a holding child have to come to rest

# `chain` runs from the first process below the audit's own to the child;
# `launcher` is the launcher's pid, which is the child's own where the
# launcher ran it in its place.
Observation = collections.namedtuple("Observation",
                                     "state launcher chain child started reports output")


def holding(pid):
    """Whether the helper has reported and now only sleeps, unchanged."""
    try:
        with open("/proc/%d/wchan" % pid) as f:
            wchan = f.read()
        with open("/proc/%d/syscall" % pid) as f:
            call = f.read().split()[:1]
    except OSError:
        return False
    return proc.state(pid) == "S" and ("nanosleep" in wchan or call in (["35"], ["230"]))


def settle(seen):
    """Reads the processes above the child again until none of them runs,
    keeping the first view of one that has ended. One that still runs may
    yet change what it holds: dash blocks every signal around its vfork and
    empties its mask again only once it runs, after the child's exec."""
    above = seen["line"][:-1]
    if not seen["rested"]:
        before = [proc.state(p) for p in above]
        fresh = [proc.process(p) for p in above]
        after = [proc.state(p) for p in above]
        if not set(before + after) & {"R", "D"}:
            seen["chain"][:-1] = [now if now and state not in ("Z", "X", "gone") else then
                                  for now, state, then in zip(fresh, after, seen["chain"])]
            seen["rested"] = True
    return seen["rested"] or time.monotonic() > seen["at"] + AT_REST


def observe(launcher, state):
    """The Observation of `launcher` run in `state`; NoVerdict where it never
    started the child."""
    folder = tempfile.mkdtemp(dir=launcher.home)
    null = os.open(os.devnull, os.O_RDONLY)
    try:
        for name, text in launcher.files.items():
            with open(os.path.join(folder, name), "w") as f:
                f.write(text)
        hand = STATES[state]._replace(keep=tuple((n, null) for n, _ in STATES[state].keep))
        return watch(launcher, state, hand, folder)
    finally:
        os.close(null)
        shutil.rmtree(folder, ignore_errors=True)


def watch(launcher, state, hand, folder):
    real = os.path.realpath(launcher.helper)
    seen = {"helpers": []}

    def look(pid, out, err):
        live = proc.descendants(os.getpid())
        for p in sorted(live):
            if p not in seen["helpers"] and proc.executable(p) == real:
                seen["helpers"].append(p)
        if "child" not in seen:
            first = next((p for p in seen["helpers"] if holding(p)), None)
            if first is not None:
                line = (proc.chain(first, os.getpid()) or [os.getpid(), first])[1:]
                chain = [proc.process(p) for p in line]
                seen.update(at=time.monotonic(), child=chain[-1], launcher=pid, line=line,
                            chain=chain, rested=False)
            # The launcher ended, and nothing is left to start the child: seen
            # twice, since an orphan may not yet show its new parent.
            if live:
                seen.pop("empty", None)
            return time.monotonic() > seen.setdefault("empty", time.monotonic()) + SETTLE
        found = protocol.reports(out.text(), err.text())
        return settle(seen) and (found.get("pid") == seen["child"].pid and "blocked" in found or
                                 time.monotonic() > seen["at"] + PASS_THROUGH)
    try:
        ran = run(launcher.argv, launcher.env, hand, cwd=folder, during=look, follow=True)
    except NoVerdict as e:
        raise NoVerdict("%s; %s" % (launcher.ran(state), e))
    output = protocol.clip(ran.out + ran.err)
    if "child" not in seen or None in seen["chain"] or seen["child"] is None:
        raise NoVerdict("%s, it %s without starting the child that holds; it printed %r" % (
            launcher.ran(state), "ended" if ran.status is None else describe_status(ran.status),
            output))
    try:
        reports = protocol.reports(ran.out, ran.err)
    except NoVerdict:
        reports = {}
    return Observation(state, seen["launcher"], seen["chain"], seen["child"],
                       len(seen["helpers"]),
                       reports if reports.get("pid") == seen["child"].pid else {}, output)
