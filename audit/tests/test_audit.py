"""The audit's own tests: its expectations and formats, that it gives no
verdict it cannot prove, and that it leaves nothing behind. Runs the real
audit against the helper that $ZELK_HELPER names (a relative path from the
source root), else build/zelk_test_helper; a missing helper fails them."""

import html.parser
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

AUDIT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(AUDIT)
FIXTURES = os.path.join(AUDIT, "tests", "fixtures")
HELPER = os.path.join(ROOT, os.environ.get("ZELK_HELPER") or "build/zelk_test_helper")
sys.path.insert(0, AUDIT)

from zelk_audit.expect import read_expectations, surprise  # noqa: E402
from zelk_audit.formats import FORMATS  # noqa: E402
from zelk_audit.registry import Check, Registry  # noqa: E402
from zelk_audit.launchers.audit import CHECKS as LAUNCHER_CHECKS  # noqa: E402
from zelk_audit.shells.audit import CHECKS  # noqa: E402  (with every check declared)

JUDGED = {c.id for c in CHECKS.checks if c.kind == "judged"}


def setUpModule():
    if not os.access(HELPER, os.X_OK):
        raise AssertionError("no helper at %s: build it, or name it in ZELK_HELPER" % HELPER)


def audit(*words, helper=HELPER):
    """The audit's exit status, stdout and stderr."""
    done = subprocess.run([sys.executable, os.path.join(AUDIT, "shell_audit.py"), "--helper",
                           helper] + list(words), stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


def verdicts(out):
    return {s["name"]: {i: c["verdict"] for i, c in s["checks"].items()}
            for s in json.loads(out)["shells"]}


def needs(*programs):
    missing = [p for p in programs if shutil.which(p) is None]
    return unittest.skipIf(missing, "needs %s" % ", ".join(missing))


class Dom(html.parser.HTMLParser):
    """A page's elements as (tag, attributes, the subject's row it is in),
    and its text."""

    def __init__(self, page):
        super().__init__()
        self.elements, self.text, self.row = [], [], None
        self.feed(page)

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.row = attrs.get("data-subject", self.row) if tag == "tr" else self.row
        self.elements.append((tag, attrs, self.row))

    def handle_data(self, data):
        self.text.append(data)

    def cells(self):
        """{(subject, check id): (verdict, classes)}, and the rows in their order."""
        got = {(row, a["data-check"]): (a["data-verdict"], a["class"].split())
               for tag, a, row in self.elements if tag == "td" and "data-check" in a}
        return got, [a["data-subject"] for tag, a, _ in self.elements if tag == "tr" and
                     "data-subject" in a]


def unexpected(form, text):
    """The (subject, check) pairs that a format's output names as unexpected."""
    if form == "html":
        return {key for key, (_, classes) in Dom(text).cells()[0].items()
                if "unexpected" in classes}
    if form == "table":
        return {tuple(m) for m in re.findall(r"^(?:unexpected \S+|error): (.*), (\S+?)(?: \(|$)",
                                             text, re.M)}
    if form == "tap":
        return {tuple(m) for m in re.findall(r"^not ok \d+ - (.*): (\S+)$", text, re.M)}
    if form == "junit":
        return {(s.get("name"), c.get("name")) for s in ElementTree.fromstring(text) for c in s
                if c.find("failure") is not None or c.find("error") is not None}
    return {(s["name"], i) for s in json.loads(text)["shells"] for i, c in s["checks"].items()
            if not c["as_expected"]}


def all_formats(*words, entry="shell_audit.py", forms=("table", "tap", "junit", "json")):
    """{format: (status, output)} of the same audit in each format, run at once."""
    runs = {form: subprocess.Popen([sys.executable, os.path.join(AUDIT, entry),
                                    "--helper", HELPER, "--format", form] + list(words),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
            for form in forms}
    outputs = {form: run.communicate(timeout=120)[0] for form, run in runs.items()}
    return {form: (runs[form].returncode, out) for form, out in outputs.items()}


def left_behind(helper):
    """Processes of `helper`, or sleeps of the fixtures, still running."""
    real = os.path.realpath(helper)
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                words = f.read().split(b"\0")
            if os.readlink("/proc/%s/exe" % pid) == real or words[:2] == [b"sleep", b"1000"]:
                found.append(int(pid))
        except OSError:
            pass
    return found


class Expectations(unittest.TestCase):
    def test_a_file_is_read_as_a_shell_splits_words(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt") as f:
            f.write('# comment\n"busybox sh" keeps-inherited-dispositions fail  # why\n\n'
                    "posh bg-stop-keeps-terminal n/a\n")
            f.flush()
            self.assertEqual(read_expectations(f.name, JUDGED),
                             {("busybox sh", "keeps-inherited-dispositions"): "fail",
                              ("posh", "bg-stop-keeps-terminal"): "n/a"})

    def test_a_line_that_cannot_be_read_is_named(self):
        for line in ("dash no-such-check fail", "dash trap-action-reset maybe",
                     "dash trap-action-reset error", "dash trap-action-reset",
                     "'dash trap-action-reset fail", "dash trap-action-reset fail\n"
                     "dash trap-action-reset n/a"):
            with tempfile.NamedTemporaryFile("w") as f:
                f.write("\n" + line + "\n")
                f.flush()
                with self.assertRaisesRegex(ValueError, ":[23]: "):
                    read_expectations(f.name, JUDGED)

    def test_only_what_the_file_names_is_expected(self):
        for verdict, expected, wanted in (
                ("pass", None, None), ("report", None, None), ("n/a", None, "unexpected n/a"),
                ("fail", None, "unexpected FAIL"), ("error", None, "error"),
                ("fail", "fail", None), ("n/a", "n/a", None), ("pass", "fail", "unexpected pass"),
                ("n/a", "fail", "unexpected n/a"), ("error", "fail", "error"),
                ("fail", "n/a", "unexpected FAIL"), ("pass", "n/a", "unexpected pass")):
            self.assertEqual(surprise(verdict, expected), wanted, (verdict, expected))

    def test_the_registry_refuses_an_id_it_holds(self):
        registry = Registry()
        registry.declare("one", "judged", "a rule", None)
        with self.assertRaisesRegex(ValueError, "'one' is declared twice"):
            registry.declare("one", "reported", "another rule", None)

    def test_the_readme_lists_every_check(self):
        with open(os.path.join(AUDIT, "README.md")) as f:
            rows = set(re.findall(r"^\| `([a-z0-9-]+)` \|", f.read(), re.M))
        listed = [line.split(" ")[0] for line in audit("--list")[1].splitlines()]
        listed += [c.id for c in LAUNCHER_CHECKS.checks]
        self.assertEqual(sorted(set(listed) - rows), [])
        self.assertEqual(len(listed), len(set(listed)))  # no id means two checks


def result(subject, check_id, verdict, expected=None):
    return {"subject": subject, "id": check_id, "kind": "judged", "rule": "a rule",
            "verdict": verdict, "evidence": "seen #1\nover two lines", "expected": expected,
            "brief": "kept" if verdict == "report" else None,
            "surprise": surprise(verdict, expected)}


SAMPLE = [result("a sh", "one", "pass"), result("a sh", "two", "fail"),
          result("a sh", "three", "fail", "fail"), result("a sh", "four", "n/a"),
          result("a sh", "five", "error"), result("a sh", "six", "pass", "fail"),
          result("b", "one", "n/a", "n/a"), result("b", "two", "report")]


def formatted(form, interrupted=None, results=SAMPLE, names=("a sh", "b")):
    out = []
    f = FORMATS[form](out.append, 9)
    f.start()
    for r in results:
        f.result(r)
    judged = ["one", "two", "three", "four", "five", "six"]
    checks = [Check(i, "judged" if i in judged else "reported", "a rule", "", None)
              for i in judged + ["seven"]]
    f.finish({"title": "t", "key": "shells", "helper": "/h", "expectations": None, "plan": 9,
              "subjects": [{"name": n, "command": n, "version": None} for n in names],
              "checks": checks, "judged": judged, "results": results,
              "interrupted": interrupted, "status": 1})
    return "".join(out)


class Formats(unittest.TestCase):
    def test_every_format_names_the_same_unexpected_results(self):
        wanted = {("a sh", "two"), ("a sh", "four"), ("a sh", "five"), ("a sh", "six")}
        for form in FORMATS:
            self.assertEqual(unexpected(form, formatted(form)), wanted, form)
        tap = formatted("tap")
        self.assertRegex(tap, r"\nnot ok 3 - a sh: three # TODO expected FAIL: seen #1 over two")
        self.assertRegex(tap, r"\nok 7 - b: one # SKIP expected n/a")

    def test_an_interrupted_run_says_so_in_every_format(self):
        for form, said in (("table", "\ninterrupted (SIGTERM) after 8 of 9 results\n"),
                           ("tap", "\nBail out! interrupted (SIGTERM) after 8 of 9 results\n"),
                           ("json", '"interrupted": "interrupted (SIGTERM) after 8 of 9'),
                           ("junit", 'message="interrupted (SIGTERM) after 8 of 9 results"'),
                           ("html", "; interrupted (SIGTERM) after 8 of 9 results</p>")):
            self.assertIn(said, formatted(form, "SIGTERM"), form)

    def test_the_page_shows_every_cell_and_escapes_what_subjects_print(self):
        markup = '<script>alert(1)</script><img src=x onerror=alert(2)>"\''
        hostile = [dict(r, subject=markup, evidence=markup + r["evidence"]) for r in SAMPLE[:6]]
        dom = Dom(formatted("html", results=SAMPLE + hostile, names=("a sh", "b", markup)))
        cells, rows = dom.cells()
        self.assertEqual(rows, ["a sh", "b", markup])
        for row, verdicts in (("a sh", "pass fail fail n/a error pass none"),
                              ("b", "n/a report none none none none none"),
                              (markup, "pass fail fail n/a error pass none")):
            got = [cells[(row, i)][0] for i in ("one", "two", "three", "four", "five", "six",
                                                "seven")]
            self.assertEqual(" ".join(got), verdicts, row)
        text = "".join(dom.text)
        for words in ("FAILexpected", "passunexpected", "kept", markup + "seen #1"):
            self.assertIn(words, text)
        self.assertEqual([t for t, _, _ in dom.elements if t in ("script", "img", "link")], [])
        self.assertFalse([a for _, attrs, _ in dom.elements for n, a in attrs.items()
                          if n in ("src", "href") and not a.startswith("#")])


@needs("dash")
class NoVerdictWithoutEvidence(unittest.TestCase):
    def test_shells_that_run_nothing_never_pass(self):
        status, out, _ = audit("--json", "/bin/true", "/bin/false")
        self.assertEqual(status, 1)
        for shell, got in verdicts(out).items():
            self.assertNotIn("pass", got.values(), shell)
            self.assertIn("error", got.values(), shell)

    def test_a_helper_that_is_not_the_helper_stops_the_audit(self):
        with tempfile.TemporaryDirectory() as folder:
            wrapped = os.path.join(folder, "helper")
            with open(wrapped, "w") as f:
                f.write("#!/bin/sh\ntrap '' USR1\nexec %s \"$@\"\n" % HELPER)
            os.chmod(wrapped, 0o755)
            for helper, said in ((wrapped, r"had \{SIGUSR1\} ignored"),
                                 (os.path.join(FIXTURES, "stand-in-helper"), "help listing"),
                                 ("/bin/true", "did not run as the helper")):
                status, out, err = audit("dash", helper=helper)
                self.assertEqual((status, out), (2, ""), helper)
                self.assertRegex(err, said)


@needs("dash", "busybox", "prove")
class Regressions(unittest.TestCase):
    def test_an_unlisted_na_is_unexpected_in_every_format(self):
        # dash with job control turned off by its ENV file: every interactive
        # check and report is n/a, which dash's expectations do not list.
        shell = os.path.join(FIXTURES, "no-job-control-dash")
        with tempfile.NamedTemporaryFile("w") as f:
            f.write("%s async-trap-resets-int-quit fail\n%s monitor-without-terminal n/a\n" %
                    (shell, shell))
            f.flush()
            outputs = all_formats("--expect", f.name, shell)
        interactive = {(shell, c.id) for c in CHECKS.checks if c.note == "interactive"}
        for form, (status, out) in outputs.items():
            self.assertEqual((status, unexpected(form, out)), (1, interactive), form)

    def test_an_error_in_one_mode_is_never_hidden_by_the_other(self):
        # busybox for -c, which fails this check as expected; hung from a file.
        shell = os.path.join(FIXTURES, "half-hanging-busybox")
        with tempfile.NamedTemporaryFile("w") as f:
            f.write("%s keeps-inherited-dispositions fail\n" % shell)
            f.flush()
            outputs = all_formats("--expect", f.name, "--only", "keeps-inherited-dispositions",
                                  shell)
        for form, (status, out) in outputs.items():
            self.assertEqual(status, 1, form)
            self.assertEqual(unexpected(form, out), {(shell, "keeps-inherited-dispositions")})
            self.assertIn("from a file, error: ", out, form)
        self.assertIn("<error message=\"error\"", outputs["junit"][1])

    def test_daemons_and_loud_shells_leave_nothing_behind(self):
        with tempfile.TemporaryDirectory() as folder:
            helper = shutil.copy(HELPER, folder)
            status, out, _ = audit("--format", "tap", "--only", "no-leaked-descriptors,"
                                   "foreground-job-owns-terminal,async-stdin-devnull",
                                   os.path.join(FIXTURES, "daemonising-shell"),
                                   os.path.join(FIXTURES, "loud-shell"), helper=helper)
            self.assertEqual(left_behind(helper), [])
        self.assertNotIn("had not ended", out)
        self.assertLess(len(out), 1 << 20)
        # The loud shell's noise leaves its scripted checks without proof.
        self.assertEqual(re.findall(r"^not ok \d+ - (\S+): (\S+)", out, re.M),
                         [(os.path.join(FIXTURES, "loud-shell"), check) for check in
                          ("no-leaked-descriptors", "async-stdin-devnull")])

    def test_an_interrupted_run_keeps_its_results(self):
        # dash's 26 results take a second or two, and the hanging shell's
        # first comes only at its deadline: once TAP has streamed dash's, the
        # JSON run beside it has them too, however loaded the machine.
        with tempfile.TemporaryDirectory() as folder:
            helper = shutil.copy(HELPER, folder)
            runs = {form: subprocess.Popen(
                [sys.executable, os.path.join(AUDIT, "shell_audit.py"), "--helper", helper,
                 "--format", form, "dash", os.path.join(FIXTURES, "hanging-shell")],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                for form in ("tap", "json")}
            points = 0
            for line in iter(runs["tap"].stdout.readline, ""):
                points += line.startswith(("ok ", "not ok "))
                if points == 26:
                    break
            outs, sent = {}, {"tap": signal.SIGTERM, "json": signal.SIGINT}
            for form, signo in sent.items():
                runs[form].send_signal(signo)
            for form, signo in sent.items():
                outs[form], err = runs[form].communicate(timeout=30)
                self.assertEqual((runs[form].returncode, err), (128 + signo, ""), form)
                self.assertRegex(outs[form], r"interrupted \(%s\) after [1-9]\d* of 52 "
                                 "results" % signal.Signals(signo).name)
            self.assertEqual(left_behind(helper), [])
            self.assertIn('"verdict": "pass"', outs["json"])


@needs("dash", "posh")
class KnownFaults(unittest.TestCase):
    def test_each_wrapper_fails_its_own_check_beside_what_dash_fails(self):
        wrappers = sorted(os.path.join(AUDIT, "wrappers", w)
                          for w in os.listdir(os.path.join(AUDIT, "wrappers")))
        with tempfile.TemporaryDirectory() as folder:
            # A copy of its own, so that no other run of the helper looks left behind.
            helper = shutil.copy(HELPER, folder)
            status, out, _ = audit("--json", "dash", *wrappers, helper=helper)
            self.assertEqual(left_behind(helper), [])
        self.assertEqual(status, 1)
        got = verdicts(out)
        dash = got.pop("dash")
        self.assertEqual(set(dash), JUDGED)
        for wrapper, checks in got.items():
            own = os.path.basename(wrapper)
            self.assertIn(own, JUDGED)
            wanted = dict(dash, **{own: "fail"})
            self.assertEqual(checks, wanted, own)

    def test_posh_hands_asynchronous_commands_no_ignored_signal(self):
        status, out, _ = audit("--json", "--only", "async-ignores-int-quit", "posh")
        self.assertEqual((status, verdicts(out)), (1, {"posh": {"async-ignores-int-quit":
                                                                 "fail"}}))

    @needs("prove")
    def test_expectations_decide_the_exit_status_and_the_tap_stream(self):
        only = ["--only", "async-ignores-int-quit", "dash", "posh"]
        with tempfile.NamedTemporaryFile("w") as f:
            for lines, status, named in (
                    ("", 1, "unexpected FAIL: posh, async-ignores-int-quit"),
                    ("posh async-ignores-int-quit fail\n", 0, "every verdict as expected"),
                    ("posh async-ignores-int-quit fail\ndash async-ignores-int-quit fail\n", 1,
                     "unexpected pass: dash, async-ignores-int-quit")):
                f.seek(0)
                f.truncate()
                f.write(lines)
                f.flush()
                got, out, _ = audit("--expect", f.name, *only)
                self.assertEqual(got, status, lines)
                self.assertIn(named, out)
                tap = audit("--format", "tap", "--expect", f.name, *only)[1]
                proved = subprocess.run(["prove", "-e", "cat", "/dev/stdin"], input=tap,
                                        capture_output=True, text=True)
                self.assertEqual(proved.returncode != 0, status != 0, lines)

    @needs("bash", "zsh")
    def test_start_up_options_go_where_each_shell_takes_them(self):
        outcomes = verdicts(audit("--json", "bash -o posix", "bash --posix", "zsh --emulate sh")[1])
        self.assertEqual(outcomes["bash -o posix"], outcomes["bash --posix"])
        for shell, got in outcomes.items():
            self.assertNotIn("error", got.values(), shell)


if __name__ == "__main__":
    unittest.main()
