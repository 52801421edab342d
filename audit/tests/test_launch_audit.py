"""The launcher audit's own tests: the child's place in a launcher's command
line, and verdicts from /proc that name their cause and leave nothing behind."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from test_audit import AUDIT, FIXTURES, HELPER, left_behind, setUpModule  # noqa: F401

from zelk_audit.launchers.launcher import child_words, command_words


def launch_audit(*words, helper=HELPER):
    done = subprocess.run([sys.executable, os.path.join(AUDIT, "launch_audit.py"), "--helper",
                           helper, "--format", "json"] + list(words), stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=120)
    return done.returncode, json.loads(done.stdout) if done.stdout else None, done.stderr


def checks(out, name):
    launcher = next(s for s in out["launchers"] if s["name"] == name)
    return dict(launcher["checks"], **{i: {"verdict": "report", "evidence": e}
                                       for i, e in launcher["reports"].items()})


class TheChildsPlace(unittest.TestCase):
    def test_a_word_inside_a_word_or_appended(self):
        child = child_words("/h")
        line = " ".join(child)
        for command, words in (("run {} --x", ["run"] + child + ["--x"]),
                               ("sh -c '{}; true'", ["sh", "-c", line + "; true"]),
                               ("nice -n 1", ["nice", "-n", "1"] + child),
                               ("ls {helper-dir}", ["ls", "/"] + child)):
            self.assertEqual(command_words(command, "/h"), words, command)


class Verdicts(unittest.TestCase):
    def test_a_launcher_that_never_starts_the_child_is_an_error(self):
        status, out, _ = launch_audit("true {}", "sh -c 'exit 3'")
        self.assertEqual(status, 1)
        for name in ("true {}", "sh -c 'exit 3'"):
            verdicts = {c["verdict"] for c in checks(out, name).values()}
            self.assertEqual(verdicts, {"error"}, name)
        self.assertIn("without starting the child", checks(out, "true {}")["keeps-ignored"]
                      ["evidence"])

    def test_each_deviation_names_its_cause(self):
        status, out, _ = launch_audit(
            "--states", "clean,inherited", os.path.join(FIXTURES, "leaky-launcher") + " {}",
            "python3 -c 'import os; os.system(\"{}\")'",
            "sh -c '{} >/dev/null 2>&1'", os.path.join(FIXTURES, "resting-launcher"))
        self.assertEqual(status, 1)
        leaky = checks(out, os.path.join(FIXTURES, "leaky-launcher") + " {}")
        for check_id, said in (("clean-no-ignored", "{SIGTERM} ignored; cause: leaky-launcher ("),
                               ("clean-no-blocked", "{SIGUSR2} blocked; cause: leaky-launcher ("),
                               ("clean-no-descriptors", "5 -> /dev/null, leaky-launcher (")):
            self.assertEqual(leaky[check_id]["verdict"], "fail", check_id)
            self.assertIn(said, leaky[check_id]["evidence"])
        system = checks(out, "python3 -c 'import os; os.system(\"{}\")'")
        self.assertRegex(system["inherited-mask"]["evidence"], r"lost at sh \(dash, pid \d+\), "
                         r"between the launcher and the child")
        resting = checks(out, os.path.join(FIXTURES, "resting-launcher"))
        self.assertIn("does not block SIGUSR2 itself", resting["inherited-mask"]["evidence"])
        swallowed = checks(out, "sh -c '{} >/dev/null 2>&1'")
        self.assertEqual(swallowed["clean-no-descriptors"]["verdict"], "pass")
        self.assertIn("from /proc alone", swallowed["clean-no-descriptors"]["evidence"])

    @unittest.skipIf(shutil.which("setsid") is None, "needs setsid")
    def test_a_launcher_that_leaves_its_child_behind_leaves_nothing(self):
        with tempfile.TemporaryDirectory() as folder:
            helper = shutil.copy(HELPER, folder)
            status, out, _ = launch_audit("setsid", "setsid -f", helper=helper)
            self.assertEqual(left_behind(helper), [])
        self.assertEqual(status, 0)
        self.assertIn("a new session", checks(out, "setsid")["group-and-session"]["evidence"])


if __name__ == "__main__":
    unittest.main()
