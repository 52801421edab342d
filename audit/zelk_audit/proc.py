"""The kernel's view of a process, read from /proc: the oracle that every
verdict rests on, and the family tree that the reaper follows."""

import collections
import os

Stat = collections.namedtuple("Stat", "state ppid pgrp session tpgid")
# One process as the kernel shows it: its name (a script's own, not its
# interpreter's), its program, its group and session, its signals and its
# descriptors with their targets.
Process = collections.namedtuple("Process",
                                 "pid name exe pgrp session ignored blocked caught fds")
LOW = set(range(1, 32))  # the signals every C library lets a parent set


def stat(pid):
    """The kernel's view of a process, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None
    return Stat(fields[0], *(int(field) for field in fields[1:4] + fields[5:6]))


def state(pid):
    """The process's state letter, "gone" once it has been reaped."""
    st = stat(pid)
    return st.state if st else "gone"


def signal_fields(pid):
    """{"SigBlk": set, "SigIgn": set, "SigCgt": set} of signal numbers 1 to
    64, or None once the process is gone."""
    fields = {}
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                name, _, value = line.partition(":")
                if name in ("SigBlk", "SigIgn", "SigCgt"):
                    bits = int(value.strip(), 16)
                    fields[name] = {n for n in range(1, 65) if bits >> (n - 1) & 1}
    except (OSError, ValueError):
        return None
    return fields if len(fields) == 3 else None


def catches(pid, signo):
    fields = signal_fields(pid)
    return bool(fields) and signo in fields["SigCgt"]


def descriptors(pid):
    """{number: target} of the process's open descriptors, or None once it is gone."""
    folder = "/proc/%d/fd" % pid
    try:
        numbers = [int(name) for name in os.listdir(folder)]
    except OSError:
        return None
    found = {}
    for n in numbers:
        try:
            found[n] = os.readlink("%s/%d" % (folder, n))
        except OSError:
            pass  # closed as we looked
    return found


def executable(pid):
    try:
        return os.readlink("/proc/%d/exe" % pid)
    except OSError:
        return None


def command_line(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return [word.decode(errors="replace") for word in f.read().split(b"\0")[:-1]]
    except OSError:
        return []


def parents():
    """{pid: ppid} of every live process; zombies have ended and wait only
    to be reaped, so they are left out."""
    found = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            st = stat(int(name))
            if st is not None and st.state != "Z":
                found[int(name)] = st.ppid
    return found


def descendants(root, spare=()):
    """The live descendants of `root`, leaving out the processes in `spare`
    and everything below them."""
    children = collections.defaultdict(list)
    for pid, ppid in parents().items():
        children[ppid].append(pid)
    found, todo = [], list(children[root])
    while todo:
        pid = todo.pop()
        if pid in spare:
            continue
        found.append(pid)
        todo.extend(children[pid])
    return found


def process(pid):
    """The kernel's view of one process, or None once it is gone."""
    st, signals, fds = stat(pid), signal_fields(pid), descriptors(pid)
    if st is None or signals is None or fds is None:
        return None
    words = command_line(pid)
    exe = executable(pid) or "?"
    named = words[1] if len(words) > 1 and words[1].startswith("/") else words[0] if words else ""
    return Process(pid, os.path.basename(named) or os.path.basename(exe), exe, st.pgrp,
                   st.session, signals["SigIgn"], signals["SigBlk"], signals["SigCgt"], fds)


def disagreements(reports, p):
    """Where the helper's reports of itself (protocol.reports) differ from
    the kernel's view of it, `p`, in the signals every C library lets a
    parent set."""
    kernel = {"pid": p.pid, "pgrp": p.pgrp, "fds": set(p.fds), "ignored": p.ignored & LOW,
              "blocked": p.blocked & LOW}
    found = []
    for key, value in reports.items():
        mine = value & LOW if key in ("ignored", "blocked") else value
        if mine != kernel[key]:
            found.append("it reports %s %r where the kernel shows %r" % (key, mine, kernel[key]))
    return found


def chain(pid, top):
    """The processes from `top` down to `pid`, both included, by their
    parents; None where `pid` is no descendant of `top`."""
    line = [pid]
    while line[-1] != top:
        st = stat(line[-1])
        if st is None or st.ppid <= 1:
            return None
        line.append(st.ppid)
    return line[::-1]
