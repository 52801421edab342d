"""Known results: every verdict other than pass that a project expects of a
subject, `n/a` included, one a line, `SUBJECT CHECK VERDICT`, split as a
shell splits words. An error is never expected."""

import shlex

EXPECTABLE = ("pass", "fail", "n/a")
SHOWN = {"pass": "pass", "fail": "FAIL", "n/a": "n/a", "error": "error", "report": "report"}


def read_expectations(path, ids):
    """{(subject, check id): verdict} from the file at `path`; a line that
    cannot be read raises ValueError, naming it."""
    expected = {}
    with open(path) as f:
        for number, line in enumerate(f, 1):
            try:
                words = shlex.split(line, comments=True)
            except ValueError as e:
                raise ValueError("%s:%d: %s" % (path, number, e))
            if not words:
                continue
            if len(words) != 3:
                raise ValueError("%s:%d: SUBJECT CHECK VERDICT expected, read %r" %
                                 (path, number, line.strip()))
            subject, check_id, verdict = words
            if check_id not in ids:
                raise ValueError("%s:%d: no check is named %r" % (path, number, check_id))
            if verdict not in EXPECTABLE:
                raise ValueError("%s:%d: the verdict %r is none of %s" %
                                 (path, number, verdict, ", ".join(EXPECTABLE)))
            if (subject, check_id) in expected:
                raise ValueError("%s:%d: %s %s is named twice" % (path, number, subject, check_id))
            expected[(subject, check_id)] = verdict
    return expected


def surprise(verdict, expected):
    """What differs from the expectation, or None. A check that no line
    names is expected to pass; a report expects nothing but never an error."""
    if verdict == "error":
        return "error"
    if verdict == "report" or verdict == (expected or "pass"):
        return None
    return "unexpected " + SHOWN[verdict]
