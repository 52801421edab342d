"""The audit's results as a table, JSON, TAP version 13, JUnit XML or an
HTML page. A format is told each result as it is reached, and the table and
TAP print it at once; at the end, or at an interruption, it is told the
whole audit.

A result is a dict: its subject's name, its check's id, kind and rule, its
verdict ("pass", "fail", "n/a", "error", or "report" for a report), its
evidence, a report's gist in a few words (its brief, else None), the
expected verdict (None: pass) and its surprise (what differs from the
expectation, None where nothing does). The whole audit adds its title, the
key its subjects go under in JSON, the helper, the expectations' file, the
subjects (name, command, version) in the order given, the checks run and
the judged ids, whether and how it was interrupted, and its exit status."""

import json
import xml.etree.ElementTree as ElementTree

from .expect import SHOWN


def one_line(text):
    return " ".join(text.split())


def surprises(audit):
    return [r for r in audit["results"] if r["surprise"]]


def summary(audit):
    found = surprises(audit)
    return ("%d verdict(s) other than expected" % len(found) if found else
            "every verdict as expected")


def interruption(audit):
    return "interrupted (%s) after %d of %d results" % (
        audit["interrupted"], len(audit["results"]), audit["plan"])


class Format:
    def __init__(self, write, plan):
        self.write = write
        self.plan = plan

    def start(self):
        pass

    def result(self, r):
        pass


class Table(Format):
    def result(self, r):
        text = "" if r["verdict"] == "pass" else ": " + one_line(r["evidence"])
        self.write("%s %s, %s%s\n" % (SHOWN[r["verdict"]], r["subject"], r["id"], text))

    def finish(self, audit):
        names = [s["name"] for s in audit["subjects"]]
        got = {(r["subject"], r["id"]): SHOWN[r["verdict"]] for r in audit["results"]}
        widths = [max(len(n), 5) for n in names]
        first = max([len(i) for i in audit["judged"]] + [5])
        lines = ["", " ".join(["check".ljust(first)] + [n.ljust(w) for n, w in
                                                        zip(names, widths)]).rstrip()]
        for check_id in audit["judged"]:
            row = [got.get((n, check_id), "-").ljust(w) for n, w in zip(names, widths)]
            lines.append(" ".join([check_id.ljust(first)] + row).rstrip())
        for r in surprises(audit):
            lines.append("%s: %s, %s%s" % (r["surprise"], r["subject"], r["id"], "" if
                                           r["surprise"] == "error" else " (expected %s)" %
                                           SHOWN[r["expected"] or "pass"]))
        if audit["interrupted"]:
            lines.append(interruption(audit))
        lines.append(summary(audit))
        self.write("\n".join(lines) + "\n")


class Tap(Format):
    """One test point per subject and check: ok where the verdict is as
    expected, an expected FAIL a TODO, an expected n/a a SKIP."""

    def start(self):
        self.number = 0
        self.write("TAP version 13\n1..%d\n" % self.plan)

    def result(self, r):
        self.number += 1
        name = "%d - %s: %s" % (self.number, r["subject"].replace("#", "\\#"), r["id"])
        evidence = one_line(r["evidence"])
        if r["surprise"]:
            lines = ["not ok %s" % name, "# %s: %s" % (r["surprise"], evidence)]
        elif r["verdict"] == "fail":
            lines = ["not ok %s # TODO expected FAIL: %s" % (name, evidence)]
        elif r["verdict"] == "n/a":
            lines = ["ok %s # SKIP expected n/a: %s" % (name, evidence)]
        else:
            lines = ["ok %s" % name, "# %s: %s" % (r["verdict"], evidence)]
        self.write("\n".join(lines) + "\n")

    def finish(self, audit):
        if audit["interrupted"]:
            self.write("Bail out! %s\n" % interruption(audit))


class Json(Format):
    def finish(self, audit):
        subjects = []
        for s in audit["subjects"]:
            mine = [r for r in audit["results"] if r["subject"] == s["name"]]
            checks = {r["id"]: {"verdict": r["verdict"], "evidence": r["evidence"],
                                "kind": r["kind"], "rule": r["rule"], "expected": r["expected"],
                                "as_expected": not r["surprise"], "surprise": r["surprise"]}
                      for r in mine if r["verdict"] != "report"}
            reports = {r["id"]: r["evidence"] for r in mine if r["verdict"] == "report"}
            subjects.append(dict(s, checks=checks, reports=reports))
        self.write(json.dumps({"helper": audit["helper"], "expectations": audit["expectations"],
                               audit["key"]: subjects, "unexpected": len(surprises(audit)),
                               "interrupted": audit["interrupted"] and interruption(audit),
                               "status": audit["status"]}, indent=2) + "\n")


class Junit(Format):
    """A suite per subject and a case per check: every unexpected verdict a
    failure, every error an error, an expected FAIL or n/a skipped."""

    def finish(self, audit):
        suites = ElementTree.Element("testsuites", name=audit["title"])
        for s in audit["subjects"]:
            suite = ElementTree.SubElement(suites, "testsuite", name=s["name"])
            counts = {"tests": 0, "failures": 0, "errors": 0, "skipped": 0}
            for r in audit["results"]:
                if r["subject"] != s["name"]:
                    continue
                case = ElementTree.SubElement(suite, "testcase", classname=s["name"], name=r["id"])
                counts["tests"] += 1
                kind = ("error" if r["surprise"] == "error" else "failure" if r["surprise"] else
                        "skipped" if r["verdict"] in ("fail", "n/a") else None)
                if kind:
                    counts[{"error": "errors", "failure": "failures", "skipped": "skipped"}[kind]] += 1
                    message = r["surprise"] or "expected " + SHOWN[r["verdict"]]
                    ElementTree.SubElement(case, kind, message=message).text = r["evidence"]
                else:
                    ElementTree.SubElement(case, "system-out").text = "%s: %s" % (
                        r["verdict"], r["evidence"])
            suite.attrib.update({key: str(value) for key, value in counts.items()})
        if audit["interrupted"]:
            suite = ElementTree.SubElement(suites, "testsuite", name="interrupted", tests="1",
                                           failures="0", errors="1", skipped="0")
            case = ElementTree.SubElement(suite, "testcase", classname="audit", name="interrupted")
            ElementTree.SubElement(case, "error", message=interruption(audit))
        self.write('<?xml version="1.0" encoding="UTF-8"?>\n' +
                   ElementTree.tostring(suites, encoding="unicode") + "\n")


from .page import Html  # noqa: E402  (the page builds on the helpers above)

FORMATS = {"table": Table, "json": Json, "tap": Tap, "junit": Junit, "html": Html}
