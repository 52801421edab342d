"""Runs an audit: a worker process for each subject, a few at a time, each a
subreaper that kills what its runs leave behind, sending its results back
as lines of JSON; the main process gives each result to the format as it
comes, and keeps every result it has when it is interrupted.

An audit supplies its title, the key its subjects go under in JSON, its
registry, and `open(entry, helper, home)`, which returns a subject with a
`name`, a `command`, a `version` and `judge(check)`."""

import collections
import json
import os
import select
import shutil
import signal
import sys
import tempfile
import traceback

from . import protocol, reaper
from .expect import surprise
from .formats import FORMATS
from .registry import JUDGED, REPORTED
from .spawn import describe_status
from .verdicts import Verdict

Kind = collections.namedtuple("Kind", "title key registry open")
EVIDENCE = 8192  # characters of evidence kept for a result
INTERRUPTIONS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
OUTPUT_CLOSED = 141  # as a program that SIGPIPE ended


class Interrupted(Exception):
    pass


def interrupt(signo, _):
    for each in INTERRUPTIONS:
        signal.signal(each, signal.SIG_IGN)
    raise Interrupted(signal.Signals(signo).name)


def hold_standard_descriptors():
    # Descriptors 0 to 2 held open, so no pipe of the audit's takes their place.
    for fd in range(3):
        try:
            os.fstat(fd)
        except OSError:
            os.open(os.devnull, os.O_RDWR)


def judge(subject, check):
    """The verdict, the evidence, and a report's gist in a few words (or None)."""
    try:
        verdict, evidence = "pass", subject.judge(check)
    except Verdict as e:
        verdict, evidence = e.verdict, str(e)
    except Exception:  # a fault of the audit's own is this check's error, not the run's end
        verdict, evidence = "error", "the audit failed: %s" % traceback.format_exc(limit=-3)
    brief = None
    if check.kind == REPORTED and verdict == "pass":
        verdict, brief = "report", getattr(evidence, "brief", None)
    return verdict, protocol.clip(evidence, EVIDENCE), brief


def work(kind, entry, helper, home, ids, pipe, main):
    """A worker's life, in a forked child: never returns."""
    def clean_up(*_):
        reaper.kill_descendants()
        if os.getppid() != main:  # the audit died: nobody else removes its folder
            shutil.rmtree(os.path.dirname(home), ignore_errors=True)
        os._exit(143)
    try:
        for signo in INTERRUPTIONS:
            signal.signal(signo, clean_up)
        if not reaper.die_with_parent(signal.SIGTERM, main):
            clean_up()
        reaper.become_subreaper()
        os.setpgid(0, 0)  # the terminal's ^C reaches the main process alone
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1):
            os.dup2(null, fd)
        os.mkdir(home)
        subject = kind.open(entry, helper, home)
        send(pipe, type="subject", name=subject.name, command=subject.command,
             version=subject.version)
        for check_id in ids:
            verdict, evidence, brief = judge(subject, kind.registry.get(check_id))
            reaper.kill_descendants()
            send(pipe, type="result", id=check_id, verdict=verdict, evidence=evidence,
                 brief=brief)
    except BaseException:
        traceback.print_exc()
        reaper.kill_descendants()
        os._exit(1)
    os._exit(0)


def send(pipe, **record):
    data = (json.dumps(record) + "\n").encode()
    while data:
        data = data[os.write(pipe, data):]


class Worker:
    def __init__(self, kind, name, entry, helper, home, ids):
        self.name, self.pending = name, list(ids)
        self.buffer = b""
        read_end, write_end = os.pipe()
        main = os.getpid()
        sys.stdout.flush()
        self.pid = os.fork()
        if self.pid == 0:
            os.close(read_end)
            work(kind, entry, helper, home, ids, write_end, main)
        os.close(write_end)
        self.fd = read_end

    def records(self):
        """The whole lines read so far, parsed; [] at the end of the pipe,
        which closes it."""
        data = os.read(self.fd, 65536)
        if not data:
            os.close(self.fd)
            self.fd = None
            return []
        self.buffer += data
        *lines, self.buffer = self.buffer.split(b"\n")
        return [json.loads(line) for line in lines]


