"""The audit's results as one self-contained HTML page: a row for each
subject, a column for each check (judged, then reported), each cell its
verdict in words and in colour, opening onto its evidence. Every text the
page shows is escaped, and it loads nothing: no script, style or font from
anywhere, and none is needed to read it."""

import html
import time

from .expect import SHOWN
from .formats import Format, interruption, summary, surprises
from .registry import JUDGED, REPORTED

STYLE = """
body { font: 14px/1.4 sans-serif; margin: 1.5em; color: #111; background: #fff; }
h1 { font-size: 1.4em; margin: 0 0 .5em; }
.summary { display: grid; grid-template-columns: max-content auto; gap: .1em 1em; margin: 0; }
.summary dt { font-weight: bold; }
.summary dd { margin: 0; }
.outcome { font-size: 1.1em; font-weight: bold; }
table { border-collapse: collapse; margin: 1em 0; }
th, td { border: 1px solid #bbb; padding: 2px 4px; vertical-align: top; }
thead th { background: #f2f2f2; }
th.check { vertical-align: bottom; font-weight: normal; }
th.check a { writing-mode: vertical-rl; transform: rotate(180deg); color: inherit;
             text-decoration: none; white-space: nowrap; }
th.check small { display: block; color: #555; }
th.subject { text-align: left; white-space: nowrap; }
td.version { color: #444; font-size: .85em; max-width: 14em; }
td.cell { position: relative; text-align: center; font-size: .9em; min-width: 3em; }
td.cell small { display: block; font-size: .8em; }
summary { cursor: pointer; list-style: none; }
summary::-webkit-details-marker { display: none; }
.evidence { position: absolute; z-index: 2; top: 100%; left: 0; width: 40em; max-height: 26em;
            overflow: auto; text-align: left; background: #fff; color: #111;
            border: 1px solid #777; box-shadow: 0 2px 8px #0005; padding: .5em; }
.evidence pre { white-space: pre-wrap; word-break: break-word; margin: .3em 0 0;
                font-size: .95em; }
.pass { background: #d8f0d8; color: #124a12; }
.fail { background: #f6c9c9; color: #6b0f0f; font-weight: bold; }
.fail.expected { background: repeating-linear-gradient(135deg, #fbe4e4 0 6px, #f6d3d3 6px 12px);
                 font-weight: normal; }
.na { background: #e4e4e4; color: #333; }
.error { background: #ffd38a; color: #5a3300; font-weight: bold; }
.report { background: #dceaf8; color: #0d2f52; max-width: 11em; }
.none { background: #fff; color: #777; }
.unexpected { outline: 3px solid #111; outline-offset: -3px; }
.legend span { display: inline-block; padding: 0 .5em; margin-right: .3em;
               border: 1px solid #bbb; }
dl.rules dt { font-weight: bold; margin-top: .4em; }
dl.rules dd { margin-left: 1.5em; }
"""
CLASS = {"pass": "pass", "fail": "fail", "n/a": "na", "error": "error", "report": "report"}
LEGEND = (("pass", "pass"), ("fail", "FAIL"), ("fail expected", "FAIL, expected"), ("na", "n/a"),
          ("error unexpected", "error"), ("report", "a report, in a few words"),
          ("pass unexpected", "unexpected: outlined, and says so"))


def esc(text):
    return html.escape("" if text is None else str(text), quote=True)


class Html(Format):
    def finish(self, audit):
        self.write(page(audit, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())))


def page(audit, date):
    checks = [c for c in audit["checks"] if c.kind == JUDGED] + \
        [c for c in audit["checks"] if c.kind == REPORTED]
    return "\n".join(["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
                      "<title>%s</title>" % esc(audit["title"]), "<style>%s</style>" % STYLE,
                      "</head><body>", "<h1>%s</h1>" % esc(audit["title"]), head(audit, date),
                      matrix(audit, checks), legend(checks), "</body></html>", ""])


def head(audit, date):
    found = len(surprises(audit))
    facts = (("date", date), ("helper", audit["helper"]),
             ("expectations", audit["expectations"] or "none: every check is expected to pass"),
             ("unexpected", "%d result%s" % (found, "" if found == 1 else "s")),
             ("exit status", audit["status"]))
    said = [summary(audit)] + ([interruption(audit)] if audit["interrupted"] else [])
    return '<dl class="summary">%s</dl>\n<p class="outcome">%s</p>' % (
        "".join("<dt>%s</dt><dd>%s</dd>" % (esc(k), esc(v)) for k, v in facts),
        "; ".join(esc(s) for s in said))


def matrix(audit, checks):
    kinds = [(kind, sum(c.kind == kind for c in checks)) for kind in (JUDGED, REPORTED)]
    rows = ['<table class="matrix"><thead>',
            '<tr><th rowspan="2">%s</th><th rowspan="2">version</th>%s</tr>' % (
                esc(audit["key"]), "".join('<th colspan="%d">%s</th>' % (n, kind)
                                               for kind, n in kinds if n)),
            "<tr>%s</tr></thead><tbody>" % "".join(
                '<th class="check" scope="col" title="%s"><a href="#rule-%s">%s</a>%s</th>' % (
                    esc(c.rule), esc(c.id), esc(c.id),
                    "<small>%s</small>" % esc(c.note) if c.note else "") for c in checks)]
    got = {(r["subject"], r["id"]): r for r in audit["results"]}
    for s in audit["subjects"]:
        rows.append('<tr data-subject="%s"><th class="subject" scope="row" title="%s">%s</th>'
                    '<td class="version">%s</td>%s</tr>' % (
                        esc(s["name"]), esc(s["command"]), esc(s["name"]),
                        esc(s["version"] or "unknown"),
                        "".join(cell(c, got.get((s["name"], c.id))) for c in checks)))
    rows.append("</tbody></table>")
    return "\n".join(rows)


def cell(check, r):
    """A result's cell: its verdict in words, marked where expected or not,
    opening onto the evidence, which names what the audit ran."""
    if r is None:
        return '<td class="cell none" data-check="%s" data-verdict="none">-</td>' % esc(check.id)
    words = (r["brief"] or "report") if r["verdict"] == "report" else SHOWN[r["verdict"]]
    classes = ["cell", CLASS[r["verdict"]]]
    mark = ""
    if r["surprise"]:
        classes.append("unexpected")
        mark = "" if r["verdict"] == "error" else "<small>unexpected</small>"
    elif r["expected"] and r["verdict"] == r["expected"]:
        classes.append("expected")
        mark = "<small>expected</small>"
    return ('<td class="%s" data-check="%s" data-verdict="%s"><details><summary>%s%s</summary>'
            '<div class="evidence"><b>%s</b>, %s<pre>%s</pre></div></details></td>' % (
                " ".join(classes), esc(check.id), esc(r["verdict"]), esc(words), mark,
                esc(r["subject"]), esc(check.id), esc(r["evidence"])))


def legend(checks):
    key = "".join('<span class="%s">%s</span>' % (classes, esc(words)) for classes, words in LEGEND)
    rules = "".join('<dt id="rule-%s">%s <small>(%s%s)</small></dt><dd>%s</dd>' % (
        esc(c.id), esc(c.id), c.kind, ", " + esc(c.note) if c.note else "", esc(c.rule))
        for c in checks)
    return ('<h2>Key</h2><p class="legend">%s. Open a cell for its evidence and what the audit '
            'ran.</p>\n<h2>Rules</h2><dl class="rules">%s</dl>' % (key, rules))
