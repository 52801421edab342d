"""The audit's own tests: its expectations and exports, and that it gives no
verdict it cannot prove. Runs the real audit against the helper that
$ZELK_HELPER names (else build/zelk_test_helper) and Debian's shells."""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

AUDIT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
ROOT = os.path.join(AUDIT, os.pardir)
HELPER = os.path.abspath(os.environ.get("ZELK_HELPER") or
                         os.path.join(ROOT, "build", "zelk_test_helper"))
sys.path.insert(0, AUDIT)

from zelk_audit.expect import read_expectations, surprise  # noqa: E402
from zelk_audit.formats import junit, tap  # noqa: E402
from zelk_audit.cli import CHECKS  # noqa: E402  (with every check declared)

JUDGED = {c.id for c in CHECKS if c.kind == "judged"}


def audit(*words):
    """The audit's exit status, stdout and stderr; the helper, unless named."""
    helper = [] if "--helper" in words else ["--helper", HELPER]
    done = subprocess.run([sys.executable, os.path.join(AUDIT, "shell_audit.py")] + helper +
                          list(words), stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=120)
    return done.returncode, done.stdout, done.stderr


def verdicts(out):
    return {s["shell"]: {i: c["verdict"] for i, c in s["checks"].items()}
            for s in json.loads(out)["shells"]}


def needs(*programs):
    missing = [p for p in programs if shutil.which(p) is None]
    if not os.access(HELPER, os.X_OK):
        missing.append(HELPER)
    return unittest.skipIf(missing, "needs %s" % ", ".join(missing))


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
                     "dash trap-action-reset", "'dash trap-action-reset fail"):
            with tempfile.NamedTemporaryFile("w") as f:
                f.write("\n" + line + "\n")
                f.flush()
                with self.assertRaisesRegex(ValueError, ":2: "):
                    read_expectations(f.name, JUDGED)

    def test_what_differs_from_the_expectation(self):
        for verdict, expected, wanted in (
                ("pass", None, None), ("n/a", None, None), ("report", None, None),
                ("fail", None, "unexpected FAIL"), ("error", None, "error"),
                ("fail", "fail", None), ("pass", "fail", "unexpected pass"),
                ("n/a", "fail", "unexpected n/a"), ("error", "fail", "error"),
                ("fail", "n/a", "unexpected FAIL"), ("pass", "n/a", "unexpected pass")):
            self.assertEqual(surprise(verdict, expected), wanted, (verdict, expected))


def entry(check_id, verdict, expected=None):
    return {"id": check_id, "kind": "judged", "rule": "a rule", "verdict": verdict,
            "evidence": "what was seen #1\nover two lines", "expected": expected,
            "surprise": surprise(verdict, expected)}


SAMPLE = {"helper": "/h", "expectations": None, "shells": [
    {"shell": "a sh", "command": "/bin/a sh", "version": None, "entries": [
        entry("one", "pass"), entry("two", "fail"), entry("three", "fail", "fail"),
        entry("four", "n/a"), entry("five", "error"), entry("six", "pass", "fail")]},
    {"shell": "b", "command": "/bin/b", "version": "1", "entries": [
        entry("one", "fail"), entry("two", "pass"), entry("three", "report")]}]}


class Exports(unittest.TestCase):
    def test_tap_has_a_point_per_shell_and_check_and_fails_only_on_surprises(self):
        lines = tap(SAMPLE).splitlines()
        self.assertEqual(lines[:2], ["TAP version 13", "1..9"])
        points = [line for line in lines if re.match(r"(not )?ok \d", line)]
        self.assertEqual([int(p.split()[2 if p.startswith("not") else 1]) for p in points],
                         list(range(1, 10)))
        failing = [p for p in points if p.startswith("not ok") and "# TODO" not in p]
        self.assertEqual([p.split(" - ")[1] for p in failing],
                         ["a sh: two", "a sh: five", "a sh: six", "b: one"])
        self.assertRegex(points[2], r"^not ok 3 - a sh: three # TODO expected FAIL: what was "
                         r"seen #1 over two lines$")
        self.assertRegex(points[3], r"^ok 4 - a sh: four # SKIP n/a: ")
        self.assertTrue(all(line.startswith(("ok", "not ok", "# ", "TAP", "1..")) for line in lines))

    def test_junit_failures_are_the_unexpected_fails_and_errors_apart(self):
        suites = ElementTree.fromstring(junit(SAMPLE))
        counts = [(s.get("name"), s.get("tests"), s.get("failures"), s.get("errors"),
                   s.get("skipped")) for s in suites]
        self.assertEqual(counts, [("a sh", "6", "1", "1", "2"), ("b", "3", "1", "0", "0")])
        failed = [(s.get("name"), c.get("name")) for s in suites for c in s
                  if c.find("failure") is not None]
        self.assertEqual(failed, [("a sh", "two"), ("b", "one")])


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
            for helper, said in ((wrapped, r"\{SIGUSR1\} ignored"), ("/bin/true", "did not run")):
                status, out, err = audit("--helper", helper, "dash")
                self.assertEqual(status, 2, helper)
                self.assertRegex(err, said)
                self.assertNotIn("pass", out)


@needs("dash", "posh")
class KnownFaults(unittest.TestCase):
    def test_each_wrapper_fails_its_own_check_beside_what_dash_fails(self):
        wrappers = sorted(os.path.join(AUDIT, "wrappers", w)
                          for w in os.listdir(os.path.join(AUDIT, "wrappers")))
        with tempfile.TemporaryDirectory() as folder:
            # A copy of its own, so that no other run of the helper looks left behind.
            helper = shutil.copy(HELPER, folder)
            status, out, _ = audit("--json", "--helper", helper, "dash", *wrappers)
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
                if shutil.which("prove"):
                    with tempfile.NamedTemporaryFile("w", suffix=".tap") as stream:
                        stream.write(audit("--format", "tap", "--expect", f.name, *only)[1])
                        stream.flush()
                        proved = subprocess.run(["prove", "-e", "cat", stream.name],
                                                capture_output=True)
                    self.assertEqual(proved.returncode != 0, status != 0, lines)

    @needs("bash")
    def test_bash_options_go_after_the_audits_own(self):
        outcomes = [verdicts(audit("--json", shell)[1])[shell]
                    for shell in ("bash -o posix", "bash --posix")]
        self.assertEqual(outcomes[0], outcomes[1])
        self.assertNotIn("error", outcomes[0].values())


def left_behind(helper):
    """Processes of `helper` still running, which the audit must not leave."""
    real = os.path.realpath(helper)
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink("/proc/%s/exe" % pid) == real:
                found.append(int(pid))
        except OSError:
            pass
    return found


if __name__ == "__main__":
    unittest.main()