class Audit:
    """One run of an audit: what the format is told, and what it is shown at the end."""

    def __init__(self, kind, args, subjects):
        self.kind, self.args = kind, args
        self.subjects = subjects  # [(name, entry)] in the order given
        self.results = []
        self.described = {name: {"name": name, "command": None, "version": None}
                          for name, _ in subjects}
        self.ended = {}  # worker statuses reaped by the reaper
        plan = len(subjects) * len(args.ids)
        self.format = FORMATS[args.format](self.write, plan)
        self.plan = plan

    def write(self, text):
        sys.stdout.write(text)
        sys.stdout.flush()

    def add(self, name, check_id, verdict, evidence, brief=None):
        check = self.kind.registry.get(check_id)
        wanted = self.args.expected.get((name, check_id))
        r = {"subject": name, "id": check_id, "kind": check.kind, "rule": check.rule,
             "verdict": verdict, "evidence": evidence, "brief": brief, "expected": wanted,
             "surprise": surprise(verdict, wanted)}
        self.results.append(r)
        self.format.result(r)

    def status(self):
        return 1 if any(r["surprise"] for r in self.results) else 0

    def whole(self, interrupted=None, status=None):
        checks = [self.kind.registry.get(i) for i in self.args.ids]
        return {"title": self.kind.title, "key": self.kind.key, "helper": self.args.helper,
                "expectations": self.args.expect, "plan": self.plan,
                "subjects": [self.described[name] for name, _ in self.subjects],
                "checks": checks, "judged": [c.id for c in checks if c.kind == JUDGED],
                "results": self.results, "interrupted": interrupted,
                "status": self.status() if status is None else status}

    def run(self, home):
        waiting = list(self.subjects)
        live = {}
        while waiting or live:
            while waiting and len(live) < self.args.workers:
                name, entry = waiting.pop(0)
                folder = os.path.join(home, "subject-%d" % (len(self.subjects) - len(waiting)))
                worker = Worker(self.kind, name, entry, self.args.helper, folder, self.args.ids)
                live[worker.fd] = worker
            ready, _, _ = select.select(list(live), [], [])
            for fd in ready:
                worker = live[fd]
                records = worker.records()
                for record in records:
                    self.take(worker, record)
                if worker.fd is None:
                    del live[fd]
                    self.end(worker, [w.pid for w in live.values()])

    def take(self, worker, record):
        if record["type"] == "subject":
            self.described[worker.name].update(command=record["command"],
                                               version=record["version"])
        else:
            worker.pending.remove(record["id"])
            self.add(worker.name, record["id"], record["verdict"], record["evidence"],
                     record["brief"])

    def end(self, worker, others):
        """A worker's end: its checks left without a result are errors, and
        what it left behind, which comes back to the audit, is killed."""
        status = self.ended.pop(worker.pid, None)
        if status is None:
            _, status = os.waitpid(worker.pid, 0)
        self.ended.update(reaper.kill_descendants(spare=others))
        for check_id in list(worker.pending):
            self.add(worker.name, check_id, "error", "the audit's process for %s %s before "
                     "this check had a verdict" % (worker.name, describe_status(status)))


def start(kind, args, subjects, check=None):
    """Runs the audit and returns its exit status. `check(env)`, the
    self-check, returns what is wrong with the helper, or None."""
    hold_standard_descriptors()
    reaper.become_subreaper()
    for signo in INTERRUPTIONS:
        signal.signal(signo, interrupt)
    home = tempfile.mkdtemp(prefix="zelk-audit-")
    audit = Audit(kind, args, subjects)
    started = False
    try:
        try:
            problem = check(home) if check else None
            if problem:
                print("%s: %s" % (args.prog, problem), file=sys.stderr)
                return 2
            started = True
            audit.format.start()
            audit.run(home)
            audit.format.finish(audit.whole())
            return audit.status()
        except Interrupted as e:
            reaper.kill_descendants()
            status = 128 + signal.Signals[str(e)].value
            if started:
                audit.format.finish(audit.whole(str(e), status))
            return status
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # nothing more to say, nor at exit
        return OUTPUT_CLOSED
    finally:
        reaper.kill_descendants()
        shutil.rmtree(home, ignore_errors=True)
