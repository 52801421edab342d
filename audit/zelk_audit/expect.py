"""Known results: the verdicts other than pass that a shell project expects,
one a line, `SHELL CHECK VERDICT`, split as a shell splits words."""

import shlex

EXPECTABLE = ("pass", "fail", "n/a")


def read_expectations(path, ids):
    """{(shell, check id): verdict} from the file at `path`; a line that
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
                raise ValueError("%s:%d: SHELL CHECK VERDICT expected, read %r" %
                                 (path, number, line.strip()))
            shell, check_id, verdict = words
            if check_id not in ids:
                raise ValueError("%s:%d: no check is named %r" % (path, number, check_id))
            if verdict not in EXPECTABLE:
                raise ValueError("%s:%d: the verdict %r is none of %s" %
                                 (path, number, verdict, ", ".join(EXPECTABLE)))
            expected[(shell, check_id)] = verdict
    return expected


def surprise(verdict, expected):
    """What differs from the expectation (None: a verdict expected for a check
    the file does not name, any but FAIL and error), or None."""
    if verdict == "error":
        return "error"
    if verdict == "report" or verdict == expected or (expected is None and verdict != "fail"):
        return None
    return "unexpected " + ("FAIL" if verdict == "fail" else verdict)
