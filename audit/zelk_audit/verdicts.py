"""How a check ends when it does not pass: each carries its verdict."""


class Verdict(Exception):
    verdict = "pass"


class Failed(Verdict):
    """The subject broke the check's rule; the text says what was seen and expected."""
    verdict = "fail"


class NotApplicable(Verdict):
    """The check cannot be judged for this subject; the text says why."""
    verdict = "n/a"


class NoVerdict(Verdict):
    """The audit reached no verdict: a deadline passed, the subject died where
    no check expected it, or nothing proved that the helper ran."""
    verdict = "error"


class TimedOut(NoVerdict):
    """A deadline passed: the subject hangs, so the rest of its checks in the
    same mode are errors at once rather than one more deadline each."""


class Report(str):
    """A report's text, which carries its gist in a few words (`brief`) for
    a matrix's cell."""

    def __new__(cls, text, brief):
        self = super().__new__(cls, text)
        self.brief = brief
        return self


def extend(text, more):
    """`text; more`, a report still: what the audit ran, say, after what it saw."""
    joined = "%s; %s" % (text, more)
    brief = getattr(text, "brief", None)
    return Report(joined, brief) if brief else joined
