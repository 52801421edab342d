"""The audit's results as a table, JSON, TAP version 13 or JUnit XML. Each
shell's result holds an entry a check, in the checks' order: its id, kind,
rule, verdict ("pass", "fail", "n/a", "error", or "report" for a report),
evidence, expectation and surprise (what differs from the expectation)."""

import json
import xml.etree.ElementTree as ElementTree

CELLS = {"pass": "pass", "fail": "FAIL", "n/a": "n/a", "error": "error"}


def table(audit):
    results = audit["shells"]
    ids = [e["id"] for e in results[0]["entries"] if e["kind"] == "judged"] if results else []
    widths = [max(len(r["shell"]), 5) for r in results]
    first = max([len(i) for i in ids] + [5])
    lines = [" ".join(["check".ljust(first)] + [r["shell"].ljust(w)
                                                 for r, w in zip(results, widths)]).rstrip()]
    for check_id in ids:
        row = [CELLS[entry(r, check_id)["verdict"]].ljust(w) for r, w in zip(results, widths)]
        lines.append(" ".join([check_id.ljust(first)] + row).rstrip())
    for word in ("fail", "error", "n/a", "report"):
        for r in results:
            for e in r["entries"]:
                if e["verdict"] == word:
                    lines.append("%s %s, %s: %s" % (CELLS.get(word, word), r["shell"], e["id"],
                                                    e["evidence"]))
    surprises = [(r, e) for r in results for e in r["entries"] if e["surprise"]]
    for r, e in surprises:
        lines.append("%s: %s, %s%s" % (e["surprise"], r["shell"], e["id"], " (expected %s)" % (
            CELLS[e["expected"]] if e["expected"] else "pass or n/a")
            if e["surprise"] != "error" else ""))
    lines.append("%d verdict(s) other than expected" % len(surprises) if surprises else
                 "every verdict as expected")
    return "\n".join(lines) + "\n"


def entry(result, check_id):
    return next(e for e in result["entries"] if e["id"] == check_id)


def as_json(audit):
    shells = []
    for r in audit["shells"]:
        checks = {e["id"]: {key: e[key] for key in ("verdict", "evidence", "kind", "rule",
                                                     "expected")}
                  for e in r["entries"] if e["verdict"] != "report"}
        reports = {e["id"]: e["evidence"] for e in r["entries"] if e["verdict"] == "report"}
        shells.append({"shell": r["shell"], "command": r["command"], "version": r["version"],
                       "checks": checks, "reports": reports})
    return json.dumps({"helper": audit["helper"], "expectations": audit["expectations"],
                       "shells": shells}, indent=2) + "\n"


def one_line(text):
    return " ".join(text.split())


def tap(audit):
    """One test point per shell and check: ok where the verdict is as
    expected, an expected FAIL a TODO, n/a a SKIP, a report a comment."""
    points = [(r, e) for r in audit["shells"] for e in r["entries"]]
    lines = ["TAP version 13", "1..%d" % len(points)]
    for number, (r, e) in enumerate(points, 1):
        name = "%d - %s: %s" % (number, r["shell"].replace("#", "\\#"), e["id"])
        evidence = one_line(e["evidence"])
        if e["surprise"]:
            lines += ["not ok %s" % name, "# %s: %s" % (e["surprise"], evidence)]
        elif e["verdict"] == "fail":
            lines.append("not ok %s # TODO expected FAIL: %s" % (name, evidence))
        elif e["verdict"] == "n/a":
            lines.append("ok %s # SKIP n/a: %s" % (name, evidence))
        else:
            lines += ["ok %s" % name, "# %s: %s" % (e["verdict"], evidence)]
    return "\n".join(lines) + "\n"


def junit(audit):
    """One suite per shell and one case per check; the failures are exactly
    the unexpected FAILs, the errors the audit's errors."""
    suites = ElementTree.Element("testsuites", name="zelk shell audit")
    for r in audit["shells"]:
        suite = ElementTree.SubElement(suites, "testsuite", name=r["shell"])
        counts = {"tests": 0, "failures": 0, "errors": 0, "skipped": 0}
        for e in r["entries"]:
            case = ElementTree.SubElement(suite, "testcase", classname=r["shell"], name=e["id"])
            counts["tests"] += 1
            if e["surprise"] == "error":
                kind, message = "error", "error"
            elif e["surprise"] == "unexpected FAIL":
                kind, message = "failure", "unexpected FAIL"
            elif e["verdict"] in ("fail", "n/a"):
                kind, message = "skipped", "expected FAIL" if e["verdict"] == "fail" else "n/a"
            else:
                kind, message = None, e["surprise"] or e["verdict"]
            if kind:
                counts[{"error": "errors", "failure": "failures", "skipped": "skipped"}[kind]] += 1
                ElementTree.SubElement(case, kind, message=message).text = e["evidence"]
            else:
                ElementTree.SubElement(case, "system-out").text = "%s: %s" % (message,
                                                                              e["evidence"])
        suite.attrib.update({key: str(value) for key, value in counts.items()})
    return ('<?xml version="1.0" encoding="UTF-8"?>\n' +
            ElementTree.tostring(suites, encoding="unicode") + "\n")


FORMATS = {"table": table, "json": as_json, "tap": tap, "junit": junit}
